#include "store/file/file_store.hpp"

#include <sys/stat.h>

#include <optional>
#include <utility>

#include "store/file/state_file.hpp"

namespace quenvistrel_cli {

namespace {

using quenvistrel_aggregate::EventLog;
using quenvistrel_contracts::VistrelEvent;

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
