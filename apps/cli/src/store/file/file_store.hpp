#pragma once

#include <expected>
#include <memory>
#include <string>

#include "store/store.hpp"

namespace quenvistrel_cli {

// The state file (state_file.hpp) as a store: the whole state is loaded, every working set is
// all of it, and a commit saves the whole file again, atomically. Changing runs queue on the
// lock of the file's folder.
[[nodiscard]] std::expected<std::unique_ptr<Store>, std::string> open_file_store(const std::string& path,
                                                                                 bool changes);

}  // namespace quenvistrel_cli
