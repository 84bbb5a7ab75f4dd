#pragma once

#include <span>
#include <string>

#include "handlers.hpp"

namespace quenvistrel_cli {

// One whole run for the arguments after the program name: parse, take `now` once, load the
// state, dispatch to the command's handler. Help, version and usage errors are printed here
// and come back as their exit status; a returned error text is the entry's to print.
[[nodiscard]] HandlerResult run(std::span<const std::string> args);

}  // namespace quenvistrel_cli
