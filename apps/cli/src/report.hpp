#pragma once

#include <expected>
#include <string>
#include <string_view>

#include <boost/json/value.hpp>

namespace quenvistrel_cli {

// Prints one report on standard output: the compact JSON of `value` when `json` is set,
// `text` otherwise, followed by "\n". Fails with the system's text when the report could not be
// written whole (the flush included), so that a lost report fails the run.
[[nodiscard]] std::expected<void, std::string> emit_report(bool json, const boost::json::value& value,
                                                           std::string_view text);

// Writes `bytes` to standard output and flushes it; the error is the system's text.
[[nodiscard]] std::expected<void, std::string> write_stdout(std::string_view bytes);

}  // namespace quenvistrel_cli
