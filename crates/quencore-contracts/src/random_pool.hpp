#pragma once

#include <string>

namespace quencore_contracts::detail {

// Keeps "cannot obtain random bytes: {text}" as the process's entropy failure, unless one is
// kept already.
void note_entropy_failure(const std::string& text);

}  // namespace quencore_contracts::detail
