#pragma once

#include <expected>
#include <string>

#include "commands/command.hpp"
#include "commands/report.hpp"
#include "quencore_contracts/time.hpp"

namespace quenvistrel_cli {

class Store;  // store/store.hpp; the command table, which sees this header, needs none of it

// What every handler receives from the run sequence: the store, opened and loaded (a
// changing command begins its work on it, and the run commits it after the handler), the
// run's one instant, and the --json flag.
struct RunContext {
  Store& store;
  const quencore_contracts::Timestamp& now;
  bool json;
};

HandlerResult validate_handler(RunContext& ctx, const ValidateCommand& cmd);
HandlerResult ingest_handler(RunContext& ctx, const IngestCommand& cmd);
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
