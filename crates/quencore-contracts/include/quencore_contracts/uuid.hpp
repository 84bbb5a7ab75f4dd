#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace quencore_contracts {

// A 16-byte UUID. Ordering is that of the bytes, first byte most significant, which is also
// the order of the lower-case hyphenated text.
struct Uuid {
  std::array<std::uint8_t, 16> bytes{};

  // Parses the 32-digit, hyphenated, braced and lower-case "urn:uuid:" forms, hex digits in
  // either case. The error is the parser's reason text, e.g. "invalid length: found 3".
  [[nodiscard]] static std::expected<Uuid, std::string> parse(std::string_view text);

  // A fresh random version-4 UUID from the operating system's entropy. When the system cannot
  // supply random bytes it gives a fixed one and keeps the failure (entropy_failure in
  // random.hpp), so that whatever would store it fails instead: no stored identifier is ever
  // fixed or predictable.
  [[nodiscard]] static Uuid generate_v4();

  // Appends the 36-character lower-case hyphenated text.
  void append_to(std::string& out) const;
  [[nodiscard]] std::string to_string() const;

  friend auto operator<=>(const Uuid&, const Uuid&) = default;
  friend bool operator==(const Uuid&, const Uuid&) = default;
};

}  // namespace quencore_contracts
