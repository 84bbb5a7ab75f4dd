#pragma once

#include <charconv>
#include <concepts>
#include <string>
#include <string_view>

namespace quenvistrel_contracts::json {

// The pieces of JSON text both writers write.

// Appends `text` as a quoted JSON string, escaping only what JSON requires: the quotation
// mark and backslash, \b \t \n \f \r, other controls below U+0020 as lower-case \u00xx.
// Everything else ("/" and non-ASCII included) is copied as it is. Both writers use it, so
// the state file and the reports escape alike.
void append_json_string(std::string& out, std::string_view text);
// The same without the quotation marks around it.
void append_escaped(std::string& out, std::string_view text);

// Appends the decimal text of `value`, as both writers write integers.
template <std::integral I>
void append_integer(std::string& out, I value) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, static_cast<std::size_t>(end - digits));
}

}  // namespace quenvistrel_contracts::json
