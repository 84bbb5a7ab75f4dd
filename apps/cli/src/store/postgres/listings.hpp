#pragma once

// What the reading commands beside rollups and summary ask of the database, as queries that
// read only the rows they give (through the indexes of create_missing_extras), the figures of
// the metrics, and the changes of one record by its identifier.

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "store/postgres/connection.hpp"
#include "store/store.hpp"

namespace quenvistrel_cli::pg {

[[nodiscard]] std::expected<AlertListing, std::string> list_alerts(PgConnection& conn, const AlertQuery& query);
[[nodiscard]] std::expected<std::vector<quenvistrel_contracts::AlertRule>, std::string> list_rules(
    PgConnection& conn, const std::optional<quencore_contracts::TenantId>& tenant);
[[nodiscard]] std::expected<std::vector<quenvistrel_contracts::RiskIndicator>, std::string> list_indicators(
    PgConnection& conn, const std::optional<quencore_contracts::TenantId>& tenant);

// The figures beside `counts`, the store row's.
[[nodiscard]] std::expected<StoreFigures, std::string> read_figures(PgConnection& conn, const StoreCounts& counts);

// How many rows the identifier named; each of them is changed.
[[nodiscard]] std::expected<std::uint64_t, std::string> set_rule_enabled(
    PgConnection& conn, const quenvistrel_contracts::AlertRuleId& rule, bool enabled);
[[nodiscard]] std::expected<std::uint64_t, std::string> acknowledge_indicator(
    PgConnection& conn, const quenvistrel_contracts::IndicatorId& indicator);

}  // namespace quenvistrel_cli::pg
