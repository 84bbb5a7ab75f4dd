#include "quenvistrel_alerts/evaluate.hpp"

#include "quencore_contracts/hash.hpp"

#include <functional>
#include <limits>
#include <memory_resource>
#include <set>
#include <string_view>

#include <boost/unordered/unordered_flat_map.hpp>

namespace quenvistrel_alerts {

using quencore_contracts::Uuid;
using quenvistrel_contracts::AlertEvent;
using quenvistrel_contracts::AlertEventId;
using quenvistrel_contracts::AlertRule;
using quenvistrel_contracts::TimeBucket;
using quenvistrel_contracts::Timestamp;
using quenvistrel_contracts::VistrelRollup;

namespace {

struct UuidHash {
  std::size_t operator()(const Uuid& u) const { return quencore_contracts::hash_combine(0, u); }
};

// What a rollup must share with a rule to be a candidate; the views point into the rules,
// which stay put for the whole call.
struct MatchKey {
  Uuid tenant;
  std::string_view event_type;
  TimeBucket bucket;
  friend bool operator==(const MatchKey&, const MatchKey&) = default;
};

struct MatchKeyHash {
  std::size_t operator()(const MatchKey& k) const {
    using quencore_contracts::hash_combine;
    return hash_combine(hash_combine(quencore_contracts::hash_text(k.event_type), k.tenant),
                        static_cast<std::uint64_t>(k.bucket));
  }
};

// Whether some bucket start a in `fired` has 0 <= start - a <= window, i.e. lies in
// [start - window, start]. The lower end is clamped instead of computed with overflow.
bool suppressed(const std::pmr::set<std::int64_t>& fired, std::int64_t start, std::uint64_t window) {
  std::int64_t lower = 0;
  // The window is below 2^32 × 86400, so it fits a signed 64-bit value.
  if (__builtin_sub_overflow(start, static_cast<std::int64_t>(window), &lower)) {
    lower = std::numeric_limits<std::int64_t>::min();
  }
  const auto it = fired.lower_bound(lower);
  return it != fired.end() && *it <= start;
}

}  // namespace

std::uint64_t evaluate(std::span<const AlertRule> rules, const quenvistrel_aggregate::VistrelStore& store,
                       std::vector<AlertEvent>& alerts, const Timestamp& now) {
  if (store.rollups.empty()) return 0;

  // Candidates of every enabled rule's (tenant, event type, bucket), in rollup list order,
  // with the two values a rule looks at copied side by side: rules that share a key walk the
  // same list, and walking the rollups themselves would miss the cache at every step.
  struct Candidate {
    std::int64_t bucket_start;
    std::uint64_t count;
  };
  boost::unordered_flat_map<MatchKey, std::vector<Candidate>, MatchKeyHash> candidates;
  // Bucket starts of every alert of a rule id; alerts appended below join at once, so a
  // lookup sees the list as it stands at that moment.
  // Their nodes come from one pool, released at once at the end: a pass can fire millions.
  std::pmr::monotonic_buffer_resource pool;
  boost::unordered_flat_map<Uuid, std::pmr::set<std::int64_t>, UuidHash> fired_by_rule;
  for (const AlertRule& rule : rules) {
    if (!rule.enabled) continue;
    candidates.try_emplace(MatchKey{rule.tenant_id.uuid(), rule.event_type, rule.bucket});
    fired_by_rule.try_emplace(rule.rule_id.uuid(), &pool);
  }
  if (candidates.empty()) return 0;
  for (const VistrelRollup& r : store.rollups) {
    if (auto it = candidates.find(MatchKey{r.tenant_id.uuid(), r.event_type, r.bucket}); it != candidates.end()) {
      it->second.push_back({r.bucket_start, r.count});
    }
  }
  for (const AlertEvent& a : alerts) {
    if (auto it = fired_by_rule.find(a.rule_id.uuid()); it != fired_by_rule.end()) it->second.insert(a.bucket_start);
  }

  std::uint64_t appended = 0;
  for (const AlertRule& rule : rules) {
    if (!rule.enabled) continue;
    const auto width = static_cast<std::uint64_t>(quenvistrel_contracts::width_seconds(rule.bucket));
    const std::uint64_t window = std::uint64_t{rule.cooldown_buckets} * width;
    auto& fired = fired_by_rule.find(rule.rule_id.uuid())->second;
    for (const Candidate& r : candidates[MatchKey{rule.tenant_id.uuid(), rule.event_type, rule.bucket}]) {
      if (r.count < rule.threshold || suppressed(fired, r.bucket_start, window)) continue;
      AlertEvent alert;
      alert.alert_id = AlertEventId::generate();
      alert.rule_id = rule.rule_id;
      alert.tenant_id = rule.tenant_id;
      alert.bucket_start = r.bucket_start;
      alert.observed_count = r.count;
      alert.severity = rule.severity;
      alert.fired_at = now;
      alert.acknowledged = false;
      alerts.push_back(std::move(alert));
      fired.insert(r.bucket_start);
      ++appended;
    }
  }
  return appended;
}

}  // namespace quenvistrel_alerts
