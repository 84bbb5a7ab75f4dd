#pragma once

// The store's schema in the database: its tables and types, the version they are of, and the
// one row of quenvistrel.store that holds the list counts.

#include <cstdint>
#include <expected>
#include <string>

#include "store/postgres/connection.hpp"
#include "store/store.hpp"

namespace quenvistrel_cli::pg {

// The version of the tables this tool writes; a later release that changes them migrates a
// store of an older version and refuses to touch one of a newer.
inline constexpr std::int32_t kSchemaVersion = 1;

// What quenvistrel.store holds: the count of each list, and the seq the next event gets.
struct StoreRow {
  StoreCounts counts;
  std::int64_t next_event_seq = 0;
};

// Whether the database holds the store's tables.
[[nodiscard]] std::expected<bool, std::string> store_exists(PgConnection& conn);
// Creates the schema of kSchemaVersion, empty, in the caller's transaction.
[[nodiscard]] std::expected<void, std::string> create_schema(PgConnection& conn);
// What a store has beside its tables, for the listings, the metrics and dashboards: indexes and
// views, each created when it is missing, in the caller's transaction (so a store made before
// them gets them from its next changing run; a run that may not create them goes on without).
// None of them reads the events table.
[[nodiscard]] std::expected<void, std::string> create_missing_extras(PgConnection& conn);
// The store's row, refused when it is not of kSchemaVersion.
[[nodiscard]] std::expected<StoreRow, std::string> read_store_row(PgConnection& conn);
[[nodiscard]] std::expected<void, std::string> write_store_row(PgConnection& conn, const StoreRow& row);

}  // namespace quenvistrel_cli::pg
