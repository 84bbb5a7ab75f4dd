#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quencore_contracts {

// Numbers distinct texts 0, 1, 2, … in the order they are first added, and finds a text's
// number again by hashing it: a short name stands for its text in lookup keys and tables
// (the gate's schema names, the texts of rollup keys). Texts are kept as copies.
class TextNumbers {
 public:
  static constexpr std::uint32_t NONE = UINT32_MAX;

  // The number of `text`, or NONE when it has none.
  [[nodiscard]] std::uint32_t find(std::string_view text) const;
  // The number of `text`, given to it now if it has none.
  std::uint32_t add(std::string_view text);

 private:
  struct Entry {
    std::uint64_t hash = 0;
    std::uint32_t number = NONE;
  };
  [[nodiscard]] std::uint32_t find(std::string_view text, std::uint64_t hash) const;

  std::vector<std::string> texts_;
  std::vector<Entry> entries_;  // open addressing, at most half full; a power of two long, or empty
};

}  // namespace quencore_contracts
