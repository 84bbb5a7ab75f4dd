#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "quenvistrel_aggregate/event_log.hpp"
#include "quenvistrel_contracts/json/stored_event.hpp"

namespace {

using namespace quenvistrel_aggregate;
using namespace quenvistrel_contracts;

VistrelEvent event_at(const char* occurred, std::string subject = "u-1") {
  VistrelEvent e;
  e.event_id = EventId::generate();
  e.tenant_id = TenantId::generate();
  e.workspace_id = WorkspaceId::generate();
  e.product_id = *Slug::try_from("edge-gateway");
  e.event_type = "login_failed";
  e.subject_id = std::move(subject);
  e.occurred_at = *Timestamp::from_str(occurred);
  return e;
}

std::vector<std::string> runs_of(const EventLog& log) {
  std::vector<std::string> runs;
  log.for_each_run([&runs](std::string_view run) { runs.emplace_back(run); });
  return runs;
}

std::string joined(const EventLog& log, std::size_t from, std::size_t to) {
  std::string text(log.text(from));
  for (std::size_t i = from + 1; i < to; ++i) {
    text += json::kStoredEventSeparator;
    text += log.text(i);
  }
  return text;
}

TEST(EventLog, KeepsEventsAsTheirTextAndDecodesThem) {
  const VistrelEvent a = event_at("2024-05-01T10:00:00Z");
  const VistrelEvent b = event_at("1969-12-31T23:59:59.5Z", std::string(3000, 'x'));
  EventLog log{a, b};
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0], a);
  EXPECT_EQ(log[1], b);
  EXPECT_EQ(log.occurred_seconds(1), -1);
  std::string text;
  json::encode_stored_event(text, a);
  EXPECT_EQ(log.text(0), text);
  EXPECT_EQ(log, (EventLog{a, b}));
  EXPECT_NE(log, (EventLog{b, a}));
  EXPECT_NE(log, (EventLog{a}));
  // Equal texts with other seconds are other events: retention goes by the seconds.
  EventLog skewed;
  skewed.append_encoded(log.text(0), log.occurred_seconds(0) + 1, false);
  skewed.append_encoded(log.text(1), log.occurred_seconds(1), false);
  EXPECT_NE(log, skewed);
}

TEST(EventLogDeathTest, AnEventThatDoesNotDecodeEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EventLog log;
  log.append_encoded("{\"broken\": true}", 0, false);
  EXPECT_DEATH((void)log[0], "stored event 0 does not decode");
}

TEST(EventLog, NewEventsFormOneRunUntilRetentionSplitsIt) {
  EventLog log;
  const char* times[] = {"2024-01-01T00:00:00Z", "2024-03-01T00:00:00Z", "2024-01-02T00:00:00Z",
                         "2024-03-02T00:00:00Z", "2024-03-03T00:00:00Z"};
  for (const char* t : times) log.push_back(event_at(t));
  EXPECT_EQ(runs_of(log), std::vector<std::string>{joined(log, 0, 5)});

  const EventLog before = log;
  const std::int64_t cutoff = Timestamp::from_str("2024-02-01T00:00:00Z")->unix_seconds();
  EXPECT_EQ(log.erase_occurred_before(cutoff), 2u);
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log.text(0), before.text(1));
  EXPECT_EQ(log.text(1), before.text(3));
  EXPECT_EQ(log.text(2), before.text(4));
  // The kept events 3 and 4 are still neighbours; event 1 stands alone.
  EXPECT_EQ(runs_of(log), (std::vector<std::string>{std::string(before.text(1)), joined(before, 3, 5)}));
  EXPECT_EQ(log.erase_occurred_before(cutoff), 0u);
}

TEST(EventLog, CopiesShareTextsButNeverWriteIntoEachOther) {
  EventLog original{event_at("2024-01-01T00:00:00Z")};
  EventLog copy = original;
  original.push_back(event_at("2024-01-02T00:00:00Z", "from-original"));
  copy.push_back(event_at("2024-01-03T00:00:00Z", "from-copy"));
  EXPECT_EQ(original[1].subject_id, "from-original");
  EXPECT_EQ(copy[1].subject_id, "from-copy");
  EXPECT_EQ(original[0], copy[0]);

  EventLog moved = std::move(copy);
  moved.push_back(event_at("2024-01-04T00:00:00Z", "after-move"));
  EXPECT_EQ(moved.size(), 3u);
  EXPECT_EQ(moved[2].subject_id, "after-move");
  EXPECT_EQ(original[1].subject_id, "from-original");
}

TEST(EventLog, EncodedEventsJoinOnlyWhereTheirBytesFollowEachOther) {
  EventLog source{event_at("2024-01-01T00:00:00Z"), event_at("2024-01-02T00:00:00Z")};
  const std::string file = joined(source, 0, 2);
  const std::string_view bytes = file;
  EventLog log;
  log.append_encoded(bytes.substr(0, source.text(0).size()), 1, true);  // first: nothing to join
  log.append_encoded(bytes.substr(bytes.size() - source.text(1).size()), 2, true);
  EXPECT_EQ(runs_of(log), std::vector<std::string>{file});
  log.push_back(event_at("2024-01-03T00:00:00Z"));  // new text lives elsewhere
  EXPECT_EQ(runs_of(log).size(), 2u);
  EXPECT_EQ(log.occurred_seconds(1), 2);
}

}  // namespace
