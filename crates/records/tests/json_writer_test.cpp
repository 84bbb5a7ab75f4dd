#include <cstdint>
#include <string>
#include <string_view>

#include <boost/json/parse.hpp>
#include <gtest/gtest.h>

#include "quenvistrel_contracts/json/compact.hpp"
#include "quenvistrel_contracts/json/escape.hpp"
#include "quenvistrel_contracts/json/records.hpp"
#include "quenvistrel_contracts/testing/samples.hpp"

namespace {

using namespace quenvistrel_contracts;
namespace qj = quenvistrel_contracts::json;

template <class Id>
Id id(std::string_view text) {
  return *Id::from_str(text);
}

Timestamp at(std::string_view text) { return *Timestamp::from_str(text); }

VistrelEvent sample_event() {
  VistrelEvent e = samples::login_failed(
      id<EventId>("00000000-0000-4000-8000-00000000000a"), id<TenantId>("00000000-0000-4000-8000-00000000000b"),
      id<WorkspaceId>("00000000-0000-4000-8000-00000000000c"), Severity::Critical, at("2024-06-01T10:02:00Z"),
      at("2024-06-01T10:02:00.5Z"));
  e.safe_metadata.insert_or_assign("zeta", "line\nfeed");
  e.safe_metadata.insert_or_assign("alpha", "caf\xc3\xa9 / \"q\" \\");
  return e;
}

TEST(Escaping, OnlyWhatJsonRequires) {
  struct Case {
    std::string_view raw;
    std::string_view written;
  };
  const Case cases[] = {
      {"plain", R"("plain")"},
      {"\"", R"("\"")"},
      {"\\", R"("\\")"},
      {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
      {std::string_view("\x00\x01\x1f", 3), R"("\u0000\u0001\u001f")"},
      {"\x0b\x1b", R"("\u000b\u001b")"},
      {"/ \x7f \xc3\xa9 \xe2\x82\xac", "\"/ \x7f \xc3\xa9 \xe2\x82\xac\""},
      {"", R"("")"},
  };
  for (const auto& c : cases) {
    std::string out = "prefix";
    qj::append_json_string(out, c.raw);
    EXPECT_EQ(out, "prefix" + std::string(c.written));
  }
}

TEST(Pretty, EventLayout) {
  std::string out;
  qj::write_pretty(out, sample_event());
  EXPECT_EQ(out, R"({
  "contract_version": 1,
  "event_id": "00000000-0000-4000-8000-00000000000a",
  "tenant_id": "00000000-0000-4000-8000-00000000000b",
  "workspace_id": "00000000-0000-4000-8000-00000000000c",
  "product_id": "edge-gateway",
  "event_type": "login_failed",
  "severity": "critical",
  "status": "failure",
  "subject_kind": "user",
  "subject_id": "u-1",
  "occurred_at": "2024-06-01T10:02:00Z",
  "received_at": "2024-06-01T10:02:00.5Z",
  "safe_metadata": {
    "alpha": "café / \"q\" \\",
    "zeta": "line\nfeed"
  }
})");
}

TEST(Pretty, EmptyContainersAndNesting) {
  RiskIndicator r;
  r.reason_codes = {};
  std::string out;
  qj::write_pretty(out, std::vector<RiskIndicator>{});
  EXPECT_EQ(out, "[]");
  out.clear();
  qj::write_pretty(out, StringMap{});
  EXPECT_EQ(out, "{}");
  out.clear();
  r.reason_codes = {"a", "b"};
  r.score = 255;
  qj::write_pretty(out, std::vector<RiskIndicator>{r});
  EXPECT_NE(out.find("[\n  {\n    \"indicator_id\": "), std::string::npos) << out;
  EXPECT_NE(out.find("    \"score\": 255,\n    \"reason_codes\": [\n      \"a\",\n      \"b\"\n    ],\n"),
            std::string::npos)
      << out;
  EXPECT_TRUE(out.ends_with("    \"acknowledged\": false\n  }\n]")) << out;
}

template <class T>
void expect_round_trip(const T& value) {
  std::string text;
  qj::write_pretty(text, value);
  auto back = qj::read_json<T>(text);
  ASSERT_TRUE(back) << back.error() << "\n" << text;
  EXPECT_EQ(*back, value);
  std::string again;
  qj::write_pretty(again, *back);
  EXPECT_EQ(again, text);
}

TEST(RoundTrip, EveryStoredRecord) {
  expect_round_trip(sample_event());
  VistrelEvent bare = sample_event();
  bare.safe_metadata.clear();
  bare.contract_version = 65535;
  expect_round_trip(bare);

  VistrelRollup rollup;
  rollup.rollup_id = id<RollupId>("ffffffff-ffff-4fff-bfff-ffffffffffff");
  rollup.product_id = *Slug::try_from("p");
  rollup.event_type = "t";
  rollup.severity = Severity::High;
  rollup.bucket = TimeBucket::Day;
  rollup.bucket_start = INT64_MIN;
  rollup.count = UINT64_MAX;
  expect_round_trip(rollup);
  rollup.bucket_start = -3600;
  expect_round_trip(rollup);

  RiskIndicator indicator;
  indicator.indicator_type = "high_severity_burst";
  indicator.severity = Severity::Medium;
  indicator.score = 255;
  indicator.reason_codes = {"high_severity_count>=3", "tab\there"};
  indicator.first_seen_at = at("0000-01-01T00:00:00Z");
  indicator.last_seen_at = at("9999-12-31T23:59:59.999999999Z");
  indicator.acknowledged = true;
  expect_round_trip(indicator);

  AlertRule rule;
  rule.name = "\xf0\x9f\x94\xa5 burst";
  rule.enabled = false;
  rule.threshold = UINT64_MAX;
  rule.cooldown_buckets = UINT32_MAX;
  rule.severity = Severity::Low;
  expect_round_trip(rule);

  AlertEvent alert;
  alert.bucket_start = INT64_MAX;
  alert.observed_count = 7;
  alert.fired_at = at("1969-12-31T23:59:59.000000001Z");
  alert.acknowledged = true;
  expect_round_trip(alert);
}

TEST(RoundTrip, ExtraKeysAreDroppedAndIdentifiersLowerCased) {
  auto rule = qj::read_json<AlertRule>(R"({"rule_id": "00000000-0000-4000-8000-0000000000AB",
    "tenant_id": "000000000000400080000000000000cd", "name": "n", "enabled": true, "event_type": "e",
    "threshold": 1, "bucket": "hour", "severity": "info", "cooldown_buckets": 0, "added_later": {"x": [1]}})");
  ASSERT_TRUE(rule) << rule.error();
  std::string out;
  qj::write_pretty(out, *rule);
  EXPECT_EQ(out.find("added_later"), std::string::npos);
  EXPECT_NE(out.find("\"rule_id\": \"00000000-0000-4000-8000-0000000000ab\""), std::string::npos);
  EXPECT_NE(out.find("\"tenant_id\": \"00000000-0000-4000-8000-0000000000cd\""), std::string::npos);
}

TEST(Compact, KeysInByteOrderAtEveryLevel) {
  const auto value = boost::json::parse(
      R"({"b": 1, "a": {"z": true, "\u00e9": null, "y": [3, {"k2": -4, "k1": 18446744073709551615}]}, "ab": "x\ny", "": 1.5})");
  std::string out = ">";
  qj::write_compact(out, value);
  EXPECT_EQ(out, ">{\"\":1.5,\"a\":{\"y\":[3,{\"k1\":18446744073709551615,\"k2\":-4}],\"z\":true,\"\xc3\xa9\":null},"
                 "\"ab\":\"x\\ny\",\"b\":1}");
}

TEST(Compact, RecordValuesFromTheirDeclarations) {
  AlertEvent alert;
  alert.alert_id = id<AlertEventId>("00000000-0000-4000-8000-000000000001");
  alert.bucket_start = -7200;
  alert.observed_count = 3;
  alert.severity = Severity::High;
  alert.fired_at = at("2024-06-01T10:00:00Z");
  std::string out;
  qj::write_compact(out, qj::to_json_value(alert));
  EXPECT_EQ(out,
            R"({"acknowledged":false,"alert_id":"00000000-0000-4000-8000-000000000001","bucket_start":-7200,)"
            R"("fired_at":"2024-06-01T10:00:00Z","observed_count":3,"rule_id":"00000000-0000-0000-0000-000000000000",)"
            R"("severity":"high","tenant_id":"00000000-0000-0000-0000-000000000000"})");

  // The value form lists the fields in declaration order; only the writer sorts.
  const auto event = qj::to_json_value(sample_event());
  ASSERT_TRUE(event.is_object());
  EXPECT_EQ(event.as_object().begin()->key(), "contract_version");
  EXPECT_EQ(event.at("safe_metadata").at("zeta").as_string(), "line\nfeed");
  EXPECT_EQ(event.at("contract_version").as_uint64(), 1u);
}

}  // namespace
