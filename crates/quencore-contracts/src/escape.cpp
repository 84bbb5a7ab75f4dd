#include "quencore_contracts/escape.hpp"

#include <cstdint>
#include <cstring>

#include "quencore_contracts/hex.hpp"
#include "quencore_contracts/text_kernels.hpp"

namespace quencore_contracts {

namespace {

// Writes the escape of `code` (a byte, or a C1 control's code point) at `p`; returns its end.
char* put_escape(char* p, unsigned code) {
  const char letter = code < 0x80 ? JSON_ESCAPE[code] : 'u';
  if (letter != 'u' && letter != 0) {
    p[0] = '\\';
    p[1] = letter;
    return p + 2;
  }
  const char escaped[6] = {'\\', 'u', '0', '0', HEX_DIGITS[code >> 4], HEX_DIGITS[code & 0x0F]};
  std::memcpy(p, escaped, sizeof escaped);
  return p + sizeof escaped;
}

// Writes the escaped content of `text` at `p` and returns where it ends; `p` has room for six
// bytes per byte of text.
char* write_json_escaped(char* p, std::string_view text) {
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
    if (in == end || JSON_ESCAPE[static_cast<std::uint8_t>(*in)] == 0) continue;
    p = put_escape(p, static_cast<std::uint8_t>(*in++));
  }
  return p;
}

}  // namespace

void append_json_escaped(std::string& out, std::string_view text) {
  // Room for the worst case is made at once, so a string costs one step, not one per piece;
  // a huge text is done in slices so that the room never exceeds a few times a slice.
  constexpr std::size_t kSlice = std::size_t{64} << 10;
  while (!text.empty()) {
    const std::string_view slice = text.substr(0, kSlice);
    text.remove_prefix(slice.size());
    const std::size_t at = out.size();
    out.resize_and_overwrite(at + 6 * slice.size(), [&](char* buffer, std::size_t) {
      return static_cast<std::size_t>(write_json_escaped(buffer + at, slice) - buffer);
    });
  }
}

void append_escaped(std::string& out, std::string_view text, bool quotes) {
  std::size_t run = 0;  // start of the bytes not yet copied
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto b = static_cast<std::uint8_t>(text[i]);
    unsigned code = 0x100;  // none
    std::size_t width = 1;
    if (b < 0x20 || b == 0x7F || (quotes && (b == '"' || b == '\\'))) {
      code = b;
    } else if (b == 0xC2 && i + 1 < text.size()) {
      // U+0080–U+009F are the only two-byte controls; 0xC2 is always a lead byte in UTF-8.
      const auto b1 = static_cast<std::uint8_t>(text[i + 1]);
      if (b1 >= 0x80 && b1 <= 0x9F) {
        code = b1;
        width = 2;
      }
    }
    if (code == 0x100) continue;
    out.append(text.substr(run, i - run));
    run = i + width;
    char escaped[6];
    out.append(escaped, static_cast<std::size_t>(put_escape(escaped, code) - escaped));
    i += width - 1;
  }
  out.append(text.substr(run));
}

}  // namespace quencore_contracts
