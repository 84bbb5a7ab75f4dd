#include <array>
#include <cstdint>
#include <string>

#include "quenvistrel_contracts/json/reader.hpp"

namespace quenvistrel_contracts::json {

namespace {

constexpr std::array<std::int8_t, 256> kHex = [] {
  std::array<std::int8_t, 256> table{};
  table.fill(-1);
  for (int c = 0; c < 10; ++c) table[static_cast<std::size_t>('0' + c)] = static_cast<std::int8_t>(c);
  for (int c = 0; c < 6; ++c) {
    table[static_cast<std::size_t>('a' + c)] = static_cast<std::int8_t>(10 + c);
    table[static_cast<std::size_t>('A' + c)] = static_cast<std::int8_t>(10 + c);
  }
  return table;
}();

// The hyphenated 36-character form, the one this system writes; anything else goes to the
// general parser, which also words the errors.
bool parse_canonical_uuid(std::string_view text, quencore_contracts::Uuid& out) {
  if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-') return false;
  constexpr std::array<std::uint8_t, 16> kAt{0, 2, 4, 6, 9, 11, 14, 16, 19, 21, 24, 26, 28, 30, 32, 34};
  for (std::size_t k = 0; k < 16; ++k) {
    const int hi = kHex[static_cast<std::uint8_t>(text[kAt[k]])];
    const int lo = kHex[static_cast<std::uint8_t>(text[kAt[k] + 1])];
    if ((hi | lo) < 0) return false;
    out.bytes[k] = static_cast<std::uint8_t>((hi << 4) | lo);
  }
  return true;
}

}  // namespace

bool read_uuid(std::string_view text, quencore_contracts::Uuid& out, std::string& error) {
  if (parse_canonical_uuid(text, out)) return true;
  auto uuid = quencore_contracts::Uuid::parse(text);
  if (!uuid) {
    error = "UUID parsing failed: " + uuid.error();
    return false;
  }
  out = *uuid;
  return true;
}

bool read_timestamp(std::string_view text, quencore_contracts::Timestamp& out, std::string& error) {
  auto ts = quencore_contracts::Timestamp::from_str(text);
  if (!ts) {
    error = ts.error().message();
    return false;
  }
  out = *ts;
  return true;
}

}  // namespace quenvistrel_contracts::json
