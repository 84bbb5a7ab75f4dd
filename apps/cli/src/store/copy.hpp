#pragma once

#include <expected>
#include <string>

#include "store/store.hpp"

namespace quenvistrel_cli {

// Copies the whole store at `from` into `to`, each a state file path or a database URI: every
// record, in every list's order, identifiers and times exactly. `to` must hold no store yet
// (a file that does not exist, a database without the store's tables); the source is only
// read, and the target gets everything or nothing; `watcher` hears of the target's long writes.
// Gives the counts copied.
[[nodiscard]] std::expected<StoreCounts, std::string> copy_store(const std::string& from, const std::string& to,
                                                                 WriteWatcher* watcher = nullptr);

}  // namespace quenvistrel_cli
