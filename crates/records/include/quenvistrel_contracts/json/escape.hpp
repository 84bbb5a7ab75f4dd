#pragma once

#include <string>
#include <string_view>

namespace quenvistrel_contracts::json {

// Appends `text` as a quoted JSON string, escaping only what JSON requires: the quotation
// mark and backslash, \b \t \n \f \r, other controls below U+0020 as lower-case \u00xx.
// Everything else ("/" and non-ASCII included) is copied as it is. Both writers use it, so
// the state file and the reports escape alike.
void append_json_string(std::string& out, std::string_view text);

}  // namespace quenvistrel_contracts::json
