#include "output/listing.hpp"

#include <fmt/format.h>

#include "quencore_contracts/echo.hpp"
#include "quencore_contracts/time.hpp"

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

std::string bucket_time(std::int64_t bucket_start) {
  const auto start = quencore_contracts::Timestamp::from_unix(bucket_start, 0);
  return start ? start->to_rfc3339() : std::to_string(bucket_start);
}

std::string format_alert_line(const quenvistrel_contracts::AlertEvent& alert,
                              const quenvistrel_contracts::AlertRule* rule) {
  return fmt::format("{}  {}  {}  {}  count {}  fired {}",
                     rule != nullptr ? escape_controls(rule->name) : alert.rule_id.to_string(),
                     alert.tenant_id.to_string(), rule != nullptr ? escape_controls(rule->event_type) : "-",
                     bucket_time(alert.bucket_start), alert.observed_count, alert.fired_at.to_rfc3339());
}

std::string format_rule_line(const quenvistrel_contracts::AlertRule& rule) {
  return fmt::format("{}  {}  {}  {}  {}  {}  threshold {} per {}  cooldown {}", rule.rule_id.to_string(),
                     rule.enabled ? "enabled" : "disabled", rule.tenant_id.to_string(), escape_controls(rule.name),
                     escape_controls(rule.event_type), display_name(rule.severity), rule.threshold,
                     quenvistrel_contracts::wire_name(rule.bucket), rule.cooldown_buckets);
}

std::string format_indicator_listing_line(const quenvistrel_contracts::RiskIndicator& indicator) {
  return fmt::format("{}  {}  {}  {}", indicator.indicator_id.to_string(), indicator.tenant_id.to_string(),
                     indicator.acknowledged ? "acknowledged" : "open", format_indicator_line(indicator));
}

}  // namespace quenvistrel_cli
