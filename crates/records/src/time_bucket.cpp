#include "quenvistrel_contracts/time_bucket.hpp"

#include "quencore_contracts/echo.hpp"

namespace quenvistrel_contracts {

std::int64_t bucket_start(TimeBucket b, const quencore_contracts::Timestamp& t) {
  const std::int64_t s = t.unix_seconds();
  const std::int64_t w = width_seconds(b);
  // C++ `%` truncates toward zero; shift a negative remainder up so that r lies in [0, w).
  // Dividing first and multiplying back would need the same fix-up for negative s; this
  // form only ever subtracts r < w, and a Timestamp's seconds stay far from the int64 ends.
  std::int64_t r = s % w;
  if (r < 0) {
    r += w;
  }
  return s - r;
}

std::string_view wire_name(TimeBucket b) { return b == TimeBucket::Hour ? "hour" : "day"; }

std::expected<TimeBucket, std::string> time_bucket_from_wire(std::string_view text) {
  if (text == "hour") {
    return TimeBucket::Hour;
  }
  if (text == "day") {
    return TimeBucket::Day;
  }
  std::string message = "unknown variant `";
  message.append(quencore_contracts::echo_input(text)).append("`, expected `hour` or `day`");
  return std::unexpected(std::move(message));
}

}  // namespace quenvistrel_contracts
