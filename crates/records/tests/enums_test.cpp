#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "quenvistrel_contracts/field_class.hpp"
#include "quenvistrel_contracts/severity.hpp"
#include "quenvistrel_contracts/time_bucket.hpp"

namespace {

using namespace quenvistrel_contracts;
using quencore_contracts::Timestamp;

TEST(FieldClass, NamesAndRules) {
  struct Case {
    FieldClass c;
    const char* display;
    const char* wire;
    bool persistable_unapproved;
    bool persistable_approved;
    bool identifier;
  };
  const Case cases[] = {
      {FieldClass::Public, "Public", "public", true, true, false},
      {FieldClass::OperationalMetadata, "OperationalMetadata", "operational_metadata", true, true, false},
      {FieldClass::SecurityMetadata, "SecurityMetadata", "security_metadata", true, true, false},
      {FieldClass::PseudonymousIdentifier, "PseudonymousIdentifier", "pseudonymous_identifier", true, true, true},
      {FieldClass::TenantIdentifier, "TenantIdentifier", "tenant_identifier", true, true, true},
      {FieldClass::SensitiveMetadata, "SensitiveMetadata", "sensitive_metadata", false, true, false},
      {FieldClass::Secret, "Secret", "secret", false, false, false},
      {FieldClass::Content, "Content", "content", false, false, false},
      {FieldClass::Unknown, "Unknown", "unknown", false, false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(display_name(c.c), c.display);
    EXPECT_EQ(wire_name(c.c), c.wire);
    EXPECT_EQ(is_persistable(c.c, false), c.persistable_unapproved) << c.display;
    EXPECT_EQ(is_persistable(c.c, true), c.persistable_approved) << c.display;
    EXPECT_EQ(is_identifier(c.c), c.identifier) << c.display;
    EXPECT_EQ(field_class_from_wire(c.wire), c.c);
  }
}

TEST(FieldClass, LookupIsExact) {
  const std::string expected_list =
      "`, expected one of `public`, `operational_metadata`, `security_metadata`, "
      "`pseudonymous_identifier`, `tenant_identifier`, `sensitive_metadata`, `secret`, "
      "`content`, `unknown`";
  for (const char* name : {"Public", "PUBLIC", "public ", "", "operational-metadata"}) {
    const std::string text = name;
    auto c = field_class_from_wire(text);
    ASSERT_FALSE(c.has_value()) << text;
    EXPECT_EQ(c.error(), "unknown variant `" + text + expected_list);
  }
}

TEST(Severity, NamesOrderAndLookup) {
  const Severity all[] = {Severity::Info, Severity::Low, Severity::Medium, Severity::High,
                          Severity::Critical};
  const char* displays[] = {"Info", "Low", "Medium", "High", "Critical"};
  const char* wires[] = {"info", "low", "medium", "high", "critical"};
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(display_name(all[i]), displays[i]);
    EXPECT_EQ(wire_name(all[i]), wires[i]);
    EXPECT_EQ(severity_from_wire(wires[i]), all[i]);
    if (i > 0) {
      EXPECT_LT(all[i - 1], all[i]);
    }
  }
  EXPECT_FALSE(is_high(Severity::Medium));
  EXPECT_TRUE(is_high(Severity::High));
  EXPECT_TRUE(is_high(Severity::Critical));
  EXPECT_EQ(severity_from_wire("High").error(),
            "unknown variant `High`, expected one of `info`, `low`, `medium`, `high`, `critical`");
}

TEST(TimeBucket, NamesAndLookup) {
  EXPECT_EQ(wire_name(TimeBucket::Hour), "hour");
  EXPECT_EQ(wire_name(TimeBucket::Day), "day");
  EXPECT_EQ(time_bucket_from_wire("hour"), TimeBucket::Hour);
  EXPECT_EQ(time_bucket_from_wire("day"), TimeBucket::Day);
  EXPECT_EQ(time_bucket_from_wire("Hour").error(), "unknown variant `Hour`, expected `hour` or `day`");
  EXPECT_EQ(time_bucket_from_wire("week").error(), "unknown variant `week`, expected `hour` or `day`");
}

TEST(TimeBucket, StartFloorsToUtcHoursAndMidnights) {
  struct Case {
    const char* at;
    std::int64_t hour;
    std::int64_t day;
  };
  const Case cases[] = {
      {"2024-05-01T10:00:00Z", 1714557600, 1714521600},  // on a boundary: its own start
      {"2024-05-01T10:59:59.999Z", 1714557600, 1714521600},
      {"2024-05-01T11:00:00Z", 1714561200, 1714521600},
      {"2024-05-01T01:30:00+02:00", 1714518000, 1714435200},
      {"1970-01-01T00:00:00Z", 0, 0},
      {"1969-12-31T23:59:59Z", -3600, -86400},
      {"1969-12-31T23:59:59.5Z", -3600, -86400},
      {"1969-12-31T23:00:00Z", -3600, -86400},
      {"1969-12-31T00:00:00Z", -86400, -86400},
      {"1969-12-30T23:59:59Z", -86400 - 3600, -2 * 86400},
      {"0000-01-01T00:00:00Z", -62167219200, -62167219200},
      {"9999-12-31T23:59:59.999999999Z", 253402297200, 253402214400},
  };
  for (const Case& c : cases) {
    const Timestamp t = *Timestamp::from_str(c.at);
    EXPECT_EQ(bucket_start(TimeBucket::Hour, t), c.hour) << c.at;
    EXPECT_EQ(bucket_start(TimeBucket::Day, t), c.day) << c.at;
  }
}

}  // namespace
