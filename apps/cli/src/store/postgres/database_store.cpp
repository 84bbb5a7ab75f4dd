#include "store/postgres/database_store.hpp"

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "store/postgres/connection.hpp"
#include "store/postgres/listings.hpp"
#include "store/postgres/schema.hpp"
#include "store/postgres/table_io.hpp"
#include "store/postgres/working_sets.hpp"

namespace quenvistrel_cli {

namespace {

using quenvistrel_contracts::RiskIndicator;
using quenvistrel_contracts::VistrelEvent;
using quenvistrel_contracts::VistrelRollup;

// The advisory lock every changing run takes: "quenvist" in ASCII.
constexpr std::string_view kLock = "SELECT pg_advisory_xact_lock(8247621249648718708)";

// One run's transaction on the store: it loads what the command's working set needs (the
// queries live in working_sets.cpp) and at commit appends what the command added to each
// list, rewrites what risk refreshed, and brings the store row's counts up to date.
class DatabaseStore final : public Store {
 public:
  DatabaseStore(PgConnection conn, bool changes) : conn_(std::move(conn)), changes_(changes) {}

  // A changing run sees every commit made before it got the lock (read committed); a reading
  // run sees one snapshot throughout and takes no lock.
  [[nodiscard]] std::expected<void, std::string> start() {
    auto begun = conn_.exec(changes_ ? fmt::format("BEGIN; {}", kLock)
                                     : std::string("BEGIN ISOLATION LEVEL REPEATABLE READ, READ ONLY"));
    if (!begun) return std::unexpected(std::move(begun.error()));
    return {};
  }

  std::expected<void, std::string> load() override {
    auto exists = pg::store_exists(conn_);
    if (!exists) return std::unexpected(std::move(exists.error()));
    found_ = *exists;
    if (!found_) {
      // An empty database is the empty state; the first changing run makes the tables.
      if (!changes_) return {};
      if (auto created = pg::create_schema(conn_); !created) return created;
    }
    auto row = pg::read_store_row(conn_);
    if (!row) return std::unexpected(std::move(row.error()));
    row_ = *row;
    if (changes_) {
      if (auto added = pg::create_missing_extras(conn_); !added) return added;
    }
    return {};
  }

  bool found() const override { return found_; }

  std::expected<StoreCounts, std::string> counts() override { return row_.counts; }

  std::expected<std::vector<VistrelRollup>, std::string> tenant_rollups(
      const quenvistrel_contracts::TenantId& tenant) override {
    std::vector<VistrelRollup> out;
    if (row_.counts.rollups == 0) return out;
    // A uuid's canonical text is safe as a literal: COPY takes no parameters.
    auto selected =
        pg::select(conn_, pg::kRollups, fmt::format("WHERE tenant_id = '{}' ORDER BY seq", tenant.uuid().to_string()), out);
    if (!selected) return std::unexpected(std::move(selected.error()));
    return out;
  }

  // A database without the store's tables holds nothing to list.
  std::expected<AlertListing, std::string> list_alerts(const AlertQuery& query) override {
    if (!found_) return AlertListing{};
    return pg::list_alerts(conn_, query);
  }

  std::expected<std::vector<quenvistrel_contracts::AlertRule>, std::string> list_rules(
      const std::optional<quencore_contracts::TenantId>& tenant) override {
    if (!found_) return {};
    return pg::list_rules(conn_, tenant);
  }

  std::expected<std::vector<RiskIndicator>, std::string> list_indicators(
      const std::optional<quencore_contracts::TenantId>& tenant) override {
    if (!found_) return {};
    return pg::list_indicators(conn_, tenant);
  }

  std::expected<StoreFigures, std::string> figures() override {
    if (!found_) return StoreFigures{};
    return pg::read_figures(conn_, row_.counts);
  }

  std::expected<std::uint64_t, std::string> set_rule_enabled(const quenvistrel_contracts::AlertRuleId& rule,
                                                              bool enabled) override {
    return pg::set_rule_enabled(conn_, rule, enabled);
  }

  std::expected<std::uint64_t, std::string> acknowledge_indicator(
      const quenvistrel_contracts::IndicatorId& indicator) override {
    return pg::acknowledge_indicator(conn_, indicator);
  }

  std::expected<Work, std::string> begin(WorkingSet set, std::uint64_t threshold, const IngestScope& scope) override {
    switch (set) {
      case WorkingSet::Nothing:
        break;
      case WorkingSet::IngestInto: {
        // Only the rollups of the scope's workspace and buckets can match an event; a new
        // workspace has none, and then every rollup the run makes is new.
        auto seqs = pg::load_ingest_rollups(conn_, scope, state_);
        if (!seqs) return std::unexpected(std::move(seqs.error()));
        rollup_seqs_ = std::move(*seqs);
        for (const VistrelRollup& r : state_.store.rollups) loaded_rollup_counts_.push_back(r.count);
        sink_.emplace(conn_, row_.next_event_seq);
        if (auto started = sink_->begin(); !started) return std::unexpected(std::move(started.error()));
        break;
      }
      case WorkingSet::RiskInputs: {
        auto seqs = pg::load_risk_inputs(conn_, threshold, state_);
        if (!seqs) return std::unexpected(std::move(seqs.error()));
        indicator_seqs_ = std::move(*seqs);
        loaded_indicators_ = state_.store.indicators;
        break;
      }
      case WorkingSet::AlertInputs:
        if (auto loaded = pg::load_alert_inputs(conn_, state_); !loaded) return std::unexpected(std::move(loaded.error()));
        break;
    }
    loaded_rollups_ = state_.store.rollups.size();
    loaded_rules_ = state_.rules.size();
    loaded_alerts_ = state_.alerts.size();
    return Work{state_, row_.counts};
  }

  quenvistrel_aggregate::EventSink& event_sink() override { return *sink_; }

  std::expected<std::uint64_t, std::string> delete_events_before(std::int64_t cutoff) override {
    const PgParam params[] = {{pg::param_seconds(cutoff)}};
    auto deleted = conn_.exec_params("DELETE FROM quenvistrel.events WHERE occurred_at < $1", params);
    if (!deleted) return std::unexpected(std::move(deleted.error()));
    deleted_events_ += deleted->affected();
    return deleted->affected();
  }

  std::expected<void, std::string> commit() override {
    pg::StoreRow after = row_;
    if (sink_) {
      auto added = sink_->finish();
      sink_.reset();
      if (!added) return std::unexpected(std::move(added.error()));
      after.counts.events += *added;
      after.next_event_seq += static_cast<std::int64_t>(*added);
    }
    after.counts.events -= std::min(after.counts.events, deleted_events_);

    const auto& store = state_.store;
    const StoreCounts& before = row_.counts;
    if (auto r = pg::write_counted_rollups(conn_, loaded_rollup_counts_, store.rollups, rollup_seqs_); !r) return r;
    if (auto r = pg::append(conn_, pg::kRollups, store.rollups, loaded_rollups_, before.rollups); !r) return r;
    after.counts.rollups += store.rollups.size() - loaded_rollups_;
    if (auto r = pg::write_refreshed_indicators(conn_, loaded_indicators_, store.indicators, indicator_seqs_); !r) {
      return r;
    }
    if (auto r = pg::append(conn_, pg::kIndicators, store.indicators, loaded_indicators_.size(), before.indicators); !r) {
      return r;
    }
    after.counts.indicators += store.indicators.size() - loaded_indicators_.size();
    if (auto r = pg::append(conn_, pg::kRules, state_.rules, loaded_rules_, before.rules); !r) return r;
    after.counts.rules += state_.rules.size() - loaded_rules_;
    if (auto r = pg::append(conn_, pg::kAlerts, state_.alerts, loaded_alerts_, before.alerts); !r) return r;
    after.counts.alerts += state_.alerts.size() - loaded_alerts_;

    if (auto written = pg::write_store_row(conn_, after); !written) return written;
    if (auto committed = conn_.exec("COMMIT"); !committed) return std::unexpected(std::move(committed.error()));
    return {};
  }

  std::expected<CliState, std::string> read_lists() override {
    CliState lists;
    if (!found_) return lists;
    const auto whole = [this](const auto& table, auto& list) -> std::expected<void, std::string> {
      auto s = pg::select(conn_, table, "ORDER BY seq", list);
      if (!s) return std::unexpected(std::move(s.error()));
      return {};
    };
    if (auto s = whole(pg::kRollups, lists.store.rollups); !s) return std::unexpected(std::move(s.error()));
    if (auto s = whole(pg::kIndicators, lists.store.indicators); !s) return std::unexpected(std::move(s.error()));
    if (auto s = whole(pg::kRules, lists.rules); !s) return std::unexpected(std::move(s.error()));
    if (auto s = whole(pg::kAlerts, lists.alerts); !s) return std::unexpected(std::move(s.error()));
    return lists;
  }

  std::expected<void, std::string> read_events(quenvistrel_aggregate::EventSink& sink) override {
    if (!found_) return {};
    VistrelEvent event;
    return pg::stream(conn_, pg::kEvents, "ORDER BY seq", [&](pg::RowReader& reader) -> std::expected<void, std::string> {
      pg::kEvents.read(reader, event);
      if (auto done = reader.done(pg::kEvents); !done) return done;
      sink.add(event);
      return {};
    });
  }

 private:
  PgConnection conn_;
  bool changes_;
  bool found_ = false;
  pg::StoreRow row_;  // as the run found it
  CliState state_;    // the working set
  std::optional<pg::EventCopy> sink_;
  std::size_t loaded_rollups_ = 0;
  std::size_t loaded_rules_ = 0;
  std::size_t loaded_alerts_ = 0;
  std::vector<std::uint64_t> loaded_rollup_counts_;  // as an ingest loaded them, to find what it counted
  std::vector<std::int64_t> rollup_seqs_;
  std::vector<RiskIndicator> loaded_indicators_;  // as risk loaded them, to find what changed
  std::vector<std::int64_t> indicator_seqs_;
  std::uint64_t deleted_events_ = 0;
};

}  // namespace

std::expected<std::unique_ptr<Store>, std::string> open_database_store(const std::string& uri, bool changes) {
  auto conn = PgConnection::connect(uri);
  if (!conn) return std::unexpected(std::move(conn.error()));
  auto store = std::make_unique<DatabaseStore>(std::move(*conn), changes);
  if (auto started = store->start(); !started) return std::unexpected(std::move(started.error()));
  return store;
}

}  // namespace quenvistrel_cli
