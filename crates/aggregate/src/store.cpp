#include "quenvistrel_aggregate/store.hpp"

#include "quenvistrel_aggregate/hash.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <string_view>
#include <unordered_map>

namespace quenvistrel_aggregate {

using quencore_contracts::Uuid;
using quenvistrel_contracts::IndicatorId;
using quenvistrel_contracts::RollupId;
using quenvistrel_contracts::Severity;
using quenvistrel_contracts::TenantId;
using quenvistrel_contracts::Timestamp;
using quenvistrel_contracts::WorkspaceId;

struct VistrelStore::RollupKey {
  const Uuid& tenant;
  const Uuid& workspace;
  std::string_view product;
  std::string_view event_type;
  Severity severity;
  TimeBucket bucket;
  std::int64_t bucket_start;

  static RollupKey of(const VistrelRollup& r) {
    return {r.tenant_id.uuid(), r.workspace_id.uuid(), r.product_id.str(), r.event_type,
            r.severity,         r.bucket,              r.bucket_start};
  }

  [[nodiscard]] bool matches(const VistrelRollup& r) const {
    return r.tenant_id.uuid() == tenant && r.workspace_id.uuid() == workspace && r.product_id.str() == product &&
           r.event_type == event_type && r.severity == severity && r.bucket == bucket &&
           r.bucket_start == bucket_start;
  }
};

namespace {

std::uint64_t hash_text(std::string_view s) { return std::hash<std::string_view>{}(s); }

// The tenant and the indicator type (or event type) of a risk group or indicator.
struct PairKey {
  Uuid tenant;
  std::string_view type;
  friend bool operator==(const PairKey&, const PairKey&) = default;
};

struct PairKeyHash {
  std::size_t operator()(const PairKey& k) const { return hash_finish(hash_combine(hash_text(k.type), k.tenant)); }
};

bool pair_less(const PairKey& a, const PairKey& b) {
  // Uuid orders by its bytes as unsigned values; string_view compares as unsigned char, a
  // proper prefix first.
  if (a.tenant != b.tenant) return a.tenant < b.tenant;
  return a.type < b.type;
}

std::uint64_t hash_key(const Uuid& tenant, const Uuid& workspace, std::string_view product,
                       std::string_view event_type, Severity severity, TimeBucket bucket, std::int64_t start) {
  std::uint64_t h = hash_combine(0, tenant);
  h = hash_combine(h, workspace);
  h = hash_combine(h, hash_text(product));
  h = hash_combine(h, hash_text(event_type));
  h = hash_combine(h, (static_cast<std::uint64_t>(severity) << 8) | static_cast<std::uint64_t>(bucket));
  h = hash_combine(h, static_cast<std::uint64_t>(start));
  return hash_finish(h);
}

}  // namespace

std::size_t VistrelStore::find_rollup(const RollupKey& key, std::uint64_t hash) const {
  const auto& slots = rollup_index_.slots;
  if (slots.empty()) return RollupIndex::kEmpty;
  const std::size_t mask = slots.size() - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    const auto& slot = slots[i];
    if (slot.position == RollupIndex::kEmpty) return RollupIndex::kEmpty;
    if (slot.hash == hash && key.matches(rollups[slot.position])) return slot.position;
  }
}

void VistrelStore::insert_rollup_slot(std::uint64_t hash, std::size_t position) {
  auto& index = rollup_index_;
  // Keep the load at most one half so probe runs stay short.
  if ((index.used + 1) * 2 > index.slots.size()) {
    std::vector<RollupIndex::Slot> grown(std::max<std::size_t>(16, index.slots.size() * 2));
    const std::size_t mask = grown.size() - 1;
    for (const auto& slot : index.slots) {
      if (slot.position == RollupIndex::kEmpty) continue;
      std::size_t i = slot.hash & mask;
      while (grown[i].position != RollupIndex::kEmpty) i = (i + 1) & mask;
      grown[i] = slot;
    }
    index.slots = std::move(grown);
  }
  const std::size_t mask = index.slots.size() - 1;
  std::size_t i = hash & mask;
  while (index.slots[i].position != RollupIndex::kEmpty) i = (i + 1) & mask;
  index.slots[i] = {hash, position};
  ++index.used;
}

void VistrelStore::sync_rollup_index() {
  auto& index = rollup_index_;
  // A list that shrank or whose last indexed rollup changed identity was replaced, not
  // appended to: start over.
  if (index.indexed > rollups.size() ||
      (index.indexed > 0 && rollups[index.indexed - 1].rollup_id != index.last_indexed_id)) {
    index = RollupIndex{};
  }
  for (std::size_t p = index.indexed; p < rollups.size(); ++p) {
    const VistrelRollup& r = rollups[p];
    const RollupKey key = RollupKey::of(r);
    const std::uint64_t h = hash_key(key.tenant, key.workspace, key.product, key.event_type, key.severity,
                                     key.bucket, key.bucket_start);
    // A later duplicate of a key stays out: the first rollup of a key takes every increment.
    if (find_rollup(key, h) == RollupIndex::kEmpty) insert_rollup_slot(h, p);
  }
  index.indexed = rollups.size();
  if (!rollups.empty()) index.last_indexed_id = rollups.back().rollup_id;
}

void VistrelStore::ingest(VistrelEvent event, TimeBucket bucket) {
  sync_rollup_index();
  const std::int64_t start = quenvistrel_contracts::bucket_start(bucket, event.occurred_at);
  const RollupKey key{event.tenant_id.uuid(), event.workspace_id.uuid(), event.product_id.str(), event.event_type,
                      event.severity,         bucket,                    start};
  const std::uint64_t h = hash_key(key.tenant, key.workspace, key.product, key.event_type, key.severity,
                                   key.bucket, key.bucket_start);
  if (const std::size_t p = find_rollup(key, h); p != RollupIndex::kEmpty) {
    // Only a hand-edited state can hold the largest count; it stays there rather than wrap.
    auto& count = rollups[p].count;
    if (count != std::numeric_limits<std::uint64_t>::max()) ++count;
  } else {
    VistrelRollup r;
    r.rollup_id = RollupId::generate();
    r.tenant_id = event.tenant_id;
    r.workspace_id = event.workspace_id;
    r.product_id = event.product_id;
    r.event_type = event.event_type;
    r.severity = event.severity;
    r.bucket = bucket;
    r.bucket_start = start;
    r.count = 1;
    rollups.push_back(std::move(r));
    insert_rollup_slot(h, rollups.size() - 1);
    rollup_index_.indexed = rollups.size();
    rollup_index_.last_indexed_id = rollups.back().rollup_id;
  }
  events.push_back(event);
}

std::vector<const VistrelRollup*> VistrelStore::rollups_for(const TenantId& tenant) const {
  std::vector<const VistrelRollup*> out;
  for (const auto& r : rollups) {
    if (r.tenant_id == tenant) out.push_back(&r);
  }
  return out;
}

void VistrelStore::derive_risk_indicators(std::uint64_t threshold, const Timestamp& now) {
  struct Group {
    PairKey key;
    Severity severity;
    std::uint64_t count;
  };
  // Keys view the rollups' own text, which stays put for the whole call.
  std::vector<Group> groups;
  std::unordered_map<PairKey, std::size_t, PairKeyHash> group_of;
  for (const auto& r : rollups) {
    if (!quenvistrel_contracts::is_high(r.severity) || r.count < threshold) continue;
    PairKey key{r.tenant_id.uuid(), r.event_type};
    auto [it, fresh] = group_of.try_emplace(key, groups.size());
    if (fresh) {
      groups.push_back({key, r.severity, r.count});
    } else {
      Group& g = groups[it->second];
      g.severity = std::max(g.severity, r.severity);
      g.count = std::max(g.count, r.count);
    }
  }
  if (groups.empty()) return;
  std::sort(groups.begin(), groups.end(), [](const Group& a, const Group& b) { return pair_less(a.key, b.key); });

  // Resolve every group to the first indicator of its pair before appending anything, so the
  // views into the indicators' text stay valid while they are used.
  std::vector<std::size_t> target(groups.size(), RollupIndex::kEmpty);
  {
    std::unordered_map<PairKey, std::size_t, PairKeyHash> first_indicator;
    first_indicator.reserve(indicators.size());
    for (std::size_t i = 0; i < indicators.size(); ++i) {
      first_indicator.try_emplace(PairKey{indicators[i].tenant_id.uuid(), indicators[i].indicator_type}, i);
    }
    for (std::size_t g = 0; g < groups.size(); ++g) {
      if (auto it = first_indicator.find(groups[g].key); it != first_indicator.end()) target[g] = it->second;
    }
  }

  for (std::size_t g = 0; g < groups.size(); ++g) {
    const Group& group = groups[g];
    // Any count of ten or more scores the maximum; comparing first keeps 10 × count from
    // overflowing for the largest counts.
    const auto score = static_cast<std::uint8_t>(group.count >= 10 ? 100 : group.count * 10);
    if (target[g] != RollupIndex::kEmpty) {
      RiskIndicator& ind = indicators[target[g]];
      ind.last_seen_at = now;
      ind.severity = group.severity;
      ind.score = std::max(ind.score, score);
      continue;
    }
    RiskIndicator ind;
    ind.indicator_id = IndicatorId::generate();
    ind.tenant_id = TenantId(group.key.tenant);
    ind.workspace_id = WorkspaceId::generate();
    ind.indicator_type = std::string(group.key.type);
    ind.severity = group.severity;
    ind.score = score;
    ind.reason_codes.push_back(fmt::format("bucket count {} >= {}", group.count, threshold));
    ind.first_seen_at = now;
    ind.last_seen_at = now;
    ind.acknowledged = false;
    indicators.push_back(std::move(ind));
  }
}

std::int64_t VistrelStore::retention_window_seconds(std::int64_t days) {
  std::int64_t window = 0;
  if (__builtin_mul_overflow(days, std::int64_t{86400}, &window)) {
    return days > 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
  }
  return window;
}

std::uint64_t VistrelStore::apply_retention(std::int64_t window_seconds, const Timestamp& now) {
  std::int64_t cutoff = 0;
  if (__builtin_sub_overflow(now.unix_seconds(), window_seconds, &cutoff)) {
    // Past the range's end: a far-back cutoff keeps everything, a far-ahead one keeps nothing.
    cutoff = window_seconds > 0 ? std::numeric_limits<std::int64_t>::min() : std::numeric_limits<std::int64_t>::max();
  }
  return static_cast<std::uint64_t>(events.erase_occurred_before(cutoff));
}

}  // namespace quenvistrel_aggregate
