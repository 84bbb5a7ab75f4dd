#include "delivery/alertmanager.hpp"

#include <map>

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <fmt/format.h>

#include "delivery/http.hpp"
#include "output/listing.hpp"
#include "quencore_contracts/echo.hpp"
#include "quencore_contracts/time.hpp"
#include "quenvistrel_contracts/json/compact.hpp"

namespace quenvistrel_cli {

using quenvistrel_contracts::AlertEvent;
using quenvistrel_contracts::AlertRule;
using quenvistrel_contracts::AlertRuleId;

std::string alertmanager_payload(std::span<const AlertEvent> alerts, std::span<const AlertRule> rules) {
  // The first rule of each identifier, as evaluation found it.
  std::map<AlertRuleId, const AlertRule*> by_id;
  for (const AlertRule& rule : rules) by_id.try_emplace(rule.rule_id, &rule);

  boost::json::array out;
  for (const AlertEvent& alert : alerts) {
    const auto found = by_id.find(alert.rule_id);
    if (found == by_id.end()) continue;
    const AlertRule& rule = *found->second;
    const std::string bucket = bucket_time(alert.bucket_start);
    boost::json::object labels{
        {"alertname", rule.name},
        {"tenant", alert.tenant_id.to_string()},
        {"event_type", rule.event_type},
        {"severity", quenvistrel_contracts::wire_name(alert.severity)},
        {"rule_id", alert.rule_id.to_string()},
        {"bucket", bucket},
    };
    boost::json::object annotations{
        {"summary", fmt::format("{} {} event(s) in the {} from {} (threshold {})", alert.observed_count,
                                rule.event_type, quenvistrel_contracts::wire_name(rule.bucket), bucket, rule.threshold)},
        {"observed_count", std::to_string(alert.observed_count)},
        {"threshold", std::to_string(rule.threshold)},
    };
    boost::json::object entry{{"labels", std::move(labels)}, {"annotations", std::move(annotations)}};
    // A bucket outside the years 0000 to 9999 has no start to give; the alert manager then
    // takes the time it receives the alert.
    if (const auto start = quencore_contracts::Timestamp::from_unix(alert.bucket_start, 0)) {
      entry["startsAt"] = start->to_rfc3339();
    }
    out.emplace_back(std::move(entry));
  }
  std::string text;
  quenvistrel_contracts::json::write_compact(text, out);
  return text;
}

std::expected<void, std::string> deliver_alerts(std::string_view base_url, std::string_view payload) {
  constexpr long kTimeoutSeconds = 10;
  std::string url(base_url);
  while (url.ends_with('/')) url.pop_back();
  url += "/api/v2/alerts";
  auto answer = post_json(url, payload, kTimeoutSeconds);
  if (!answer) return std::unexpected(fmt::format("cannot deliver the alerts to {}: {}", shown_url(url), answer.error()));
  if (answer->status < 200 || answer->status > 299) {
    std::string_view body = answer->body;
    while (!body.empty() && (body.back() == '\n' || body.back() == '\r' || body.back() == ' ')) body.remove_suffix(1);
    const std::string said = quencore_contracts::echo_input(body);
    return std::unexpected(fmt::format("cannot deliver the alerts to {}: HTTP status {}{}{}", shown_url(url),
                                       answer->status, said.empty() ? "" : ": ", said));
  }
  return {};
}

}  // namespace quenvistrel_cli
