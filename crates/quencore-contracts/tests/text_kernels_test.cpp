// The text kernels: the vector scan against the portable one and a plain byte loop on the same
// inputs, and the word-wise shape check against a byte-wise one.
#include <cstdint>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "quencore_contracts/text_kernels.hpp"

namespace {

namespace kernel = quencore_contracts::kernel;

unsigned byte_by_byte(const char* p) {
  unsigned mask = 0;
  for (unsigned i = 0; i < kernel::BLOCK; ++i) mask |= kernel::is_special(p[i]) ? 1U << i : 0;
  return mask;
}

void expect_agree(const std::string& block) {
  const unsigned expected = byte_by_byte(block.data());
  ASSERT_EQ(kernel::special_mask_portable(block.data()), expected) << testing::PrintToString(block);
  ASSERT_EQ(kernel::special_mask(block.data()), expected) << testing::PrintToString(block);
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
