#pragma once

// The byte work every reader and the writer share.
//
// The scan: where a run of plain string text ends. A byte ends it when it is a quotation mark,
// a backslash, a control byte (below 0x20) or the first of a multi-byte character (0x80 and
// above). The vector kernels are SSE2 (every x86-64) and NEON (every arm64); every other
// target, and a build with QUEN_PORTABLE_KERNELS, uses the portable one, eight bytes to a word.
// The portable kernel is always compiled, so that a test can hold the vector one to it.
//
// The UTF-8 check: a long run of multi-byte text is checked at once, by simdjson's validator
// where the build has it (it picks the widest vector unit the processor has at run time) and a
// character at a time otherwise. Both accept exactly what utf8_sequence accepts.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "quencore_contracts/utf8.hpp"

#if !defined(QUEN_PORTABLE_KERNELS) && defined(__SSE2__)
#include <emmintrin.h>
#define QUEN_KERNEL_SSE2 1
#elif !defined(QUEN_PORTABLE_KERNELS) && defined(__aarch64__) && defined(__ARM_NEON)
#include <arm_neon.h>
#define QUEN_KERNEL_NEON 1
#endif

namespace quencore_contracts::kernel {

// How many bytes one mask covers.
inline constexpr std::size_t BLOCK = 16;

// The bytes of a word that end a plain run, as their high bits. Exact per byte: no borrow
// crosses from one byte into the next, since every sum stays below 0x100.
inline std::uint64_t special_bits(std::uint64_t word) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHigh = kOnes * 0x80;
  const std::uint64_t low7 = word & ~kHigh;
  return (word | ~(low7 + kOnes * (0x80 - 0x20)) | ~((low7 ^ (kOnes * '"')) + kOnes * 0x7F) |
          ~((low7 ^ (kOnes * '\\')) + kOnes * 0x7F)) &
         kHigh;
}

// The bytes of a word that end a string's text whatever its characters are: a quotation mark,
// a backslash or a control byte.
inline std::uint64_t delimiter_bits(std::uint64_t word) { return special_bits(word) & ~word; }

// The BLOCK bytes at `p`, one bit each (bit i for p[i]) where `Bits` marks the byte.
template <std::uint64_t (*Bits)(std::uint64_t)>
unsigned block_mask_portable(const char* p) {
  std::uint64_t words[2];
  std::memcpy(words, p, sizeof words);
  unsigned mask = 0;
  for (unsigned w = 0; w < 2; ++w) {
    // Byte i of the text in bits 8i..8i+7 on a big-endian target as on any other.
    if constexpr (std::endian::native == std::endian::big) words[w] = __builtin_bswap64(words[w]);
    // Gathers the high bit of each byte into one byte: bit i of the result is byte i's.
    const std::uint64_t bits = Bits(words[w]) >> 7;
    mask |= static_cast<unsigned>((bits * 0x0102040810204080ULL) >> 56) << (8 * w);
  }
  return mask;
}

// Where the BLOCK bytes at `p` end a plain run, and where they end a string's text.
inline unsigned special_mask_portable(const char* p) { return block_mask_portable<special_bits>(p); }
inline unsigned delimiter_mask_portable(const char* p) { return block_mask_portable<delimiter_bits>(p); }

#if defined(QUEN_KERNEL_SSE2)
inline unsigned special_mask(const char* p) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  // A signed comparison takes the bytes below 0x20 and those from 0x80 on at once.
  const __m128i special =
      _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'))),
                   _mm_cmplt_epi8(v, _mm_set1_epi8(0x20)));
  return static_cast<unsigned>(_mm_movemask_epi8(special));
}
inline unsigned delimiter_mask(const char* p) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  // Unsigned: a byte is at most 0x1F when the smaller of it and 0x1F is itself.
  const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x1F)), v);
  const __m128i delimiter =
      _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'))), control);
  return static_cast<unsigned>(_mm_movemask_epi8(delimiter));
}
#elif defined(QUEN_KERNEL_NEON)
// NEON has no move-mask: weigh each lane by its bit and add up each half.
inline unsigned lane_mask(uint8x16_t lanes) {
  static constexpr std::uint8_t kWeights[16] = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
  const uint8x16_t weighed = vandq_u8(lanes, vld1q_u8(kWeights));
  return static_cast<unsigned>(vaddv_u8(vget_low_u8(weighed))) |
         (static_cast<unsigned>(vaddv_u8(vget_high_u8(weighed))) << 8);
}
inline uint8x16_t delimiter_lanes(uint8x16_t v) {
  return vorrq_u8(vorrq_u8(vceqq_u8(v, vdupq_n_u8('"')), vceqq_u8(v, vdupq_n_u8('\\'))), vcltq_u8(v, vdupq_n_u8(0x20)));
}
inline unsigned special_mask(const char* p) {
  const uint8x16_t v = vld1q_u8(reinterpret_cast<const std::uint8_t*>(p));
  return lane_mask(vorrq_u8(delimiter_lanes(v), vcgeq_u8(v, vdupq_n_u8(0x80))));
}
inline unsigned delimiter_mask(const char* p) {
  return lane_mask(delimiter_lanes(vld1q_u8(reinterpret_cast<const std::uint8_t*>(p))));
}
#else
inline unsigned special_mask(const char* p) { return special_mask_portable(p); }
inline unsigned delimiter_mask(const char* p) { return delimiter_mask_portable(p); }
#endif

// Whether a byte ends a plain run.
inline bool is_special(char c) {
  const auto b = static_cast<unsigned char>(c);
  return b < 0x20 || b >= 0x80 || b == '"' || b == '\\';
}

// Whether a byte ends a string's text whatever its characters are.
inline bool is_delimiter(char c) {
  const auto b = static_cast<unsigned char>(c);
  return b < 0x20 || b == '"' || b == '\\';
}

// The first byte in [p, end) that `Mask` marks a block at a time and `Marks` marks alone in
// the last bytes, or `end`.
template <unsigned (*Mask)(const char*), bool (*Marks)(char)>
const char* skip_unmarked(const char* p, const char* end) {
  while (end - p >= static_cast<std::ptrdiff_t>(BLOCK)) {
    if (const unsigned mask = Mask(p); mask != 0) return p + __builtin_ctz(mask);
    p += BLOCK;
  }
  while (p < end && !Marks(*p)) ++p;
  return p;
}

// The first byte in [p, end) that ends a plain run, or `end`.
inline const char* skip_plain(const char* p, const char* end) { return skip_unmarked<special_mask, is_special>(p, end); }

// The first byte in [p, end) that is a quotation mark, a backslash or a control byte, or `end`.
inline const char* skip_to_delimiter(const char* p, const char* end) {
  return skip_unmarked<delimiter_mask, is_delimiter>(p, end);
}

// ---- UTF-8 ----------------------------------------------------------------------------------

// Whether the n bytes at p are well-formed UTF-8 throughout, each character as utf8_sequence
// judges it and none cut off at the end: the vector check where the build has one, and the
// portable one, a character at a time.
[[nodiscard]] bool valid_utf8(const char* p, std::size_t n);
[[nodiscard]] bool valid_utf8_portable(const char* p, std::size_t n);

// A run of text with multi-byte characters at least this long is checked at once; a shorter
// one costs less a character at a time than the call.
inline constexpr std::ptrdiff_t UTF8_RUN = 16;

// The first byte in [p, end) that ends a string's text: a quotation mark, a backslash, a
// control byte, or the first byte of a character that is not well-formed or that `end` cuts
// off (utf8_sequence tells which). `end` when there is none.
//
// At its first multi-byte character, a run up to the next delimiter is checked whole when it
// is long; a short one, or one the check refuses, goes a character at a time. No character can
// span a delimiter, since every byte of a multi-byte one is from 0x80 on.
inline const char* skip_string_text(const char* p, const char* end) {
  // Before this, the text is in a run already offered to the whole check: no second offer, so
  // that a run is looked at once more at most, however its characters fall.
  const char* offered = p;
  while (true) {
    p = skip_plain(p, end);
    if (p == end || static_cast<unsigned char>(*p) < 0x80) return p;
    if (p >= offered) {
      const char* const stop = skip_to_delimiter(p, end);
      if (stop - p >= UTF8_RUN && valid_utf8(p, static_cast<std::size_t>(stop - p))) return stop;
      offered = stop;
    }
    const std::size_t len = utf8_sequence(std::string_view(p, static_cast<std::size_t>(end - p)), 0);
    if (len == 0 || len == UTF8_TRUNCATED) return p;
    p += len;
  }
}

// ---- Fixed shapes, eight bytes at a time ------------------------------------------------
// The readers of the writer's own forms (UUIDs, timestamps) check a field's characters a
// word at a time instead of a byte at a time.

// Eight bytes of text with byte i in bits 8i..8i+7, whatever the target's byte order.
inline std::uint64_t load_word(const char* p) {
  std::uint64_t word = 0;
  std::memcpy(&word, p, 8);
  if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
  return word;
}

// The high bit of each byte of `word` that lies in [lo, hi]; bytes from 0x80 on never do.
constexpr std::uint64_t in_range(std::uint64_t word, unsigned char lo, unsigned char hi) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHigh = kOnes * 0x80;
  const std::uint64_t low7 = word & ~kHigh;
  // Neither sum carries out of its byte, since low7 is below 0x80.
  const std::uint64_t at_least_lo = low7 + kOnes * (0x80 - lo);
  const std::uint64_t above_hi = low7 + kOnes * (0x7F - hi);
  return at_least_lo & ~above_hi & ~word & kHigh;
}

// Eight characters that say what eight bytes must be: 'd' a decimal digit, 'x' a lower-case
// hex digit, any other character itself.
struct Shape {
  char c[8];
  constexpr Shape(const char (&text)[9]) : c{} {  // converts from a literal on purpose
    for (std::size_t i = 0; i < 8; ++i) c[i] = text[i];
  }
  // 0x80 in each byte where the shape has `kind`.
  [[nodiscard]] constexpr std::uint64_t where(char kind) const {
    std::uint64_t mask = 0;
    for (std::size_t i = 0; i < 8; ++i) mask |= c[i] == kind ? std::uint64_t{0x80} << (8 * i) : 0;
    return mask;
  }
  // The bytes that stand for themselves, and a mask of them.
  [[nodiscard]] constexpr std::uint64_t fixed() const {
    std::uint64_t word = 0;
    for (std::size_t i = 0; i < 8; ++i) {
      if (c[i] != 'd' && c[i] != 'x') word |= std::uint64_t{static_cast<unsigned char>(c[i])} << (8 * i);
    }
    return word;
  }
  [[nodiscard]] constexpr std::uint64_t fixed_mask() const {
    std::uint64_t mask = 0;
    for (std::size_t i = 0; i < 8; ++i) mask |= c[i] != 'd' && c[i] != 'x' ? std::uint64_t{0xFF} << (8 * i) : 0;
    return mask;
  }
};

// Whether the eight bytes at `p` have the shape S.
template <Shape S>
bool has_shape(const char* p) {
  constexpr std::uint64_t digits = S.where('d');
  constexpr std::uint64_t hex = S.where('x');
  const std::uint64_t word = load_word(p);
  const std::uint64_t decimal = in_range(word, '0', '9');
  if ((word & S.fixed_mask()) != S.fixed() || (decimal & digits) != digits) return false;
  if constexpr (hex != 0) {
    if (((decimal | in_range(word, 'a', 'f')) & hex) != hex) return false;
  }
  return true;
}

}  // namespace quencore_contracts::kernel
