#pragma once

#include <expected>
#include <string>

namespace quenvistrel_contracts::json {

// The whole file in one buffer (open, fstat, read); the error is the system's text for the
// failure, e.g. "No such file or directory" or "Is a directory", without the path.
[[nodiscard]] std::expected<std::string, std::string> read_file(const std::string& path);

}  // namespace quenvistrel_contracts::json
