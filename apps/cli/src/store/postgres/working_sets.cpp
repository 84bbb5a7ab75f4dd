#include "store/postgres/working_sets.hpp"

#include <algorithm>
#include <iterator>
#include <limits>
#include <utility>

#include <boost/unordered/unordered_flat_map.hpp>
#include <fmt/format.h>

#include "store/postgres/table_io.hpp"

namespace quenvistrel_cli::pg {

using quenvistrel_contracts::AlertRule;
using quenvistrel_contracts::RiskIndicator;
using quenvistrel_contracts::VistrelRollup;

std::expected<std::vector<std::int64_t>, std::string> load_risk_inputs(PgConnection& conn, std::uint64_t threshold,
                                                                       CliState& state) {
  // Derivation looks only at High and Critical rollups that reach the threshold.
  if (auto s = select(conn, kRollups, fmt::format("WHERE severity >= 'high' AND count >= {} ORDER BY seq", threshold),
                      state.store.rollups);
      !s) {
    return std::unexpected(std::move(s.error()));
  }
  return select(conn, kIndicators, "ORDER BY seq", state.store.indicators);
}

// A rollup no rule can fire on changes nothing, since only a firing changes what a later rollup
// sees; so a second evaluation over unchanged rollups reads almost nothing.
std::expected<void, std::string> load_alert_inputs(PgConnection& conn, CliState& state) {
  auto& rules = state.rules;
  auto& rollups = state.store.rollups;
  if (auto s = select(conn, kRules, "WHERE enabled ORDER BY seq", rules); !s) return std::unexpected(std::move(s.error()));
  if (rules.empty()) return {};
  // A cooldown in seconds, as evaluation reckons it: buckets times the bucket's width.
  constexpr std::string_view kWindow = "u.cooldown_buckets * CASE u.bucket WHEN 'hour' THEN 3600 ELSE 86400 END";
  if (auto s = select(conn, kRollups,
                      fmt::format("WHERE EXISTS (SELECT FROM quenvistrel.rules u WHERE u.enabled "
                                  "AND u.tenant_id = rollups.tenant_id AND u.event_type = rollups.event_type "
                                  "AND u.bucket = rollups.bucket AND u.threshold <= rollups.count "
                                  "AND NOT EXISTS (SELECT FROM quenvistrel.alerts a WHERE a.rule_id = u.rule_id "
                                  "AND a.bucket_start BETWEEN rollups.bucket_start - {} AND rollups.bucket_start)) "
                                  "ORDER BY seq",
                                  kWindow),
                      rollups);
      !s) {
    return std::unexpected(std::move(s.error()));
  }
  if (rollups.empty()) return {};

  // Each rule's alerts from the cooldown before its first loaded rollup to its last one.
  const auto key = [](const auto& x) {
    return fmt::format("{}{}{}", x.tenant_id.uuid().to_string(), static_cast<int>(x.bucket), x.event_type);
  };
  boost::unordered_flat_map<std::string, std::vector<const VistrelRollup*>> by_key;
  for (const VistrelRollup& r : rollups) by_key[key(r)].push_back(&r);
  std::string ranges;
  for (const AlertRule& rule : rules) {
    std::int64_t first = std::numeric_limits<std::int64_t>::max();
    std::int64_t last = std::numeric_limits<std::int64_t>::min();
    if (auto it = by_key.find(key(rule)); it != by_key.end()) {
      for (const VistrelRollup* r : it->second) {
        if (r->count < rule.threshold) continue;
        first = std::min(first, r->bucket_start);
        last = std::max(last, r->bucket_start);
      }
    }
    if (first > last) continue;
    const auto window =
        static_cast<std::int64_t>(rule.cooldown_buckets) * quenvistrel_contracts::width_seconds(rule.bucket);
    std::int64_t from = 0;
    if (__builtin_sub_overflow(first, window, &from)) from = std::numeric_limits<std::int64_t>::min();
    fmt::format_to(std::back_inserter(ranges), "{}('{}'::uuid, {}::bigint, {}::bigint)", ranges.empty() ? "" : ", ",
                   rule.rule_id.uuid().to_string(), from, last);
  }
  if (ranges.empty()) return {};
  auto s = select(conn, kAlerts,
                  fmt::format("WHERE EXISTS (SELECT FROM (VALUES {}) AS v(rule_id, first, last) "
                              "WHERE v.rule_id = alerts.rule_id AND alerts.bucket_start BETWEEN v.first AND v.last) "
                              "ORDER BY seq",
                              ranges),
                  state.alerts);
  if (!s) return std::unexpected(std::move(s.error()));
  return {};
}

std::expected<std::vector<std::int64_t>, std::string> load_ingest_rollups(PgConnection& conn, const IngestScope& scope,
                                                                          CliState& state) {
  if (!scope.workspace) return std::vector<std::int64_t>{};
  // A uuid's canonical text and two integers are safe as literals: COPY takes no parameters.
  return select(conn, kRollups,
                fmt::format("WHERE workspace_id = '{}' AND bucket_start BETWEEN {} AND {} ORDER BY seq",
                            scope.workspace->uuid().to_string(), scope.first_bucket, scope.last_bucket),
                state.store.rollups);
}

std::expected<void, std::string> write_counted_rollups(PgConnection& conn, const std::vector<std::uint64_t>& loaded,
                                                       const std::vector<VistrelRollup>& now,
                                                       const std::vector<std::int64_t>& seqs) {
  std::string changed_seqs;
  std::string counts;
  for (std::size_t i = 0; i < loaded.size(); ++i) {
    if (now[i].count == loaded[i]) continue;
    fmt::format_to(std::back_inserter(changed_seqs), "{}{}", changed_seqs.empty() ? "" : ",", seqs[i]);
    fmt::format_to(std::back_inserter(counts), "{}{}", counts.empty() ? "" : ",", now[i].count);
  }
  if (changed_seqs.empty()) return {};
  auto updated = conn.exec(fmt::format(
      "UPDATE quenvistrel.rollups r SET count = v.count FROM unnest('{{{}}}'::bigint[], '{{{}}}'::numeric[]) "
      "AS v(seq, count) WHERE r.seq = v.seq",
      changed_seqs, counts));
  if (!updated) return std::unexpected(std::move(updated.error()));
  return {};
}

std::expected<void, std::string> write_refreshed_indicators(PgConnection& conn,
                                                            const std::vector<RiskIndicator>& loaded,
                                                            const std::vector<RiskIndicator>& now,
                                                            const std::vector<std::int64_t>& seqs) {
  std::vector<std::pair<std::int64_t, const RiskIndicator*>> changed;
  for (std::size_t i = 0; i < loaded.size(); ++i) {
    if (now[i] != loaded[i]) changed.emplace_back(seqs[i], &now[i]);
  }
  if (changed.empty()) return {};
  std::string list = "{";
  for (const auto& [seq, indicator] : changed) {
    if (list.size() > 1) list += ',';
    list += std::to_string(seq);
  }
  list += '}';
  if (auto deleted = conn.exec(fmt::format("DELETE FROM quenvistrel.indicators WHERE seq = ANY('{}'::bigint[])", list));
      !deleted) {
    return std::unexpected(std::move(deleted.error()));
  }
  return copy_rows(conn, kIndicators, changed);
}

}  // namespace quenvistrel_cli::pg
