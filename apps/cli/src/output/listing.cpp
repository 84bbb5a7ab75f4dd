#include "output/listing.hpp"

#include <fmt/format.h>

#include "quencore_contracts/echo.hpp"

namespace quenvistrel_cli {

using quencore_contracts::escape_controls;
using quenvistrel_contracts::display_name;

// Event types and reason codes are whatever a schema declared or a state file holds: their
// control characters are shown escaped, so a line stays one line and no terminal control
// sequence reaches the terminal. The JSON forms escape them as JSON does.

std::string format_rollup_line(const quenvistrel_contracts::VistrelRollup& rollup) {
  return fmt::format("{}  {}  bucket {}  count {}", escape_controls(rollup.event_type), display_name(rollup.severity),
                     rollup.bucket_start, rollup.count);
}

boost::json::object rollup_report_object(const quenvistrel_contracts::VistrelRollup& rollup) {
  boost::json::object object;
  object["event_type"] = rollup.event_type;
  object["severity"] = display_name(rollup.severity);
  object["bucket_start"] = rollup.bucket_start;
  object["count"] = rollup.count;
  return object;
}

std::string format_indicator_line(const quenvistrel_contracts::RiskIndicator& indicator) {
  std::string reasons;
  for (std::size_t i = 0; i < indicator.reason_codes.size(); ++i) {
    if (i > 0) reasons += "; ";
    quencore_contracts::append_escaped(reasons, indicator.reason_codes[i]);
  }
  return fmt::format("{}  {}  score {}  {}", escape_controls(indicator.indicator_type),
                     display_name(indicator.severity), static_cast<unsigned>(indicator.score), reasons);
}

}  // namespace quenvistrel_cli
