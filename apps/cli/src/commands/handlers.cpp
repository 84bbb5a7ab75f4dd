// The eight command handlers: each reads its inputs, asks the store for what it needs, calls
// the engine and builds its report; the run commits what changed and prints the report.
#include "commands/handlers.hpp"

#include <cstdio>
#include <variant>

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <fmt/format.h>

#include "output/listing.hpp"
#include "output/progress.hpp"
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

HandlerResult alert_eval_handler(RunContext& ctx, const AlertEvalCommand&) {
  auto work = ctx.store.begin(WorkingSet::AlertInputs);
  if (!work) return std::unexpected(std::move(work.error()));
  CliState& state = work->state;
  const std::uint64_t fired = quenvistrel_alerts::evaluate(state.rules, state.store, state.alerts, ctx.now);
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

}  // namespace quenvistrel_cli
