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

constexpr CommandEntry in_steps(CommandEntry e, bool (*when)(const CliCommand&),
                                HandlerResult (*handle)(StepContext&, const CliCommand&)) {
  e.in_steps = when;
  e.handle_steps = handle;
  return e;
}

constexpr const char* kSchemaHelp = "The source's schema fixture: one JSON object (man quenvistrelctl, FIXTURES)";
constexpr const char* kEventsHelp =
    "The events fixture: a JSON array or JSON Lines of raw events, maybe gzip- or zstd-compressed; - reads standard "
    "input";

void validate_arguments(CLI::App& sub, ValidateCommand& c) {
  add_text(sub, "<SCHEMA>", "", c.schema)->required()->description(kSchemaHelp);
  add_text(sub, "<EVENTS>", "", c.events)->required()->description(kEventsHelp);
}

void ingest_arguments(CLI::App& sub, IngestCommand& c) {
  add_text(sub, "<SCHEMA>", "", c.schema)->required()->description(kSchemaHelp);
  add_text(sub, "<EVENTS>", "", c.events)->required()->description(kEventsHelp);
  add_tenant(sub, c.tenant)->description("The tenant the accepted events belong to: a UUID, such as uuidgen prints");
  add_value(sub, "--workspace", "<WORKSPACE_ID>", c.workspace, parse_workspace)
      ->description("Count into this workspace instead of a new one, so that separate runs of one source merge");
  add_value(sub, "--batch-events", "<N>", c.batch_events, parse_positive)
      ->description("Commit every N accepted events, and at the end of the input");
  add_value(sub, "--batch-seconds", "<S>", c.batch_seconds, parse_positive)
      ->description("Commit every S seconds of the run, and at the end of the input");
  add_flag(sub, "--skip-malformed", c.skip_malformed)
      ->description("Report a JSON Lines line that is not an event and read on, instead of failing");
}

bool ingest_in_steps(const CliCommand& command) { return std::get<IngestCommand>(command).batched(); }
HandlerResult ingest_batches(StepContext& ctx, const CliCommand& command) {
  return ingest_in_batches_handler(ctx, std::get<IngestCommand>(command));
}

void rollups_arguments(CLI::App& sub, RollupsCommand& c) {
  add_tenant(sub, c.tenant)->description("The tenant whose rollups to list (a UUID)");
}

void risk_arguments(CLI::App& sub, RiskCommand& c) {
  add_value(sub, "--threshold", "<THRESHOLD>", c.threshold, parse_u64)
      ->description("The count at which a High or Critical rollup raises an indicator")
      ->default_str(std::to_string(c.threshold));
}

void alert_add_arguments(CLI::App& sub, AlertAddCommand& c) {
  add_tenant(sub, c.tenant)->description("The tenant whose rollups the rule watches (a UUID)");
  add_text(sub, "--event-type", "<EVENT_TYPE>", c.event_type)
      ->required()
      ->description("The event type the rule watches, compared exactly");
  add_value(sub, "--threshold", "<THRESHOLD>", c.threshold, parse_u64)
      ->required()
      ->description("The count of an hourly rollup at which the rule fires");
  add_value(sub, "--cooldown", "<COOLDOWN>", c.cooldown, parse_cooldown)
      ->description("Hour buckets after an alert in which the rule stays quiet")
      ->default_str(std::to_string(c.cooldown));
}

void retention_arguments(CLI::App& sub, RetentionCommand& c) {
  add_value(sub, "--days", "<DAYS>", c.days, parse_i64)
      ->description("Delete the raw events that occurred more than this many days ago")
      ->default_str(std::to_string(c.days));
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
    in_steps(entry<IngestCommand, ingest_arguments, ingest_handler>(
                 "ingest", Access::Changes, "Ingest raw events through the classification gate into the store"),
             ingest_in_steps, ingest_batches),
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
