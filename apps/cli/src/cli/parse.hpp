#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "commands/command.hpp"

namespace quenvistrel_cli {

// What the parse step ends the process with instead of a `Cli`: help, version or a usage
// error, already rendered.
struct EarlyExit {
  int status = 0;
  bool to_stderr = false;
  std::string output;
};

// Parses the arguments after the program name, which like any program argument hold no NUL
// byte. Prints nothing; the caller writes the outcome of an early exit.
[[nodiscard]] std::expected<Cli, EarlyExit> parse_command_line(std::span<const std::string> args);

// quenvistrel-store's command line, "copy FROM TO", with the same help and usage errors.
struct StoreCli {
  std::string from;
  std::string to;
};
[[nodiscard]] std::expected<StoreCli, EarlyExit> parse_store_command_line(std::span<const std::string> args);

}  // namespace quenvistrel_cli
