#pragma once

#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "quenvistrel_contracts/records.hpp"

namespace quenvistrel_cli {

// The alerts one evaluation fired, as the alert manager's API takes them: a JSON array with one
// object per alert, whose labels identify that firing (the rule's name as alertname, tenant,
// event type, severity, rule id, bucket), with the count and the threshold as annotations,
// startsAt the bucket's start and no endsAt: a firing is one event, which the alert manager
// resolves after its resolve timeout. `rules` hold the rule of every alert.
[[nodiscard]] std::string alertmanager_payload(std::span<const quenvistrel_contracts::AlertEvent> alerts,
                                               std::span<const quenvistrel_contracts::AlertRule> rules);

// POSTs `payload` to {base_url}/api/v2/alerts within 10 seconds. Anything but a 2xx answer is
// an error naming the URL and the status (or why there was none). Sending the same alerts
// again is harmless: the alert manager merges alerts of equal labels.
[[nodiscard]] std::expected<void, std::string> deliver_alerts(std::string_view base_url, std::string_view payload);

}  // namespace quenvistrel_cli
