#include "quenvistrel_aggregate/store.hpp"
#include "quenvistrel_contracts/testing/samples.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <ostream>
#include <random>
#include <string>

namespace {

using namespace quenvistrel_aggregate;
using quencore_contracts::Slug;
using quencore_contracts::TenantId;
using quencore_contracts::Timestamp;
using quencore_contracts::Uuid;
using quencore_contracts::WorkspaceId;
using quenvistrel_contracts::RollupId;
using quenvistrel_contracts::Severity;

}  // namespace

namespace quenvistrel_contracts {
// Keeps failure output readable: the key and count, not the object's bytes.
void PrintTo(const VistrelRollup& r, std::ostream* os) {
  *os << "{" << r.tenant_id.to_string().substr(0, 8) << " " << r.workspace_id.to_string().substr(0, 8) << " "
      << r.product_id.str() << " " << r.event_type << " sev" << static_cast<int>(r.severity) << " b"
      << static_cast<int>(r.bucket) << " " << r.bucket_start << " #" << r.count << "}";
}
}  // namespace quenvistrel_contracts

namespace {

constexpr auto kMaxCount = std::numeric_limits<std::uint64_t>::max();

Timestamp at(const char* text) { return *Timestamp::from_str(text); }

TenantId tenant_of(const char* uuid) { return TenantId(*Uuid::parse(uuid)); }

struct Source {
  TenantId tenant = TenantId::generate();
  WorkspaceId workspace = WorkspaceId::generate();
  Slug product = *Slug::try_from("idp");

  VistrelEvent event(std::string type, Severity sev, const char* occurred) const {
    return event(std::move(type), sev, at(occurred));
  }
  VistrelEvent event(std::string type, Severity sev, Timestamp occurred) const {
    VistrelEvent e;
    e.event_id = quenvistrel_contracts::EventId::generate();
    e.tenant_id = tenant;
    e.workspace_id = workspace;
    e.product_id = product;
    e.event_type = std::move(type);
    e.severity = sev;
    e.status = "success";
    e.subject_kind = "user";
    e.subject_id = "u-1";
    e.occurred_at = occurred;
    e.received_at = at("2030-01-01T00:00:00Z");  // far from every occurred_at: must play no part
    return e;
  }
  VistrelRollup rollup(std::string type, Severity sev, std::int64_t start, std::uint64_t count,
                       TimeBucket bucket = TimeBucket::Hour) const {
    return quenvistrel_contracts::samples::rollup(tenant, workspace, product, std::move(type), sev, bucket, start,
                                                  count);
  }
};

// ---------------------------------------------------------------------------------------------
// Ingest

TEST(Ingest, BucketsFloorToUtcHoursAndDays) {
  struct Row {
    const char* occurred;
    TimeBucket bucket;
    std::int64_t start;
  };
  const Row rows[] = {
      {"2024-05-01T10:00:00Z", TimeBucket::Hour, 1714557600},
      {"2024-05-01T10:59:59.999Z", TimeBucket::Hour, 1714557600},
      {"2024-05-01T11:00:00Z", TimeBucket::Hour, 1714561200},
      {"2024-05-01T01:30:00+02:00", TimeBucket::Hour, 1714518000},
      {"2024-05-01T01:30:00+02:00", TimeBucket::Day, 1714435200},
      {"1969-12-31T23:59:59Z", TimeBucket::Hour, -3600},
      {"1969-12-31T23:59:59Z", TimeBucket::Day, -86400},
      {"1969-12-31T23:00:00Z", TimeBucket::Hour, -3600},
      {"1970-01-01T00:00:00Z", TimeBucket::Day, 0},
  };
  for (const Row& row : rows) {
    VistrelStore store;
    Source src;
    store.ingest(src.event("login", Severity::High, row.occurred), row.bucket);
    ASSERT_EQ(store.rollups.size(), 1u);
    EXPECT_EQ(store.rollups[0].bucket_start, row.start) << row.occurred;
    EXPECT_EQ(store.rollups[0].bucket, row.bucket);
  }
}

TEST(Ingest, CountsEventsOfOneKeyAndSplitsOnAnyKeyDifference) {
  VistrelStore store;
  Source src;
  Source other_ws = src;
  other_ws.workspace = WorkspaceId::generate();
  store.ingest(src.event("login", Severity::High, "2024-05-01T10:00:00Z"), TimeBucket::Hour);
  store.ingest(src.event("login", Severity::High, "2024-05-01T10:59:59Z"), TimeBucket::Hour);
  store.ingest(src.event("login", Severity::High, "2024-05-01T11:00:00Z"), TimeBucket::Hour);
  store.ingest(src.event("Login", Severity::High, "2024-05-01T10:00:00Z"), TimeBucket::Hour);
  store.ingest(src.event("login", Severity::Low, "2024-05-01T10:00:00Z"), TimeBucket::Hour);
  store.ingest(other_ws.event("login", Severity::High, "2024-05-01T10:00:00Z"), TimeBucket::Hour);
  store.ingest(src.event("login", Severity::High, "2024-05-01T10:00:00Z"), TimeBucket::Day);
  VistrelEvent twice = src.event("login", Severity::High, "2024-05-01T10:30:00Z");
  store.ingest(twice, TimeBucket::Hour);
  store.ingest(twice, TimeBucket::Hour);

  ASSERT_EQ(store.rollups.size(), 6u);
  EXPECT_EQ(store.rollups[0].count, 4u);
  EXPECT_EQ(store.rollups[0].bucket_start, 1714557600);
  EXPECT_EQ(store.rollups[1].bucket_start, 1714561200);
  EXPECT_EQ(store.rollups[2].event_type, "Login");
  EXPECT_EQ(store.rollups[3].severity, Severity::Low);
  EXPECT_EQ(store.rollups[4].workspace_id, other_ws.workspace);
  EXPECT_EQ(store.rollups[5].bucket, TimeBucket::Day);
  for (std::size_t i = 1; i < 6; ++i) EXPECT_EQ(store.rollups[i].count, 1u) << i;
  ASSERT_EQ(store.events.size(), 9u);
  EXPECT_EQ(store.events[2].occurred_at, at("2024-05-01T11:00:00Z"));  // ingest order
  EXPECT_EQ(store.events[7], store.events[8]) << "an event ingested twice is stored twice";
}

TEST(Ingest, FirstRollupOfADuplicatedKeyTakesTheIncrements) {
  Source src;
  VistrelStore store;
  store.rollups = {src.rollup("other", Severity::High, 1714557600, 1), src.rollup("login", Severity::High, 1714557600, 5),
                   src.rollup("login", Severity::High, 1714557600, 7)};
  store.ingest(src.event("login", Severity::High, "2024-05-01T10:15:00Z"), TimeBucket::Hour);
  EXPECT_EQ(store.rollups[1].count, 6u);
  EXPECT_EQ(store.rollups[2].count, 7u);

  // Rollups appended by a reader after an ingest are taken in before the next lookup, and a
  // duplicate of an indexed key appended that way stays second.
  store.rollups.push_back(src.rollup("late", Severity::Info, 0, 3));
  store.rollups.push_back(src.rollup("login", Severity::High, 1714557600, 100));
  store.ingest(src.event("late", Severity::Info, "1970-01-01T00:30:00Z"), TimeBucket::Hour);
  store.ingest(src.event("login", Severity::High, "2024-05-01T10:15:00Z"), TimeBucket::Hour);
  EXPECT_EQ(store.rollups[3].count, 4u);
  EXPECT_EQ(store.rollups[1].count, 7u);
  EXPECT_EQ(store.rollups[4].count, 100u);
  EXPECT_EQ(store.rollups.size(), 5u);

  // A list replaced wholesale is indexed afresh.
  store.rollups = {src.rollup("login", Severity::High, 1714557600, 1)};
  store.ingest(src.event("login", Severity::High, "2024-05-01T10:15:00Z"), TimeBucket::Hour);
  ASSERT_EQ(store.rollups.size(), 1u);
  EXPECT_EQ(store.rollups[0].count, 2u);

  // A copy of the store counts into its own rollups.
  VistrelStore copy = store;
  copy.ingest(src.event("login", Severity::High, "2024-05-01T10:15:00Z"), TimeBucket::Hour);
  EXPECT_EQ(copy.rollups[0].count, 3u);
  EXPECT_EQ(store.rollups[0].count, 2u);
}

TEST(Ingest, CountSaturatesInsteadOfWrapping) {
  Source src;
  VistrelStore store;
  store.rollups = {src.rollup("login", Severity::High, 1714557600, kMaxCount)};
  store.ingest(src.event("login", Severity::High, "2024-05-01T10:15:00Z"), TimeBucket::Hour);
  EXPECT_EQ(store.rollups[0].count, kMaxCount);
  EXPECT_EQ(store.events.size(), 1u);
}

// The indexed lookup against a plain first-match scan, over random events with few distinct
// keys (so most ingests hit), interleaved with rollups appended or replaced by hand.
TEST(Ingest, IndexedLookupEqualsLinearScan) {
  std::mt19937_64 rng(20240501);
  const Source sources[] = {Source{}, Source{}, Source{}};
  const char* types[] = {"login", "Login", "logout", "login2"};
  const Severity sevs[] = {Severity::Info, Severity::High};
  auto pick = [&](auto& arr) -> auto& { return arr[rng() % std::size(arr)]; };

  // Single calls, and runs that keep their index across calls (re-made whenever the test changes
  // the rollups itself, as nothing else may while a run lives).
  for (int round = 0; round < 12; ++round) {
    const bool through_runs = round % 2 == 1;
    VistrelStore store;
    std::optional<IngestRun> run;
    std::vector<VistrelRollup> ref;
    for (int step = 0; step < 400; ++step) {
      const Source& src = pick(sources);
      const TimeBucket bucket = rng() % 4 == 0 ? TimeBucket::Day : TimeBucket::Hour;
      const auto occurred = *Timestamp::from_unix(static_cast<std::int64_t>(rng() % 4) * 5400 - 7200, 0);
      const auto roll = rng() % 40;
      if (roll == 0) {
        auto r = src.rollup(pick(types), pick(sevs), quenvistrel_contracts::bucket_start(bucket, occurred), rng() % 3,
                            bucket);
        run.reset();
        store.rollups.push_back(r);
        ref.push_back(r);
        continue;
      }
      if (roll == 1) {
        // A fresh load of a hand-edited file: any order, duplicates included.
        std::shuffle(ref.begin(), ref.end(), rng);
        VistrelStore loaded;
        loaded.rollups = ref;
        run.reset();
        store = std::move(loaded);
        continue;
      }
      VistrelEvent e = src.event(pick(types), pick(sevs), occurred);
      const std::int64_t b = quenvistrel_contracts::bucket_start(bucket, occurred);
      auto it = std::find_if(ref.begin(), ref.end(), [&](const VistrelRollup& r) {
        return r.tenant_id == e.tenant_id && r.workspace_id == e.workspace_id && r.product_id == e.product_id &&
               r.event_type == e.event_type && r.severity == e.severity && r.bucket == bucket && r.bucket_start == b;
      });
      if (through_runs) {
        if (!run) run.emplace(store);
        run->ingest(e, bucket);
      } else {
        store.ingest(e, bucket);
      }
      if (it != ref.end()) {
        ++it->count;
      } else {
        ASSERT_FALSE(store.rollups.empty());
        VistrelRollup r = store.rollups.back();
        ref.push_back(r);  // the id is random; the key and count are checked below
        EXPECT_EQ(r.count, 1u);
        EXPECT_EQ(r.event_type, e.event_type);
        EXPECT_EQ(r.bucket_start, b);
      }
      ASSERT_EQ(store.rollups, ref) << "round " << round << " step " << step;
    }
  }
}

TEST(RollupsFor, TenantsRollupsInStoreOrder) {
  Source a;
  Source b;
  VistrelStore store;
  store.rollups = {a.rollup("x", Severity::Info, 0, 1), b.rollup("y", Severity::Info, 0, 1),
                   a.rollup("z", Severity::Info, 86400, 1, TimeBucket::Day)};
  auto found = store.rollups_for(a.tenant);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0], &store.rollups[0]);
  EXPECT_EQ(found[1], &store.rollups[2]);
  EXPECT_TRUE(store.rollups_for(TenantId::generate()).empty());
}

// ---------------------------------------------------------------------------------------------
// Risk indicators

struct RiskFixture : ::testing::Test {
  Source src;
  VistrelStore store;
  const Timestamp t1 = at("2024-05-01T12:00:00Z");
  const Timestamp t2 = at("2024-05-02T12:00:00Z");
};

TEST_F(RiskFixture, SelectionGroupingAndScore) {
  struct Row {
    const char* what;
    std::vector<std::pair<Severity, std::uint64_t>> rollups;  // all of one tenant and event type
    std::uint64_t threshold;
    std::size_t indicators;
    Severity severity;
    int score;
    const char* reason;
  };
  const Row rows[] = {
      {"threshold 0 takes any high count", {{Severity::High, 0}}, 0, 1, Severity::High, 0, "bucket count 0 >= 0"},
      {"at the threshold", {{Severity::High, 3}}, 3, 1, Severity::High, 30, "bucket count 3 >= 3"},
      {"below the threshold", {{Severity::High, 2}}, 3, 0, {}, 0, ""},
      {"low severities never count",
       {{Severity::Info, 500}, {Severity::Low, 500}, {Severity::Medium, 500}}, 1, 0, {}, 0, ""},
      {"largest count, not the sum", {{Severity::High, 7}, {Severity::High, 12}}, 5, 1, Severity::High, 100,
       "bucket count 12 >= 5"},
      {"maxima taken separately", {{Severity::High, 4}, {Severity::Critical, 2}}, 2, 1, Severity::Critical, 40,
       "bucket count 4 >= 2"},
      {"10 x count would wrap", {{Severity::High, 1844674407370955162ULL}}, 1, 1, Severity::High, 100,
       "bucket count 1844674407370955162 >= 1"},
      {"largest count", {{Severity::Critical, kMaxCount}}, kMaxCount, 1, Severity::Critical, 100,
       "bucket count 18446744073709551615 >= 18446744073709551615"},
  };
  for (const Row& row : rows) {
    VistrelStore s;
    std::int64_t start = 0;
    for (auto [sev, count] : row.rollups) s.rollups.push_back(src.rollup("login", sev, start += 3600, count));
    s.derive_risk_indicators(row.threshold, t1);
    ASSERT_EQ(s.indicators.size(), row.indicators) << row.what;
    if (row.indicators == 0) continue;
    const RiskIndicator& ind = s.indicators[0];
    EXPECT_EQ(ind.severity, row.severity) << row.what;
    EXPECT_EQ(ind.score, row.score) << row.what;
    EXPECT_EQ(ind.reason_codes, std::vector<std::string>{row.reason}) << row.what;
    EXPECT_EQ(ind.tenant_id, src.tenant);
    EXPECT_EQ(ind.indicator_type, "login");
    EXPECT_NE(ind.workspace_id, src.workspace) << "a fresh workspace, not the rollup's";
    EXPECT_EQ(ind.first_seen_at, t1);
    EXPECT_EQ(ind.last_seen_at, t1);
    EXPECT_FALSE(ind.acknowledged);
  }
}

TEST_F(RiskFixture, NewIndicatorsFollowTenantBytesThenEventTypeBytes) {
  Source hi = src;
  Source lo = src;
  hi.tenant = tenant_of("f0000000-0000-4000-8000-000000000000");  // high first byte: unsigned order
  lo.tenant = tenant_of("0f000000-0000-4000-8000-000000000000");
  store.rollups = {hi.rollup("a", Severity::High, 0, 1), lo.rollup("ab", Severity::High, 0, 1),
                   lo.rollup("a", Severity::High, 0, 1), lo.rollup("B", Severity::High, 0, 1),
                   lo.rollup("\xC3\xA9", Severity::High, 0, 1)};
  store.derive_risk_indicators(1, t1);
  std::vector<std::pair<TenantId, std::string>> got;
  for (const auto& i : store.indicators) got.emplace_back(i.tenant_id, i.indicator_type);
  const std::vector<std::pair<TenantId, std::string>> want = {
      {lo.tenant, "B"}, {lo.tenant, "a"}, {lo.tenant, "ab"}, {lo.tenant, "\xC3\xA9"}, {hi.tenant, "a"}};
  EXPECT_EQ(got, want);
}

TEST_F(RiskFixture, LaterPassesRefreshWithoutLoweringTheScore) {
  store.rollups = {src.rollup("login", Severity::Critical, 0, 6), src.rollup("login", Severity::High, 3600, 20)};
  store.derive_risk_indicators(5, t1);
  ASSERT_EQ(store.indicators.size(), 1u);
  const RiskIndicator created = store.indicators[0];
  EXPECT_EQ(created.severity, Severity::Critical);

  // A pass that finds nothing changes nothing, not even last_seen_at.
  store.derive_risk_indicators(1000, t2);
  EXPECT_EQ(store.indicators[0], created);

  // Only the high rollup qualifies now: severity goes down, the score stays 100.
  store.derive_risk_indicators(10, t2);
  RiskIndicator expected = created;
  expected.severity = Severity::High;
  expected.last_seen_at = t2;
  EXPECT_EQ(store.indicators[0], expected);

  // A lower new score leaves the stored one.
  VistrelStore low;
  low.rollups = {src.rollup("x", Severity::High, 0, 5)};
  low.derive_risk_indicators(5, t1);
  low.rollups[0].count = 3;
  low.derive_risk_indicators(1, t2);
  EXPECT_EQ(low.indicators[0].score, 50);
  EXPECT_EQ(low.indicators[0].reason_codes, std::vector<std::string>{"bucket count 5 >= 5"});
}

TEST_F(RiskFixture, OnlyTheFirstIndicatorOfAPairIsUpdated) {
  store.rollups = {src.rollup("login", Severity::High, 0, 9)};
  RiskIndicator stale;
  stale.tenant_id = src.tenant;
  stale.indicator_type = "login";
  stale.score = 10;
  stale.severity = Severity::Low;
  RiskIndicator unrelated = stale;
  unrelated.indicator_type = "LOGIN";
  store.indicators = {unrelated, stale, stale};
  store.derive_risk_indicators(1, t1);
  ASSERT_EQ(store.indicators.size(), 3u);
  EXPECT_EQ(store.indicators[0], unrelated);
  EXPECT_EQ(store.indicators[1].score, 90);
  EXPECT_EQ(store.indicators[1].severity, Severity::High);
  EXPECT_EQ(store.indicators[2], stale);
}

// ---------------------------------------------------------------------------------------------
// Retention

TEST(Retention, StrictCutoffOnOccurredAt) {
  Source src;
  struct Row {
    std::int64_t days;
    const char* now;
    std::vector<const char*> occurred;
    std::vector<bool> kept;
  };
  const Row rows[] = {
      {30,
       "2024-05-31T12:00:00Z",
       {"2024-05-01T11:59:59Z", "2024-05-01T12:00:00Z", "2024-05-01T13:00:00+02:00", "2024-05-01T12:00:00.5Z"},
       {false, true, false, true}},
      {0,
       "2024-05-31T12:00:00.700Z",
       {"2024-05-31T11:59:59.999Z", "2024-05-31T12:00:00.100Z", "2024-05-31T12:00:00.900Z", "2030-01-01T00:00:00Z"},
       {false, true, true, true}},
      {-1,
       "2024-05-31T12:00:00Z",
       {"2024-06-01T11:59:59Z", "2024-06-01T12:00:00Z", "2024-05-01T00:00:00Z"},
       {false, true, false}},
  };
  for (const Row& row : rows) {
    VistrelStore store;
    for (const char* o : row.occurred) store.events.push_back(src.event("login", Severity::High, o));
    store.rollups = {src.rollup("login", Severity::High, 0, 9)};
    store.indicators = {RiskIndicator{}};
    const VistrelStore before = store;
    const auto removed = store.apply_retention(VistrelStore::retention_window_seconds(row.days), at(row.now));

    EventLog expected;
    for (std::size_t i = 0; i < row.kept.size(); ++i) {
      if (row.kept[i]) expected.push_back(before.events[i]);
    }
    EXPECT_EQ(store.events, expected) << row.days;
    EXPECT_EQ(removed, before.events.size() - expected.size());
    EXPECT_EQ(store.rollups, before.rollups);
    EXPECT_EQ(store.indicators, before.indicators);
  }
}

TEST(Retention, WindowAndCutoffSaturate) {
  constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
  constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
  constexpr std::int64_t kLastExact = kMax / 86400;  // 106751991167300
  EXPECT_EQ(VistrelStore::retention_window_seconds(30), 2592000);
  EXPECT_EQ(VistrelStore::retention_window_seconds(-1), -86400);
  EXPECT_EQ(VistrelStore::retention_window_seconds(kLastExact), kLastExact * 86400);
  EXPECT_EQ(VistrelStore::retention_window_seconds(kLastExact + 1), kMax);
  EXPECT_EQ(VistrelStore::retention_window_seconds(-kLastExact), -kLastExact * 86400);
  EXPECT_EQ(VistrelStore::retention_window_seconds(-kLastExact - 1), kMin);
  EXPECT_EQ(VistrelStore::retention_window_seconds(kMin), kMin);

  Source src;
  VistrelStore store;
  for (const char* o : {"0000-01-01T00:00:00Z", "2024-05-01T00:00:00Z", "9999-12-31T23:59:59Z"}) {
    store.events.push_back(src.event("login", Severity::High, o));
  }
  const Timestamp now = at("2024-05-31T12:00:00Z");
  // now − kMax is still in range; now − kMin, now − (kMin + 1) are not.
  EXPECT_EQ(store.apply_retention(kMax, now), 0u);
  EXPECT_EQ(store.apply_retention(VistrelStore::retention_window_seconds(kMax), now), 0u);
  VistrelStore wipe = store;
  EXPECT_EQ(wipe.apply_retention(kMin + 1, now), 3u);
  EXPECT_EQ(store.apply_retention(VistrelStore::retention_window_seconds(kMin), now), 3u);
  EXPECT_EQ(store.apply_retention(0, now), 0u) << "an empty list gives 0";
}

}  // namespace
