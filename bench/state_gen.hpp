#pragma once

#include <cstdint>

#include "state_file.hpp"

namespace quenvistrel_bench {

// A large state shaped like a long-running deployment: `events` events spread over a few
// tenants, workspaces, products and 30 days, their hourly rollups, a few hundred
// indicators, rules and alerts. The same seed gives the same state.
quenvistrel_cli::CliState make_state(std::uint64_t events, std::uint64_t seed);

}  // namespace quenvistrel_bench
