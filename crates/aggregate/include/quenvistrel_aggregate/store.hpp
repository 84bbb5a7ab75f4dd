#pragma once

#include <cstdint>
#include <vector>

#include "quenvistrel_contracts/records.hpp"

namespace quenvistrel_aggregate {

using quenvistrel_contracts::RiskIndicator;
using quenvistrel_contracts::TimeBucket;
using quenvistrel_contracts::VistrelEvent;
using quenvistrel_contracts::VistrelRollup;

// The analytics store: events in ingest order, rollups in creation order, indicators in the
// order derivation left them. Lists are never sorted; lookups give first-match results.
class VistrelStore {
 public:
  std::vector<VistrelEvent> events;
  std::vector<VistrelRollup> rollups;
  std::vector<RiskIndicator> indicators;

  // Counts the event into the first rollup of its key (or a new one) and appends it.
  void ingest(VistrelEvent event, TimeBucket bucket);
  // The tenant's rollups of every bucket and workspace, in store order.
  [[nodiscard]] std::vector<const VistrelRollup*> rollups_for(const quenvistrel_contracts::TenantId& tenant) const;
  void derive_risk_indicators(std::uint64_t threshold, const quenvistrel_contracts::Timestamp& now);
  // Removes events whose occurred_at lies strictly before now minus the window; returns how many.
  std::uint64_t apply_retention(std::int64_t window_seconds, const quenvistrel_contracts::Timestamp& now);

  friend bool operator==(const VistrelStore& a, const VistrelStore& b) {
    return a.events == b.events && a.rollups == b.rollups && a.indicators == b.indicators;
  }

 private:
  // Index state for ingest's rollup lookup (see store.cpp); derived from `rollups` only.
  struct RollupIndex;
  // ...declared by the implementation
};

}  // namespace quenvistrel_aggregate
