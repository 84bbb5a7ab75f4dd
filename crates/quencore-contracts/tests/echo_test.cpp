#include "quencore_contracts/echo.hpp"

#include <gtest/gtest.h>

#include <string>

#include "quencore_contracts/time.hpp"

namespace {

using quencore_contracts::echo_input;
using quencore_contracts::escape_controls;

TEST(Echo, EscapesEveryControlCharacterAndNothingElse) {
  EXPECT_EQ(escape_controls("login_failed"), "login_failed");
  EXPECT_EQ(escape_controls("a\nb\tc\rd\be\ff"), "a\\nb\\tc\\rd\\be\\ff");
  EXPECT_EQ(escape_controls(std::string("\x00\x1b]0;owned\x07", 11)), "\\u0000\\u001b]0;owned\\u0007");
  // DEL and the C1 controls (U+0080–U+009F, two bytes each in UTF-8) count too; the
  // characters around them, non-ASCII ones included, stay as they are.
  EXPECT_EQ(escape_controls("x\x7f\xc2\x85\xc2\x9b\xc2\xa0\xc3\xa9"), "x\\u007f\\u0085\\u009b\xc2\xa0\xc3\xa9");
  // Quotes and backslashes are escaped only for text shown between quotes.
  EXPECT_EQ(escape_controls("a\"b\\c"), "a\"b\\c");
  std::string quoted;
  quencore_contracts::append_escaped(quoted, "a\"b\\c\n", true);
  EXPECT_EQ(quoted, "a\\\"b\\\\c\\n");
}

TEST(Echo, CutsLongInputAtACharacterBoundary) {
  const std::string exact(64, 'x');
  EXPECT_EQ(echo_input(exact), exact);
  EXPECT_EQ(echo_input(exact + "y"), exact + "\u2026");
  // "é" straddling byte 64 is left off whole rather than split.
  const std::string straddle = std::string(63, 'x') + "\xc3\xa9" + "tail";
  EXPECT_EQ(echo_input(straddle), std::string(63, 'x') + "\u2026");
  // The cut is taken before escaping, so a long run of controls stays bounded too.
  EXPECT_EQ(echo_input(std::string(100'000, '\x1b')).size(), 64 * 6 + 3);
}

TEST(Echo, TimestampErrorsEchoTheInputSafely) {
  auto bad = quencore_contracts::Timestamp::from_str("\x1b]0;owned\x07");
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().message().find('\x1b'), std::string::npos) << bad.error().message();
  EXPECT_NE(bad.error().message().find("timestamp \\u001b]0;owned\\u0007: "), std::string::npos);
  auto huge = quencore_contracts::Timestamp::from_str(std::string(1 << 20, '9'));
  ASSERT_FALSE(huge);
  EXPECT_LT(huge.error().message().size(), 200u);
  EXPECT_NE(huge.error().message().find(std::string(64, '9') + "\u2026: "), std::string::npos);
}

}  // namespace
