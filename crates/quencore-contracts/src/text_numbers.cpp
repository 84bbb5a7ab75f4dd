#include "quencore_contracts/text_numbers.hpp"

#include "quencore_contracts/hash.hpp"

namespace quencore_contracts {

std::size_t TextNumbers::Hash::operator()(std::string_view text) const { return hash_finish(hash_text(text)); }

std::uint32_t TextNumbers::find(std::string_view text) const {
  const auto it = numbers_.find(text);
  return it == numbers_.end() ? NONE : it->second;
}

std::uint32_t TextNumbers::add(std::string_view text) {
  if (const std::uint32_t known = find(text); known != NONE) return known;
  const auto number = static_cast<std::uint32_t>(numbers_.size());
  numbers_.emplace(std::string(text), number);
  return number;
}

}  // namespace quencore_contracts
