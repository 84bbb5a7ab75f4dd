#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include <boost/unordered/unordered_flat_set.hpp>
#include <vector>

#include "quencore_contracts/text_numbers.hpp"
#include "quenvistrel_aggregate/event_log.hpp"
#include "quenvistrel_contracts/records.hpp"

namespace quenvistrel_aggregate {

using quenvistrel_contracts::RiskIndicator;
using quenvistrel_contracts::TimeBucket;
using quenvistrel_contracts::VistrelEvent;
using quenvistrel_contracts::VistrelRollup;

// Where an ingest puts the events it counted: a store's own list, or the writer of a store
// that keeps its events elsewhere. Called once per event, in order.
class EventSink {
 public:
  EventSink() = default;
  EventSink(const EventSink&) = delete;
  EventSink& operator=(const EventSink&) = delete;
  virtual ~EventSink() = default;
  virtual void add(const VistrelEvent& event) = 0;
};

// The analytics store: events in ingest order, rollups in creation order, indicators in the
// order derivation left them. Lists are never sorted; lookups give first-match results.
class VistrelStore {
 public:
  EventLog events;
  std::vector<VistrelRollup> rollups;
  std::vector<RiskIndicator> indicators;

  // Counts the event into the first rollup of its key (or a new one) and appends it. Each call
  // looks through every rollup; many events in a row go through an IngestRun instead.
  void ingest(VistrelEvent event, TimeBucket bucket);
  // The tenant's rollups of every bucket and workspace, in store order.
  [[nodiscard]] std::vector<const VistrelRollup*> rollups_for(const quenvistrel_contracts::TenantId& tenant) const;
  void derive_risk_indicators(std::uint64_t threshold, const quenvistrel_contracts::Timestamp& now);
  // Removes events whose occurred_at lies strictly before now minus the window; returns how many.
  std::uint64_t apply_retention(std::int64_t window_seconds, const quenvistrel_contracts::Timestamp& now);
  // The Unix second before which apply_retention removes events: now minus the window, and
  // where that leaves the signed 64-bit range, its end: a huge positive window removes
  // nothing, a huge negative one removes every event.
  [[nodiscard]] static std::int64_t retention_cutoff(std::int64_t window_seconds,
                                                     const quenvistrel_contracts::Timestamp& now);

  // days × 86400, saturated to the signed 64-bit range instead of overflowing, so a day count
  // of any size can be handed to apply_retention.
  [[nodiscard]] static std::int64_t retention_window_seconds(std::int64_t days);

  friend bool operator==(const VistrelStore&, const VistrelStore&) = default;
};

// A run of ingests, such as one ingest command's: VistrelStore::ingest for each event, with
// the lookup of a rollup by its key kept for the whole run instead of built per call. Each
// event is counted into `rollups` and then handed to `events`. The index is made from the
// rollups when the run starts and follows the rollups the run adds, so while a run lives
// nothing else may change them.
class IngestRun {
 public:
  // Into the store's own rollups and events.
  explicit IngestRun(VistrelStore& store);
  IngestRun(std::vector<VistrelRollup>& rollups, EventSink& events);
  IngestRun(const IngestRun&) = delete;
  IngestRun& operator=(const IngestRun&) = delete;
  void ingest(VistrelEvent event, TimeBucket bucket);

 private:
  // Each rollup's key, its texts as their numbers in `texts_`, and its count, side
  // by side in one cache line: a lookup compares and counts here and only writes the new
  // count through to the rollup. Positions are those of the rollups; a store never holds
  // 2^32 of them.
  struct Known {
    quencore_contracts::Uuid tenant;
    quencore_contracts::Uuid workspace;
    std::uint32_t product = 0;
    std::uint32_t event_type = 0;
    std::int64_t bucket_start = 0;
    std::uint64_t count = 0;
    quenvistrel_contracts::Severity severity = quenvistrel_contracts::Severity::Info;
    TimeBucket bucket = TimeBucket::Hour;

    [[nodiscard]] std::uint64_t hash() const;
    [[nodiscard]] bool same_key(const Known& other) const;
  };
  // The index holds positions in known_ and finds one by a key, hashing and comparing the
  // Known at that position.
  struct PositionHash {
    using is_transparent = void;
    using is_avalanching = void;  // Known::hash is spread already
    const std::vector<Known>* known;
    std::size_t operator()(std::uint32_t position) const { return (*known)[position].hash(); }
    std::size_t operator()(const Known& key) const { return key.hash(); }
  };
  struct PositionEqual {
    using is_transparent = void;
    const std::vector<Known>* known;
    bool operator()(std::uint32_t a, std::uint32_t b) const { return a == b; }
    bool operator()(const Known& key, std::uint32_t position) const { return (*known)[position].same_key(key); }
    bool operator()(std::uint32_t position, const Known& key) const { return (*known)[position].same_key(key); }
  };
  void index_rollups();

  // Appends to an EventLog, for a run into a store's own list.
  struct LogSink final : EventSink {
    explicit LogSink(EventLog& log) : log(log) {}
    void add(const VistrelEvent& event) override { log.push_back(event); }
    EventLog& log;
  };

  std::optional<LogSink> own_events_;  // set for a run into a store's own list
  std::vector<VistrelRollup>& rollups_;
  EventSink& events_;
  quencore_contracts::TextNumbers texts_;  // the product ids and event types of the keys
  std::vector<Known> known_;  // one per rollup, by position
  // From a key to the position of the first rollup holding it, so a lookup gives the
  // first-match result of a scan in constant time.
  boost::unordered_flat_set<std::uint32_t, PositionHash, PositionEqual> index_{
      0, PositionHash{&known_}, PositionEqual{&known_}};
};

}  // namespace quenvistrel_aggregate
