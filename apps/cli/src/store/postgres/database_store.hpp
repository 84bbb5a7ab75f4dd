#pragma once

#include <expected>
#include <memory>
#include <string>

#include "store/store.hpp"

namespace quenvistrel_cli {

// The store in a PostgreSQL database: one table per list in the schema "quenvistrel", the
// creation order kept in a `seq` column, and the list counts in the one row of
// quenvistrel.store. A run is one transaction; a changing run first takes the store's
// advisory lock, so changing runs of any number of hosts queue, and creates the tables on an
// empty database. Each command loads only what it needs (store.hpp's working sets) and
// writes only what it added or changed.
[[nodiscard]] std::expected<std::unique_ptr<Store>, std::string> open_database_store(const std::string& uri,
                                                                                     bool changes);

}  // namespace quenvistrel_cli
