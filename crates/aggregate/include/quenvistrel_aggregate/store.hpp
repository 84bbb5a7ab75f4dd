#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "quenvistrel_aggregate/event_log.hpp"
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
  EventLog events;
  std::vector<VistrelRollup> rollups;
  std::vector<RiskIndicator> indicators;

  // Counts the event into the first rollup of its key (or a new one) and appends it.
  void ingest(VistrelEvent event, TimeBucket bucket);
  // The tenant's rollups of every bucket and workspace, in store order.
  [[nodiscard]] std::vector<const VistrelRollup*> rollups_for(const quenvistrel_contracts::TenantId& tenant) const;
  void derive_risk_indicators(std::uint64_t threshold, const quenvistrel_contracts::Timestamp& now);
  // Removes events whose occurred_at lies strictly before now minus the window; returns how many.
  // A window or cutoff beyond the signed 64-bit range saturates at its end: a huge positive
  // window removes nothing, a huge negative one removes every event.
  std::uint64_t apply_retention(std::int64_t window_seconds, const quenvistrel_contracts::Timestamp& now);

  // days × 86400, saturated to the signed 64-bit range instead of overflowing, so a day count
  // of any size can be handed to apply_retention.
  [[nodiscard]] static std::int64_t retention_window_seconds(std::int64_t days);

  friend bool operator==(const VistrelStore& a, const VistrelStore& b) {
    return a.events == b.events && a.rollups == b.rollups && a.indicators == b.indicators;
  }

 private:
  // Ingest's rollup lookup: an open-addressing table from a rollup's seven-value key to the
  // position of the first rollup holding it, so a lookup gives the first-match result of a
  // scan in constant time. Slots hold positions and key hashes, never key text; keys are
  // compared against the rollup at the position. Rollups are only ever appended and readers
  // fill `rollups` directly, so positions [indexed, size) are taken in on the next ingest.
  struct RollupIndex {
    static constexpr std::size_t kEmpty = static_cast<std::size_t>(-1);
    struct Slot {
      std::uint64_t hash = 0;
      std::size_t position = kEmpty;
    };
    std::vector<Slot> slots;  // a power of two long, or empty
    std::size_t used = 0;
    std::size_t indexed = 0;
    // The id of rollups[indexed - 1] when it was indexed. A shorter list or a different id
    // there means the list was replaced rather than appended to, and the table is rebuilt;
    // the shrink check also keeps every stored position within the list.
    quenvistrel_contracts::RollupId last_indexed_id;
  };
  RollupIndex rollup_index_;

  struct RollupKey;  // a view of the seven key values (store.cpp)

  void sync_rollup_index();
  // The position of the first indexed rollup with this key, or kEmpty.
  [[nodiscard]] std::size_t find_rollup(const RollupKey& key, std::uint64_t hash) const;
  void insert_rollup_slot(std::uint64_t hash, std::size_t position);
};

}  // namespace quenvistrel_aggregate
