#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "quencore_contracts/uuid.hpp"

namespace quenvistrel_aggregate {

// The hashing of the store's and the alert pass's lookup keys: values are folded in one at a
// time and the result spread once at the end. Inline: it runs per event and per rollup.

// Folds `v` into `h`.
constexpr std::uint64_t hash_combine(std::uint64_t h, std::uint64_t v) {
  return (std::rotl(h, 5) ^ v) * 0x9E3779B97F4A7C15ULL;
}

// Folds the 16 bytes of `u` into `h`.
inline std::uint64_t hash_combine(std::uint64_t h, const quencore_contracts::Uuid& u) {
  std::uint64_t parts[2];
  std::memcpy(parts, u.bytes.data(), sizeof parts);
  return hash_combine(hash_combine(h, parts[0]), parts[1]);
}

// splitmix64's finaliser: spreads the combined bits so the low bits pick good slots.
constexpr std::uint64_t hash_finish(std::uint64_t h) {
  h ^= h >> 30;
  h *= 0xBF58476D1CE4E5B9ULL;
  h ^= h >> 27;
  h *= 0x94D049BB133111EBULL;
  return h ^ (h >> 31);
}

}  // namespace quenvistrel_aggregate
