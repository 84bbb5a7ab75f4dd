#include "quencore_contracts/echo.hpp"

#include <cstdint>

#include "quencore_contracts/hex.hpp"
#include "quencore_contracts/utf8.hpp"

namespace quencore_contracts {

void append_escaped(std::string& out, std::string_view text, bool quotes) {
  std::size_t run = 0;  // start of the bytes not yet copied
  const auto flush = [&](std::size_t end) { out.append(text.substr(run, end - run)); };
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
    flush(i);
    run = i + width;
    switch (code) {
      case '\b':
        out += "\\b";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\r':
        out += "\\r";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      default: {
        const char escaped[6] = {'\\', 'u', '0', '0', HEX_DIGITS[code >> 4], HEX_DIGITS[code & 0x0F]};
        out.append(escaped, sizeof escaped);
        break;
      }
    }
    i += width - 1;
  }
  flush(text.size());
}

std::string escape_controls(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  append_escaped(out, text);
  return out;
}

std::string_view echo_head(std::string_view text, bool& cut) {
  cut = text.size() > ECHO_MAX_BYTES;
  return utf8_head(text, ECHO_MAX_BYTES);
}

std::string echo_input(std::string_view text) {
  bool cut = false;
  std::string out;
  append_escaped(out, echo_head(text, cut));
  if (cut) out += "\u2026";
  return out;
}

}  // namespace quencore_contracts
