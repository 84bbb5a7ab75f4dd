#include "store/file/file_store.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <tuple>
#include <utility>

#include "store/file/state_file.hpp"

namespace quenvistrel_cli {

namespace {

using quencore_contracts::TenantId;
using quenvistrel_aggregate::EventLog;
using quenvistrel_contracts::AlertRule;
using quenvistrel_contracts::RiskIndicator;
using quenvistrel_contracts::VistrelEvent;

bool of_tenant(const std::optional<TenantId>& tenant, const TenantId& record) { return !tenant || *tenant == record; }

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  std::uint64_t sum = 0;
  return __builtin_add_overflow(a, b, &sum) ? std::numeric_limits<std::uint64_t>::max() : sum;
}

// An ingest's events on their way into the new file, a batch at a time, so that neither the
// fixture nor the new events are held whole.
class SaveSink final : public quenvistrel_aggregate::EventSink {
 public:
  explicit SaveSink(StateSave& save) : save_(save) {}

  void add(const VistrelEvent& event) override {
    batch_.push_back(event);
    if (batch_.size() == kBatch) flush();
  }
  void flush() {
    save_.add_events(batch_);
    batch_.clear();
  }

 private:
  static constexpr std::size_t kBatch = 1024;
  StateSave& save_;
  EventLog batch_;
};

class FileStore final : public Store {
 public:
  FileStore(std::string path, FolderLock lock) : path_(std::move(path)), lock_(std::move(lock)) {}

  std::expected<void, std::string> load() override {
    auto state = load_state(path_);
    if (!state) return std::unexpected(std::move(state.error()));
    state_ = std::move(*state);
    struct stat st {};
    found_ = ::stat(path_.c_str(), &st) == 0;
    return {};
  }

  bool found() const override { return found_; }

  std::expected<StoreCounts, std::string> counts() override {
    return StoreCounts{.events = state_.store.events.size(),
                       .rollups = state_.store.rollups.size(),
                       .indicators = state_.store.indicators.size(),
                       .rules = state_.rules.size(),
                       .alerts = state_.alerts.size()};
  }

  std::expected<std::vector<quenvistrel_contracts::VistrelRollup>, std::string> tenant_rollups(
      const quenvistrel_contracts::TenantId& tenant) override {
    std::vector<quenvistrel_contracts::VistrelRollup> out;
    for (const auto* rollup : state_.store.rollups_for(tenant)) out.push_back(*rollup);
    return out;
  }

  std::expected<AlertListing, std::string> list_alerts(const AlertQuery& query) override {
    AlertListing out;
    for (const auto& alert : state_.alerts) {
      if (!of_tenant(query.tenant, alert.tenant_id) || (query.rule && *query.rule != alert.rule_id) ||
          (query.since && alert.fired_at < *query.since)) {
        continue;
      }
      out.alerts.push_back(alert);
    }
    std::set<quenvistrel_contracts::AlertRuleId> named;
    for (const auto& alert : out.alerts) named.insert(alert.rule_id);
    for (const AlertRule& rule : state_.rules) {
      if (named.erase(rule.rule_id) > 0) out.rules.push_back(rule);
    }
    return out;
  }

  std::expected<std::vector<AlertRule>, std::string> list_rules(const std::optional<TenantId>& tenant) override {
    std::vector<AlertRule> out;
    for (const AlertRule& rule : state_.rules) {
      if (of_tenant(tenant, rule.tenant_id)) out.push_back(rule);
    }
    return out;
  }

  std::expected<std::vector<RiskIndicator>, std::string> list_indicators(const std::optional<TenantId>& tenant) override {
    std::vector<RiskIndicator> out;
    for (const RiskIndicator& indicator : state_.store.indicators) {
      if (of_tenant(tenant, indicator.tenant_id)) out.push_back(indicator);
    }
    return out;
  }

  std::expected<StoreFigures, std::string> figures() override {
    StoreFigures out;
    out.counts = *counts();
    for (const RiskIndicator& indicator : state_.store.indicators) out.indicators_acknowledged += indicator.acknowledged;
    for (const AlertRule& rule : state_.rules) out.rules_enabled += rule.enabled;
    std::map<std::pair<TenantId, quenvistrel_contracts::AlertRuleId>, std::uint64_t> fired;
    for (const auto& alert : state_.alerts) ++fired[{alert.tenant_id, alert.rule_id}];
    for (const auto& [key, alerts] : fired) out.fired.push_back({key.first, key.second, alerts});

    std::map<TenantId, std::int64_t> latest;
    for (const auto& rollup : state_.store.rollups) {
      if (rollup.bucket != quenvistrel_contracts::TimeBucket::Hour) continue;
      auto [at, added] = latest.try_emplace(rollup.tenant_id, rollup.bucket_start);
      if (!added) at->second = std::max(at->second, rollup.bucket_start);
    }
    std::map<std::tuple<TenantId, std::string, quenvistrel_contracts::Severity>, std::uint64_t> hour;
    for (const auto& rollup : state_.store.rollups) {
      if (rollup.bucket != quenvistrel_contracts::TimeBucket::Hour || latest[rollup.tenant_id] != rollup.bucket_start) {
        continue;
      }
      auto& count = hour[{rollup.tenant_id, rollup.event_type, rollup.severity}];
      count = saturating_add(count, rollup.count);
    }
    for (const auto& [key, count] : hour) {
      const auto& [tenant, event_type, severity] = key;
      out.latest_hour.push_back({tenant, latest[tenant], event_type, severity, count});
    }
    return out;
  }

  std::expected<std::uint64_t, std::string> set_rule_enabled(const quenvistrel_contracts::AlertRuleId& rule,
                                                              bool enabled) override {
    std::uint64_t named = 0;
    for (AlertRule& r : state_.rules) {
      if (r.rule_id != rule) continue;
      r.enabled = enabled;
      ++named;
    }
    return named;
  }

  std::expected<std::uint64_t, std::string> acknowledge_indicator(
      const quenvistrel_contracts::IndicatorId& indicator) override {
    std::uint64_t named = 0;
    for (RiskIndicator& i : state_.store.indicators) {
      if (i.indicator_id != indicator) continue;
      i.acknowledged = true;
      ++named;
    }
    return named;
  }

  // Every stored rollup is at hand, so an ingest's scope needs nothing more.
  std::expected<Work, std::string> begin(WorkingSet set, std::uint64_t, const IngestScope&) override {
    auto before = counts();
    if (!before) return std::unexpected(std::move(before.error()));
    // An ingest starts the save at once with the events already stored; its own events follow
    // as they come.
    if (set == WorkingSet::IngestInto) {
      save_.emplace(path_, state_, real_file_calls(), watcher_);
      sink_.emplace(*save_);
    }
    return Work{state_, *before};
  }

  quenvistrel_aggregate::EventSink& event_sink() override { return *sink_; }

  std::expected<std::uint64_t, std::string> delete_events_before(std::int64_t cutoff) override {
    return state_.store.events.erase_occurred_before(cutoff);
  }

  std::expected<CliState, std::string> read_lists() override {
    CliState lists;
    lists.store.rollups = state_.store.rollups;
    lists.store.indicators = state_.store.indicators;
    lists.rules = state_.rules;
    lists.alerts = state_.alerts;
    return lists;
  }

  std::expected<void, std::string> read_events(quenvistrel_aggregate::EventSink& sink) override {
    const EventLog& events = state_.store.events;
    for (std::size_t i = 0; i < events.size(); ++i) sink.add(events[i]);
    return {};
  }

  std::expected<void, std::string> commit() override {
    if (!save_) return save_state(path_, state_, real_file_calls(), watcher_);
    sink_->flush();
    auto saved = save_->finish(state_);
    sink_.reset();
    save_.reset();
    return saved;
  }

  void watch_writes(WriteWatcher* watcher) override { watcher_ = watcher; }

 private:
  std::string path_;
  FolderLock lock_;  // held until the store is closed
  CliState state_;
  bool found_ = false;
  WriteWatcher* watcher_ = nullptr;
  std::optional<StateSave> save_;  // an ingest's save under way
  std::optional<SaveSink> sink_;
};

}  // namespace

std::expected<std::unique_ptr<Store>, std::string> open_file_store(const std::string& path, bool changes) {
  FolderLock lock;
  if (changes) {
    auto locked = lock_state_folder(path);
    if (!locked) return std::unexpected(std::move(locked.error()));
    lock = std::move(*locked);
  }
  return std::make_unique<FileStore>(path, std::move(lock));
}

}  // namespace quenvistrel_cli
