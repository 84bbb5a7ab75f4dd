// The text kernels: the vector scans and UTF-8 check against the portable ones and a plain loop
// on the same inputs, and the word-wise shape check against a byte-wise one.
#include <cstdint>
#include <random>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "quencore_contracts/text_kernels.hpp"
#include "quencore_contracts/utf8.hpp"

namespace {

namespace kernel = quencore_contracts::kernel;

template <class Test>
unsigned byte_by_byte(const char* p, Test test) {
  unsigned mask = 0;
  for (unsigned i = 0; i < kernel::BLOCK; ++i) mask |= test(p[i]) ? 1U << i : 0;
  return mask;
}

void expect_agree(const std::string& block) {
  const unsigned special = byte_by_byte(block.data(), kernel::is_special);
  ASSERT_EQ(kernel::special_mask_portable(block.data()), special) << testing::PrintToString(block);
  ASSERT_EQ(kernel::special_mask(block.data()), special) << testing::PrintToString(block);
  const unsigned delimiter = byte_by_byte(block.data(), kernel::is_delimiter);
  ASSERT_EQ(kernel::delimiter_mask_portable(block.data()), delimiter) << testing::PrintToString(block);
  ASSERT_EQ(kernel::delimiter_mask(block.data()), delimiter) << testing::PrintToString(block);
}

TEST(TextKernels, VectorAndPortableMasksAgree) {
  // Every byte value at every place among plain bytes, and beside each boundary value.
  for (unsigned at = 0; at < kernel::BLOCK; ++at) {
    for (unsigned b = 0; b < 256; ++b) {
      std::string block(kernel::BLOCK, 'a');
      block[at] = static_cast<char>(b);
      expect_agree(block);
      for (const char neighbour : {'\x1f', ' ', '!', '"', '#', '[', '\\', ']', '\x7f', '\x80', '\xff'}) {
        block[(at + 1) % kernel::BLOCK] = neighbour;
        expect_agree(block);
      }
    }
  }
  std::mt19937 random(7);
  for (int n = 0; n < 100000; ++n) {
    std::string block(kernel::BLOCK, '\0');
    for (char& c : block) c = static_cast<char>(random());
    expect_agree(block);
  }
}

TEST(TextKernels, SkipPlainStopsAtTheFirstSpecialByte) {
  std::mt19937 random(11);
  for (int n = 0; n < 20000; ++n) {
    std::string text(random() % 70, 'x');
    if (!text.empty() && random() % 4 != 0) text[random() % text.size()] = "\"\\\n\x80\x01"[random() % 5];
    std::size_t expected = 0;
    while (expected < text.size() && !kernel::is_special(text[expected])) ++expected;
    ASSERT_EQ(kernel::skip_plain(text.data(), text.data() + text.size()) - text.data(),
              static_cast<std::ptrdiff_t>(expected))
        << testing::PrintToString(text);
  }
}

// Text made of pieces at and beside each edge of well-formed UTF-8: overlong forms, surrogates,
// the last code point and past it, stray and missing continuation bytes, delimiters. Runs are
// long enough, and often enough, to go to the vector check.
std::string random_text(std::mt19937& random) {
  // The first kValid pieces are well-formed text without a delimiter.
  static const char* const kPieces[] = {
      "a", "plain ascii text ", "\xc2\x80", "\xdf\xbf", "\xe0\xa0\x80", "\xed\x9f\xbf", "\xef\xbf\xbf",
      "\xf0\x90\x80\x80", "\xf4\x8f\xbf\xbf", "\xd0\x9c\xd0\xbe\xd1\x81\xd0\xba\xd0\xb2\xd0\xb0",
      "S\xc3\xa3o Paulo", "\x7f",
      // Delimiters, then malformed or cut-off characters.
      "\"", "\\", "\n", "\xc0\xaf", "\xc1\xbf", "\xe0\x9f\xbf", "\xed\xa0\x80", "\xf0\x8f\xbf\xbf",
      "\xf4\x90\x80\x80", "\xf5\x80\x80\x80", "\x80", "\xbf", "\xc3", "\xe2\x82", "\xf0\x9f\x98", "\xff"};
  constexpr std::size_t kValid = 12;
  std::string text;
  const std::size_t pieces = random() % 40;
  for (std::size_t k = 0; k < pieces; ++k) {
    text += kPieces[random() % 16 != 0 ? random() % kValid : random() % std::size(kPieces)];
  }
  return text;
}

TEST(TextKernels, Utf8ChecksAgreeWithACharacterByCharacterOne) {
  const auto reference_valid = [](std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
      const std::size_t len = quencore_contracts::utf8_sequence(text, i);
      if (len == 0 || len == quencore_contracts::UTF8_TRUNCATED) return false;
      i += len;
    }
    return true;
  };
  const auto reference_stop = [](std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && !kernel::is_delimiter(text[i])) {
      const std::size_t len = quencore_contracts::utf8_sequence(text, i);
      if (len == 0 || len == quencore_contracts::UTF8_TRUNCATED) break;
      i += len;
    }
    return i;
  };
  std::mt19937 random(13);
  for (int n = 0; n < 200000; ++n) {
    const std::string text = random_text(random);
    const bool valid = reference_valid(text);
    ASSERT_EQ(kernel::valid_utf8_portable(text.data(), text.size()), valid) << testing::PrintToString(text);
    ASSERT_EQ(kernel::valid_utf8(text.data(), text.size()), valid) << testing::PrintToString(text);
    ASSERT_EQ(kernel::skip_string_text(text.data(), text.data() + text.size()) - text.data(),
              static_cast<std::ptrdiff_t>(reference_stop(text)))
        << testing::PrintToString(text);
  }
}

// Every byte value at every place of a shape with digits, hex digits and fixed characters.
TEST(TextKernels, ShapesAgreeWithAByteByByteCheck) {
  constexpr char kShape[] = "dx-:Tdxx";
  const auto byte_ok = [](char want, char c) {
    if (want == 'd') return c >= '0' && c <= '9';
    if (want == 'x') return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
    return c == want;
  };
  const std::string good = "7b-:T0f9";
  ASSERT_TRUE(kernel::has_shape<kShape>(good.data()));
  for (std::size_t at = 0; at < 8; ++at) {
    for (unsigned b = 0; b < 256; ++b) {
      std::string text = good;
      text[at] = static_cast<char>(b);
      ASSERT_EQ(kernel::has_shape<kShape>(text.data()), byte_ok(kShape[at], text[at])) << at << " " << b;
    }
  }
}

}  // namespace
