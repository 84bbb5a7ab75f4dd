#pragma once

#include <cstdint>
#include <expected>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quenvistrel_aggregate/store.hpp"
#include "quenvistrel_contracts/records.hpp"
#include "store/write_watcher.hpp"

namespace quenvistrel_cli {

// Everything the tool remembers between runs.
struct CliState {
  quenvistrel_aggregate::VistrelStore store;
  std::vector<quenvistrel_contracts::AlertRule> rules;
  std::vector<quenvistrel_contracts::AlertEvent> alerts;

  friend bool operator==(const CliState&, const CliState&) = default;
};

// How many records of each list a store holds.
struct StoreCounts {
  std::uint64_t events = 0;
  std::uint64_t rollups = 0;
  std::uint64_t indicators = 0;
  std::uint64_t rules = 0;
  std::uint64_t alerts = 0;
};

// What `alerts` selects: each filter that is set must hold.
struct AlertQuery {
  std::optional<quencore_contracts::TenantId> tenant;
  std::optional<quenvistrel_contracts::AlertRuleId> rule;
  std::optional<quencore_contracts::Timestamp> since;  // fired at or after
};

// Alerts in creation order, with the rules they name: each such rule once, the first of its id
// in store order (an alert whose rule is gone has none).
struct AlertListing {
  std::vector<quenvistrel_contracts::AlertEvent> alerts;
  std::vector<quenvistrel_contracts::AlertRule> rules;
};

// What `metrics` reports of a store, as figures the store counts for it.
struct StoreFigures {
  StoreCounts counts;
  std::uint64_t indicators_acknowledged = 0;  // of counts.indicators
  std::uint64_t rules_enabled = 0;            // of counts.rules
  // How many alerts each rule fired for each tenant, in no particular order.
  struct Fired {
    quencore_contracts::TenantId tenant;
    quenvistrel_contracts::AlertRuleId rule;
    std::uint64_t alerts = 0;
  };
  std::vector<Fired> fired;
  // Each tenant's latest hourly bucket: its events per event type and severity, summed over
  // workspaces and products (saturating), in no particular order.
  struct LatestHour {
    quencore_contracts::TenantId tenant;
    std::int64_t bucket_start = 0;
    std::string event_type;
    quenvistrel_contracts::Severity severity = quenvistrel_contracts::Severity::Info;
    std::uint64_t count = 0;
  };
  std::vector<LatestHour> latest_hour;
};

// What a changing command works on. Each set holds everything the engine's operation for
// that command looks at, so the engine gives the same result on it as on the whole state.
enum class WorkingSet : std::uint8_t {
  Nothing,      // alert-add, retention: they only add or delete
  IngestInto,   // the stored rollups the events could be counted into (IngestScope)
  RiskInputs,   // the High and Critical rollups at or above a threshold, and every indicator
  AlertInputs,  // the enabled rules, the rollups of their tenant, event type and bucket that
                // one of them could still fire on, and the alerts whose cooldown reaches those
};

// Which stored rollups an ingest may count into: those of `workspace` whose bucket starts in
// [first_bucket, last_bucket]. Without a workspace (the run's own new one, which no stored
// rollup can have yet) there are none.
struct IngestScope {
  std::optional<quencore_contracts::WorkspaceId> workspace;
  std::int64_t first_bucket = std::numeric_limits<std::int64_t>::min();
  std::int64_t last_bucket = std::numeric_limits<std::int64_t>::max();
};

// A changing command's view of the store, from Store::begin to Store::commit: the lists of
// its working set (the rest left empty, or, for a store that has it all at hand, everything)
// and the counts of the whole store as the command found it.
struct Work {
  CliState& state;
  StoreCounts before;
};

// Where the state lives. The run opens a store for one command (a changing command holds the
// store's lock from opening until it is closed, so overlapping runs queue), loads it, and the
// command asks it for what it needs and hands it what changed:
//   - reading commands ask counts(), tenant_rollups(), a listing or figures();
//   - changing commands call begin() for their working set, run the engine on it (an ingest
//     sends its events into event_sink() as they are counted), may delete_events_before(),
//     or change one record by its identifier (set_rule_enabled(), acknowledge_indicator()),
//     then the run calls commit(), which writes what the command added or changed, all or
//     nothing. A store that is never committed is left exactly as it was.
// Errors are the one-line texts the entry prints after "error: ".
class Store {
 public:
  Store() = default;
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;
  virtual ~Store() = default;

  // Reads what the store holds, or finds it empty; a store that cannot be read fails here,
  // for every command.
  [[nodiscard]] virtual std::expected<void, std::string> load() = 0;

  // Whether load() found a store there (a file, the database's tables), empty or not.
  [[nodiscard]] virtual bool found() const = 0;
  [[nodiscard]] virtual std::expected<StoreCounts, std::string> counts() = 0;
  // The tenant's rollups of every bucket and workspace, in creation order.
  [[nodiscard]] virtual std::expected<std::vector<quenvistrel_contracts::VistrelRollup>, std::string> tenant_rollups(
      const quenvistrel_contracts::TenantId& tenant) = 0;

  // The listings, read-only and in creation order; without a tenant, those of every tenant.
  [[nodiscard]] virtual std::expected<AlertListing, std::string> list_alerts(const AlertQuery& query) = 0;
  [[nodiscard]] virtual std::expected<std::vector<quenvistrel_contracts::AlertRule>, std::string> list_rules(
      const std::optional<quencore_contracts::TenantId>& tenant) = 0;
  [[nodiscard]] virtual std::expected<std::vector<quenvistrel_contracts::RiskIndicator>, std::string>
  list_indicators(const std::optional<quencore_contracts::TenantId>& tenant) = 0;
  [[nodiscard]] virtual std::expected<StoreFigures, std::string> figures() = 0;

  // Changing one kind of record by its identifier, in the run's work, which commit() writes:
  // how many records the identifier named (0 when none, and then nothing changed). Every
  // record with that identifier changes, since each is that rule or that indicator.
  [[nodiscard]] virtual std::expected<std::uint64_t, std::string> set_rule_enabled(
      const quenvistrel_contracts::AlertRuleId& rule, bool enabled) = 0;
  [[nodiscard]] virtual std::expected<std::uint64_t, std::string> acknowledge_indicator(
      const quenvistrel_contracts::IndicatorId& indicator) = 0;

  // `threshold` is risk's and `scope` an ingest's; the other sets ignore them.
  [[nodiscard]] virtual std::expected<Work, std::string> begin(WorkingSet set, std::uint64_t threshold = 0,
                                                               const IngestScope& scope = {}) = 0;
  // Takes the new events of an ingest, after begin(WorkingSet::IngestInto). A failure to store
  // one is kept and reported by commit().
  [[nodiscard]] virtual quenvistrel_aggregate::EventSink& event_sink() = 0;
  // Removes the events that occurred strictly before `cutoff` (Unix seconds); how many.
  [[nodiscard]] virtual std::expected<std::uint64_t, std::string> delete_events_before(std::int64_t cutoff) = 0;
  [[nodiscard]] virtual std::expected<void, std::string> commit() = 0;
  // Who hears of this store's long writes from now on (none when null); a store whose writes
  // are never long ignores it.
  virtual void watch_writes(WriteWatcher* watcher) { (void)watcher; }

  // For moving a whole store elsewhere: every list but the events, whole and in order, and
  // then every event, in order, into `sink`. (Filling an empty store is begin(IngestInto),
  // the lists put into the work's state, the events sent into event_sink(), and commit().)
  [[nodiscard]] virtual std::expected<CliState, std::string> read_lists() = 0;
  [[nodiscard]] virtual std::expected<void, std::string> read_events(quenvistrel_aggregate::EventSink& sink) = 0;
};

// The store that `location` (the --state value) names, opened for a command that changes it
// (`changes`, which takes the lock) or only reads.
[[nodiscard]] std::expected<std::unique_ptr<Store>, std::string> open_store(const std::string& location,
                                                                            bool changes);

// Replaces the file at `path` with `bytes` as atomically as a state file is replaced (a
// private temporary beside it, synced, renamed over it, keeping the old file's permission bits,
// owner and group): for files the tool writes for other programs to read. `noun` names the
// file in the one message that is not the system's ("cannot keep {noun}'s owner …").
[[nodiscard]] std::expected<void, std::string> replace_file(const std::string& path, std::string_view bytes,
                                                            std::string_view noun);

}  // namespace quenvistrel_cli
