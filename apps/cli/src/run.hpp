#pragma once

#include <expected>
#include <span>
#include <string>

namespace quenvistrel_cli {

// One whole run for the arguments after the program name: parse, take `now` once, load the
// state, dispatch to the command's handler, save, print its report. Help, version and usage
// errors are printed here too. Gives the exit status, or an error text that is the entry's to
// print as "error: {text}".
[[nodiscard]] std::expected<int, std::string> run(std::span<const std::string> args);

}  // namespace quenvistrel_cli
