#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "quenvistrel_aggregate/store.hpp"
#include "quenvistrel_contracts/records.hpp"

namespace quenvistrel_alerts {

// Evaluates the enabled rules in list order against the store's rollups, appending one
// alert per fired rollup; returns the number appended.
std::uint64_t evaluate(std::span<const quenvistrel_contracts::AlertRule> rules,
                       const quenvistrel_aggregate::VistrelStore& store,
                       std::vector<quenvistrel_contracts::AlertEvent>& alerts,
                       const quenvistrel_contracts::Timestamp& now);

}  // namespace quenvistrel_alerts
