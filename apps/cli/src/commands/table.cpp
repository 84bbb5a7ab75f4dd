// The command table: adding a command is its struct in command.hpp, one entry here and its
// handler in handlers.cpp.
#include "commands/table.hpp"

#include <array>
#include <string>
#include <type_traits>
#include <variant>

#include "commands/arguments.hpp"

namespace quenvistrel_cli {

namespace {

template <class C, std::size_t I = 0>
constexpr std::size_t alternative_of() {
  if constexpr (std::is_same_v<std::variant_alternative_t<I, CliCommand>, C>) {
    return I;
  } else {
    return alternative_of<C, I + 1>();
  }
}

template <class C, void (*Arguments)(CLI::App&, C&), HandlerResult (*Handle)(RunContext&, const C&)>
constexpr CommandEntry entry(std::string_view name, Access access, std::string_view about) {
  return CommandEntry{
      .alternative = alternative_of<C>(),
      .name = name,
      .about = about,
      .access = access,
      .arguments = [](CLI::App& sub, CliCommand& command) { Arguments(sub, command.emplace<C>()); },
      .handle = [](RunContext& ctx, const CliCommand& command) { return Handle(ctx, std::get<C>(command)); },
  };
}

void validate_arguments(CLI::App& sub, ValidateCommand& c) {
  add_text(sub, "<SCHEMA>", "", c.schema)->required();
  add_text(sub, "<EVENTS>", "", c.events)->required();
}

void ingest_arguments(CLI::App& sub, IngestCommand& c) {
  add_text(sub, "<SCHEMA>", "", c.schema)->required();
  add_text(sub, "<EVENTS>", "", c.events)->required();
  add_tenant(sub, c.tenant);
}

void rollups_arguments(CLI::App& sub, RollupsCommand& c) { add_tenant(sub, c.tenant); }

void risk_arguments(CLI::App& sub, RiskCommand& c) {
  add_value(sub, "--threshold", "<THRESHOLD>", c.threshold, parse_u64)->default_str(std::to_string(c.threshold));
}

void alert_add_arguments(CLI::App& sub, AlertAddCommand& c) {
  add_tenant(sub, c.tenant);
  add_text(sub, "--event-type", "<EVENT_TYPE>", c.event_type)->required();
  add_value(sub, "--threshold", "<THRESHOLD>", c.threshold, parse_u64)->required();
  add_value(sub, "--cooldown", "<COOLDOWN>", c.cooldown, parse_cooldown)->default_str(std::to_string(c.cooldown));
}

void retention_arguments(CLI::App& sub, RetentionCommand& c) {
  add_value(sub, "--days", "<DAYS>", c.days, parse_i64)->default_str(std::to_string(c.days));
}

void alert_eval_arguments(CLI::App& sub, AlertEvalCommand& c) {
  add_value(sub, "--alertmanager", "<URL>", c.alertmanager, parse_http_url);
}

void alerts_arguments(CLI::App& sub, AlertsCommand& c) {
  add_value(sub, "--tenant", "<TENANT>", c.tenant, parse_tenant);
  add_value(sub, "--rule", "<RULE_ID>", c.rule, parse_rule_id);
  add_value(sub, "--since", "<TIME>", c.since, parse_time);
}

template <class C>
void tenant_filter_arguments(CLI::App& sub, C& c) {
  add_value(sub, "--tenant", "<TENANT>", c.tenant, parse_tenant);
}

template <class C>
void rule_id_arguments(CLI::App& sub, C& c) {
  add_value(sub, "<RULE_ID>", "", c.rule, parse_rule_id)->required();
}

void indicator_ack_arguments(CLI::App& sub, IndicatorAckCommand& c) {
  add_value(sub, "<INDICATOR_ID>", "", c.indicator, parse_indicator_id)->required();
}

void metrics_arguments(CLI::App& sub, MetricsCommand& c) {
  add_value(sub, "--textfile", "<PATH>", c.textfile, parse_path);
}

template <class C>
void no_arguments(CLI::App&, C&) {}

constexpr std::array kCommands{
    entry<ValidateCommand, validate_arguments, validate_handler>(
        "validate", Access::Reads,
        "Validate raw events in a fixture file against a source schema — reports per-event accept/reject without "
        "persisting anything"),
    entry<IngestCommand, ingest_arguments, ingest_handler>(
        "ingest", Access::Changes, "Ingest raw events through the classification gate into the store"),
    entry<RollupsCommand, rollups_arguments, rollups_handler>("rollups", Access::Reads,
                                                               "Show tenant-scoped rollups"),
    entry<RiskCommand, risk_arguments, risk_handler>(
        "risk", Access::Changes, "Derive risk indicators (threshold on high-severity bucket counts)"),
    entry<AlertAddCommand, alert_add_arguments, alert_add_handler>("alert-add", Access::Changes,
                                                                    "Add an alert rule"),
    entry<AlertEvalCommand, alert_eval_arguments, alert_eval_handler>("alert-eval", Access::Changes,
                                                                       "Evaluate all alert rules"),
    entry<RetentionCommand, retention_arguments, retention_handler>(
        "retention", Access::Changes, "Apply retention: delete raw events older than N days; rollups stay"),
    entry<SummaryCommand, no_arguments<SummaryCommand>, summary_handler>("summary", Access::Reads,
                                                                         "Summarise the store"),
    entry<AlertsCommand, alerts_arguments, alerts_handler>("alerts", Access::Reads, "List fired alerts"),
    entry<RulesCommand, tenant_filter_arguments<RulesCommand>, rules_handler>("rules", Access::Reads,
                                                                               "List alert rules"),
    entry<IndicatorsCommand, tenant_filter_arguments<IndicatorsCommand>, indicators_handler>(
        "indicators", Access::Reads, "List risk indicators"),
    entry<RuleDisableCommand, rule_id_arguments<RuleDisableCommand>, rule_disable_handler>(
        "rule-disable", Access::Changes, "Disable an alert rule"),
    entry<RuleEnableCommand, rule_id_arguments<RuleEnableCommand>, rule_enable_handler>(
        "rule-enable", Access::Changes, "Enable an alert rule"),
    entry<IndicatorAckCommand, indicator_ack_arguments, indicator_ack_handler>(
        "indicator-ack", Access::Changes, "Acknowledge a risk indicator"),
    entry<MetricsCommand, metrics_arguments, metrics_handler>(
        "metrics", Access::Reads, "Print the store's figures in the Prometheus text format"),
};

static_assert(kCommands.size() == std::variant_size_v<CliCommand>, "one entry for every command");

constexpr bool in_variant_order() {
  for (std::size_t i = 0; i < kCommands.size(); ++i) {
    if (kCommands[i].alternative != i) return false;
  }
  return true;
}
static_assert(in_variant_order(), "entry i is that of CliCommand's alternative i");

}  // namespace

std::span<const CommandEntry> command_table() { return kCommands; }

}  // namespace quenvistrel_cli
