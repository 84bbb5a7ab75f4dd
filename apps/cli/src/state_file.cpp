// Placeholder until the state file lands.
#include "state_file.hpp"

namespace quenvistrel_cli {

std::expected<CliState, std::string> load_state(const std::string&) { return CliState{}; }
std::expected<void, std::string> save_state(const std::string&, const CliState&) {
  return std::unexpected(std::string("saving is not available yet"));
}

}  // namespace quenvistrel_cli
