#include "store/store.hpp"

#include "store/file/file_store.hpp"
#include "store/postgres/database_store.hpp"

namespace quenvistrel_cli {

std::expected<std::unique_ptr<Store>, std::string> open_store(const std::string& location, bool changes) {
  if (is_database_uri(location)) return open_database_store(location, changes);
  return open_file_store(location, changes);
}

}  // namespace quenvistrel_cli
