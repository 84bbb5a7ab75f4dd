#pragma once

#include <array>
#include <cstdint>
#include <cstring>

namespace quencore_contracts {

// Hexadecimal digits, read in either case and written in lower case. Inline tables: these run
// per byte in UUIDs, escapes and file names.

inline constexpr char HEX_DIGITS[] = "0123456789abcdef";

namespace hex_detail {

inline constexpr std::array<std::int8_t, 256> kValues = [] {
  std::array<std::int8_t, 256> table{};
  table.fill(-1);
  for (int c = 0; c < 10; ++c) table[static_cast<std::size_t>('0' + c)] = static_cast<std::int8_t>(c);
  for (int c = 0; c < 6; ++c) {
    table[static_cast<std::size_t>('a' + c)] = static_cast<std::int8_t>(10 + c);
    table[static_cast<std::size_t>('A' + c)] = static_cast<std::int8_t>(10 + c);
  }
  return table;
}();

// Two digits for every byte value, so that a byte is written with one copy.
inline constexpr std::array<char, 512> kPairs = [] {
  std::array<char, 512> table{};
  for (std::size_t b = 0; b < 256; ++b) {
    table[2 * b] = HEX_DIGITS[b >> 4];
    table[2 * b + 1] = HEX_DIGITS[b & 0x0F];
  }
  return table;
}();

}  // namespace hex_detail

// The value of a hexadecimal digit, or -1 for any other byte.
constexpr int hex_value(char c) { return hex_detail::kValues[static_cast<unsigned char>(c)]; }

// Writes the two lower-case digits of `byte` at `p` and returns the end.
inline char* write_hex_byte(char* p, std::uint8_t byte) {
  std::memcpy(p, &hex_detail::kPairs[2 * std::size_t{byte}], 2);
  return p + 2;
}

}  // namespace quencore_contracts
