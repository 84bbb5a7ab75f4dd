#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "quencore_contracts/text_numbers.hpp"

namespace {

using quencore_contracts::TextNumbers;

// Numbers follow first additions and survive the table's growth; texts that share their
// first or last eight bytes, the empty text and a prefix of another stay apart.
TEST(TextNumbers, NumbersInOrderOfFirstAdditionAcrossGrowth) {
  std::vector<std::string> texts = {"", "a", "ab", "abcdefgh", "abcdefghi", "xbcdefghi", "event_type_1", "event_type_10"};
  for (int i = 0; i < 1000; ++i) texts.push_back("name-" + std::to_string(i));
  TextNumbers numbers;
  EXPECT_EQ(numbers.find("a"), TextNumbers::NONE);
  for (std::size_t i = 0; i < texts.size(); ++i) {
    EXPECT_EQ(numbers.add(texts[i]), i) << texts[i];
  }
  for (std::size_t i = 0; i < texts.size(); ++i) {
    EXPECT_EQ(numbers.find(texts[i]), i) << texts[i];
    EXPECT_EQ(numbers.add(texts[i]), i) << texts[i];
  }
  EXPECT_EQ(numbers.find("event_type_2"), TextNumbers::NONE);
  EXPECT_EQ(numbers.find("abcdefghij"), TextNumbers::NONE);
}

}  // namespace
