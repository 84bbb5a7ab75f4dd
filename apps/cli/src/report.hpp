#pragma once

#include <string_view>

#include <boost/json/value.hpp>

namespace quenvistrel_cli {

// Prints one report on standard output: the compact JSON of `value` when `json` is set,
// `text` otherwise, followed by "\n".
void emit_report(bool json, const boost::json::value& value, std::string_view text);

}  // namespace quenvistrel_cli
