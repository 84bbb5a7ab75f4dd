// The eight command handlers: each reads its inputs, calls the engine and builds its report;
// the run saves what changed and prints the report (run.cpp).
#include "handlers.hpp"

#include <cstdio>
#include <variant>

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <fmt/format.h>

#include "listing.hpp"
#include "quenvistrel_alerts/evaluate.hpp"
#include "quenvistrel_classify/gate.hpp"
#include "quenvistrel_classify/raw_records.hpp"
#include "quenvistrel_contracts/json/records.hpp"
#include "state_file.hpp"

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

HandlerResult validate_handler(RunContext&, const ValidateCommand& cmd) {
  auto schema = quenvistrel_classify::read_source_schema(cmd.schema);
  if (!schema) return std::unexpected(std::move(schema.error()));

  // Events are judged as they are read; the report waits for the end of the fixture, so a
  // broken fixture still prints nothing but its error.
  std::uint64_t index = 0;
  std::uint64_t accepted = 0;
  std::vector<std::string> rejections;
  const quenvistrel_classify::Gate gate(*schema);
  auto read = quenvistrel_classify::read_raw_events(cmd.events, [&](const RawEvent& raw) {
    // Only the verdict: the event the gate would build is never stored.
    if (const auto reason = gate.judge(raw)) {
      rejections.push_back(fmt::format("event {}: {}", index, quenvistrel_classify::to_string(*reason)));
    } else {
      ++accepted;
    }
    ++index;
  });
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

HandlerResult ingest_handler(RunContext& ctx, const IngestCommand& cmd) {
  auto schema = quenvistrel_classify::read_source_schema(cmd.schema);
  if (!schema) return std::unexpected(std::move(schema.error()));

  // One workspace per run, so two runs over the same events never share rollups.
  const auto workspace = WorkspaceId::generate();
  auto& store = ctx.state.store;
  // The save starts now with the events already stored and takes the accepted ones in batches
  // as they come, so neither the fixture nor the new events are held whole; from here on the
  // store's list holds only events not yet written. A fixture that turns out broken abandons
  // the save, and whatever failed in the save is reported only once the fixture has been read
  // and its rejections printed, as if it had been saved after the loop.
  StateSave save(ctx.state_path, ctx.state);
  store.events.clear();
  quenvistrel_aggregate::IngestRun run(store);
  constexpr std::size_t kBatch = 1024;

  std::uint64_t accepted = 0;
  std::uint64_t rejected = 0;
  std::string rejections;  // printed once the whole fixture is known to be good
  const quenvistrel_classify::Gate gate(*schema);
  auto read = quenvistrel_classify::read_raw_events(cmd.events, [&](const RawEvent& raw) {
    auto result = gate.classify(raw, cmd.tenant, workspace, ctx.now);
    if (const auto* reason = std::get_if<RejectReason>(&result)) {
      rejections += "rejected: ";
      rejections += quenvistrel_classify::to_string(*reason);
      rejections += '\n';
      ++rejected;
      return;
    }
    run.ingest(std::move(std::get<VistrelEvent>(result)), TimeBucket::Hour);
    ++accepted;
    if (store.events.size() == kBatch) {
      save.add_events(store.events);
      store.events.clear();
    }
  });
  if (!read) return std::unexpected(std::move(read.error()));
  save.add_events(store.events);
  store.events.clear();
  std::fwrite(rejections.data(), 1, rejections.size(), stderr);

  if (auto saved = save.finish(ctx.state); !saved) return std::unexpected(std::move(saved.error()));
  return Report{boost::json::object{{"accepted", accepted}, {"rejected", rejected}},
                fmt::format("ingested {}, rejected {}", accepted, rejected)};
}

HandlerResult rollups_handler(RunContext& ctx, const RollupsCommand& cmd) {
  const auto rollups = ctx.state.store.rollups_for(cmd.tenant);
  std::string text;
  boost::json::array array;
  array.reserve(rollups.size());
  for (std::size_t i = 0; i < rollups.size(); ++i) {
    if (i > 0) text += '\n';
    text += format_rollup_line(*rollups[i]);
    array.emplace_back(rollup_report_object(*rollups[i]));
  }
  return Report{std::move(array), std::move(text)};
}

HandlerResult risk_handler(RunContext& ctx, const RiskCommand& cmd) {
  auto& store = ctx.state.store;
  store.derive_risk_indicators(cmd.threshold, ctx.now);

  std::string text = fmt::format("{} risk indicators\n", store.indicators.size());
  boost::json::array array;
  array.reserve(store.indicators.size());
  for (std::size_t i = 0; i < store.indicators.size(); ++i) {
    if (i > 0) text += '\n';
    text += format_indicator_line(store.indicators[i]);
    array.emplace_back(quenvistrel_contracts::json::to_json_value(store.indicators[i]));
  }
  return Report{std::move(array), std::move(text)};
}

HandlerResult alert_add_handler(RunContext& ctx, const AlertAddCommand& cmd) {
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
  ctx.state.rules.push_back(std::move(rule));
  return Report{boost::json::object{{"rule", rule_id}}, fmt::format("alert rule {} added", rule_id)};
}

HandlerResult alert_eval_handler(RunContext& ctx, const AlertEvalCommand&) {
  const std::uint64_t fired = quenvistrel_alerts::evaluate(ctx.state.rules, ctx.state.store, ctx.state.alerts, ctx.now);
  const std::uint64_t total = ctx.state.alerts.size();
  return Report{boost::json::object{{"fired", fired}, {"total", total}},
                fmt::format("{} alert(s) fired this pass ({} total)", fired, total)};
}

HandlerResult retention_handler(RunContext& ctx, const RetentionCommand& cmd) {
  auto& store = ctx.state.store;
  const std::uint64_t deleted =
      store.apply_retention(VistrelStore::retention_window_seconds(cmd.days), ctx.now);
  const std::uint64_t kept = store.rollups.size();
  return Report{boost::json::object{{"raw_events_deleted", deleted}, {"rollups_kept", kept}},
                fmt::format("deleted {} raw event(s) older than {}d; {} rollup(s) retained", deleted, cmd.days, kept)};
}

HandlerResult summary_handler(RunContext& ctx, const SummaryCommand&) {
  const auto& state = ctx.state;
  const std::uint64_t e = state.store.events.size();
  const std::uint64_t r = state.store.rollups.size();
  const std::uint64_t i = state.store.indicators.size();
  const std::uint64_t u = state.rules.size();
  const std::uint64_t a = state.alerts.size();
  return Report{
      boost::json::object{{"alerts", a}, {"events", e}, {"indicators", i}, {"rollups", r}, {"rules", u}},
      fmt::format("events {} \u00b7 rollups {} \u00b7 risk indicators {} \u00b7 rules {} \u00b7 alerts {}", e, r, i, u, a)};
}

}  // namespace quenvistrel_cli
