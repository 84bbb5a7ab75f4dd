#include "quencore_contracts/text_numbers.hpp"

#include <algorithm>

#include "quencore_contracts/hash.hpp"

namespace quencore_contracts {

namespace {

std::uint64_t text_hash(std::string_view text) { return hash_finish(hash_text(text)); }

}  // namespace

std::uint32_t TextNumbers::find(std::string_view text) const { return find(text, text_hash(text)); }

std::uint32_t TextNumbers::find(std::string_view text, std::uint64_t hash) const {
  if (entries_.empty()) return NONE;
  const std::size_t mask = entries_.size() - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    const Entry& e = entries_[i];
    if (e.number == NONE) return NONE;
    if (e.hash == hash && texts_[e.number] == text) return e.number;
  }
}

std::uint32_t TextNumbers::add(std::string_view text) {
  const std::uint64_t hash = text_hash(text);
  if (const std::uint32_t known = find(text, hash); known != NONE) return known;
  const auto place = [](std::vector<Entry>& entries, Entry entry) {
    const std::size_t mask = entries.size() - 1;
    std::size_t i = entry.hash & mask;
    while (entries[i].number != NONE) i = (i + 1) & mask;
    entries[i] = entry;
  };
  if ((texts_.size() + 1) * 2 > entries_.size()) {
    std::vector<Entry> grown(std::max<std::size_t>(16, entries_.size() * 2));
    for (const Entry& e : entries_) {
      if (e.number != NONE) place(grown, e);
    }
    entries_ = std::move(grown);
  }
  const auto number = static_cast<std::uint32_t>(texts_.size());
  texts_.emplace_back(text);
  place(entries_, Entry{hash, number});
  return number;
}

}  // namespace quencore_contracts
