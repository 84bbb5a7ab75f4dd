#pragma once

#include <compare>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "quencore_error/core_error.hpp"

namespace quencore_contracts {

class Timestamp;

// What reading canonical timestamps one after another keeps for the next: texts mostly share
// a few dates, so the day number of the last date read is kept.
struct CanonicalDay {
  char date[10] = {};  // never a valid date until one was read
  std::int64_t days = 0;
};

// A UTC instant with nanosecond precision. Every Timestamp lies within the years 0000 to
// 9999, so every one can be written as RFC 3339 text and read back.
class Timestamp {
 public:
  Timestamp() = default;  // 1970-01-01T00:00:00Z

  // The system clock's current time with its full sub-second precision.
  [[nodiscard]] static Timestamp now();

  // RFC 3339 text, read byte by byte; the error is CoreError::Validation with
  // "invalid RFC 3339 timestamp {input}: {detail}".
  [[nodiscard]] static std::expected<Timestamp, quencore_error::CoreError> from_str(std::string_view text);

  // The timestamp at the start of `text` when it is spelled exactly as append_rfc3339 writes
  // it (UTC with "Z", the shortest fraction, no leap second), and its length; nothing for any
  // other text, which from_str reads or refuses. The fast reading of the tool's own files.
  struct Canonical;
  [[nodiscard]] static std::optional<Canonical> read_canonical(std::string_view text, CanonicalDay& day);

  // Whole seconds since the epoch and the nanosecond within the second; empty when the
  // instant lies outside the years 0000 to 9999 or nanos is above 999999999.
  [[nodiscard]] static std::optional<Timestamp> from_unix(std::int64_t seconds, std::uint32_t nanos);

  // Seconds since 1970-01-01T00:00:00Z, rounded down.
  [[nodiscard]] std::int64_t unix_seconds() const { return seconds_; }
  [[nodiscard]] std::uint32_t nanosecond() const { return nanos_; }

  // YYYY-MM-DDTHH:MM:SS[.fraction]Z with the shortest exact fraction.
  [[nodiscard]] std::string to_rfc3339() const;
  void append_rfc3339(std::string& out) const;

  friend auto operator<=>(const Timestamp&, const Timestamp&) = default;
  friend bool operator==(const Timestamp&, const Timestamp&) = default;

 private:
  Timestamp(std::int64_t seconds, std::uint32_t nanos) : seconds_(seconds), nanos_(nanos) {}

  std::int64_t seconds_ = 0;
  std::uint32_t nanos_ = 0;
};

struct Timestamp::Canonical {
  Timestamp instant;
  std::size_t length = 0;
};

}  // namespace quencore_contracts
