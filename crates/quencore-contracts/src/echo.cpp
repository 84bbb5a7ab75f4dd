#include "quencore_contracts/echo.hpp"

#include "quencore_contracts/utf8.hpp"

namespace quencore_contracts {

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
