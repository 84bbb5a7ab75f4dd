#pragma once

#include <cstring>
#include <expected>
#include <string>

namespace quencore_error {

// A failed system call is reported as the system's own text for its errno, e.g. "No such
// file or directory", which is the whole message the user sees.
[[nodiscard]] inline std::string errno_text(int error) { return std::strerror(error); }

// The same text as the error of a std::expected, the form the file and random layers return.
[[nodiscard]] inline std::unexpected<std::string> system_error(int error) { return std::unexpected(errno_text(error)); }

}  // namespace quencore_error
