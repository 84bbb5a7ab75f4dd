#pragma once

#include <expected>
#include <string>

#include <boost/json/value.hpp>

#include "command.hpp"
#include "quencore_contracts/time.hpp"

namespace quenvistrel_cli {

class Store;  // store.hpp; the grammar, which sees this header, needs none of it

// What every handler receives from the run sequence: the store, opened and loaded (a
// changing command begins its work on it, and the run commits it after the handler), the
// run's one instant, and the --json flag.
struct RunContext {
  Store& store;
  const quencore_contracts::Timestamp& now;
  bool json;
};

// What a command prints, `json` with --json and `text` otherwise, and its exit status (1 for a
// validate run that rejected events).
struct Report {
  boost::json::value json;
  std::string text;
  int status = 0;
};

// The report, or an error text that the entry prints as "error: {text}". A handler changes the
// store and builds its report; the run commits the store's changes before printing it.
using HandlerResult = std::expected<Report, std::string>;

HandlerResult validate_handler(RunContext& ctx, const ValidateCommand& cmd);
HandlerResult ingest_handler(RunContext& ctx, const IngestCommand& cmd);
HandlerResult rollups_handler(RunContext& ctx, const RollupsCommand& cmd);
HandlerResult risk_handler(RunContext& ctx, const RiskCommand& cmd);
HandlerResult alert_add_handler(RunContext& ctx, const AlertAddCommand& cmd);
HandlerResult alert_eval_handler(RunContext& ctx, const AlertEvalCommand& cmd);
HandlerResult retention_handler(RunContext& ctx, const RetentionCommand& cmd);
HandlerResult summary_handler(RunContext& ctx, const SummaryCommand& cmd);

}  // namespace quenvistrel_cli
