#pragma once

#include <expected>
#include <string>
#include <string_view>

#include <boost/json/value.hpp>

namespace quenvistrel_cli {

// What a command prints, `json` with --json and `text` otherwise, and its exit status (1 for a
// validate run that rejected events).
struct Report {
  boost::json::value json;
  std::string text;
  int status = 0;
};

// The report, or an error text that the entry prints as "error: {text}". A handler changes the
// store and builds its report; the run commits the store's changes before printing it.
using HandlerResult = std::expected<Report, std::string>;

// Prints one report on standard output: the compact JSON of `value` when `json` is set,
// `text` otherwise, followed by "\n". Fails with the system's text when the report could not be
// written whole (the flush included), so that a lost report fails the run.
[[nodiscard]] std::expected<void, std::string> emit_report(bool json, const boost::json::value& value,
                                                           std::string_view text);

// Writes `bytes` to standard output and flushes it; the error is the system's text.
[[nodiscard]] std::expected<void, std::string> write_stdout(std::string_view bytes);

}  // namespace quenvistrel_cli
