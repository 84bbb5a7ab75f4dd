#pragma once

#include <cstddef>
#include <string_view>

namespace quencore_contracts {

// UTF-8 as every reader of untrusted text checks it and as the gate decodes it. Inline: these
// run per character of every value read.

inline constexpr std::size_t UTF8_TRUNCATED = std::string_view::npos;

// Length of the well-formed UTF-8 character at text[i] (shortest form, no surrogates, at
// most U+10FFFF): 1 for ASCII, 0 when malformed, UTF8_TRUNCATED when the text ends inside it.
inline std::size_t utf8_sequence(std::string_view text, std::size_t i) {
  const auto b0 = static_cast<unsigned char>(text[i]);
  if (b0 < 0x80) return 1;
  std::size_t len = 0;
  unsigned char lo = 0x80;
  unsigned char hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  for (std::size_t k = 1; k < len; ++k) {
    if (i + k >= text.size()) return UTF8_TRUNCATED;
    const auto b = static_cast<unsigned char>(text[i + k]);
    if (k == 1 ? (b < lo || b > hi) : (b < 0x80 || b > 0xBF)) return 0;
  }
  return len;
}

// Decodes the code point starting at s[i] of text already known to be valid UTF-8 and
// advances i past it: the lead byte alone tells the length.
inline char32_t decode_utf8(std::string_view s, std::size_t& i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  auto cont = [&](std::size_t k) { return static_cast<char32_t>(static_cast<unsigned char>(s[i + k]) & 0x3Fu); };
  char32_t cp = 0;
  if (b0 < 0x80) {
    cp = b0;
    i += 1;
  } else if (b0 < 0xE0) {
    cp = (static_cast<char32_t>(b0 & 0x1Fu) << 6) | cont(1);
    i += 2;
  } else if (b0 < 0xF0) {
    cp = (static_cast<char32_t>(b0 & 0x0Fu) << 12) | (cont(1) << 6) | cont(2);
    i += 3;
  } else {
    cp = (static_cast<char32_t>(b0 & 0x07u) << 18) | (cont(1) << 12) | (cont(2) << 6) | cont(3);
    i += 4;
  }
  return cp;
}

// The first `max_bytes` bytes of `text`, cut back to a character boundary; all of it when it
// is no longer.
inline std::string_view utf8_head(std::string_view text, std::size_t max_bytes) {
  if (text.size() <= max_bytes) return text;
  std::size_t end = max_bytes;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

}  // namespace quencore_contracts
