#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include <boost/json/error.hpp>

namespace quenvistrel_contracts::json {

// JSON's whitespace.
inline bool is_json_space(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

// Whether any of the eight bytes of `word` must be escaped in a JSON string: below 0x20, a
// quotation mark or a backslash. A byte after one that must may be flagged too, so a caller
// that gets true goes on byte by byte.
inline bool word_needs_escape(std::uint64_t word) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
  const auto zero_byte = [](std::uint64_t x) { return (x - kOnes) & ~x & kHigh; };
  return (((word - kOnes * 0x20) & ~word & kHigh) | zero_byte(word ^ (kOnes * '"')) |
          zero_byte(word ^ (kOnes * '\\'))) != 0;
}

// The one-letter escapes: the letter after the backslash and the byte it stands for. The
// writer uses these for those bytes; a reader also takes "\/" for '/'.
struct ShortEscape {
  char letter;
  char byte;
};
inline constexpr std::array<ShortEscape, 7> SHORT_ESCAPES{
    {{'"', '"'}, {'\\', '\\'}, {'b', '\b'}, {'f', '\f'}, {'n', '\n'}, {'r', '\r'}, {'t', '\t'}}};

// Equality of two short texts (field names) without a call into the C library.
inline bool same_text(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  const char* p = a.data();
  const char* q = b.data();
  std::size_t n = a.size();
  for (; n >= 8; n -= 8, p += 8, q += 8) {
    std::uint64_t x = 0;
    std::uint64_t y = 0;
    std::memcpy(&x, p, 8);
    std::memcpy(&y, q, 8);
    if (x != y) return false;
  }
  for (; n > 0; --n) {
    if (*p++ != *q++) return false;
  }
  return true;
}

// Appends " at line {line} column {column}" for the byte at `index` of `text` (both
// 1-based, the column counted in bytes); an index of -1 (nothing consumed) is column 0.
std::string with_position(std::string message, std::string_view text, std::ptrdiff_t index,
                          std::size_t first_line = 1);

// The message and position of a parser error at `offset` (where the parser stopped),
// worded from what the grammar expected there.
std::string describe_syntax_error(std::string_view text, std::size_t offset, boost::json::error_code ec,
                                  std::size_t first_line = 1);

}  // namespace quenvistrel_contracts::json
