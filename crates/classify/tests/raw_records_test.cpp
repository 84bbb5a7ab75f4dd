#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "quenvistrel_classify/raw_records.hpp"

namespace {

using namespace quenvistrel_classify;

class Fixtures : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/raw_records_test.XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    const std::string command = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }

  std::string write(const std::string& name, std::string_view text) {
    const std::string path = dir_ + "/" + name;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    EXPECT_NE(f, nullptr);
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    return path;
  }

  std::string dir_;
};

constexpr std::string_view kEvent = R"({
    "event_type": "login_failed",
    "severity": "high",
    "status": "failure",
    "subject_kind": "user",
    "subject_id": "u-1",
    "occurred_at": "2024-06-01T10:02:00Z",
    "fields": {"b": "1", "a": "2", "b": "3"},
    "note": [1, 2]
  })";

TEST_F(Fixtures, EventsKeepFileOrderAndMapsTheirKeyOrder) {
  const std::string path = write("events.json", "[\n  " + std::string(kEvent) + ",\n  " + std::string(kEvent) + "\n]\n\n");
  auto events = read_raw_events(path);
  ASSERT_TRUE(events) << events.error();
  ASSERT_EQ(events->size(), 2u);
  const RawEvent& e = events->front();
  EXPECT_EQ(e.event_type, "login_failed");
  EXPECT_EQ(e.severity, Severity::High);
  EXPECT_EQ(e.subject_id, "u-1");
  EXPECT_EQ(e.occurred_at.to_rfc3339(), "2024-06-01T10:02:00Z");
  EXPECT_EQ(e.fields, (StringMap{{"a", "2"}, {"b", "3"}}));
  EXPECT_EQ(events->back(), e);

  auto empty = read_raw_events(write("empty.json", " [ ] "));
  ASSERT_TRUE(empty) << empty.error();
  EXPECT_TRUE(empty->empty());
}

TEST_F(Fixtures, MissingFieldNamesTheFileAndTheClosingBrace) {
  const std::string path = write("events.json", R"([
  {
    "event_type": "login_failed",
    "severity": "high",
    "status": "failure",
    "subject_kind": "user",
    "occurred_at": "2024-06-01T10:02:00Z",
    "fields": {}
  }
])");
  EXPECT_EQ(read_raw_events(path).error(), path + ": missing field `subject_id` at line 9 column 3");
}

TEST_F(Fixtures, EventErrors) {
  struct Case {
    std::string_view text;
    std::string_view error;
  };
  const Case cases[] = {
      {R"({"events": []})", "invalid type: map, expected a sequence at line 1 column 1"},
      {R"([{"event_type": "x", "severity": "High"}])",
       "unknown variant `High`, expected one of `info`, `low`, `medium`, `high`, `critical` at line 1 column 39"},
      {R"([{"occurred_at": "2024-05-01T12:00:00"}])",
       "validation failed: invalid RFC 3339 timestamp 2024-05-01T12:00:00: the 'offset hour' component could not be "
       "parsed at line 1 column 38"},
      {R"([{"fields": {"a": 1}}])", "invalid type: integer `1`, expected a string at line 1 column 19"},
      {R"([{"fields": null}])", "invalid type: null, expected a map at line 1 column 16"},
      {R"([{"status": "a", "status": "b"}])", "duplicate field `status` at line 1 column 25"},
      {R"(["x"])", "invalid type: string \"x\", expected struct RawEvent at line 1 column 4"},
      {"[] []", "trailing characters at line 1 column 4"},
      {"", "EOF while parsing a value at line 1 column 0"},
  };
  for (const auto& c : cases) {
    const std::string path = write("bad.json", c.text);
    auto events = read_raw_events(path);
    ASSERT_FALSE(events) << c.text;
    EXPECT_EQ(events.error(), path + ": " + std::string(c.error));
  }
}


// The streamed read takes the plain layout the fast way and hands anything else to the
// general reader mid-file; wherever its chunks end, it must hand over exactly the events the
// whole read returns, in order, or fail with exactly its error.
TEST_F(Fixtures, StreamedReadAgreesWithTheWholeReadAtEveryChunkSize) {
  const std::string plain =
      R"({"event_type": "a\"b\\c\/\n", "severity": "low", "status": ")" "\xc3\xa9\xe2\x82\xac\xf0\x9d\x84\x9e" R"(",)"
      R"( "subject_kind": "k", "subject_id": "i", "occurred_at": "2024-06-01T10:02:00+02:00",)"
      R"( "fields": {"z": "1", "a\t": "", "z": "2"}})";
  const std::string reordered =
      R"({"fields": {}, "subject_id": "j", "occurred_at": "2024-06-01T10:02:00Z", "subject_kind": "k",)"
      R"( "status": "s", "severity": "high", "event_type": "b"})";
  const std::string long_plain = R"({"event_type": ")" + std::string(300, 'x') + R"(", "severity": "info", )"
                                 R"("status": "s", "subject_kind": "k", "subject_id": "i", )"
                                 R"("occurred_at": "2024-06-01T10:02:00Z", "fields": {}})";
  const std::string fixtures[] = {
      "[]",
      " \n[ ]\n ",
      "[" + plain + "]",
      "[\n  " + plain + ",\n  " + reordered + ",\n  " + long_plain + "\n]\n",
      // The general reader takes over at the second element, for good.
      "[" + plain + ", " + std::string(kEvent) + ", " + plain + "]",
      R"([{"severity": {"high": null}, "event_type": "u", "status": "s", "subject_kind": "k", "subject_id": "i", )"
      R"("occurred_at": "2024-06-01T10:02:00Z", "fields": {"q": "\u00e9"}}, )" + plain + "]",
      // Broken after plain elements, between them and inside them.
      "[" + plain + ",]",
      "[" + plain + "," + plain,
      "[" + plain + "] x",
      "[" + plain + "] []",
      "[" + plain + " " + plain + "]",
      "[" + plain + ", {\"event_type\": \"a\"}]",
      "[" + plain + ", {\"event_type\": \"a\\u0000\"}]",
      "[" + plain + ", {\"event_type\": \"a\x01\"}]",
      "[" + plain + ", {\"event_type\": \"\xc3\"}]",
      "[" + plain + ", {\"event_type\": \"\xed\xa0\x80\"}]",
      "[" + plain + ", {\"severity\": \"loud\"}]",
      "[" + plain + ", {\"occurred_at\": \"yesterday\"}]",
      "[" + plain + ", {\"fields\": {\"a\": 1}}]",
      "[" + plain + ", {\"event_type\": \"a\", \"event_type\": \"a\"}]",
      "[" + plain + ", {\"event_type\" \"a\"}]",
      "[" + plain + ", {\"event_type\": \"a\"",
      "[" + plain + ", {\"event_type\": \"a",
      "[" + plain + ", 7]",
      "{\"a\": 1}",
      "",
      "  ",
      "[",
  };
  for (const std::string& text : fixtures) {
    const std::string path = write("events.json", text);
    const auto whole = read_raw_events(path);
    for (const std::size_t chunk : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{7}, std::size_t{64},
                                    std::size_t{1} << 20}) {
      std::vector<RawEvent> handed;
      const auto streamed = read_raw_events(path, [&](const RawEvent& e) { handed.push_back(e); }, chunk);
      ASSERT_EQ(streamed.has_value(), whole.has_value()) << text << " chunk " << chunk;
      if (whole) {
        EXPECT_EQ(handed, *whole) << text << " chunk " << chunk;
      } else {
        EXPECT_EQ(streamed.error(), whole.error()) << text << " chunk " << chunk;
      }
    }
  }
}

TEST_F(Fixtures, SchemaOptionalMapsDefaultToEmpty) {
  auto schema = read_source_schema(write("schema.json", R"({
  "source_name": "Gateway \u00e9",
  "product_id": "edge-gateway",
  "fields": {"region": "public", "org_ref": {"tenant_identifier": null}},
  "sensitive_approved": true
})"));
  ASSERT_TRUE(schema) << schema.error();
  EXPECT_EQ(schema->source_name, "Gateway \xc3\xa9");
  EXPECT_EQ(schema->product_id.str(), "edge-gateway");
  EXPECT_TRUE(schema->sensitive_approved);
  EXPECT_EQ(schema->fields, (OrderedMap<FieldClass>{{"org_ref", FieldClass::TenantIdentifier},
                                                    {"region", FieldClass::Public}}));
  EXPECT_TRUE(schema->event_types.empty());
  EXPECT_TRUE(schema->statuses.empty());
  EXPECT_TRUE(schema->subject_kinds.empty());
}

TEST_F(Fixtures, SchemaErrors) {
  struct Case {
    std::string_view text;
    std::string_view error;
  };
  const Case cases[] = {
      {R"({"source_name": "s", "product_id": "p", "fields": {}})",
       "missing field `sensitive_approved` at line 1 column 53"},
      {R"({"product_id": "Edge"})",
       "invalid Slug identifier: may contain only lowercase ASCII letters, digits and hyphens at line 1 column 21"},
      {R"({"sensitive_approved": "yes"})", "invalid type: string \"yes\", expected a boolean at line 1 column 28"},
      {R"({"statuses": null})", "invalid type: null, expected a map at line 1 column 17"},
      {R"({"event_types": {"login": "Public"}})",
       "unknown variant `Public`, expected one of `public`, `operational_metadata`, `security_metadata`, "
       "`pseudonymous_identifier`, `tenant_identifier`, `sensitive_metadata`, `secret`, `content`, `unknown` at line "
       "1 column 34"},
      {"[]", "invalid type: sequence, expected struct SourceSchema at line 1 column 1"},
  };
  for (const auto& c : cases) {
    const std::string path = write("schema.json", c.text);
    auto schema = read_source_schema(path);
    ASSERT_FALSE(schema) << c.text;
    EXPECT_EQ(schema.error(), path + ": " + std::string(c.error));
  }
}

TEST_F(Fixtures, FilesThatCannotBeRead) {
  EXPECT_EQ(read_raw_events(dir_ + "/absent.json").error(), dir_ + "/absent.json: No such file or directory");
  EXPECT_EQ(read_source_schema(dir_).error(), dir_ + ": Is a directory");
  // A hostile name neither splits the message nor reaches the terminal raw, and is never cut.
  const std::string long_tail(100, 'x');
  EXPECT_EQ(read_raw_events(dir_ + "/a\nb\x1b[2J" + long_tail).error(),
            dir_ + "/a\\nb\\u001b[2J" + long_tail + ": No such file or directory");
}

TEST(Examples, ShippedFixturesRead) {
  const char* root = std::getenv("QUEN_SOURCE_DIR");
  ASSERT_NE(root, nullptr);
  auto schema = read_source_schema(std::string(root) + "/examples/schema.json");
  ASSERT_TRUE(schema) << schema.error();
  EXPECT_EQ(schema->product_id.str(), "edge-gateway");
  EXPECT_FALSE(schema->event_types.empty());
  auto events = read_raw_events(std::string(root) + "/examples/events.json");
  ASSERT_TRUE(events) << events.error();
  EXPECT_FALSE(events->empty());
}

}  // namespace
