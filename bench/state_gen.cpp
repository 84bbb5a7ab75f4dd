#include "state_gen.hpp"

#include <array>
#include <random>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <vector>

#include <fmt/format.h>

namespace quenvistrel_bench {

namespace {

using namespace quenvistrel_contracts;

constexpr std::array<std::string_view, 5> kProducts{"edge-gateway", "billing-api", "identity", "vpn-concentrator",
                                                    "mail-relay"};
constexpr std::array<std::string_view, 4> kStatuses{"success", "failure", "locked", "pending"};
constexpr std::array<std::string_view, 3> kSubjectKinds{"user", "service_account", "device"};
constexpr std::array<std::string_view, 6> kRegions{"eu-west", "eu-central", "us-east", "ap-south", "K\xc3\xb6ln",
                                                   "S\xc3\xa3o Paulo"};

class Generator {
 public:
  explicit Generator(std::uint64_t seed) : rng_(seed) {}

  std::uint64_t below(std::uint64_t n) { return rng_() % n; }

  quencore_contracts::Uuid uuid() {
    quencore_contracts::Uuid u;
    const std::uint64_t a = rng_();
    const std::uint64_t b = rng_();
    for (int k = 0; k < 8; ++k) {
      u.bytes[k] = static_cast<std::uint8_t>(a >> (8 * k));
      u.bytes[8 + k] = static_cast<std::uint8_t>(b >> (8 * k));
    }
    u.bytes[6] = static_cast<std::uint8_t>((u.bytes[6] & 0x0F) | 0x40);
    u.bytes[8] = static_cast<std::uint8_t>((u.bytes[8] & 0x3F) | 0x80);
    return u;
  }
  template <class Id>
  Id id() {
    return Id(uuid());
  }

  Timestamp at(std::int64_t seconds, std::uint32_t nanos) { return *Timestamp::from_unix(seconds, nanos); }

 private:
  std::mt19937_64 rng_;
};

struct RollupKey {
  std::size_t workspace;
  std::size_t product;
  std::size_t type;
  Severity severity;
  std::int64_t bucket_start;
  friend bool operator==(const RollupKey&, const RollupKey&) = default;
};

struct RollupKeyHash {
  std::size_t operator()(const RollupKey& k) const {
    std::size_t h = k.workspace;
    h = h * 1000003 ^ k.product;
    h = h * 1000003 ^ k.type;
    h = h * 1000003 ^ static_cast<std::size_t>(k.severity);
    return h * 1000003 ^ static_cast<std::size_t>(k.bucket_start);
  }
};

}  // namespace

quenvistrel_cli::CliState make_state(const StateShape& shape, std::uint64_t seed) {
  const std::uint64_t events = shape.events;
  Generator g(seed);
  quenvistrel_cli::CliState state;

  std::vector<TenantId> tenants;
  for (int t = 0; t < 8; ++t) tenants.push_back(g.id<TenantId>());
  // Three workspaces per tenant; a workspace's tenant is workspace / 3.
  std::vector<WorkspaceId> workspaces;
  for (int w = 0; w < 24; ++w) workspaces.push_back(g.id<WorkspaceId>());
  std::vector<Slug> products;
  for (auto p : kProducts) products.push_back(*Slug::try_from(std::string(p)));
  std::vector<std::string> types;
  for (int t = 0; t < 40; ++t) types.push_back(fmt::format("event_type_{:02}", t));

  const std::int64_t start = 1717200000;  // 2024-06-01T00:00:00Z
  const std::int64_t span = 30 * 86400;
  std::unordered_map<RollupKey, std::size_t, RollupKeyHash> rollup_of;
  auto& store = state.store;
  store.events.reserve(events);

  for (std::uint64_t i = 0; i < events; ++i) {
    VistrelEvent e;
    const std::size_t w = g.below(workspaces.size());
    const std::size_t p = g.below(products.size());
    const std::size_t t = g.below(types.size());
    e.event_id = g.id<EventId>();
    e.tenant_id = tenants[w / 3];
    e.workspace_id = workspaces[w];
    e.product_id = products[p];
    e.event_type = types[t];
    const std::uint64_t roll = g.below(100);
    e.severity = roll < 55 ? Severity::Info : roll < 75 ? Severity::Low : roll < 90 ? Severity::Medium
                 : roll < 98 ? Severity::High : Severity::Critical;
    e.status = kStatuses[g.below(kStatuses.size())];
    e.subject_kind = kSubjectKinds[g.below(kSubjectKinds.size())];
    e.subject_id = fmt::format("u-{}", g.below(200000));
    const auto occurred = start + static_cast<std::int64_t>(g.below(static_cast<std::uint64_t>(span)));
    // A third of the sources report milliseconds.
    e.occurred_at = g.at(occurred, g.below(3) == 0 ? static_cast<std::uint32_t>(g.below(1000)) * 1000000 : 0);
    e.received_at = g.at(occurred + 1 + static_cast<std::int64_t>(g.below(30)),
                         static_cast<std::uint32_t>(g.below(1000000000)));
    const std::uint64_t fields = g.below(5);
    if (fields > 0) e.safe_metadata.insert_or_assign("region", std::string(kRegions[g.below(kRegions.size())]));
    if (fields > 1) e.safe_metadata.insert_or_assign("client_version", fmt::format("5.{}.{}", g.below(4), g.below(20)));
    if (fields > 2) e.safe_metadata.insert_or_assign("auth_method", g.below(2) ? "password" : "webauthn");
    if (fields > 3) e.safe_metadata.insert_or_assign("note", "multi-line\nvalue with \"quotes\"");

    const RollupKey key{w, p, t, e.severity, bucket_start(TimeBucket::Hour, e.occurred_at)};
    auto [it, fresh] = rollup_of.try_emplace(key, store.rollups.size());
    if (fresh) {
      VistrelRollup r;
      r.rollup_id = g.id<RollupId>();
      r.tenant_id = e.tenant_id;
      r.workspace_id = e.workspace_id;
      r.product_id = e.product_id;
      r.event_type = e.event_type;
      r.severity = e.severity;
      r.bucket = TimeBucket::Hour;
      r.bucket_start = key.bucket_start;
      store.rollups.push_back(std::move(r));
    }
    ++store.rollups[it->second].count;
    store.events.push_back(std::move(e));
  }

  for (std::uint64_t k = 0; k < shape.extra_rollups; ++k) {
    const std::size_t w = g.below(workspaces.size());
    VistrelRollup r;
    r.rollup_id = g.id<RollupId>();
    r.tenant_id = tenants[w / 3];
    r.workspace_id = workspaces[w];
    r.product_id = products[g.below(products.size())];
    r.event_type = types[g.below(types.size())];
    r.severity = static_cast<Severity>(g.below(5));
    r.bucket = TimeBucket::Hour;
    r.bucket_start = start - 86400 * 365 + static_cast<std::int64_t>(g.below(24 * 365)) * 3600;
    r.count = 1 + g.below(30);
    store.rollups.push_back(std::move(r));
  }

  for (int k = 0; k < 300; ++k) {
    RiskIndicator r;
    const std::size_t w = g.below(workspaces.size());
    r.indicator_id = g.id<IndicatorId>();
    r.tenant_id = tenants[w / 3];
    r.workspace_id = workspaces[w];
    r.indicator_type = "high_severity_burst";
    r.severity = g.below(2) ? Severity::High : Severity::Critical;
    r.score = static_cast<std::uint8_t>(g.below(256));
    r.reason_codes = {fmt::format("high_severity_count>={}", 3 + g.below(5)), "event_type:" + types[g.below(40)]};
    r.first_seen_at = g.at(start + span, 0);
    r.last_seen_at = g.at(start + span + 3600, 500000000);
    r.acknowledged = g.below(4) == 0;
    store.indicators.push_back(std::move(r));
  }
  for (std::uint64_t k = 0; k < shape.rules; ++k) {
    AlertRule rule;
    rule.rule_id = g.id<AlertRuleId>();
    rule.tenant_id = tenants[g.below(tenants.size())];
    rule.name = fmt::format("{} burst", types[g.below(40)]);
    rule.enabled = g.below(5) != 0;
    rule.event_type = types[g.below(40)];
    rule.threshold = 1 + g.below(20);
    rule.bucket = g.below(3) == 0 ? TimeBucket::Day : TimeBucket::Hour;
    rule.severity = Severity::High;
    rule.cooldown_buckets = static_cast<std::uint32_t>(g.below(4));
    state.rules.push_back(std::move(rule));
  }
  for (std::uint64_t k = 0; k < shape.alerts && !state.rules.empty(); ++k) {
    const AlertRule& rule = state.rules[g.below(state.rules.size())];
    AlertEvent a;
    a.alert_id = g.id<AlertEventId>();
    a.rule_id = rule.rule_id;
    a.tenant_id = rule.tenant_id;
    a.bucket_start = start + static_cast<std::int64_t>(g.below(720)) * 3600;
    a.observed_count = rule.threshold + g.below(10);
    a.severity = rule.severity;
    a.fired_at = g.at(a.bucket_start + 7200, static_cast<std::uint32_t>(g.below(1000000000)));
    state.alerts.push_back(std::move(a));
  }
  return state;
}

}  // namespace quenvistrel_bench
