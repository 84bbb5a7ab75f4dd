// The command handlers: each reads its inputs, asks the store for what it needs, calls
// the engine and builds its report; the run commits what changed and prints the report.
#include "commands/handlers.hpp"

#include <cstdio>
#include <map>
#include <span>
#include <tuple>
#include <variant>

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <fmt/format.h>

#include "delivery/alertmanager.hpp"
#include "output/listing.hpp"
#include "output/metrics.hpp"
#include "output/progress.hpp"
#include "quencore_contracts/echo.hpp"
#include "quencore_contracts/random.hpp"
#include "quenvistrel_alerts/evaluate.hpp"
#include "quenvistrel_classify/gate.hpp"
#include "quenvistrel_classify/raw_records.hpp"
#include "quenvistrel_contracts/json/file.hpp"
#include "quenvistrel_contracts/json/records.hpp"
#include "store/store.hpp"

namespace quenvistrel_cli {

namespace {

using quencore_contracts::TenantId;
using quencore_contracts::WorkspaceId;
using quenvistrel_aggregate::VistrelStore;
using quenvistrel_classify::RawEvent;
using quenvistrel_classify::RejectReason;
using quenvistrel_classify::SourceSchema;
using quenvistrel_contracts::AlertRule;
using quenvistrel_contracts::AlertRuleId;
using quenvistrel_contracts::Severity;
using quenvistrel_contracts::TimeBucket;
using quenvistrel_contracts::VistrelEvent;

}  // namespace

std::expected<void, std::string> commit_changes(Store& store) {
  if (auto failure = quencore_contracts::entropy_failure()) return std::unexpected(std::move(*failure));
  return store.commit();
}

std::expected<quenvistrel_classify::SourceSchema, std::string> run_schema(const std::string& schema,
                                                                          const std::string& events) {
  using quenvistrel_classify::STANDARD_INPUT;
  if (schema == STANDARD_INPUT && events == STANDARD_INPUT) {
    return std::unexpected(std::string("only one of the schema and the events can be read from standard input"));
  }
  return quenvistrel_classify::read_source_schema(schema);
}

HandlerResult validate_handler(RunContext&, const ValidateCommand& cmd) {
  auto schema = run_schema(cmd.schema, cmd.events);
  if (!schema) return std::unexpected(std::move(schema.error()));

  // Events are judged as they are read; the report waits for the end of the fixture, so a
  // broken fixture still prints nothing but its error.
  std::uint64_t index = 0;
  std::uint64_t accepted = 0;
  std::vector<std::string> rejections;
  const quenvistrel_classify::Gate gate(*schema);
  Progress progress;
  auto read = quenvistrel_classify::read_raw_events(
      cmd.events,
      [&](const RawEvent& raw) {
        // Only the verdict: the event the gate would build is never stored.
        if (const auto reason = gate.judge(raw)) {
          rejections.push_back(fmt::format("event {}: {}", index, quenvistrel_classify::to_string(*reason)));
        } else {
          ++accepted;
        }
        ++index;
        progress.event(index, accepted);
      },
      quenvistrel_contracts::json::READ_CHUNK, progress.input());
  progress.clear();
  if (!read) return std::unexpected(std::move(read.error()));

  std::string text = fmt::format("{} accepted, {} rejected", accepted, rejections.size());
  boost::json::array rejected;
  rejected.reserve(rejections.size());
  for (const auto& line : rejections) {
    text += '\n';
    text += line;
    rejected.emplace_back(line);
  }
  return Report{boost::json::object{{"accepted", accepted}, {"rejected", std::move(rejected)}}, std::move(text),
                rejections.empty() ? 0 : 1};
}

HandlerResult rollups_handler(RunContext& ctx, const RollupsCommand& cmd) {
  const auto rollups = ctx.store.tenant_rollups(cmd.tenant);
  if (!rollups) return std::unexpected(std::move(rollups.error()));
  // Only the form the run prints is built: a list may hold millions of entries.
  std::string text;
  boost::json::array array;
  if (ctx.json) array.reserve(rollups->size());
  for (std::size_t i = 0; i < rollups->size(); ++i) {
    if (ctx.json) {
      array.emplace_back(rollup_report_object((*rollups)[i]));
      continue;
    }
    if (i > 0) text += '\n';
    text += format_rollup_line((*rollups)[i]);
  }
  return Report{std::move(array), std::move(text)};
}

HandlerResult risk_handler(RunContext& ctx, const RiskCommand& cmd) {
  auto work = ctx.store.begin(WorkingSet::RiskInputs, cmd.threshold);
  if (!work) return std::unexpected(std::move(work.error()));
  auto& store = work->state.store;
  store.derive_risk_indicators(cmd.threshold, ctx.now);

  std::string text = fmt::format("{} risk indicators\n", store.indicators.size());
  boost::json::array array;
  if (ctx.json) array.reserve(store.indicators.size());
  for (std::size_t i = 0; i < store.indicators.size(); ++i) {
    if (ctx.json) {
      array.emplace_back(quenvistrel_contracts::json::to_json_value(store.indicators[i]));
      continue;
    }
    if (i > 0) text += '\n';
    text += format_indicator_line(store.indicators[i]);
  }
  return Report{std::move(array), std::move(text)};
}

HandlerResult alert_add_handler(RunContext& ctx, const AlertAddCommand& cmd) {
  auto work = ctx.store.begin(WorkingSet::Nothing);
  if (!work) return std::unexpected(std::move(work.error()));
  AlertRule rule;
  rule.rule_id = AlertRuleId::generate();
  rule.tenant_id = cmd.tenant;
  rule.name = fmt::format("{} >= {}", cmd.event_type, cmd.threshold);
  rule.enabled = true;
  rule.event_type = cmd.event_type;
  rule.threshold = cmd.threshold;
  rule.bucket = TimeBucket::Hour;
  rule.severity = Severity::High;
  rule.cooldown_buckets = cmd.cooldown;
  const std::string rule_id = rule.rule_id.to_string();
  work->state.rules.push_back(std::move(rule));
  return Report{boost::json::object{{"rule", rule_id}}, fmt::format("alert rule {} added", rule_id)};
}

HandlerResult alert_eval_handler(RunContext& ctx, const AlertEvalCommand& cmd) {
  auto work = ctx.store.begin(WorkingSet::AlertInputs);
  if (!work) return std::unexpected(std::move(work.error()));
  CliState& state = work->state;
  const std::size_t earlier = state.alerts.size();
  const std::uint64_t fired = quenvistrel_alerts::evaluate(state.rules, state.store, state.alerts, ctx.now);
  // Delivered before the run commits: when delivery fails nothing is committed, so the next
  // pass fires these alerts again and delivers them then.
  if (cmd.alertmanager && fired > 0) {
    const auto fresh = std::span<const quenvistrel_contracts::AlertEvent>(state.alerts).subspan(earlier);
    if (auto delivered = deliver_alerts(*cmd.alertmanager, alertmanager_payload(fresh, state.rules)); !delivered) {
      return std::unexpected(std::move(delivered.error()));
    }
  }
  const std::uint64_t total = work->before.alerts + fired;
  return Report{boost::json::object{{"fired", fired}, {"total", total}},
                fmt::format("{} alert(s) fired this pass ({} total)", fired, total)};
}

HandlerResult retention_handler(RunContext& ctx, const RetentionCommand& cmd) {
  auto work = ctx.store.begin(WorkingSet::Nothing);
  if (!work) return std::unexpected(std::move(work.error()));
  const auto deleted = ctx.store.delete_events_before(
      VistrelStore::retention_cutoff(VistrelStore::retention_window_seconds(cmd.days), ctx.now));
  if (!deleted) return std::unexpected(std::move(deleted.error()));
  // Retention removes events only.
  const std::uint64_t kept = work->before.rollups;
  return Report{boost::json::object{{"raw_events_deleted", *deleted}, {"rollups_kept", kept}},
                fmt::format("deleted {} raw event(s) older than {}d; {} rollup(s) retained", *deleted, cmd.days, kept)};
}

HandlerResult summary_handler(RunContext& ctx, const SummaryCommand&) {
  const auto counts = ctx.store.counts();
  if (!counts) return std::unexpected(std::move(counts.error()));
  const auto& [e, r, i, u, a] = *counts;
  return Report{
      boost::json::object{{"alerts", a}, {"events", e}, {"indicators", i}, {"rollups", r}, {"rules", u}},
      fmt::format("events {} \u00b7 rollups {} \u00b7 risk indicators {} \u00b7 rules {} \u00b7 alerts {}", e, r, i, u, a)};
}

namespace {

using quenvistrel_contracts::AlertRuleId;
using quenvistrel_contracts::IndicatorId;
using quenvistrel_contracts::RiskIndicator;

// A listing's report: the records in their stored form, or one line each, or `nothing` when
// there are none. Only the form the run prints is built.
template <class R, class Line>
Report listing_report(const RunContext& ctx, const std::vector<R>& records, std::string_view nothing, Line line) {
  std::string text;
  boost::json::array array;
  if (ctx.json) array.reserve(records.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (ctx.json) {
      array.emplace_back(quenvistrel_contracts::json::to_json_value(records[i]));
      continue;
    }
    if (i > 0) text += '\n';
    text += line(records[i]);
  }
  if (!ctx.json && records.empty()) text = nothing;
  return Report{std::move(array), std::move(text)};
}

HandlerResult set_rule_enabled(RunContext& ctx, const AlertRuleId& rule, bool enabled) {
  auto named = ctx.store.set_rule_enabled(rule, enabled);
  if (!named) return std::unexpected(std::move(named.error()));
  const std::string id = rule.to_string();
  if (*named == 0) return std::unexpected(fmt::format("no alert rule {}", id));
  return Report{boost::json::object{{"enabled", enabled}, {"rule", id}},
                fmt::format("alert rule {} {}", id, enabled ? "enabled" : "disabled")};
}

// The store's figures as metric families. Every label is of bounded cardinality: tenants, rule
// names, event types, severities and two flags, never an identifier of a record or a bucket.
// Samples are sorted by their labels, so both stores give the same text.
std::vector<MetricFamily> metric_families(const StoreFigures& figures,
                                          const std::vector<quenvistrel_contracts::AlertRule>& rules) {
  const auto flag = [](bool b) { return std::string(b ? "true" : "false"); };
  const auto split = [&](std::string_view label, std::uint64_t yes, std::uint64_t all) {
    return std::vector<MetricSample>{{{{label, flag(false)}}, all - std::min(yes, all)}, {{{label, flag(true)}}, yes}};
  };
  std::vector<MetricFamily> out;
  out.push_back({"quenvistrel_stored_events", "gauge", "Raw events the store holds (retention deletes them).",
                 {{{}, figures.counts.events}}});
  out.push_back({"quenvistrel_rollups", "gauge", "Rollups the store holds: events counted per tenant, type and bucket.",
                 {{{}, figures.counts.rollups}}});
  out.push_back({"quenvistrel_risk_indicators", "gauge", "Risk indicators the store holds, by whether acknowledged.",
                 split("acknowledged", figures.indicators_acknowledged, figures.counts.indicators)});
  out.push_back({"quenvistrel_alert_rules", "gauge", "Alert rules the store holds, by whether enabled.",
                 split("enabled", figures.rules_enabled, figures.counts.rules)});

  // A rule by its name (rules are few and their names chosen by people); alerts of a rule that
  // is gone count under its identifier, which no later alert can add to.
  std::map<AlertRuleId, std::string_view> names;
  for (const auto& rule : rules) names.try_emplace(rule.rule_id, rule.name);
  std::map<std::pair<std::string, std::string>, std::uint64_t> fired;
  for (const auto& f : figures.fired) {
    const auto name = names.find(f.rule);
    // Rules of one name add up; counts of records cannot overflow.
    fired[{f.tenant.to_string(), name != names.end() ? std::string(name->second) : f.rule.to_string()}] += f.alerts;
  }
  MetricFamily alerts{"quenvistrel_alerts_fired_total", "counter", "Alerts fired, per tenant and rule name.", {}};
  for (const auto& [key, count] : fired) alerts.samples.push_back({{{"tenant", key.first}, {"rule", key.second}}, count});
  out.push_back(std::move(alerts));

  std::map<std::tuple<std::string, std::string, std::string_view>, std::uint64_t> hour;
  std::map<std::string, std::int64_t> starts;
  for (const auto& h : figures.latest_hour) {
    const std::string tenant = h.tenant.to_string();
    hour[{tenant, h.event_type, quenvistrel_contracts::wire_name(h.severity)}] = h.count;
    starts.try_emplace(tenant, h.bucket_start);
  }
  MetricFamily latest{"quenvistrel_latest_hour_events", "gauge",
                      "Events of each tenant's latest hour with rollups, per event type and severity.", {}};
  for (const auto& [key, count] : hour) {
    const auto& [tenant, event_type, severity] = key;
    latest.samples.push_back({{{"tenant", tenant}, {"event_type", event_type}, {"severity", std::string(severity)}}, count});
  }
  out.push_back(std::move(latest));
  // A gauge's value is a float; the tool's values are whole numbers, so an hour before 1970
  // cannot be shown and is left out.
  MetricFamily start{"quenvistrel_latest_hour_start_timestamp_seconds", "gauge",
                     "Start of each tenant's latest hour with rollups, in Unix seconds.", {}};
  for (const auto& [tenant, seconds] : starts) {
    if (seconds >= 0) start.samples.push_back({{{"tenant", tenant}}, static_cast<std::uint64_t>(seconds)});
  }
  out.push_back(std::move(start));
  return out;
}

}  // namespace

HandlerResult alerts_handler(RunContext& ctx, const AlertsCommand& cmd) {
  auto listing = ctx.store.list_alerts(AlertQuery{cmd.tenant, cmd.rule, cmd.since});
  if (!listing) return std::unexpected(std::move(listing.error()));
  std::map<AlertRuleId, const quenvistrel_contracts::AlertRule*> rules;
  for (const auto& rule : listing->rules) rules.try_emplace(rule.rule_id, &rule);
  return listing_report(ctx, listing->alerts, "no alerts", [&](const quenvistrel_contracts::AlertEvent& alert) {
    const auto rule = rules.find(alert.rule_id);
    return format_alert_line(alert, rule != rules.end() ? rule->second : nullptr);
  });
}

HandlerResult rules_handler(RunContext& ctx, const RulesCommand& cmd) {
  auto rules = ctx.store.list_rules(cmd.tenant);
  if (!rules) return std::unexpected(std::move(rules.error()));
  return listing_report(ctx, *rules, "no alert rules", format_rule_line);
}

HandlerResult indicators_handler(RunContext& ctx, const IndicatorsCommand& cmd) {
  auto indicators = ctx.store.list_indicators(cmd.tenant);
  if (!indicators) return std::unexpected(std::move(indicators.error()));
  return listing_report(ctx, *indicators, "no risk indicators", format_indicator_listing_line);
}

HandlerResult rule_disable_handler(RunContext& ctx, const RuleDisableCommand& cmd) {
  return set_rule_enabled(ctx, cmd.rule, false);
}

HandlerResult rule_enable_handler(RunContext& ctx, const RuleEnableCommand& cmd) {
  return set_rule_enabled(ctx, cmd.rule, true);
}

HandlerResult indicator_ack_handler(RunContext& ctx, const IndicatorAckCommand& cmd) {
  auto named = ctx.store.acknowledge_indicator(cmd.indicator);
  if (!named) return std::unexpected(std::move(named.error()));
  const std::string id = cmd.indicator.to_string();
  if (*named == 0) return std::unexpected(fmt::format("no risk indicator {}", id));
  return Report{boost::json::object{{"acknowledged", true}, {"indicator", id}},
                fmt::format("risk indicator {} acknowledged", id)};
}

HandlerResult metrics_handler(RunContext& ctx, const MetricsCommand& cmd) {
  auto figures = ctx.store.figures();
  if (!figures) return std::unexpected(std::move(figures.error()));
  auto rules = ctx.store.list_rules(std::nullopt);
  if (!rules) return std::unexpected(std::move(rules.error()));
  const auto families = metric_families(*figures, *rules);
  std::string text = exposition_text(families);
  if (!cmd.textfile) {
    text.pop_back();  // the report's own line feed ends the last line
    return Report{ctx.json ? metrics_json(families) : boost::json::array{}, std::move(text)};
  }
  const std::string shown = quencore_contracts::escape_controls(*cmd.textfile);
  if (auto written = replace_file(*cmd.textfile, text, "the metrics file"); !written) {
    return std::unexpected(fmt::format("{}: {}", shown, written.error()));
  }
  std::size_t samples = 0;
  for (const auto& family : families) samples += family.samples.size();
  return Report{boost::json::object{{"samples", samples}, {"textfile", *cmd.textfile}},
                fmt::format("{} samples written to {}", samples, shown)};
}

}  // namespace quenvistrel_cli
