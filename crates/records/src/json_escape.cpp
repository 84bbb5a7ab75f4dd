#include <array>
#include <cstdint>
#include <cstring>

#include "json_syntax.hpp"
#include "scan_kernel.hpp"
#include "quencore_contracts/hex.hpp"
#include "quenvistrel_contracts/json/escape.hpp"

namespace quenvistrel_contracts::json {

namespace {

// 0: copy the byte; 'u': \u00xx; otherwise the letter after the backslash.
constexpr std::array<char, 256> kEscape = [] {
  std::array<char, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[static_cast<std::size_t>(c)] = 'u';
  for (const ShortEscape& e : SHORT_ESCAPES) table[static_cast<unsigned char>(e.byte)] = e.letter;
  return table;
}();

}  // namespace

namespace {

// Writes the escaped content of `text` at `p` and returns where it ends; `p` has room for six
// bytes per byte of text.
char* write_escaped(char* p, std::string_view text) {
  const char* in = text.data();
  const char* const end = in + text.size();
  while (in != end) {
    // Most text needs no escape at all: copy it a run at a time. A character beyond ASCII
    // ends a run but is written as it is.
    const char* const stop = kernel::skip_plain(in, end);
    std::memcpy(p, in, static_cast<std::size_t>(stop - in));
    p += stop - in;
    in = stop;
    while (in != end && static_cast<unsigned char>(*in) >= 0x80) *p++ = *in++;
    if (in == end || kEscape[static_cast<std::uint8_t>(*in)] == 0) continue;
    const auto b = static_cast<std::uint8_t>(*in++);
    const char e = kEscape[b];
    if (e == 'u') {
      const char escaped[6] = {'\\', 'u', '0', '0', quencore_contracts::HEX_DIGITS[b >> 4],
                               quencore_contracts::HEX_DIGITS[b & 0x0F]};
      std::memcpy(p, escaped, sizeof escaped);
      p += sizeof escaped;
    } else {
      p[0] = '\\';
      p[1] = e;
      p += 2;
    }
  }
  return p;
}

}  // namespace

void append_escaped(std::string& out, std::string_view text) {
  // Room for the worst case is made at once, so a string costs one step, not one per piece;
  // a huge text is done in slices so that the room never exceeds a few times a slice.
  constexpr std::size_t kSlice = std::size_t{64} << 10;
  while (!text.empty()) {
    const std::string_view slice = text.substr(0, kSlice);
    text.remove_prefix(slice.size());
    const std::size_t at = out.size();
    out.resize_and_overwrite(at + 6 * slice.size(), [&](char* buffer, std::size_t) {
      return static_cast<std::size_t>(write_escaped(buffer + at, slice) - buffer);
    });
  }
}

void append_json_string(std::string& out, std::string_view text) {
  out += '"';
  append_escaped(out, text);
  out += '"';
}

}  // namespace quenvistrel_contracts::json
