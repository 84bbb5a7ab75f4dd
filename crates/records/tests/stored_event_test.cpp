#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "quenvistrel_contracts/json/records.hpp"
#include "quenvistrel_contracts/json/stored_event.hpp"
#include "quenvistrel_contracts/testing/samples.hpp"

namespace {

using namespace quenvistrel_contracts;
using namespace quenvistrel_contracts::json;

VistrelEvent sample() {
  VistrelEvent e = samples::login_failed(*EventId::from_str("0f8fad5b-d9cb-469f-a165-70867728950e"),
                                         *TenantId::from_str("4f6a8c2e-1b3d-4e5f-9a7b-2c4d6e8f0a1b"),
                                         *WorkspaceId::from_str("7c9e6679-7425-40de-944b-e07fc1f90ae7"), Severity::High,
                                         *Timestamp::from_str("2024-06-01T10:02:03.5Z"),
                                         *Timestamp::from_str("2024-06-02T00:00:00Z"));
  e.safe_metadata = {{"city", "K\xc3\xb6ln"}, {"region", "eu-west"}};
  return e;
}

std::string encoded(const VistrelEvent& e) {
  std::string text;
  encode_stored_event(text, e);
  return text;
}

// What the general writer gives for the event as an element of the store's event list.
std::string written(const VistrelEvent& e) {
  std::string text;
  PrettyWriter writer(text, kStoredEventDepth);
  Codec<VistrelEvent>::write(writer, e);
  return text;
}

// The end of the recognised event, or npos.
std::size_t recognize(std::string_view text, std::int64_t* occurred = nullptr) {
  std::int64_t seconds = 0;
  RecognizedDay day;
  const std::size_t end = recognize_stored_event(text, 0, seconds, day);
  if (occurred != nullptr) *occurred = seconds;
  return end;
}

TEST(StoredEvent, EncodedTextIsTheStateFileLayoutAndDecodesBack) {
  const VistrelEvent e = sample();
  const std::string text = encoded(e);
  EXPECT_EQ(text, written(e));
  EXPECT_TRUE(text.starts_with("{\n        \"contract_version\": 1,\n        \"event_id\": "));
  EXPECT_TRUE(text.ends_with("\"eu-west\"\n        }\n      }"));
  auto decoded = decode_stored_event(text);
  ASSERT_TRUE(decoded) << decoded.error();
  EXPECT_EQ(*decoded, e);
}

TEST(StoredEvent, RecognisesWhatTheWriterWritesWithItsOccurredAt) {
  struct Row {
    const char* occurred;
    std::int64_t seconds;
  };
  for (const Row& row : {Row{"2024-06-01T10:02:03.5Z", 1717236123}, Row{"1969-12-31T23:59:59.999999999Z", -1},
                         Row{"0000-01-01T00:00:00Z", -62167219200}, Row{"9999-12-31T23:59:59Z", 253402300799},
                         Row{"2024-02-29T00:00:00Z", 1709164800}}) {
    VistrelEvent e = sample();
    e.occurred_at = *Timestamp::from_str(row.occurred);
    const std::string text = encoded(e);
    std::int64_t seconds = 0;
    EXPECT_EQ(recognize(text, &seconds), text.size()) << row.occurred;
    EXPECT_EQ(seconds, row.seconds) << row.occurred;
  }

  // Texts that need every escape the writer uses, raw non-ASCII, "/" and DEL, empty texts
  // and an empty map.
  VistrelEvent odd = sample();
  odd.event_type = "a\"b\\c\b\t\n\f\r\x01\x1f/\x7f \xe2\x82\xac \xf0\x9f\x98\x80";
  odd.status = "";
  odd.subject_id = std::string("nul\0byte", 8);
  odd.contract_version = 65535;
  odd.safe_metadata.clear();
  const std::string text = encoded(odd);
  EXPECT_EQ(text, written(odd));
  ASSERT_EQ(recognize(text), text.size()) << text;
  EXPECT_EQ(*decode_stored_event(text), odd);

  // Inside a larger text, from an offset.
  const std::string framed = "xx" + text + ",\n      ";
  std::int64_t seconds = 0;
  RecognizedDay day;
  EXPECT_EQ(recognize_stored_event(framed, 2, seconds, day), 2 + text.size());
}

TEST(StoredEvent, LeavesEveryOtherSpellingToTheReader) {
  const std::string text = encoded(sample());
  const auto with = [&text](std::string_view from, std::string_view to) {
    std::string changed = text;
    const std::size_t at = changed.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return changed.replace(at, from.size(), to);
  };
  // Each of these the JSON reader reads, or refuses, but writing it back would differ.
  const std::string variants[] = {
      with("0f8fad5b", "0F8FAD5B"),                                     // upper-case UUID
      with("\"0f8fad5b-d9cb-469f-a165-70867728950e\"", "\"0f8fad5bd9cb469fa16570867728950e\""),
      with("10:02:03.5Z", "10:02:03.50Z"),                              // trailing zero
      with("10:02:03.5Z", "12:02:03.5+02:00"),                          // offset
      with("10:02:03.5Z", "10:02:03.5z"),                               // lower-case zone
      with("2024-06-01T10", "2024-06-31T10"),                           // no such day
      with("2024-06-01T10", "2024-06-01T24"),                           // no such hour
      with("10:02:03.5Z", "10:02:60Z"),                                 // leap second
      with("\"contract_version\": 1", "\"contract_version\": 01"),      // leading zero
      with("\"contract_version\": 1", "\"contract_version\": 65536"),   // out of range
      with("\"contract_version\": 1", "\"contract_version\": 1.0"),     // fraction
      with("\"high\"", "\"High\""),                                     // not a wire name
      with("edge-gateway", "Edge-gateway"),                             // not a slug
      with("edge-gateway", "edge--gateway"),
      with("edge-gateway", "edge-gateway-"),
      with("login_failed", "login\\/failed"),                           // needless escape
      with("login_failed", "login\\u005ffailed"),
      with("login_failed", "login\\u000afailed"),                       // \n written long
      with("login_failed", "login\\u001Ffailed"),                       // upper-case hex
      with("login_failed", "login\tfailed"),                            // raw control
      with("login_failed", "login\xc3" "(failed"),                         // invalid UTF-8
      with("login_failed", "login\xed\xa0\x80" "failed"),                  // encoded surrogate
      with("login_failed", "login\xc0\xaf" "failed"),                      // overlong
      with("\"city\"", "\"zzz\""),                                      // keys out of order
      with("\"city\"", "\"region\""),                                   // key given twice
      with("\"city\"", "\"c\\u0001ty\""),                               // escaped key
      with("\"status\": \"failure\"", "\"status\":\"failure\""),        // other layout
      with("\n      }", "\n    }"),
      with("\"subject_kind\"", "\"subject_type\""),                     // unknown key
  };
  for (const std::string& variant : variants) {
    EXPECT_EQ(recognize(variant), std::string_view::npos) << variant;
  }
  // Every proper prefix is refused without reading past the end.
  for (std::size_t n = 0; n < text.size(); ++n) {
    const std::vector<char> prefix(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n));
    EXPECT_EQ(recognize(std::string_view(prefix.data(), n)), std::string_view::npos) << n;
  }
}

}  // namespace
