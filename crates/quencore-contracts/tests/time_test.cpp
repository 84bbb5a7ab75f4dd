#include "quencore_contracts/time.hpp"

#include <gtest/gtest.h>

#include <string>
#include <time.h>

namespace {

using quencore_contracts::Timestamp;

Timestamp read(std::string_view text) {
  auto t = Timestamp::from_str(text);
  EXPECT_TRUE(t.has_value()) << text << ": " << (t ? "" : t.error().message());
  return t.value_or(Timestamp{});
}

std::string detail_of(std::string_view text) {
  auto t = Timestamp::from_str(text);
  if (t) return "accepted as " + t->to_rfc3339();
  const std::string prefix = "validation failed: invalid RFC 3339 timestamp " + std::string(text) + ": ";
  const std::string& message = t.error().message();
  EXPECT_EQ(message.substr(0, prefix.size()), prefix);
  return message.substr(std::min(prefix.size(), message.size()));
}

TEST(TimestampRead, NormalisesToUtc) {
  struct Case {
    const char* text;
    const char* written;
  };
  const Case cases[] = {
      {"2024-05-01T12:00:00Z", "2024-05-01T12:00:00Z"},
      {"2024-05-01t12:00:00z", "2024-05-01T12:00:00Z"},
      {"2024-05-01 12:00:00Z", "2024-05-01T12:00:00Z"},
      {"2024-05-01#12:00:00+00:00", "2024-05-01T12:00:00Z"},
      {"2024-05-01T12:00:00-00:00", "2024-05-01T12:00:00Z"},
      {"2024-05-01T14:30:00+02:30", "2024-05-01T12:00:00Z"},
      {"2024-05-01T00:30:00+01:00", "2024-04-30T23:30:00Z"},
      {"2024-02-28T23:30:00-01:00", "2024-02-29T00:30:00Z"},
      {"2023-12-31T23:00:00-23:59", "2024-01-01T22:59:00Z"},
      {"2024-05-01T12:00:00.1234567891Z", "2024-05-01T12:00:00.123456789Z"},
      {"2024-05-01T12:00:00.9999999999Z", "2024-05-01T12:00:00.999999999Z"},  // truncated, not rounded
      {"2024-05-01T12:00:00.500Z", "2024-05-01T12:00:00.5Z"},
      {"2024-05-01T12:00:00.000Z", "2024-05-01T12:00:00Z"},
      {"2024-05-01T12:00:00.000000001Z", "2024-05-01T12:00:00.000000001Z"},
      {"2024-02-29T00:00:00Z", "2024-02-29T00:00:00Z"},
      {"2000-02-29T00:00:00Z", "2000-02-29T00:00:00Z"},
      {"0000-02-29T00:00:00Z", "0000-02-29T00:00:00Z"},
      {"0000-01-01T00:00:00Z", "0000-01-01T00:00:00Z"},
      {"9999-12-31T23:59:59.999999999Z", "9999-12-31T23:59:59.999999999Z"},
      {"0000-01-01T01:00:00+01:00", "0000-01-01T00:00:00Z"},
      {"9999-12-31T22:59:59-01:00", "9999-12-31T23:59:59Z"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(read(c.text).to_rfc3339(), c.written) << c.text;
  }
}

TEST(TimestampRead, LeapSecondOnlyAtTheEndOfAMonthInUtc) {
  EXPECT_EQ(read("2016-12-31T23:59:60Z").to_rfc3339(), "2016-12-31T23:59:59.999999999Z");
  EXPECT_EQ(read("2015-06-30T23:59:60.5Z").to_rfc3339(), "2015-06-30T23:59:59.999999999Z");
  // The same instant written with an offset.
  EXPECT_EQ(read("2017-01-01T00:59:60+01:00").to_rfc3339(), "2016-12-31T23:59:59.999999999Z");
  EXPECT_EQ(read("2024-02-29T23:59:60Z").to_rfc3339(), "2024-02-29T23:59:59.999999999Z");
  for (const char* text : {"2016-12-30T23:59:60Z", "2016-12-31T23:58:60Z", "2016-12-31T22:59:60Z",
                           "2016-12-31T23:59:60+01:00", "2023-02-28T12:59:60Z",
                           "2016-12-31T23:59:61Z"}) {
    EXPECT_EQ(detail_of(text), "second was not in range") << text;
  }
}

TEST(TimestampRead, SyntaxFaultsFromTheLeft) {
  struct Case {
    const char* text;
    const char* detail;
  };
  const Case cases[] = {
      {"", "the 'year' component could not be parsed"},
      {"202-05-01T12:00:00Z", "the 'year' component could not be parsed"},
      {"+2024-05-01T12:00:00Z", "the 'year' component could not be parsed"},
      {"2024/05-01T12:00:00Z", "a character literal was not valid"},
      {"2024", "a character literal was not valid"},
      {"2024-5-01T12:00:00Z", "the 'month' component could not be parsed"},
      {"2024-00-01T12:00:00Z", "the 'month' component could not be parsed"},
      {"2024-05-1T12:00:00Z", "the 'day' component could not be parsed"},
      {"2024-05-01", "the 'separator' component could not be parsed"},
      {"2024-05-01T", "the 'hour' component could not be parsed"},
      {"2024-05-01TT12:00:00Z", "the 'hour' component could not be parsed"},
      {"2024-05-01T12-00:00Z", "a character literal was not valid"},
      {"2024-05-01T12:0a:00Z", "the 'minute' component could not be parsed"},
      {"2024-05-01T12:00", "a character literal was not valid"},
      {"2024-05-01T12:00:0Z", "the 'second' component could not be parsed"},
      {"2024-05-01T12:00:00.Z", "the 'subsecond' component could not be parsed"},
      {"2024-05-01T12:00:00.", "the 'subsecond' component could not be parsed"},
      {"2024-05-01T12:00:00", "the 'offset hour' component could not be parsed"},
      {"2024-05-01T12:00:00 Z", "the 'offset hour' component could not be parsed"},
      {"2024-05-01T12:00:00+2:00", "the 'offset hour' component could not be parsed"},
      {"2024-05-01T12:00:00+24:00", "the 'offset hour' component could not be parsed"},
      {"2024-05-01T12:00:00+0200", "a character literal was not valid"},
      {"2024-05-01T12:00:00+02:0", "the 'offset minute' component could not be parsed"},
      {"2024-05-01T12:00:00Z ", "unexpected trailing characters; the end of input was expected"},
      {"2024-05-01T12:00:00+02:00Z", "unexpected trailing characters; the end of input was expected"},
      // A syntax fault wins over range faults to its left.
      {"2024-13-45T25:61:61", "the 'offset hour' component could not be parsed"},
      {"2024-13-01T12:00:00Z!", "unexpected trailing characters; the end of input was expected"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(detail_of(c.text), c.detail) << c.text;
  }
}

TEST(TimestampRead, RangeFaultsInTheirOrder) {
  struct Case {
    const char* text;
    const char* detail;
  };
  const Case cases[] = {
      {"2024-13-01T12:00:00Z", "month was not in range"},
      {"2024-04-31T12:00:00Z", "day was not in range"},
      {"2023-02-29T00:00:00Z", "day was not in range"},
      {"1900-02-29T00:00:00Z", "day was not in range"},
      {"2024-05-00T12:00:00Z", "day was not in range"},
      {"2024-05-01T24:00:00Z", "hour was not in range"},
      {"2024-05-01T12:60:00Z", "minute was not in range"},
      {"2024-05-01T12:00:61Z", "second was not in range"},
      {"2024-13-32T24:60:61Z", "month was not in range"},
      {"2024-04-31T24:60:61Z", "day was not in range"},
      {"2024-05-01T24:60:61Z", "hour was not in range"},
      {"2024-05-01T12:60:61Z", "minute was not in range"},
      // Offset minutes fail at once, before the fields and before trailing text.
      {"2024-13-32T24:60:61+00:60", "offset minute was not in range"},
      {"2024-05-01T12:00:00+00:60junk", "offset minute was not in range"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(detail_of(c.text), c.detail) << c.text;
  }
}

TEST(TimestampRead, InstantsOutsideTheWritableYearsAreRefused) {
  for (const char* text : {"9999-12-31T23:30:00-01:00", "0000-01-01T00:30:00+01:00",
                           "9999-12-31T23:59:59-00:01", "0000-01-01T00:00:00+00:01"}) {
    EXPECT_EQ(detail_of(text), "year was not in range") << text;
  }
  auto t = Timestamp::from_str("9999-12-31T23:30:00-01:00");
  ASSERT_FALSE(t.has_value());
  EXPECT_EQ(t.error().message(),
            "validation failed: invalid RFC 3339 timestamp 9999-12-31T23:30:00-01:00: year was not in range");
}

TEST(TimestampUnix, FloorsAndAgreesWithTheText) {
  struct Case {
    const char* text;
    std::int64_t seconds;
    std::uint32_t nanos;
  };
  const Case cases[] = {
      {"1970-01-01T00:00:00Z", 0, 0},
      {"1970-01-01T01:00:00Z", 3600, 0},
      {"1969-12-31T23:59:59.5Z", -1, 500000000},
      {"1969-12-31T23:59:59.999999999Z", -1, 999999999},
      {"1960-01-01T00:00:00.25Z", -315619200, 250000000},
      {"2024-05-01T12:00:00Z", 1714564800, 0},
      {"0000-01-01T00:00:00Z", -62167219200, 0},
      {"9999-12-31T23:59:59.999999999Z", 253402300799, 999999999},
  };
  for (const Case& c : cases) {
    const Timestamp t = read(c.text);
    EXPECT_EQ(t.unix_seconds(), c.seconds) << c.text;
    EXPECT_EQ(t.nanosecond(), c.nanos) << c.text;
    EXPECT_EQ(Timestamp::from_unix(c.seconds, c.nanos), t) << c.text;
  }
}

TEST(TimestampUnix, FromUnixKeepsToTheWritableRange) {
  EXPECT_FALSE(Timestamp::from_unix(-62167219201, 999999999).has_value());
  EXPECT_FALSE(Timestamp::from_unix(253402300800, 0).has_value());
  EXPECT_FALSE(Timestamp::from_unix(0, 1000000000).has_value());
  EXPECT_FALSE(Timestamp::from_unix(INT64_MIN, 0).has_value());
  EXPECT_FALSE(Timestamp::from_unix(INT64_MAX, 0).has_value());
  EXPECT_EQ(Timestamp::from_unix(-1, 1)->to_rfc3339(), "1969-12-31T23:59:59.000000001Z");
}

TEST(TimestampWrite, RoundTripsAcrossTheRange) {
  // Every day boundary region, both ends of the range, and fractions of every width.
  for (std::int64_t s : {std::int64_t{-62167219200}, std::int64_t{-62135596801}, std::int64_t{-86401},
                         std::int64_t{-1}, std::int64_t{0}, std::int64_t{951782400},
                         std::int64_t{253402300799}}) {
    for (std::uint32_t n : {0u, 1u, 10u, 120000000u, 999999999u}) {
      const Timestamp t = *Timestamp::from_unix(s, n);
      const std::string text = t.to_rfc3339();
      EXPECT_EQ(read(text), t) << text;
    }
  }
  std::string out = "at ";
  Timestamp::from_unix(0, 0)->append_rfc3339(out);
  EXPECT_EQ(out, "at 1970-01-01T00:00:00Z");
}

TEST(TimestampNow, MatchesTheSystemClock) {
  timespec before{};
  clock_gettime(CLOCK_REALTIME, &before);
  const Timestamp now = Timestamp::now();
  timespec after{};
  clock_gettime(CLOCK_REALTIME, &after);
  EXPECT_GE(now.unix_seconds(), before.tv_sec);
  EXPECT_LE(now.unix_seconds(), after.tv_sec);
  EXPECT_EQ(read(now.to_rfc3339()), now);
}

}  // namespace
