// Writes a large, realistic state file for benchmarks and by-hand timing:
//   gen_state <state.json> <events> [seed]
#include <cstdio>
#include <cstdlib>

#include "state_gen.hpp"

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    std::fprintf(stderr, "usage: gen_state <state.json> <events> [seed]\n");
    return 2;
  }
  const auto events = std::strtoull(argv[2], nullptr, 10);
  const auto seed = argc == 4 ? std::strtoull(argv[3], nullptr, 10) : 1;
  const auto state = quenvistrel_bench::make_state(events, seed);
  if (auto saved = quenvistrel_cli::save_state(argv[1], state); !saved) {
    std::fprintf(stderr, "gen_state: %s\n", saved.error().c_str());
    return 1;
  }
  return 0;
}
