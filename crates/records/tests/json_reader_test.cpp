#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "quenvistrel_contracts/json/codec.hpp"
#include "quenvistrel_contracts/json/records.hpp"

namespace {

using namespace quenvistrel_contracts;
namespace qj = quenvistrel_contracts::json;

// A record with one field of every codec, all optional, so each case names only the field
// it is about.
struct Probe {
  std::string text;
  bool flag = false;
  std::uint8_t small = 0;
  std::uint16_t medium = 0;
  std::uint32_t large = 0;
  std::uint64_t huge = 0;
  std::int64_t signed_value = 0;
  Severity severity = Severity::Info;
  FieldClass field_class = FieldClass::Public;
  TimeBucket bucket = TimeBucket::Hour;
  Timestamp when;
  Slug slug;
  EventId id;
  std::vector<std::string> list;
  StringMap map;
  OrderedMap<FieldClass> classes;
};

}  // namespace

template <>
struct quenvistrel_contracts::json::RecordDecl<Probe> {
  static constexpr std::string_view name = "Probe";
  static constexpr auto fields = std::tuple{
      optional_field<&Probe::text>("text"),
      optional_field<&Probe::flag>("flag"),
      optional_field<&Probe::small>("small"),
      optional_field<&Probe::medium>("medium"),
      optional_field<&Probe::large>("large"),
      optional_field<&Probe::huge>("huge"),
      optional_field<&Probe::signed_value>("signed"),
      optional_field<&Probe::severity>("severity"),
      optional_field<&Probe::field_class>("class"),
      optional_field<&Probe::bucket>("bucket"),
      optional_field<&Probe::when>("when"),
      optional_field<&Probe::slug>("slug"),
      optional_field<&Probe::id>("id"),
      optional_field<&Probe::list>("list"),
      optional_field<&Probe::map>("map"),
      optional_field<&Probe::classes>("classes"),
  };
};

namespace {

std::string probe_error(std::string_view text) {
  auto probe = qj::read_json<Probe>(text);
  if (probe) return "(read)";
  return probe.error();
}

struct ErrorCase {
  const char* input;
  const char* error;
};

class ProbeErrors : public testing::TestWithParam<ErrorCase> {};

TEST_P(ProbeErrors, MessageAndPosition) { EXPECT_EQ(probe_error(GetParam().input), GetParam().error); }

// Where a value is judged: strings at their closing quote, numbers at their last digit (the
// parser sees their end one byte later), literals at their last letter, containers of the
// wrong type at their opening bracket.
INSTANTIATE_TEST_SUITE_P(
    TypesAndRanges, ProbeErrors,
    testing::Values(
        ErrorCase{R"({"small": 256})", "invalid value: integer `256`, expected u8 at line 1 column 13"},
        ErrorCase{R"({"small": 255, "medium": 65536})", "invalid value: integer `65536`, expected u16 at line 1 column 30"},
        ErrorCase{R"({"large": 4294967296})", "invalid value: integer `4294967296`, expected u32 at line 1 column 20"},
        ErrorCase{R"({"huge": -1})", "invalid value: integer `-1`, expected u64 at line 1 column 11"},
        ErrorCase{R"({"huge": 1.0})", "invalid type: floating point `1.0`, expected u64 at line 1 column 12"},
        ErrorCase{R"({"huge": 1e2})", "invalid type: floating point `1e2`, expected u64 at line 1 column 12"},
        ErrorCase{R"({"huge": 18446744073709551616})",
                  "invalid type: floating point `18446744073709551616`, expected u64 at line 1 column 29"},
        ErrorCase{R"({"signed": 9223372036854775808})",
                  "invalid value: integer `9223372036854775808`, expected i64 at line 1 column 30"},
        ErrorCase{R"({"huge": "x"})", "invalid type: string \"x\", expected u64 at line 1 column 12"},
        ErrorCase{R"({"huge": true})", "invalid type: boolean `true`, expected u64 at line 1 column 13"},
        ErrorCase{R"({"huge": false})", "invalid type: boolean `false`, expected u64 at line 1 column 14"},
        ErrorCase{R"({"huge": null})", "invalid type: null, expected u64 at line 1 column 13"},
        ErrorCase{R"({"huge": {"a": 1}})", "invalid type: map, expected u64 at line 1 column 10"},
        ErrorCase{R"({"text": [1]})", "invalid type: sequence, expected a string at line 1 column 10"},
        ErrorCase{R"({"text": 12})", "invalid type: integer `12`, expected a string at line 1 column 11"},
        ErrorCase{R"({"flag": "true"})", "invalid type: string \"true\", expected a boolean at line 1 column 15"},
        ErrorCase{R"({"list": {}})", "invalid type: map, expected a sequence at line 1 column 10"},
        ErrorCase{R"({"list": ["a", 2]})", "invalid type: integer `2`, expected a string at line 1 column 16"},
        ErrorCase{R"({"map": []})", "invalid type: sequence, expected a map at line 1 column 9"},
        ErrorCase{R"({"map": {"k": null}})", "invalid type: null, expected a string at line 1 column 18"}));

INSTANTIATE_TEST_SUITE_P(
    ValueTexts, ProbeErrors,
    testing::Values(
        ErrorCase{R"({"severity": "High"})",
                  "unknown variant `High`, expected one of `info`, `low`, `medium`, `high`, `critical` at line 1 "
                  "column 19"},
        ErrorCase{R"({"class": "public "})",
                  "unknown variant `public `, expected one of `public`, `operational_metadata`, `security_metadata`, "
                  "`pseudonymous_identifier`, `tenant_identifier`, `sensitive_metadata`, `secret`, `content`, "
                  "`unknown` at line 1 column 19"},
        // Escapes are resolved before the value is judged, and the position stays the quote.
        ErrorCase{R"({"bucket": "we\u0065k"})", "unknown variant `week`, expected `hour` or `day` at line 1 column 22"},
        ErrorCase{R"({"bucket": {"hour": null}})",
                  "invalid type: map, expected enum TimeBucket at line 1 column 12"},
        ErrorCase{R"({"when": "2023-02-29T00:00:00Z"})",
                  "validation failed: invalid RFC 3339 timestamp 2023-02-29T00:00:00Z: day was not in range at line 1 "
                  "column 31"},
        ErrorCase{R"({"when": 5})", "invalid type: integer `5`, expected an RFC 3339 timestamp string at line 1 column 10"},
        // Echoed values have their control characters escaped, DEL and C1 included.
        ErrorCase{R"({"severity": "\u001b]0;owned\u0007"})",
                  "unknown variant `\\u001b]0;owned\\u0007`, expected one of `info`, `low`, `medium`, `high`, "
                  "`critical` at line 1 column 35"},
        ErrorCase{R"({"when": "\u009b2J\u007f"})",
                  "validation failed: invalid RFC 3339 timestamp \\u009b2J\\u007f: the 'year' component could not "
                  "be parsed at line 1 column 25"},
        ErrorCase{R"({"huge": "a\"\\\u009b"})",
                  "invalid type: string \"a\\\"\\\\\\u009b\", expected u64 at line 1 column 22"},
        ErrorCase{R"({"slug": "Edge"})",
                  "invalid Slug identifier: may contain only lowercase ASCII letters, digits and hyphens at line 1 "
                  "column 15"},
        ErrorCase{R"({"slug": ""})", "invalid Slug identifier: must not be empty at line 1 column 11"},
        ErrorCase{R"({"id": "abc"})", "UUID parsing failed: invalid length: found 3 at line 1 column 12"},
        ErrorCase{R"({"id": "67e55044-10b1-426f-9247-bb680e5fe0c"})",
                  "UUID parsing failed: invalid group length in group 5: expected 12, found 11 at line 1 column 44"}));

// The one-member object form of the enumerations.
INSTANTIATE_TEST_SUITE_P(
    EnumObjects, ProbeErrors,
    testing::Values(
        ErrorCase{R"({"severity": {"loud": null}})",
                  "unknown variant `loud`, expected one of `info`, `low`, `medium`, `high`, `critical` at line 1 "
                  "column 20"},
        ErrorCase{R"({"severity": {"high": 1}})", "invalid type: integer `1`, expected null at line 1 column 23"},
        ErrorCase{R"({"severity": {"high": null, "low": null}})",
                  "invalid type: map with more than one member, expected enum Severity at line 1 column 33"},
        ErrorCase{R"({"severity": {}})", "invalid type: empty map, expected enum Severity at line 1 column 15"},
        ErrorCase{R"({"severity": 3})", "invalid type: integer `3`, expected enum Severity at line 1 column 14"}));

// Syntax errors are placed on the offending byte, end of input on the last byte.
INSTANTIATE_TEST_SUITE_P(
    Syntax, ProbeErrors,
    testing::Values(
        ErrorCase{"", "EOF while parsing a value at line 1 column 0"},
        ErrorCase{" \n\t ", "EOF while parsing a value at line 2 column 2"},
        ErrorCase{"{", "EOF while parsing an object at line 1 column 1"},
        ErrorCase{R"({"list": ["a")", "EOF while parsing a list at line 1 column 13"},
        ErrorCase{R"({"text": "abc)", "EOF while parsing a string at line 1 column 13"},
        ErrorCase{R"({"huge": -)", "EOF while parsing a value at line 1 column 10"},
        ErrorCase{"x", "expected value at line 1 column 1"},
        ErrorCase{R"({"text": })", "expected value at line 1 column 10"},
        ErrorCase{R"({"list": ["a",]})", "trailing comma at line 1 column 15"},
        ErrorCase{R"({"text": "a",})", "trailing comma at line 1 column 14"},
        ErrorCase{R"({1: 2})", "key must be a string at line 1 column 2"},
        ErrorCase{R"({"text" "a"})", "expected `:` at line 1 column 9"},
        ErrorCase{R"({"text": "a" "flag": true})", "expected `,` or `}` at line 1 column 14"},
        ErrorCase{R"({"list": ["a" "b"]})", "expected `,` or `]` at line 1 column 15"},
        ErrorCase{R"({} {})", "trailing characters at line 1 column 4"},
        ErrorCase{"{}\n\nx", "trailing characters at line 3 column 1"},
        ErrorCase{R"({"flag": tru})", "invalid literal at line 1 column 13"},
        ErrorCase{R"({"flag": nul})", "invalid literal at line 1 column 13"},
        ErrorCase{R"({"huge": -x})", "invalid number at line 1 column 11"},
        ErrorCase{R"({"huge": 1.})", "invalid number at line 1 column 12"},
        ErrorCase{R"({"huge": 01})", "expected `,` or `}` at line 1 column 11"}));

// Faults inside strings: the byte that breaks the rule, or for a lone surrogate the end of
// the escape that cannot be paired.
INSTANTIATE_TEST_SUITE_P(
    Strings, ProbeErrors,
    testing::Values(
        ErrorCase{R"({"text": "a\qb"})", "invalid escape at line 1 column 13"},
        ErrorCase{R"({"text": "\u12x4"})", "invalid escape at line 1 column 15"},
        ErrorCase{R"({"text": "\ud800"})", "invalid unicode code point at line 1 column 16"},
        ErrorCase{R"({"text": "\udc00 and more text"})", "invalid unicode code point at line 1 column 16"},
        ErrorCase{R"({"text": "\ud800\u0041"})", "invalid unicode code point at line 1 column 22"},
        ErrorCase{R"({"text": "\ud800x"})", "invalid unicode code point at line 1 column 16"},
        ErrorCase{"{\"text\": \"a\nb\"}",
                  "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 12"},
        ErrorCase{"{\"text\": \"a\x01\"}",
                  "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 12"},
        ErrorCase{"{\"text\": \"a\xff\"}", "invalid UTF-8 in string at line 1 column 12"},
        ErrorCase{"{\"text\": \"\xc3\"}", "invalid UTF-8 in string at line 1 column 11"},
        ErrorCase{"{\"text\": \"\xc0\xaf\"}", "invalid UTF-8 in string at line 1 column 11"},
        ErrorCase{"{\"text\": \"\xed\xa0\x80\"}", "invalid UTF-8 in string at line 1 column 11"},
        ErrorCase{"{\"te\xf5xt\": 1}", "invalid UTF-8 in string at line 1 column 5"}));

TEST(Reader, HugeValuesAreEchoedCutToTheirFirstBytes) {
  const std::string digits(300, '7');
  const std::string sixty_four(64, '7');
  EXPECT_EQ(probe_error("{\"huge\": -" + digits + "}"),
            "invalid type: floating point `-" + sixty_four.substr(1) + "\u2026`, expected u64 at line 1 column 310");
  EXPECT_EQ(probe_error("{\"small\": " + digits + "1}"),
            "invalid type: floating point `" + sixty_four + "\u2026`, expected u8 at line 1 column 311");
  const std::string text(100, 'x');
  EXPECT_EQ(probe_error("{\"huge\": \"" + text + "\"}"),
            "invalid type: string \"" + std::string(64, 'x') + "\u2026\", expected u64 at line 1 column 111");
  // Unknown enumeration names and bad timestamps too, whatever their size.
  const std::string name(1 << 20, 'h');
  EXPECT_EQ(probe_error("{\"severity\": \"" + name + "\"}").substr(0, 85),
            "unknown variant `" + std::string(64, 'h') + "\u2026`");
  EXPECT_EQ(probe_error("{\"severity\": {\"" + name + "\": null}}").substr(0, 85),
            "unknown variant `" + std::string(64, 'h') + "\u2026`");
  EXPECT_LT(probe_error("{\"when\": \"" + name + "\"}").size(), 250u);
}

TEST(Reader, ReadsEveryCodec) {
  auto probe = qj::read_json<Probe>(R"({
    "text": "a\"b\\c\/d\u00e9\ud83d\ude00",
    "flag": true, "small": 255, "medium": 65535, "large": 4294967295,
    "huge": 18446744073709551615, "signed": -9223372036854775808,
    "severity": {"critical": null}, "class": "tenant_identifier", "bucket": "day",
    "when": "2024-05-01T14:30:00+02:30", "slug": "web-app-2",
    "id": "{67E55044-10B1-426F-9247-BB680E5FE0C8}",
    "list": ["x", ""], "map": {}, "classes": {"b": "secret", "a": {"content": null}}
  })");
  ASSERT_TRUE(probe) << probe.error();
  EXPECT_EQ(probe->text, "a\"b\\c/d\xc3\xa9\xf0\x9f\x98\x80");
  EXPECT_TRUE(probe->flag);
  EXPECT_EQ(probe->small, 255);
  EXPECT_EQ(probe->medium, 65535);
  EXPECT_EQ(probe->large, 4294967295u);
  EXPECT_EQ(probe->huge, UINT64_MAX);
  EXPECT_EQ(probe->signed_value, INT64_MIN);
  EXPECT_EQ(probe->severity, Severity::Critical);
  EXPECT_EQ(probe->field_class, FieldClass::TenantIdentifier);
  EXPECT_EQ(probe->bucket, TimeBucket::Day);
  EXPECT_EQ(probe->when.to_rfc3339(), "2024-05-01T12:00:00Z");
  EXPECT_EQ(probe->slug.str(), "web-app-2");
  EXPECT_EQ(probe->id.to_string(), "67e55044-10b1-426f-9247-bb680e5fe0c8");
  EXPECT_EQ(probe->list, (std::vector<std::string>{"x", ""}));
  EXPECT_TRUE(probe->map.empty());
  EXPECT_EQ(probe->classes, (OrderedMap<FieldClass>{{"a", FieldClass::Content}, {"b", FieldClass::Secret}}));
}

TEST(Reader, MapKeyGivenTwiceKeepsTheLastValueInKeyOrder) {
  auto probe = qj::read_json<Probe>(R"({"map": {"b": "1", "a": "2", "b": "3", "": "e", "ab": "4"}})");
  ASSERT_TRUE(probe) << probe.error();
  std::vector<std::pair<std::string, std::string>> entries(probe->map.begin(), probe->map.end());
  EXPECT_THAT(entries, testing::ElementsAre(testing::Pair("", "e"), testing::Pair("a", "2"),
                                            testing::Pair("ab", "4"), testing::Pair("b", "3")));
}

TEST(Reader, UnknownKeysAreSkippedButMustBeWellFormed) {
  auto probe = qj::read_json<Probe>(R"({"note": [1, {"deep": [null, true, "x"]}], "text": "kept", "n": -1.5e3})");
  ASSERT_TRUE(probe) << probe.error();
  EXPECT_EQ(probe->text, "kept");
  EXPECT_EQ(probe_error(R"({"note": [1, {"deep": [nul]}]})"), "invalid literal at line 1 column 27");
  EXPECT_EQ(probe_error("{\"note\": \"\xff\"}"), "invalid UTF-8 in string at line 1 column 11");
}

TEST(Reader, LongStringsWithEscapesArriveWhole) {
  // The parser hands escaped text over in pieces of a few KiB; the reader joins them.
  std::string text(10000, 'x');
  for (std::size_t i = 0; i < text.size(); i += 97) text[i] = '\n';
  std::string escaped;
  for (const char c : text) escaped += c == '\n' ? std::string("\\n") : std::string(1, c);
  auto probe = qj::read_json<Probe>(R"({"text": ")" + escaped + R"(", "map": {")" + escaped + R"(": "v"}})");
  ASSERT_TRUE(probe) << probe.error();
  EXPECT_EQ(probe->text, text);
  ASSERT_NE(probe->map.find(text), nullptr);
}

TEST(Reader, NestingBeyond128LevelsFailsAtTheBracket) {
  // The record's object is the first level.
  const auto nested = [](std::size_t arrays) {
    return R"({"skip": )" + std::string(arrays, '[') + std::string(arrays, ']') + "}";
  };
  EXPECT_EQ(probe_error(nested(127)), "(read)");
  EXPECT_EQ(probe_error(nested(128)), "recursion limit exceeded at line 1 column 137");
  // Far deeper input stops at the same place instead of exhausting the stack.
  EXPECT_EQ(probe_error(nested(100000)), "recursion limit exceeded at line 1 column 137");
}

TEST(Reader, OnlyWhitespaceMaySurroundTheValue) {
  EXPECT_EQ(probe_error(" \t\r\n{}\n\n  "), "(read)");
  EXPECT_EQ(probe_error("\xef\xbb\xbf{}"), "expected value at line 1 column 1");
}

TEST(Reader, RecordsAreReadFromObjectsOnly) {
  EXPECT_EQ(qj::read_json<AlertRule>("[]").error(), "invalid type: sequence, expected struct AlertRule at line 1 column 1");
  EXPECT_EQ(qj::read_json<std::vector<AlertRule>>(R"([1])").error(),
            "invalid type: integer `1`, expected struct AlertRule at line 1 column 2");
  EXPECT_EQ(qj::read_json<std::vector<AlertRule>>("{}").error(),
            "invalid type: map, expected a sequence at line 1 column 1");
}

constexpr std::string_view kRule = R"({
  "rule_id": "00000000-0000-4000-8000-000000000001",
  "tenant_id": "00000000-0000-4000-8000-000000000002",
  "name": "burst",
  "enabled": true,
  "event_type": "login_failed",
  "threshold": 5,
  "bucket": "hour",
  "severity": "high",
  "cooldown_buckets": 2
})";

TEST(Reader, MissingFieldIsReportedAtTheClosingBrace) {
  std::string text(kRule);
  text.replace(text.find("  \"name\": \"burst\",\n"), 19, "");
  EXPECT_EQ(qj::read_json<AlertRule>(text).error(), "missing field `name` at line 10 column 1");
  // The first missing field in declaration order is named.
  EXPECT_EQ(qj::read_json<AlertRule>("{\n  }").error(), "missing field `rule_id` at line 2 column 3");
}

TEST(Reader, DuplicateFieldIsReportedAtTheClosingQuoteOfItsKey) {
  std::string text(kRule);
  text.insert(text.find("  \"cooldown_buckets\""), "  \"na\\u006de\": \"again\",\n");
  EXPECT_EQ(qj::read_json<AlertRule>(text).error(), "duplicate field `name` at line 10 column 13");
}

TEST(Reader, RangeErrorsOfStoredRecords) {
  std::string rule(kRule);
  rule.replace(rule.find("2\n}"), 1, "-1");
  EXPECT_EQ(qj::read_json<AlertRule>(rule).error(),
            "invalid value: integer `-1`, expected u32 at line 10 column 24");
}

}  // namespace
