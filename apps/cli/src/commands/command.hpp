#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "quencore_contracts/ids.hpp"
#include "quencore_contracts/time.hpp"
#include "quenvistrel_contracts/record_ids.hpp"

namespace quenvistrel_cli {

// The parsed command line: every argument is required, has a default or is optional (held
// in std::optional), so a parsed command always carries all its values.
struct ValidateCommand {
  std::string schema;
  std::string events;
};
struct IngestCommand {
  std::string schema;
  std::string events;
  quencore_contracts::TenantId tenant;
  // Counts into this workspace instead of a new one, so that runs of one source merge.
  std::optional<quencore_contracts::WorkspaceId> workspace;
  // Commit every so many accepted events and/or seconds, and at the end; 0 is no such limit,
  // and with neither the run commits once, at the end.
  std::uint64_t batch_events = 0;
  std::uint64_t batch_seconds = 0;
  // A JSON Lines line that is not an event is reported and left out instead of failing the run.
  bool skip_malformed = false;

  [[nodiscard]] bool batched() const { return batch_events > 0 || batch_seconds > 0; }
};
struct RollupsCommand {
  quencore_contracts::TenantId tenant;
};
struct RiskCommand {
  std::uint64_t threshold = 3;
};
struct AlertAddCommand {
  quencore_contracts::TenantId tenant;
  std::string event_type;
  std::uint64_t threshold = 0;
  std::uint32_t cooldown = 1;
};
struct AlertEvalCommand {
  std::optional<std::string> alertmanager;  // the alert manager's base URL
};
struct RetentionCommand {
  std::int64_t days = 7;
};
struct SummaryCommand {};
// The listings' filters are optional: a listing without one shows every tenant's records.
struct AlertsCommand {
  std::optional<quencore_contracts::TenantId> tenant;
  std::optional<quenvistrel_contracts::AlertRuleId> rule;
  std::optional<quencore_contracts::Timestamp> since;
};
struct RulesCommand {
  std::optional<quencore_contracts::TenantId> tenant;
};
struct IndicatorsCommand {
  std::optional<quencore_contracts::TenantId> tenant;
};
struct RuleDisableCommand {
  quenvistrel_contracts::AlertRuleId rule;
};
struct RuleEnableCommand {
  quenvistrel_contracts::AlertRuleId rule;
};
struct IndicatorAckCommand {
  quenvistrel_contracts::IndicatorId indicator;
};
struct MetricsCommand {
  std::optional<std::string> textfile;
};

using CliCommand = std::variant<ValidateCommand, IngestCommand, RollupsCommand, RiskCommand, AlertAddCommand,
                                AlertEvalCommand, RetentionCommand, SummaryCommand, AlertsCommand, RulesCommand,
                                IndicatorsCommand, RuleDisableCommand, RuleEnableCommand, IndicatorAckCommand,
                                MetricsCommand>;

struct Cli {
  std::string state = "quenvistrel.json";
  bool json = false;
  CliCommand command;
};

}  // namespace quenvistrel_cli
