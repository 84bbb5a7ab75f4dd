#pragma once

// Helpers shared by the fuzz targets: a property check that stops the run with a readable
// message (libFuzzer then saves the input as a crash), and small byte-level predicates.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace quen_fuzz {

[[noreturn]] inline void fail(const char* file, int line, const char* what, std::string_view detail) {
  std::fprintf(stderr, "\n%s:%d: property failed: %s\n", file, line, what);
  if (!detail.empty()) {
    std::fprintf(stderr, "  detail: ");
    // Printed escaped: the detail often holds the very bytes under test.
    for (const unsigned char c : detail) {
      if (c >= 0x20 && c < 0x7F && c != '\\') {
        std::fputc(c, stderr);
      } else {
        std::fprintf(stderr, "\\x%02x", c);
      }
    }
    std::fputc('\n', stderr);
  }
  std::fflush(stderr);
  std::abort();
}

// QUEN_FUZZ_PRINT=1 makes the targets print each result, for looking at single inputs.
inline bool verbose() {
  static const bool on = std::getenv("QUEN_FUZZ_PRINT") != nullptr;
  return on;
}

inline void print(std::string_view label, std::string_view text) {
  if (verbose()) std::fprintf(stderr, "%.*s: %.*s\n", static_cast<int>(label.size()), label.data(),
                              static_cast<int>(text.size()), text.data());
}

inline std::string_view as_text(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// Well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
inline bool is_valid_utf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    std::size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b0 < 0x80) {
      ++i;
      continue;
    } else if (b0 >= 0xC2 && b0 <= 0xDF) {
      len = 2;
    } else if (b0 == 0xE0) {
      len = 3, lo = 0xA0;
    } else if ((b0 >= 0xE1 && b0 <= 0xEC) || b0 == 0xEE || b0 == 0xEF) {
      len = 3;
    } else if (b0 == 0xED) {
      len = 3, hi = 0x9F;
    } else if (b0 == 0xF0) {
      len = 4, lo = 0x90;
    } else if (b0 >= 0xF1 && b0 <= 0xF3) {
      len = 4;
    } else if (b0 == 0xF4) {
      len = 4, hi = 0x8F;
    } else {
      return false;
    }
    if (i + len > s.size()) return false;
    const auto b1 = static_cast<unsigned char>(s[i + 1]);
    if (b1 < lo || b1 > hi) return false;
    for (std::size_t k = 2; k < len; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    }
    i += len;
  }
  return true;
}

// A JSON reader error ends with " at line {line} column {column}"; the line counts from 1,
// the column is 0 only where nothing was read (an empty document).
inline bool has_position(std::string_view message) {
  const std::size_t at = message.rfind(" at line ");
  if (at == std::string_view::npos) return false;
  std::string_view rest = message.substr(at + 9);
  const auto number = [&rest]() {
    std::size_t n = 0;
    while (n < rest.size() && rest[n] >= '0' && rest[n] <= '9') ++n;
    const bool ok = n > 0 && rest[0] != '0';
    rest.remove_prefix(n);
    return ok;
  };
  if (!number()) return false;
  if (!rest.starts_with(" column ")) return false;
  rest.remove_prefix(8);
  if (rest == "0") return true;
  return number() && rest.empty();
}

}  // namespace quen_fuzz

#define QUEN_FUZZ_CHECK(cond, detail)                                    \
  do {                                                                   \
    if (!(cond)) ::quen_fuzz::fail(__FILE__, __LINE__, #cond, (detail)); \
  } while (false)
