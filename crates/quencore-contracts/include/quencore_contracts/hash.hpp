#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "quencore_contracts/uuid.hpp"

namespace quencore_contracts {

// The hashing of lookup keys (the store's, the alert pass's, the gate's): values are folded in
// one at a time and the result spread once at the end. Inline: it runs per event and per rollup.

// Folds `v` into `h`.
constexpr std::uint64_t hash_combine(std::uint64_t h, std::uint64_t v) {
  return (std::rotl(h, 5) ^ v) * 0x9E3779B97F4A7C15ULL;
}

// Folds the 16 bytes of `u` into `h`.
inline std::uint64_t hash_combine(std::uint64_t h, const Uuid& u) {
  std::uint64_t parts[2];
  std::memcpy(parts, u.bytes.data(), sizeof parts);
  return hash_combine(hash_combine(h, parts[0]), parts[1]);
}

// Folds the bytes of `s` into a fresh value, eight at a time; the last eight (or the last
// four and the first four) overlap the ones before, so no byte is read one by one.
inline std::uint64_t hash_text(std::string_view s) {
  const auto load64 = [](const char* p) {
    std::uint64_t word = 0;
    std::memcpy(&word, p, 8);
    return word;
  };
  const auto load32 = [](const char* p) {
    std::uint32_t word = 0;
    std::memcpy(&word, p, 4);
    return std::uint64_t{word};
  };
  const char* p = s.data();
  std::size_t n = s.size();
  std::uint64_t h = n;
  if (n >= 8) {
    for (; n > 8; n -= 8, p += 8) h = hash_combine(h, load64(p));
    return hash_combine(h, load64(s.data() + s.size() - 8));
  }
  if (n >= 4) return hash_combine(h, (load32(p) << 32) | load32(p + n - 4));
  if (n > 0) {
    const auto byte = [p](std::size_t i) { return std::uint64_t{static_cast<unsigned char>(p[i])}; };
    return hash_combine(h, (byte(0) << 16) | (byte(n / 2) << 8) | byte(n - 1));
  }
  return h;
}

// splitmix64's finaliser: spreads the combined bits so the low bits pick good slots.
constexpr std::uint64_t hash_finish(std::uint64_t h) {
  h ^= h >> 30;
  h *= 0xBF58476D1CE4E5B9ULL;
  h ^= h >> 27;
  h *= 0x94D049BB133111EBULL;
  return h ^ (h >> 31);
}

}  // namespace quencore_contracts
