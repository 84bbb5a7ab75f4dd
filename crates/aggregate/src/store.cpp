#include "quenvistrel_aggregate/store.hpp"

#include "quencore_contracts/hash.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <string_view>

#include <boost/unordered/unordered_flat_map.hpp>

namespace quenvistrel_aggregate {

using quencore_contracts::hash_combine;
using quencore_contracts::hash_finish;
using quencore_contracts::hash_text;
using quencore_contracts::Uuid;
using quenvistrel_contracts::IndicatorId;
using quenvistrel_contracts::RollupId;
using quenvistrel_contracts::Severity;
using quenvistrel_contracts::TenantId;
using quenvistrel_contracts::Timestamp;
using quenvistrel_contracts::WorkspaceId;

std::uint64_t IngestRun::Known::hash() const {
  std::uint64_t h = hash_combine(0, tenant);
  h = hash_combine(h, workspace);
  h = hash_combine(h, (std::uint64_t{product} << 32) | event_type);
  h = hash_combine(h, (static_cast<std::uint64_t>(severity) << 8) | static_cast<std::uint64_t>(bucket));
  h = hash_combine(h, static_cast<std::uint64_t>(bucket_start));
  return hash_finish(h);
}

bool IngestRun::Known::same_key(const Known& o) const {
  return o.product == product && o.event_type == event_type && o.bucket_start == bucket_start &&
         o.severity == severity && o.bucket == bucket && o.tenant == tenant && o.workspace == workspace;
}

namespace {

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


}  // namespace

IngestRun::IngestRun(VistrelStore& store)
    : own_events_(std::in_place, store.events), rollups_(store.rollups), events_(*own_events_) {
  index_rollups();
}

IngestRun::IngestRun(std::vector<VistrelRollup>& rollups, EventSink& events) : rollups_(rollups), events_(events) {
  index_rollups();
}

void IngestRun::index_rollups() {
  static_assert(sizeof(Known) == 64, "a rollup's key and count fill one cache line");
  const auto& rollups = rollups_;
  known_.reserve(rollups.size());
  index_.reserve(rollups.size());
  for (const VistrelRollup& r : rollups) {
    known_.push_back(Known{r.tenant_id.uuid(), r.workspace_id.uuid(), texts_.add(r.product_id.str()),
                           texts_.add(r.event_type), r.bucket_start, r.count, r.severity, r.bucket});
    // A later duplicate of a key stays out: the first rollup of a key takes every increment.
    index_.insert(static_cast<std::uint32_t>(known_.size() - 1));
  }
}

void IngestRun::ingest(VistrelEvent event, TimeBucket bucket) {
  auto& rollups = rollups_;
  const std::int64_t start = quenvistrel_contracts::bucket_start(bucket, event.occurred_at);
  // A text seen for the first time is numbered at once: its key is new either way.
  const Known key{event.tenant_id.uuid(),
                  event.workspace_id.uuid(),
                  texts_.add(event.product_id.str()),
                  texts_.add(event.event_type),
                  start,
                  1,
                  event.severity,
                  bucket};
  if (const auto found = index_.find(key); found != index_.end()) {
    const std::uint32_t p = *found;
    // Only a hand-edited state can hold the largest count; it stays there rather than wrap.
    std::uint64_t& count = known_[p].count;
    if (count != std::numeric_limits<std::uint64_t>::max()) ++count;
    // Written, never read, so the rollup's line is not waited for.
    rollups[p].count = count;
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
    known_.push_back(key);
    index_.insert(static_cast<std::uint32_t>(known_.size() - 1));
  }
  events_.add(event);
}

void VistrelStore::ingest(VistrelEvent event, TimeBucket bucket) { IngestRun(*this).ingest(std::move(event), bucket); }

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
  boost::unordered_flat_map<PairKey, std::size_t, PairKeyHash> group_of;
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
  constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  std::vector<std::size_t> target(groups.size(), kNone);
  {
    boost::unordered_flat_map<PairKey, std::size_t, PairKeyHash> first_indicator;
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
    if (target[g] != kNone) {
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

std::int64_t VistrelStore::retention_cutoff(std::int64_t window_seconds, const Timestamp& now) {
  std::int64_t cutoff = 0;
  if (__builtin_sub_overflow(now.unix_seconds(), window_seconds, &cutoff)) {
    // Past the range's end: a far-back cutoff keeps everything, a far-ahead one keeps nothing.
    cutoff = window_seconds > 0 ? std::numeric_limits<std::int64_t>::min() : std::numeric_limits<std::int64_t>::max();
  }
  return cutoff;
}

std::uint64_t VistrelStore::apply_retention(std::int64_t window_seconds, const Timestamp& now) {
  return static_cast<std::uint64_t>(events.erase_occurred_before(retention_cutoff(window_seconds, now)));
}

}  // namespace quenvistrel_aggregate
