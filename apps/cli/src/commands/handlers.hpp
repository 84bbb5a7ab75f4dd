#pragma once

#include <expected>
#include <string>

#include "commands/command.hpp"
#include "commands/report.hpp"
#include "quencore_contracts/time.hpp"
#include "quenvistrel_classify/raw_records.hpp"

namespace quenvistrel_cli {

class Store;  // store/store.hpp; the command table, which sees this header, needs none of it
class WriteWatcher;

// What every handler receives from the run sequence: the store, opened and loaded (a
// changing command begins its work on it, and the run commits it after the handler), the
// run's one instant, and the --json flag.
struct RunContext {
  Store& store;
  const quencore_contracts::Timestamp& now;
  bool json;
};

// What a handler that commits in steps of its own receives instead (table.hpp): where the store
// is, to open it for each step, and the run's instant and --json flag.
struct StepContext {
  const std::string& location;
  const quencore_contracts::Timestamp& now;
  bool json;
  WriteWatcher* save_watcher;  // hears of each step's long writes
};

// Commits what a changing command did to `store`, all or nothing. Identifiers drawn without the
// system's entropy are never stored.
[[nodiscard]] std::expected<void, std::string> commit_changes(Store& store);

// The schema of a validate or ingest run, whose two fixtures cannot both come from standard
// input.
[[nodiscard]] std::expected<quenvistrel_classify::SourceSchema, std::string> run_schema(const std::string& schema,
                                                                                      const std::string& events);

HandlerResult validate_handler(RunContext& ctx, const ValidateCommand& cmd);
// ingest.cpp: one commit at the end, or a commit per batch.
HandlerResult ingest_handler(RunContext& ctx, const IngestCommand& cmd);
HandlerResult ingest_in_batches_handler(StepContext& ctx, const IngestCommand& cmd);
HandlerResult rollups_handler(RunContext& ctx, const RollupsCommand& cmd);
HandlerResult risk_handler(RunContext& ctx, const RiskCommand& cmd);
HandlerResult alert_add_handler(RunContext& ctx, const AlertAddCommand& cmd);
HandlerResult alert_eval_handler(RunContext& ctx, const AlertEvalCommand& cmd);
HandlerResult retention_handler(RunContext& ctx, const RetentionCommand& cmd);
HandlerResult summary_handler(RunContext& ctx, const SummaryCommand& cmd);
HandlerResult alerts_handler(RunContext& ctx, const AlertsCommand& cmd);
HandlerResult rules_handler(RunContext& ctx, const RulesCommand& cmd);
HandlerResult indicators_handler(RunContext& ctx, const IndicatorsCommand& cmd);
HandlerResult rule_disable_handler(RunContext& ctx, const RuleDisableCommand& cmd);
HandlerResult rule_enable_handler(RunContext& ctx, const RuleEnableCommand& cmd);
HandlerResult indicator_ack_handler(RunContext& ctx, const IndicatorAckCommand& cmd);
HandlerResult metrics_handler(RunContext& ctx, const MetricsCommand& cmd);

}  // namespace quenvistrel_cli
