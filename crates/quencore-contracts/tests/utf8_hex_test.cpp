#include <gtest/gtest.h>

#include <string_view>

#include "quencore_contracts/hex.hpp"
#include "quencore_contracts/utf8.hpp"

namespace {

using namespace quencore_contracts;

// Every reader of untrusted text relies on these answers; a wrong one would let malformed
// bytes into the state or reject a valid name.
TEST(Utf8, SequenceLengthsTellWellFormedMalformedAndCutOff) {
  struct Row {
    std::string_view bytes;
    std::size_t length;
  };
  const Row rows[] = {
      {"a", 1},
      {"\xc3\xa9", 2},
      {"\xe2\x82\xac", 3},
      {"\xf0\x9f\x98\x80", 4},
      {"\xf4\x8f\xbf\xbf", 4},        // U+10FFFF
      {"\xc0\xaf", 0},                // overlong
      {"\xe0\x9f\xbf", 0},            // overlong
      {"\xf0\x8f\xbf\xbf", 0},        // overlong
      {"\xed\xa0\x80", 0},            // surrogate
      {"\xf4\x90\x80\x80", 0},        // above U+10FFFF
      {"\x80", 0},                    // continuation byte first
      {"\xe2\x28\xa1", 0},            // bad continuation
      {"\xe2\x82", UTF8_TRUNCATED},
      {"\xf0\x9f\x98", UTF8_TRUNCATED},
  };
  for (const Row& row : rows) EXPECT_EQ(utf8_sequence(row.bytes, 0), row.length) << row.bytes.size();
}

TEST(Utf8, DecodesAndCutsAtCharacterBoundaries) {
  const std::string_view text = "a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80";
  std::size_t i = 0;
  EXPECT_EQ(decode_utf8(text, i), U'a');
  EXPECT_EQ(decode_utf8(text, i), U'\u00e9');
  EXPECT_EQ(decode_utf8(text, i), U'\u20ac');
  EXPECT_EQ(decode_utf8(text, i), U'\U0001F600');
  EXPECT_EQ(i, text.size());

  EXPECT_EQ(utf8_head(text, 100), text);
  EXPECT_EQ(utf8_head(text, 3), "a\xc3\xa9");
  EXPECT_EQ(utf8_head(text, 5), "a\xc3\xa9");  // inside the euro sign
  EXPECT_EQ(utf8_head(text, 0), "");
}

TEST(Hex, ReadsEitherCaseAndWritesLowerCase) {
  EXPECT_EQ(hex_value('0'), 0);
  EXPECT_EQ(hex_value('9'), 9);
  EXPECT_EQ(hex_value('a'), 10);
  EXPECT_EQ(hex_value('F'), 15);
  for (const char c : std::string_view("gG/:@`\x00\xff", 8)) EXPECT_EQ(hex_value(c), -1) << int(c);
  char out[4];
  write_hex_byte(write_hex_byte(out, 0x0A), 0xFF);
  EXPECT_EQ(std::string_view(out, 4), "0aff");
}

}  // namespace
