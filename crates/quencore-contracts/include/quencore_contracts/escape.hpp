#pragma once

#include <array>
#include <string>
#include <string_view>

namespace quencore_contracts {

// The escaping of text, both rule sets side by side: the JSON writer's, which escapes only
// what JSON requires, and the echo of foreign input inside messages and text reports, which
// escapes every control character. Both write the one-letter escape for a byte that has one
// and lower-case \u00xx for any other.

// The one-letter escapes: the letter after the backslash and the byte it stands for. A JSON
// reader also takes "\/" for '/', which no writer here writes.
struct ShortEscape {
  char letter;
  char byte;
};
inline constexpr std::array<ShortEscape, 7> SHORT_ESCAPES{
    {{'"', '"'}, {'\\', '\\'}, {'b', '\b'}, {'f', '\f'}, {'n', '\n'}, {'r', '\r'}, {'t', '\t'}}};

// What the JSON writer writes for each byte: its one-letter escape, 'u' for \u00xx, or 0 when
// it copies the byte as it is.
inline constexpr std::array<char, 256> JSON_ESCAPE = [] {
  std::array<char, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[static_cast<std::size_t>(c)] = 'u';
  for (const ShortEscape& e : SHORT_ESCAPES) table[static_cast<unsigned char>(e.byte)] = e.letter;
  return table;
}();

// JSON string content: the quotation mark and backslash, \b \t \n \f \r, other controls below
// U+0020 as \u00xx. Everything else ("/" and non-ASCII included) is copied as it is.
void append_json_escaped(std::string& out, std::string_view text);

// Echoed input: every control character (U+0000–U+001F, U+007F–U+009F) escaped, everything
// else copied as it is. With `quotes` the quotation mark and the backslash get a backslash
// too, for text shown between double quotes.
void append_escaped(std::string& out, std::string_view text, bool quotes = false);

}  // namespace quencore_contracts
