#pragma once

#include <expected>
#include <string>
#include <vector>

#include "quenvistrel_aggregate/store.hpp"
#include "quenvistrel_contracts/records.hpp"

namespace quenvistrel_cli {

// Everything the tool remembers between runs.
struct CliState {
  quenvistrel_aggregate::VistrelStore store;
  std::vector<quenvistrel_contracts::AlertRule> rules;
  std::vector<quenvistrel_contracts::AlertEvent> alerts;

  friend bool operator==(const CliState&, const CliState&) = default;
};

// A path that does not exist gives the empty state; any other failure is an error text.
[[nodiscard]] std::expected<CliState, std::string> load_state(const std::string& path);
// Replaces the file atomically; on failure the previous file is untouched.
[[nodiscard]] std::expected<void, std::string> save_state(const std::string& path, const CliState& state);

}  // namespace quenvistrel_cli
