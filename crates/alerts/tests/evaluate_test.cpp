#include "quenvistrel_alerts/evaluate.hpp"
#include "quenvistrel_contracts/testing/samples.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <ostream>
#include <random>

namespace quenvistrel_contracts {
// Keeps failure output readable.
void PrintTo(const AlertEvent& a, std::ostream* os) {
  *os << "{rule " << a.rule_id.to_string().substr(0, 8) << " at " << a.bucket_start << " #" << a.observed_count
      << "}";
}
}  // namespace quenvistrel_contracts

namespace {

using namespace quenvistrel_contracts;
using quenvistrel_aggregate::VistrelStore;
using quenvistrel_alerts::evaluate;

constexpr std::int64_t kTen = 1714557600;  // 2024-05-01T10:00:00Z
constexpr std::int64_t kHour = 3600;
constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
constexpr auto kMax = std::numeric_limits<std::int64_t>::max();

const Timestamp kNow = *Timestamp::from_str("2024-05-02T00:00:00Z");

struct Tenant {
  TenantId tenant = TenantId::generate();
  WorkspaceId workspace = WorkspaceId::generate();

  VistrelRollup rollup(std::int64_t start, std::uint64_t count, std::string type = "login",
                       TimeBucket bucket = TimeBucket::Hour, Severity sev = Severity::Info) const {
    return samples::rollup(tenant, workspace, *Slug::try_from("idp"), std::move(type), sev, bucket, start, count);
  }
  AlertRule rule(std::uint64_t threshold, std::uint32_t cooldown, std::string type = "login") const {
    AlertRule r;
    r.rule_id = AlertRuleId::generate();
    r.tenant_id = tenant;
    r.name = type + " >= " + std::to_string(threshold);
    r.event_type = std::move(type);
    r.threshold = threshold;
    r.cooldown_buckets = cooldown;
    return r;
  }
};

std::vector<std::int64_t> starts(const std::vector<AlertEvent>& alerts) {
  std::vector<std::int64_t> out;
  for (const auto& a : alerts) out.push_back(a.bucket_start);
  return out;
}

TEST(Evaluate, CooldownFollowsRollupListOrder) {
  Tenant t;
  const AlertRule rule = t.rule(5, 2);
  struct Row {
    std::vector<std::pair<std::int64_t, std::uint64_t>> rollups;  // (hours after 10:00, count)
    std::vector<std::int64_t> fired;                              // hours after 10:00
  };
  const Row rows[] = {
      {{{0, 6}, {1, 7}, {2, 5}, {3, 9}}, {0, 3}},
      {{{3, 9}, {0, 6}, {1, 7}, {2, 5}}, {3, 0}},
  };
  for (const Row& row : rows) {
    VistrelStore store;
    for (auto [h, c] : row.rollups) store.rollups.push_back(t.rollup(kTen + h * kHour, c));
    std::vector<AlertEvent> alerts;
    const std::vector<AlertRule> rules{rule};
    EXPECT_EQ(evaluate(rules, store, alerts, kNow), row.fired.size());
    std::vector<std::int64_t> want;
    for (auto h : row.fired) want.push_back(kTen + h * kHour);
    EXPECT_EQ(starts(alerts), want);
    for (const auto& a : alerts) {
      EXPECT_EQ(a.rule_id, rule.rule_id);
      EXPECT_EQ(a.tenant_id, t.tenant);
      EXPECT_EQ(a.severity, Severity::High) << "the rule's severity, not the rollup's Info";
      EXPECT_EQ(a.fired_at, kNow);
      EXPECT_FALSE(a.acknowledged);
    }
    EXPECT_EQ(alerts[0].observed_count, row.rollups[0].second);
    EXPECT_NE(alerts[0].alert_id, alerts[1].alert_id);
    EXPECT_EQ(evaluate(rules, store, alerts, kNow), 0u) << "a second pass fires nothing";
  }
}

TEST(Evaluate, MatchingAndCooldownEdges) {
  Tenant t;
  Tenant other;
  struct Row {
    const char* what;
    std::vector<VistrelRollup> rollups;
    AlertRule rule;
    std::vector<std::int64_t> fired;
  };
  AlertRule disabled = t.rule(1, 0);
  disabled.enabled = false;
  AlertRule daily = t.rule(1, 0);
  daily.bucket = TimeBucket::Day;
  const Row rows[] = {
      {"cooldown 0 fires each bucket once",
       {t.rollup(kTen, 1), t.rollup(kTen + kHour, 1), t.rollup(kTen + 2 * kHour, 1)},
       t.rule(1, 0),
       {kTen, kTen + kHour, kTen + 2 * kHour}},
      {"threshold is inclusive", {t.rollup(kTen, 4), t.rollup(kTen + 9 * kHour, 5)}, t.rule(5, 0),
       {kTen + 9 * kHour}},
      {"one alert per bucket start, for the first rollup",
       {t.rollup(kTen, 2), other.rollup(kTen, 9), t.rollup(kTen, 3, "login", TimeBucket::Hour, Severity::Critical)},
       t.rule(1, 0),
       {kTen}},
      {"disabled rule", {t.rollup(kTen, 9)}, disabled, {}},
      {"day rule against hourly rollups", {t.rollup(kTen, 9)}, daily, {}},
      {"day rule, day rollups, cooldown in days",
       {t.rollup(0, 9, "login", TimeBucket::Day), t.rollup(86400, 9, "login", TimeBucket::Day),
        t.rollup(2 * 86400, 9, "login", TimeBucket::Day)},
       [&] {
         AlertRule r = daily;
         r.enabled = true;
         r.cooldown_buckets = 1;
         return r;
       }(),
       {0, 2 * 86400}},
      {"other tenant and other letter case", {other.rollup(kTen, 9), t.rollup(kTen, 9, "Login")}, t.rule(1, 0), {}},
      // Far-apart buckets: the exact difference is far outside the window in both directions,
      // and a window reaching below the smallest start still covers what lies in it.
      {"extreme starts", {t.rollup(kMin, 1), t.rollup(kMax, 1), t.rollup(kMin + 10, 1), t.rollup(kMin + 5, 1)},
       t.rule(1, 1), {kMin, kMax}},
  };
  for (const Row& row : rows) {
    VistrelStore store;
    store.rollups = row.rollups;
    std::vector<AlertEvent> alerts;
    const std::vector<AlertRule> rules{row.rule};
    EXPECT_EQ(evaluate(rules, store, alerts, kNow), row.fired.size()) << row.what;
    EXPECT_EQ(starts(alerts), row.fired) << row.what;
  }
}

TEST(Evaluate, EarlierAlertsSuppressOnlyTheirOwnRulesLaterBuckets) {
  Tenant t;
  AlertRule a = t.rule(1, 1);
  AlertRule b = t.rule(1, 1);  // same content, its own id
  VistrelStore store;
  store.rollups = {t.rollup(kTen, 3), t.rollup(kTen + kHour, 3), t.rollup(kTen + 2 * kHour, 3)};

  AlertEvent later;  // an alert of `a` for 11:00 must not cover 10:00
  later.rule_id = a.rule_id;
  later.bucket_start = kTen + kHour;
  later.observed_count = 1;
  std::vector<AlertEvent> alerts{later};
  const std::vector<AlertRule> rules{a, b};
  // a: 10:00 fires despite the 11:00 alert; 11:00 (d = 0) and 12:00 (d = 1 h) are covered by it.
  // b: 10:00 fires, 11:00 lies within its window, 12:00 is 2 h after it and fires.
  EXPECT_EQ(evaluate(rules, store, alerts, kNow), 3u);
  std::vector<std::pair<AlertRuleId, std::int64_t>> got;
  for (const auto& e : alerts) got.emplace_back(e.rule_id, e.bucket_start);
  const std::vector<std::pair<AlertRuleId, std::int64_t>> want = {
      {a.rule_id, kTen + kHour}, {a.rule_id, kTen}, {b.rule_id, kTen}, {b.rule_id, kTen + 2 * kHour}};
  EXPECT_EQ(got, want);
}

TEST(Evaluate, ObservedCountIsFrozenAndNoRollupsMeansNothing) {
  Tenant t;
  const std::vector<AlertRule> rules{t.rule(1, 0)};
  VistrelStore store;
  std::vector<AlertEvent> alerts;
  EXPECT_EQ(evaluate(rules, store, alerts, kNow), 0u);
  store.rollups = {t.rollup(kTen, 2)};
  EXPECT_EQ(evaluate(rules, store, alerts, kNow), 1u);
  store.rollups[0].count = 50;
  EXPECT_EQ(evaluate(rules, store, alerts, kNow), 0u);
  ASSERT_EQ(alerts.size(), 1u);
  EXPECT_EQ(alerts[0].observed_count, 2u);
  EXPECT_EQ(evaluate({}, store, alerts, kNow), 0u);
}

__extension__ using Wide = __int128;

// The plain algorithm: every rule over every rollup, every candidate against the whole alert
// list, with the difference taken exactly.
std::uint64_t reference(const std::vector<AlertRule>& rules, const VistrelStore& store, std::vector<AlertEvent>& alerts,
                        const Timestamp& now) {
  if (store.rollups.empty()) return 0;
  std::uint64_t fired = 0;
  for (const auto& rule : rules) {
    if (!rule.enabled) continue;
    const std::uint64_t window = std::uint64_t{rule.cooldown_buckets} * static_cast<std::uint64_t>(width_seconds(rule.bucket));
    for (const auto& r : store.rollups) {
      if (r.tenant_id != rule.tenant_id || r.event_type != rule.event_type || r.bucket != rule.bucket ||
          r.count < rule.threshold) {
        continue;
      }
      bool suppressed = false;
      for (const auto& a : alerts) {
        if (a.rule_id != rule.rule_id) continue;
        const Wide d = static_cast<Wide>(r.bucket_start) - a.bucket_start;
        if (d >= 0 && d <= static_cast<Wide>(window)) suppressed = true;
      }
      if (suppressed) continue;
      AlertEvent e;
      e.rule_id = rule.rule_id;
      e.tenant_id = rule.tenant_id;
      e.bucket_start = r.bucket_start;
      e.observed_count = r.count;
      e.severity = rule.severity;
      e.fired_at = now;
      alerts.push_back(e);
      ++fired;
    }
  }
  return fired;
}

TEST(Evaluate, EqualsThePlainAlgorithmOnRandomInputs) {
  std::mt19937_64 rng(7);
  const Tenant tenants[] = {Tenant{}, Tenant{}};
  const char* types[] = {"login", "Login"};
  const std::int64_t extremes[] = {kMin, kMin + 1800, kMax, kMax - 3600};
  for (int round = 0; round < 300; ++round) {
    auto start = [&]() -> std::int64_t {
      if (rng() % 16 == 0) return extremes[rng() % 4];
      return kTen + static_cast<std::int64_t>(rng() % 12) * kHour * (rng() % 3 == 0 ? 24 : 1);
    };
    VistrelStore store;
    const std::size_t n_rollups = rng() % 20;
    for (std::size_t i = 0; i < n_rollups; ++i) {
      const Tenant& t = tenants[rng() % 2];
      store.rollups.push_back(t.rollup(start(), rng() % 6, types[rng() % 2],
                                       rng() % 4 == 0 ? TimeBucket::Day : TimeBucket::Hour));
    }
    std::vector<AlertRule> rules;
    const std::size_t n_rules = rng() % 6;
    for (std::size_t i = 0; i < n_rules; ++i) {
      AlertRule r = tenants[rng() % 2].rule(rng() % 5, static_cast<std::uint32_t>(rng() % 4), types[rng() % 2]);
      r.enabled = rng() % 5 != 0;
      if (rng() % 4 == 0) r.bucket = TimeBucket::Day;
      if (!rules.empty() && rng() % 5 == 0) r.rule_id = rules[rng() % rules.size()].rule_id;  // hand-edited twin
      rules.push_back(r);
    }
    std::vector<AlertEvent> alerts;
    for (std::size_t i = 0, n = rng() % 6; i < n && !rules.empty(); ++i) {
      AlertEvent a;
      a.alert_id = AlertEventId::generate();
      a.rule_id = rules[rng() % rules.size()].rule_id;
      a.bucket_start = start();
      alerts.push_back(a);
    }
    std::vector<AlertEvent> expected = alerts;
    const auto want = reference(rules, store, expected, kNow);
    const auto got = evaluate(rules, store, alerts, kNow);
    ASSERT_EQ(got, want) << "round " << round;
    ASSERT_EQ(alerts.size(), expected.size());
    for (std::size_t i = 0; i < alerts.size(); ++i) {
      expected[i].alert_id = alerts[i].alert_id;  // random on both sides
      ASSERT_EQ(alerts[i], expected[i]) << "round " << round << " alert " << i;
    }
  }
}

}  // namespace
