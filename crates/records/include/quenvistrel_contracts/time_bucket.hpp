#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "quencore_contracts/time.hpp"

namespace quenvistrel_contracts {

// Width of a counting bucket.
enum class TimeBucket : std::uint8_t { Hour, Day };

[[nodiscard]] constexpr std::int64_t width_seconds(TimeBucket b) {
  return b == TimeBucket::Hour ? 3600 : 86400;
}
// The latest multiple of the width that is not after the instant's Unix seconds (aligned to
// UTC hours and midnights, also before 1970).
[[nodiscard]] std::int64_t bucket_start(TimeBucket b, const quencore_contracts::Timestamp& t);
[[nodiscard]] std::string_view wire_name(TimeBucket b);  // "hour", "day"
// The error is "unknown variant `{text}`, expected `hour` or `day`".
[[nodiscard]] std::expected<TimeBucket, std::string> time_bucket_from_wire(std::string_view text);

}  // namespace quenvistrel_contracts
