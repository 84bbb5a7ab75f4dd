// Writes a large, realistic state file for benchmarks and by-hand timing:
//   gen_state <state.json> <events> [seed] [rules] [alerts] [extra rollups]
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "state_gen.hpp"

int main(int argc, char** argv) {
  if (argc < 3 || argc > 7) {
    std::fprintf(stderr, "usage: gen_state <state.json> <events> [seed] [rules] [alerts] [extra rollups]\n");
    return 2;
  }
  const auto number = [&](int i, std::uint64_t fallback) {
    return argc > i ? std::strtoull(argv[i], nullptr, 10) : fallback;
  };
  quenvistrel_bench::StateShape shape;
  shape.events = number(2, 0);
  shape.rules = number(4, shape.rules);
  shape.alerts = number(5, shape.alerts);
  shape.extra_rollups = number(6, 0);
  const auto state = quenvistrel_bench::make_state(shape, number(3, 1));
  if (auto saved = quenvistrel_cli::save_state(argv[1], state); !saved) {
    std::fprintf(stderr, "gen_state: %s\n", saved.error().c_str());
    return 1;
  }
  return 0;
}
