#pragma once

#include <cstdint>

#include "store/file/state_file.hpp"

namespace quenvistrel_bench {

// A large state shaped like a long-running deployment: `events` events spread over a few
// tenants, workspaces, products and 30 days, their hourly rollups, a few hundred
// indicators, `rules` rules and `alerts` alerts, and `extra_rollups` further hourly rollups
// whose events retention has already removed. The same arguments give the same state.
struct StateShape {
  std::uint64_t events = 0;
  std::uint64_t rules = 40;
  std::uint64_t alerts = 1000;
  std::uint64_t extra_rollups = 0;
};
quenvistrel_cli::CliState make_state(const StateShape& shape, std::uint64_t seed);
inline quenvistrel_cli::CliState make_state(std::uint64_t events, std::uint64_t seed) {
  return make_state(StateShape{.events = events}, seed);
}

}  // namespace quenvistrel_bench
