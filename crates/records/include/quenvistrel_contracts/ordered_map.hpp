#pragma once

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quenvistrel_contracts {

// A map from text to V ordered by the bytes of its keys (unsigned, a proper prefix first),
// kept as one sorted vector: lookups are binary searches, and inserting keys that arrive
// already in order (as every file this system writes has them) is an append.
template <class V>
class OrderedMap {
 public:
  using value_type = std::pair<std::string, V>;
  using const_iterator = typename std::vector<value_type>::const_iterator;

  OrderedMap() = default;
  OrderedMap(std::initializer_list<value_type> items) {
    for (const auto& [k, v] : items) insert_or_assign(k, v);
  }

  // A key given again replaces the earlier value.
  void insert_or_assign(std::string key, V value) {
    if (items_.empty() || items_.back().first < key) {
      items_.emplace_back(std::move(key), std::move(value));
      return;
    }
    auto it = lower(key);
    if (it != items_.end() && it->first == key) {
      it->second = std::move(value);
    } else {
      items_.emplace(it, std::move(key), std::move(value));
    }
  }

  [[nodiscard]] const V* find(std::string_view key) const {
    auto it = std::lower_bound(items_.begin(), items_.end(), key,
                               [](const value_type& e, std::string_view k) { return std::string_view(e.first) < k; });
    return it != items_.end() && it->first == key ? &it->second : nullptr;
  }

  [[nodiscard]] const_iterator begin() const { return items_.begin(); }
  [[nodiscard]] const_iterator end() const { return items_.end(); }
  [[nodiscard]] std::size_t size() const { return items_.size(); }
  [[nodiscard]] bool empty() const { return items_.empty(); }
  void clear() { items_.clear(); }

  friend bool operator==(const OrderedMap&, const OrderedMap&) = default;

 private:
  auto lower(std::string_view key) {
    return std::lower_bound(items_.begin(), items_.end(), key,
                            [](const value_type& e, std::string_view k) { return std::string_view(e.first) < k; });
  }
  std::vector<value_type> items_;
};

using StringMap = OrderedMap<std::string>;

}  // namespace quenvistrel_contracts
