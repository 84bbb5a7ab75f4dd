#pragma once

// What the changing commands that look at stored records load of them, as queries that read
// only the rows the engine's operation could look at, and what risk writes back.

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "store/postgres/connection.hpp"
#include "store/store.hpp"

namespace quenvistrel_cli::pg {

// Risk: the High and Critical rollups at or above `threshold`, and every indicator, into
// `state`; gives the indicators' seqs, in their order.
[[nodiscard]] std::expected<std::vector<std::int64_t>, std::string> load_risk_inputs(PgConnection& conn,
                                                                                      std::uint64_t threshold,
                                                                                      CliState& state);

// Evaluation: the enabled rules; of the rollups of their tenant, event type and bucket, those
// some rule could still fire on; and of each rule's alerts, those whose cooldown reaches one of
// those rollups.
[[nodiscard]] std::expected<void, std::string> load_alert_inputs(PgConnection& conn, CliState& state);

// An ingest into a workspace the store may hold: its rollups in the scope's buckets, into
// `state`; gives their seqs, in their order.
[[nodiscard]] std::expected<std::vector<std::int64_t>, std::string> load_ingest_rollups(PgConnection& conn,
                                                                                        const IngestScope& scope,
                                                                                        CliState& state);
// An ingest counts into stored rollups in place: each of `now` whose count differs from the one
// `loaded` is written again under its seq.
[[nodiscard]] std::expected<void, std::string> write_counted_rollups(
    PgConnection& conn, const std::vector<std::uint64_t>& loaded,
    const std::vector<quenvistrel_contracts::VistrelRollup>& now, const std::vector<std::int64_t>& seqs);

// Risk refreshes indicators in place: each one of `now` that differs from what was `loaded` is
// written again under its seq.
[[nodiscard]] std::expected<void, std::string> write_refreshed_indicators(
    PgConnection& conn, const std::vector<quenvistrel_contracts::RiskIndicator>& loaded,
    const std::vector<quenvistrel_contracts::RiskIndicator>& now, const std::vector<std::int64_t>& seqs);

}  // namespace quenvistrel_cli::pg
