#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <boost/unordered/unordered_flat_map.hpp>

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
  // Looked up by a view of a text, without a copy.
  struct Hash {
    using is_transparent = void;
    using is_avalanching = void;  // the hash is spread already
    std::size_t operator()(std::string_view text) const;
  };
  struct Equal {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const { return a == b; }
  };

  boost::unordered_flat_map<std::string, std::uint32_t, Hash, Equal> numbers_;
};

}  // namespace quencore_contracts
