#include "quencore_contracts/uuid.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <string>

#include "quencore_contracts/random.hpp"

namespace {

using quencore_contracts::Uuid;

TEST(UuidParse, ReadsEveryFormInEitherCase) {
  const std::string canonical = "00112233-4455-6677-8899-aabbccddeeff";
  for (const char* text : {
           "00112233-4455-6677-8899-aabbccddeeff",
           "00112233-4455-6677-8899-AABBCCDDEEFF",
           "00112233445566778899aAbBcCdDeEfF",
           "{00112233-4455-6677-8899-AaBbCcDdEeFf}",
           "urn:uuid:00112233-4455-6677-8899-AABBCCDDEEFF",
       }) {
    auto uuid = Uuid::parse(text);
    ASSERT_TRUE(uuid.has_value()) << text << ": " << uuid.error();
    EXPECT_EQ(uuid->bytes[0], 0x00);
    EXPECT_EQ(uuid->bytes[15], 0xff);
    EXPECT_EQ(uuid->to_string(), canonical);
  }
}

TEST(UuidParse, ReasonShapes) {
  struct Case {
    const char* text;
    const char* reason;
  };
  const Case cases[] = {
      {"", "invalid length: found 0"},
      {"abc", "invalid length: found 3"},
      {"00112233445566778899aabbccddeeff00", "invalid length: found 34"},
      // A stray character is reported before any count, at its 1-based position.
      {"x", "invalid character: found `x` at 1"},
      {"00112233-4455-6677-8899-aabbccddeefg", "invalid character: found `g` at 36"},
      {"00112233-4455-6677-8899-aabbccddeeff ", "invalid character: found ` ` at 37"},
      {"URN:UUID:00112233-4455-6677-8899-aabbccddeeff", "invalid character: found `U` at 1"},
      {"urn:uuid:{00112233-4455-6677-8899-aabbccddeeff}", "invalid character: found `{` at 10"},
      // Positions count characters, and a multi-byte character is shown whole.
      {"\xC3\xA9" "0112233-4455-6677-8899-aabbccddeeff", "invalid character: found `\xC3\xA9` at 1"},
      {"0\xE2\x82\xAC" "x", "invalid character: found `\xE2\x82\xAC` at 2"},
      // A byte that starts no character is never echoed raw.
      {"00\xFF", "invalid character: found `\xEF\xBF\xBD` at 3"},
      {"0\xC3", "invalid character: found `\xEF\xBF\xBD` at 2"},
      // Nor is a control character: it could drive the terminal the message goes to.
      {"0\x1b]0;x\x07", "invalid character: found `\\u001b` at 2"},
      {"\xC2\x9B" "2J", "invalid character: found `\\u009b` at 1"},
      {"00112233-4455-6677-8899", "invalid group count: expected 5, found 4"},
      {"0011-2233-4455-6677-8899-aabbccddeeff", "invalid group count: expected 5, found 6"},
      {"-", "invalid group count: expected 5, found 2"},
      {"{00112233445566778899aabbccddeeff}", "invalid group count: expected 5, found 1"},
      {"urn:uuid:00112233445566778899aabbccddeeff", "invalid group count: expected 5, found 1"},
      {"0011223-34455-6677-8899-aabbccddeeff", "invalid group length in group 1: expected 8, found 7"},
      {"00112233-4455-6677-8899-aabbccddeef", "invalid group length in group 5: expected 12, found 11"},
      {"00112233-4455-66778-899-aabbccddeeff", "invalid group length in group 3: expected 4, found 5"},
      {"00112233-4455--6677-8899aabbccddeeff", "invalid group length in group 3: expected 4, found 0"},
      // A brace without its partner breaks the form as a whole.
      {"{00112233-4455-6677-8899-aabbccddeeff", "failed to parse a UUID"},
      {"00112233-4455-6677-8899-aabbccddeeff}", "failed to parse a UUID"},
      {"{", "failed to parse a UUID"},
  };
  for (const Case& c : cases) {
    auto uuid = Uuid::parse(c.text);
    ASSERT_FALSE(uuid.has_value()) << c.text;
    EXPECT_EQ(uuid.error(), c.reason) << c.text;
  }
}

TEST(UuidFormat, AppendsAfterExistingText) {
  Uuid uuid;
  for (std::size_t k = 0; k < 16; ++k) uuid.bytes[k] = static_cast<std::uint8_t>(0xF0 + k);
  std::string out = "id=";
  uuid.append_to(out);
  EXPECT_EQ(out, "id=f0f1f2f3-f4f5-f6f7-f8f9-fafbfcfdfeff");
  EXPECT_EQ(Uuid{}.to_string(), "00000000-0000-0000-0000-000000000000");
}

TEST(UuidGenerate, SetsVersionAndVariantAndRoundTrips) {
  for (int i = 0; i < 200; ++i) {
    const Uuid uuid = Uuid::generate_v4();
    EXPECT_EQ(uuid.bytes[6] >> 4, 4);
    EXPECT_EQ(uuid.bytes[8] & 0xC0, 0x80);
    const std::string text = uuid.to_string();
    EXPECT_EQ(text[14], '4');
    EXPECT_EQ(Uuid::parse(text), uuid);
  }
}

TEST(UuidGenerate, IdentifiersAreDistinctAcrossPoolRefills) {
  // 64 KiB per block / 16 bytes per identifier = 4096; draw enough to refill several times.
  std::set<Uuid> seen;
  for (int i = 0; i < 10000; ++i) {
    EXPECT_TRUE(seen.insert(Uuid::generate_v4()).second);
  }
}

namespace entropy {

int calls = 0;

// Hands out a few bytes per call and is interrupted every other call, as a slow source may.
ssize_t short_and_interrupted(void* buffer, std::size_t length, unsigned int) {
  if (++calls % 2 == 0) {
    errno = EINTR;
    return -1;
  }
  const std::size_t n = std::min<std::size_t>(length, 7);
  std::memset(buffer, 0xAB, n);
  return static_cast<ssize_t>(n);
}

ssize_t failing(void*, std::size_t, unsigned int) {
  errno = ENOSYS;
  return -1;
}

}  // namespace entropy

TEST(RandomBytes, RetriesInterruptedCallsAndShortReads) {
  const auto previous = quencore_contracts::detail::set_entropy_source(&entropy::short_and_interrupted);
  std::array<std::byte, 40> out{};
  const auto got = quencore_contracts::random_bytes(out);
  quencore_contracts::detail::set_entropy_source(previous);
  ASSERT_TRUE(got.has_value());
  for (std::byte b : out) EXPECT_EQ(b, std::byte{0xAB});
  EXPECT_GT(entropy::calls, 2);
}

TEST(RandomBytes, ReportsTheSystemError) {
  const auto previous = quencore_contracts::detail::set_entropy_source(&entropy::failing);
  std::array<std::byte, 16> out{};
  const auto got = quencore_contracts::random_bytes(out);
  quencore_contracts::detail::set_entropy_source(previous);
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error(), std::strerror(ENOSYS));
}

TEST(UuidGenerate, KeepsTheFailureWhenNoEntropyIsAvailable) {
  const auto previous = quencore_contracts::detail::set_entropy_source(&entropy::failing);
  (void)Uuid::generate_v4();
  const auto failure = quencore_contracts::entropy_failure();
  quencore_contracts::detail::set_entropy_source(previous);
  EXPECT_EQ(failure, "cannot obtain random bytes: " + std::string(std::strerror(ENOSYS)));
  EXPECT_EQ(quencore_contracts::entropy_failure(), std::nullopt);
}

}  // namespace
