#include "store/postgres/schema.hpp"

#include <algorithm>
#include <vector>

#include <fmt/format.h>

#include "store/postgres/tables.hpp"

namespace quenvistrel_cli::pg {

namespace {

std::string create_table(const Table& table) {
  std::string sql = fmt::format("CREATE TABLE {} (", table.qualified());
  for (std::size_t i = 0; i < table.columns.size(); ++i) {
    if (i > 0) sql += ", ";
    sql += fmt::format("{} {}", table.columns[i].name, table.columns[i].type);
  }
  return sql + ");\n";
}

// The whole schema of version 1.
std::string schema_sql() {
  std::string sql =
      "CREATE SCHEMA quenvistrel;\n"
      "CREATE TYPE quenvistrel.severity AS ENUM ('info', 'low', 'medium', 'high', 'critical');\n"
      "CREATE TYPE quenvistrel.time_bucket AS ENUM ('hour', 'day');\n"
      "CREATE TABLE quenvistrel.store (only_row boolean PRIMARY KEY DEFAULT true CHECK (only_row), "
      "schema_version integer NOT NULL, events bigint NOT NULL, rollups bigint NOT NULL, "
      "indicators bigint NOT NULL, rules bigint NOT NULL, alerts bigint NOT NULL, "
      "next_event_seq bigint NOT NULL);\n";
  sql += fmt::format("INSERT INTO quenvistrel.store VALUES (true, {}, 0, 0, 0, 0, 0, 0);\n", kSchemaVersion);
  for (const Table* table : std::initializer_list<const Table*>{&kEvents, &kRollups, &kIndicators, &kRules, &kAlerts}) {
    sql += create_table(*table);
  }
  sql +=
      "CREATE INDEX events_occurred_at ON quenvistrel.events (occurred_at);\n"
      "CREATE INDEX rollups_tenant ON quenvistrel.rollups (tenant_id, seq);\n"
      "CREATE INDEX rollups_rule_key ON quenvistrel.rollups (tenant_id, event_type, bucket);\n"
      "CREATE INDEX rollups_high ON quenvistrel.rollups (count) WHERE severity >= 'high';\n"
      "CREATE INDEX alerts_rule ON quenvistrel.alerts (rule_id, bucket_start);\n";
  return sql;
}

// An index or a view beside the tables, by its name in the store's schema.
struct Extra {
  std::string_view name;
  std::string_view sql;
};

constexpr Extra kExtras[] = {
    // The listings of one tenant, in creation order, and alerts by when they fired.
    {"alerts_tenant", "CREATE INDEX alerts_tenant ON quenvistrel.alerts (tenant_id, seq)"},
    {"alerts_fired_at", "CREATE INDEX alerts_fired_at ON quenvistrel.alerts (fired_at)"},
    // The rollups an ingest into a workspace the store may hold can count into.
    {"rollups_workspace", "CREATE INDEX rollups_workspace ON quenvistrel.rollups (workspace_id, bucket_start)"},
    {"rules_tenant", "CREATE INDEX rules_tenant ON quenvistrel.rules (tenant_id, seq)"},
    {"rules_id", "CREATE INDEX rules_id ON quenvistrel.rules (rule_id)"},
    {"indicators_tenant", "CREATE INDEX indicators_tenant ON quenvistrel.indicators (tenant_id, seq)"},
    // Each tenant's latest hour, for the metrics, and a dashboard's range of hours.
    {"rollups_hours", "CREATE INDEX rollups_hours ON quenvistrel.rollups (tenant_id, bucket_start) WHERE bucket = 'hour'"},
    {"rollups_hour_time",
     "CREATE INDEX rollups_hour_time ON quenvistrel.rollups (to_timestamp(bucket_start::double precision)) "
     "WHERE bucket = 'hour'"},
    // What a dashboard charts: the events of each hour summed over workspaces and products,
    // and each alert at the hour it fired for, both with `time` as a timestamptz (the
    // expression of rollups_hour_time, so a range of hours is read through it). An hour outside
    // the years 0000 to 9999, which only a hand-written store can hold, is left out rather than
    // failing the whole view.
    {"hourly_events",
     "CREATE VIEW quenvistrel.hourly_events AS SELECT to_timestamp(bucket_start::double precision) AS time, "
     "tenant_id, event_type, severity::text AS severity, sum(count) AS count FROM quenvistrel.rollups "
     "WHERE bucket = 'hour' AND bucket_start BETWEEN -62167219200 AND 253402300799 "
     "GROUP BY 1, tenant_id, event_type, severity"},
    {"fired_alerts",
     "CREATE VIEW quenvistrel.fired_alerts AS SELECT to_timestamp(a.bucket_start::double precision) AS time, "
     "a.fired_at, a.tenant_id, r.name AS rule, r.event_type, a.severity::text AS severity, "
     "a.observed_count AS count, a.rule_id, a.alert_id FROM quenvistrel.alerts a "
     "LEFT JOIN (SELECT DISTINCT ON (rule_id) rule_id, name, event_type FROM quenvistrel.rules "
     "ORDER BY rule_id, seq) r ON r.rule_id = a.rule_id "
     "WHERE a.bucket_start BETWEEN -62167219200 AND 253402300799"},
};

}  // namespace

std::expected<void, std::string> create_missing_extras(PgConnection& conn) {
  // Looked up before anything is created: creating what exists, even "IF NOT EXISTS", needs
  // the tables' owner, and a run of another user that may write the store would then fail.
  std::string names;
  for (const Extra& extra : kExtras) names += fmt::format("{}'quenvistrel.{}'", names.empty() ? "" : ", ", extra.name);
  auto missing = conn.exec(fmt::format("SELECT n FROM unnest(ARRAY[{}]) n WHERE to_regclass(n) IS NULL", names));
  if (!missing) return std::unexpected(std::move(missing.error()));
  std::string sql;
  for (int row = 0; row < missing->rows(); ++row) {
    for (const Extra& extra : kExtras) {
      if (missing->bytes(row, 0) == fmt::format("quenvistrel.{}", extra.name)) sql += fmt::format("{};\n", extra.sql);
    }
  }
  if (sql.empty()) return {};
  // A user who may change the store's rows but does not own its tables cannot create them; the
  // command goes on without them (they only make reads cheaper), and the owner's next
  // changing run creates them.
  if (auto created = conn.exec(fmt::format("SAVEPOINT extras;\n{}RELEASE SAVEPOINT extras", sql)); !created) {
    if (auto back = conn.exec("ROLLBACK TO SAVEPOINT extras"); !back) return std::unexpected(std::move(created.error()));
  }
  return {};
}

std::expected<bool, std::string> store_exists(PgConnection& conn) {
  auto exists = conn.exec("SELECT to_regclass('quenvistrel.store') IS NOT NULL");
  if (!exists) return std::unexpected(std::move(exists.error()));
  return exists->bytes(0, 0) == "t";
}

std::expected<void, std::string> create_schema(PgConnection& conn) {
  if (auto created = conn.exec(schema_sql()); !created) return std::unexpected(std::move(created.error()));
  return {};
}

std::expected<StoreRow, std::string> read_store_row(PgConnection& conn) {
  auto row = conn.exec_params(
      "SELECT schema_version, events, rollups, indicators, rules, alerts, next_event_seq FROM quenvistrel.store", {});
  if (!row) return std::unexpected(std::move(row.error()));
  if (row->rows() != 1) {
    return std::unexpected(std::string("the database's quenvistrel.store does not hold exactly one row"));
  }
  std::vector<std::string_view> fields;
  for (int f = 0; f < 7; ++f) fields.push_back(row->is_null(0, f) ? std::string_view{} : row->bytes(0, f));
  RowReader read(fields);
  const std::int32_t version = read.int4();
  const auto count = [&read] { return static_cast<std::uint64_t>(std::max<std::int64_t>(0, read.int8())); };
  StoreRow out;
  out.counts.events = count();
  out.counts.rollups = count();
  out.counts.indicators = count();
  out.counts.rules = count();
  out.counts.alerts = count();
  out.next_event_seq = read.int8();
  if (version > kSchemaVersion) {
    return std::unexpected(fmt::format(
        "the database holds a store of a newer version of this tool (schema version {}; this one knows {})", version,
        kSchemaVersion));
  }
  if (version < kSchemaVersion) {
    return std::unexpected(fmt::format("the database holds a store of an unknown schema version {}", version));
  }
  return out;
}

std::expected<void, std::string> write_store_row(PgConnection& conn, const StoreRow& row) {
  const PgParam params[] = {
      {param_int8(static_cast<std::int64_t>(row.counts.events))},
      {param_int8(static_cast<std::int64_t>(row.counts.rollups))},
      {param_int8(static_cast<std::int64_t>(row.counts.indicators))},
      {param_int8(static_cast<std::int64_t>(row.counts.rules))},
      {param_int8(static_cast<std::int64_t>(row.counts.alerts))},
      {param_int8(row.next_event_seq)},
  };
  auto updated = conn.exec_params(
      "UPDATE quenvistrel.store SET events = $1, rollups = $2, indicators = $3, rules = $4, alerts = $5, "
      "next_event_seq = $6",
      params);
  if (!updated) return std::unexpected(std::move(updated.error()));
  return {};
}

}  // namespace quenvistrel_cli::pg
