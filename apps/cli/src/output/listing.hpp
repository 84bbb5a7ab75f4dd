#pragma once

#include <cstdint>
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

// A bucket's start as RFC 3339 UTC text ("2024-06-01T10:00:00Z"); one outside the years 0000
// to 9999, which only a hand-written state holds, as its Unix seconds.
[[nodiscard]] std::string bucket_time(std::int64_t bucket_start);
// "{rule name}  {tenant}  {event_type}  {bucket}  count {observed_count}  fired {fired_at}", the
// bucket as bucket_time; `rule` is the rule the alert names, or null when it is gone, which
// shows its identifier as the name and "-" as the event type.
[[nodiscard]] std::string format_alert_line(const quenvistrel_contracts::AlertEvent& alert,
                                            const quenvistrel_contracts::AlertRule* rule);
// "{rule_id}  {enabled|disabled}  {tenant}  {name}  {event_type}  {severity}  threshold {n} per
// {bucket}  cooldown {buckets}", severity by display name.
[[nodiscard]] std::string format_rule_line(const quenvistrel_contracts::AlertRule& rule);
// "{indicator_id}  {tenant}  {acknowledged|open}  " then format_indicator_line.
[[nodiscard]] std::string format_indicator_listing_line(const quenvistrel_contracts::RiskIndicator& indicator);

}  // namespace quenvistrel_cli
