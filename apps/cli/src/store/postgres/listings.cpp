#include "store/postgres/listings.hpp"

#include <set>
#include <utility>

#include <fmt/format.h>

#include "store/postgres/table_io.hpp"

namespace quenvistrel_cli::pg {

namespace {

using quencore_contracts::TenantId;
using quenvistrel_contracts::AlertRule;
using quenvistrel_contracts::AlertRuleId;
using quenvistrel_contracts::RiskIndicator;

// Identifiers go into the queries as literals (COPY takes no parameters); a UUID's canonical
// text is safe as one.
std::string tenant_clause(const std::optional<TenantId>& tenant) {
  return tenant ? fmt::format("WHERE tenant_id = '{}' ORDER BY seq", tenant->uuid().to_string())
                : std::string("ORDER BY seq");
}

// The rows of an aggregate, described as the columns of the table they count, so that a row
// the tool cannot read is named as the table's.
const Table kFiredRows{"alerts", {{"tenant_id", "uuid"}, {"rule_id", "uuid"}, {"count", "bigint"}}};
const Table kLatestHourRows{
    "rollups",
    {{"tenant_id", "uuid"}, {"bucket_start", "bigint"}, {"event_type", "text"}, {"severity", "severity"}, {"count", "numeric"}}};
const Table kFlagRows{"indicators", {{"acknowledged", "bigint"}, {"enabled", "bigint"}}};

std::uint64_t count_of(std::int64_t v) { return v < 0 ? 0 : static_cast<std::uint64_t>(v); }

}  // namespace

std::expected<AlertListing, std::string> list_alerts(PgConnection& conn, const AlertQuery& query) {
  std::string where;
  const auto add = [&where](const std::string& condition) { where += (where.empty() ? "WHERE " : " AND ") + condition; };
  if (query.tenant) add(fmt::format("tenant_id = '{}'", query.tenant->uuid().to_string()));
  if (query.rule) add(fmt::format("rule_id = '{}'", query.rule->uuid().to_string()));
  if (query.since) {
    // fired_at holds whole microseconds, rounded down, and fired_at_nanos the nanosecond within
    // the second: the first condition is the index's, the second settles the microsecond.
    const std::int64_t micros = query.since->unix_seconds() * 1'000'000 + query.since->nanosecond() / 1000;
    const std::string at = fmt::format("timestamptz 'epoch' + {} * interval '1 microsecond'", micros);
    add(fmt::format("fired_at >= {0} AND (fired_at > {0} OR fired_at_nanos >= {1})", at, query.since->nanosecond()));
  }
  AlertListing out;
  if (auto s = select(conn, kAlerts, where + " ORDER BY seq", out.alerts); !s) return std::unexpected(std::move(s.error()));
  if (out.alerts.empty()) return out;

  std::set<AlertRuleId> named;
  for (const auto& alert : out.alerts) named.insert(alert.rule_id);
  std::string ids;
  for (const AlertRuleId& id : named) ids += fmt::format("{}{}", ids.empty() ? "" : ",", id.uuid().to_string());
  if (auto s = select(conn, kRules,
                      fmt::format("WHERE seq IN (SELECT min(seq) FROM quenvistrel.rules WHERE rule_id = ANY('{{{}}}'::uuid[]) "
                                  "GROUP BY rule_id) ORDER BY seq",
                                  ids),
                      out.rules);
      !s) {
    return std::unexpected(std::move(s.error()));
  }
  return out;
}

std::expected<std::vector<AlertRule>, std::string> list_rules(PgConnection& conn, const std::optional<TenantId>& tenant) {
  std::vector<AlertRule> out;
  if (auto s = select(conn, kRules, tenant_clause(tenant), out); !s) return std::unexpected(std::move(s.error()));
  return out;
}

std::expected<std::vector<RiskIndicator>, std::string> list_indicators(PgConnection& conn,
                                                                       const std::optional<TenantId>& tenant) {
  std::vector<RiskIndicator> out;
  if (auto s = select(conn, kIndicators, tenant_clause(tenant), out); !s) return std::unexpected(std::move(s.error()));
  return out;
}

std::expected<StoreFigures, std::string> read_figures(PgConnection& conn, const StoreCounts& counts) {
  StoreFigures out;
  out.counts = counts;
  auto flags = stream_query(conn,
                            "SELECT (SELECT count(*) FROM quenvistrel.indicators WHERE acknowledged), "
                            "(SELECT count(*) FROM quenvistrel.rules WHERE enabled)",
                            [&](RowReader& reader) -> std::expected<void, std::string> {
                              out.indicators_acknowledged = count_of(reader.int8());
                              out.rules_enabled = count_of(reader.int8());
                              return reader.done(kFlagRows);
                            });
  if (!flags) return std::unexpected(std::move(flags.error()));

  auto fired = stream_query(conn, "SELECT tenant_id, rule_id, count(*) FROM quenvistrel.alerts GROUP BY 1, 2",
                            [&](RowReader& reader) -> std::expected<void, std::string> {
                              StoreFigures::Fired f;
                              f.tenant = TenantId(reader.uuid());
                              f.rule = AlertRuleId(reader.uuid());
                              f.alerts = count_of(reader.int8());
                              if (auto done = reader.done(kFiredRows); !done) return done;
                              out.fired.push_back(f);
                              return {};
                            });
  if (!fired) return std::unexpected(std::move(fired.error()));

  // Each tenant's latest hour, found tenant by tenant down the rollups_hours index (a loose
  // scan: one step per tenant, not per rollup), then that hour's rollups summed.
  auto latest = stream_query(
      conn,
      "WITH RECURSIVE latest AS ("
      "(SELECT tenant_id, bucket_start FROM quenvistrel.rollups WHERE bucket = 'hour' "
      "ORDER BY tenant_id DESC, bucket_start DESC LIMIT 1) "
      "UNION ALL SELECT n.tenant_id, n.bucket_start FROM latest l, LATERAL ("
      "SELECT tenant_id, bucket_start FROM quenvistrel.rollups r WHERE r.bucket = 'hour' AND r.tenant_id < l.tenant_id "
      "ORDER BY tenant_id DESC, bucket_start DESC LIMIT 1) n) "
      "SELECT r.tenant_id, r.bucket_start, r.event_type, r.severity, "
      "LEAST(sum(r.count), 18446744073709551615) FROM latest l JOIN quenvistrel.rollups r "
      "ON r.tenant_id = l.tenant_id AND r.bucket = 'hour' AND r.bucket_start = l.bucket_start "
      "GROUP BY 1, 2, 3, 4",
      [&](RowReader& reader) -> std::expected<void, std::string> {
        StoreFigures::LatestHour h;
        h.tenant = TenantId(reader.uuid());
        h.bucket_start = reader.int8();
        h.event_type = reader.text();
        h.severity = reader.severity();
        h.count = reader.numeric();
        if (auto done = reader.done(kLatestHourRows); !done) return done;
        out.latest_hour.push_back(std::move(h));
        return {};
      });
  if (!latest) return std::unexpected(std::move(latest.error()));
  return out;
}

std::expected<std::uint64_t, std::string> set_rule_enabled(PgConnection& conn, const AlertRuleId& rule, bool enabled) {
  auto updated = conn.exec(fmt::format("UPDATE quenvistrel.rules SET enabled = {} WHERE rule_id = '{}'", enabled,
                                       rule.uuid().to_string()));
  if (!updated) return std::unexpected(std::move(updated.error()));
  return updated->affected();
}

std::expected<std::uint64_t, std::string> acknowledge_indicator(PgConnection& conn,
                                                                 const quenvistrel_contracts::IndicatorId& indicator) {
  auto updated = conn.exec(fmt::format("UPDATE quenvistrel.indicators SET acknowledged = true WHERE indicator_id = '{}'",
                                       indicator.uuid().to_string()));
  if (!updated) return std::unexpected(std::move(updated.error()));
  return updated->affected();
}

}  // namespace quenvistrel_cli::pg
