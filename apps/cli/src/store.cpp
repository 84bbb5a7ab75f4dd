#include "store.hpp"

#include "file_store.hpp"

namespace quenvistrel_cli {

std::expected<std::unique_ptr<Store>, std::string> open_store(const std::string& location, bool changes) {
  return open_file_store(location, changes);
}

}  // namespace quenvistrel_cli
