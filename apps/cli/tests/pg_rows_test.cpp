// The database store's rows in PostgreSQL's binary forms: what goes in comes out exactly,
// whatever chunks the COPY stream arrives in.
#include "store/postgres/tables.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "quenvistrel_contracts/testing/samples.hpp"

namespace quenvistrel_cli::pg {
namespace {

using namespace quenvistrel_contracts;

Timestamp at(const char* text) { return *Timestamp::from_str(text); }

RiskIndicator indicator() {
  RiskIndicator i;
  i.indicator_id = IndicatorId::generate();
  i.tenant_id = TenantId::generate();
  i.workspace_id = WorkspaceId::generate();
  i.indicator_type = "login_failed";
  i.severity = Severity::High;
  i.score = 255;
  i.reason_codes = {"bucket count 5 >= 3", ""};
  i.first_seen_at = at("2024-06-01T10:00:00.5Z");
  i.last_seen_at = at("2024-06-02T10:00:00.123456789Z");
  i.acknowledged = true;
  return i;
}

// Every record written as COPY rows, then read back from the stream cut into `chunk` bytes.
template <class Record>
std::vector<Record> round_trip(const std::vector<Record>& records, const RecordTable<Record>& table, std::size_t chunk) {
  std::string stream;
  copy_header(stream);
  RowWriter writer(stream);
  for (std::size_t i = 0; i < records.size(); ++i) table.write(writer, static_cast<std::int64_t>(i), records[i]);
  copy_trailer(stream);

  std::vector<Record> out;
  CopyRows rows;
  for (std::size_t at = 0; at < stream.size(); at += chunk) {
    auto fed = rows.feed(std::string_view(stream).substr(at, chunk),
                         [&](std::span<const std::string_view> fields) -> std::expected<void, std::string> {
                           RowReader reader(fields);
                           Record r;
                           EXPECT_EQ(table.read(reader, r), static_cast<std::int64_t>(out.size()));
                           if (auto done = reader.done(table); !done) return done;
                           out.push_back(std::move(r));
                           return {};
                         });
    EXPECT_TRUE(fed.has_value()) << fed.error();
  }
  return out;
}

TEST(DatabaseRows, EveryValueComesBackExactly) {
  VistrelEvent event;
  event.event_id = EventId::generate();
  event.tenant_id = TenantId::generate();
  event.workspace_id = WorkspaceId::generate();
  event.product_id = *Slug::try_from("edge-gateway");
  event.event_type = "login \"quoted\" \u00e9";
  event.severity = Severity::Critical;
  event.subject_id = "";
  event.occurred_at = at("1969-12-31T23:59:59.999999999Z");  // before both epochs, to the nanosecond
  event.received_at = at("9999-12-31T23:59:59.000000001Z");
  event.safe_metadata = StringMap{{"b", "line\nbreak"}, {"a", "\\"}, {"\u00e9", ""}};
  VistrelEvent plain = event;
  plain.occurred_at = at("0000-01-01T00:00:00Z");
  plain.safe_metadata = {};

  for (const std::size_t chunk : {std::size_t{1}, std::size_t{7}, std::size_t{4096}}) {
    EXPECT_EQ(round_trip<VistrelEvent>({event, plain}, kEvents, chunk),
              (std::vector<VistrelEvent>{event, plain}))
        << chunk;
  }

  // Counts and thresholds over the whole unsigned range, in base-10000 groups with zeros.
  std::vector<VistrelRollup> rollups;
  for (const std::uint64_t count : {0ULL, 1ULL, 9999ULL, 10000ULL, 100000000ULL, 18446744073709551615ULL}) {
    rollups.push_back(samples::rollup(TenantId::generate(), WorkspaceId::generate(), *Slug::try_from("auth"), "export",
                                      Severity::Low, TimeBucket::Day, -86400, count));
  }
  EXPECT_EQ(round_trip(rollups, kRollups, 5), rollups);

  const RiskIndicator with_reasons = indicator();
  RiskIndicator without = with_reasons;
  without.reason_codes = {};
  EXPECT_EQ(round_trip<RiskIndicator>({with_reasons, without}, kIndicators, 3),
            (std::vector<RiskIndicator>{with_reasons, without}));

  AlertRule rule;
  rule.rule_id = AlertRuleId::generate();
  rule.tenant_id = TenantId::generate();
  rule.name = "login >= 18446744073709551615";
  rule.enabled = false;
  rule.event_type = "login";
  rule.threshold = 18446744073709551615ULL;
  rule.bucket = TimeBucket::Day;
  rule.severity = Severity::Medium;
  rule.cooldown_buckets = 4294967295U;
  EXPECT_EQ(round_trip<AlertRule>({rule}, kRules, 2), std::vector{rule});
  AlertEvent alert;
  alert.alert_id = AlertEventId::generate();
  alert.rule_id = rule.rule_id;
  alert.tenant_id = rule.tenant_id;
  alert.bucket_start = -9223372036854775807LL - 1;
  alert.observed_count = 10000;
  alert.severity = Severity::Info;
  alert.fired_at = at("2024-06-01T00:00:00Z");
  EXPECT_EQ(round_trip<AlertEvent>({alert}, kAlerts, 64), std::vector{alert});
}

TEST(DatabaseRows, AValueOutsideItsRecordsRangeIsRefusedNotWrapped) {
  // A score of 300, as someone may write by hand, in an otherwise good row.
  std::string row;
  RowWriter writer(row);
  kIndicators.write(writer, 0, indicator());
  std::string stream;
  copy_header(stream);
  stream += row;
  copy_trailer(stream);
  std::string score;
  RowWriter(score).int2(300);
  CopyRows rows;
  std::string error;
  auto fed = rows.feed(stream, [&](std::span<const std::string_view> fields) -> std::expected<void, std::string> {
    std::vector<std::string_view> edited(fields.begin(), fields.end());
    edited[6] = std::string_view(score).substr(4);
    RowReader reader(edited);
    RiskIndicator i;
    kIndicators.read(reader, i);
    if (auto done = reader.done(kIndicators); !done) error = done.error();
    return {};
  });
  ASSERT_TRUE(fed) << fed.error();
  EXPECT_EQ(error, "the database holds a row of quenvistrel.indicators that the tool cannot read "
                   "(score: a score outside 0 to 255)");
}

}  // namespace
}  // namespace quenvistrel_cli::pg
