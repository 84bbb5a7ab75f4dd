#pragma once

#include <expected>
#include <string>

#include "command.hpp"
#include "quencore_contracts/time.hpp"
#include "state_file.hpp"

namespace quenvistrel_cli {

// What every handler receives from the run sequence.
struct RunContext {
  CliState& state;
  const std::string& state_path;
  const quencore_contracts::Timestamp& now;
  bool json;
};

// The process exit status on success (0, or 1 for a validate run that rejected events), or
// an error text that the entry prints as "error: {text}".
using HandlerResult = std::expected<int, std::string>;

HandlerResult validate_handler(RunContext& ctx, const ValidateCommand& cmd);
HandlerResult ingest_handler(RunContext& ctx, const IngestCommand& cmd);
HandlerResult rollups_handler(RunContext& ctx, const RollupsCommand& cmd);
HandlerResult risk_handler(RunContext& ctx, const RiskCommand& cmd);
HandlerResult alert_add_handler(RunContext& ctx, const AlertAddCommand& cmd);
HandlerResult alert_eval_handler(RunContext& ctx, const AlertEvalCommand& cmd);
HandlerResult retention_handler(RunContext& ctx, const RetentionCommand& cmd);
HandlerResult summary_handler(RunContext& ctx, const SummaryCommand& cmd);

}  // namespace quenvistrel_cli
