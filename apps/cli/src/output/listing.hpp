#pragma once

#include <string>

#include <boost/json/object.hpp>

#include "quenvistrel_contracts/records.hpp"

namespace quenvistrel_cli {

// "{event_type}  {severity}  bucket {bucket_start}  count {count}", severity by display name,
// control characters in the event type escaped.
[[nodiscard]] std::string format_rollup_line(const quenvistrel_contracts::VistrelRollup& rollup);
// {"bucket_start","count","event_type","severity"}, severity by display name.
[[nodiscard]] boost::json::object rollup_report_object(const quenvistrel_contracts::VistrelRollup& rollup);
// "{indicator_type}  {severity}  score {score}  {reasons joined by "; "}", control characters
// in the type and the reasons escaped.
[[nodiscard]] std::string format_indicator_line(const quenvistrel_contracts::RiskIndicator& indicator);

}  // namespace quenvistrel_cli
