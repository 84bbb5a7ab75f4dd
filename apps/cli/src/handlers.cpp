// Placeholders until the handlers land.
#include "handlers.hpp"

namespace quenvistrel_cli {

namespace {
HandlerResult not_yet() { return std::unexpected(std::string("this command is not available yet")); }
}  // namespace

HandlerResult validate_handler(RunContext&, const ValidateCommand&) { return not_yet(); }
HandlerResult ingest_handler(RunContext&, const IngestCommand&) { return not_yet(); }
HandlerResult rollups_handler(RunContext&, const RollupsCommand&) { return not_yet(); }
HandlerResult risk_handler(RunContext&, const RiskCommand&) { return not_yet(); }
HandlerResult alert_add_handler(RunContext&, const AlertAddCommand&) { return not_yet(); }
HandlerResult alert_eval_handler(RunContext&, const AlertEvalCommand&) { return not_yet(); }
HandlerResult retention_handler(RunContext&, const RetentionCommand&) { return not_yet(); }
HandlerResult summary_handler(RunContext&, const SummaryCommand&) { return not_yet(); }

}  // namespace quenvistrel_cli
