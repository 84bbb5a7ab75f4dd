#include "listing.hpp"

#include <fmt/format.h>

namespace quenvistrel_cli {

using quenvistrel_contracts::display_name;

std::string format_rollup_line(const quenvistrel_contracts::VistrelRollup& rollup) {
  return fmt::format("{}  {}  bucket {}  count {}", rollup.event_type, display_name(rollup.severity),
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
  return fmt::format("{}  {}  score {}  {}", indicator.indicator_type, display_name(indicator.severity),
                     static_cast<unsigned>(indicator.score), fmt::join(indicator.reason_codes, "; "));
}

}  // namespace quenvistrel_cli
