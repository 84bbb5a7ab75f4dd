#include "quencore_contracts/ids.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

using quencore_contracts::Slug;
using quencore_contracts::TenantId;
using quencore_contracts::WorkspaceId;

constexpr const char* kBadChars = "may contain only lowercase ASCII letters, digits and hyphens";
constexpr const char* kHyphenEnds = "must not start or end with a hyphen";
constexpr const char* kDoubleHyphen = "must not contain consecutive hyphens";

TEST(Slug, RulesApplyInOrder) {
  struct Case {
    std::string text;
    std::string reason;
  };
  const Case cases[] = {
      {"", "must not be empty"},
      {std::string(65, 'a'), "must be at most 64 bytes, got 65"},
      // Length is checked before characters.
      {std::string(70, 'A'), "must be at most 64 bytes, got 70"},
      {"Web", kBadChars},
      {"web_app", kBadChars},
      {"web app", kBadChars},
      {"caf\xC3\xA9", kBadChars},
      {"-Web", kBadChars},  // characters before hyphen placement
      {"-web", kHyphenEnds},
      {"web-", kHyphenEnds},
      {"-", kHyphenEnds},
      {"--", kHyphenEnds},  // the start/end rule comes before the consecutive rule
      {"web--app", kDoubleHyphen},
  };
  for (const Case& c : cases) {
    auto result = Slug::validate(c.text);
    ASSERT_FALSE(result.has_value()) << c.text;
    EXPECT_EQ(result.error().message(), "invalid Slug identifier: " + c.reason) << c.text;
    EXPECT_EQ(result.error().kind(), quencore_error::CoreError::Kind::InvalidIdentifier);
  }
}

TEST(Slug, AcceptsValidNamesUnchanged) {
  for (const std::string& text : {std::string("web-app-2"), std::string("2fa"), std::string("0"),
                                 std::string("123"), std::string(64, 'z')}) {
    auto slug = Slug::try_from(text);
    ASSERT_TRUE(slug.has_value()) << text;
    EXPECT_EQ(slug->str(), text);
  }
}

TEST(Slug, TryFromReturnsTheValidationError) {
  auto slug = Slug::try_from("Web");
  ASSERT_FALSE(slug.has_value());
  EXPECT_EQ(slug.error(), Slug::validate("Web").error());
}

TEST(TenantId, AcceptedFormsPrintBackLowerCaseHyphenated) {
  const std::string canonical = "67e55044-10b1-426f-9247-bb680e5fe0c8";
  for (const std::string& text : {
           canonical,
           std::string("67e5504410b1426f9247bb680e5fe0c8"),
           std::string("67E55044-10B1-426F-9247-BB680E5FE0C8"),
           std::string("{67e55044-10b1-426f-9247-bb680e5fe0c8}"),
           std::string("urn:uuid:67e55044-10b1-426f-9247-bb680e5fe0c8"),
       }) {
    auto id = TenantId::from_str(text);
    ASSERT_TRUE(id.has_value()) << text << ": " << id.error().message();
    EXPECT_EQ(id->to_string(), canonical);
  }
}

TEST(TenantId, ErrorNamesTheKindAndTheParserReason) {
  auto id = TenantId::from_str("URN:UUID:67e55044-10b1-426f-9247-bb680e5fe0c8");
  ASSERT_FALSE(id.has_value());
  EXPECT_EQ(id.error().message(), "invalid TenantId identifier: invalid character: found `U` at 1");

  auto ws = WorkspaceId::from_str("abc");
  ASSERT_FALSE(ws.has_value());
  EXPECT_EQ(ws.error().message(), "invalid WorkspaceId identifier: invalid length: found 3");
}

TEST(TenantId, EqualityIsByValueNotSpelling) {
  EXPECT_EQ(*TenantId::from_str("67E5504410B1426F9247BB680E5FE0C8"),
            *TenantId::from_str("67e55044-10b1-426f-9247-bb680e5fe0c8"));
  EXPECT_NE(TenantId::generate(), TenantId::generate());
}

}  // namespace
