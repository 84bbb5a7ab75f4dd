#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string_view>
#include <vector>

#include "quenvistrel_contracts/records.hpp"

namespace quenvistrel_aggregate {

using quenvistrel_contracts::VistrelEvent;

// Whatever holds the bytes that loaded events point into (a mapped state file). A log keeps
// it alive for as long as it refers to it; its readers may ask what it is.
class EventBytes {
 public:
  EventBytes() = default;
  EventBytes(const EventBytes&) = delete;
  EventBytes& operator=(const EventBytes&) = delete;
  virtual ~EventBytes() = default;
};

// The store's events in ingest order. Nothing in the engine reads an event but its
// occurred_at, and events never change once stored, so each is kept as its encoded text (the
// very bytes the state file holds for it) beside its occurred_at in Unix seconds. A loaded
// event's text stays in the loaded file's bytes; a new one is encoded once, into the log's
// own blocks.
class EventLog {
 public:
  EventLog() = default;
  EventLog(std::initializer_list<VistrelEvent> events);
  // A copy shares the texts, which never change, and writes its own new ones elsewhere.
  EventLog(const EventLog& other);
  EventLog& operator=(const EventLog& other);
  EventLog(EventLog&& other) noexcept;
  EventLog& operator=(EventLog&& other) noexcept;
  ~EventLog() = default;

  [[nodiscard]] std::size_t size() const { return entries_.size(); }
  [[nodiscard]] bool empty() const { return entries_.empty(); }
  void reserve(std::size_t count) { entries_.reserve(count); }

  // Empties the log, keeping one block for the events that follow: for a save that writes
  // events as they come instead of holding them.
  void clear();

  // Encodes the event and appends it.
  void push_back(const VistrelEvent& event);
  void assign(std::size_t count, const VistrelEvent& event);

  // Appends an event already encoded in bytes that `owner` keeps (see keep_alive).
  // `follows_previous` says that the text directly follows the previous event's text and the
  // separator of the state file's event list, so both can be copied as one run.
  void append_encoded(std::string_view text, std::int64_t occurred_seconds, bool follows_previous);
  // Appends the events of `later`, whose texts the same owner keeps and whose first text
  // directly follows this log's last one and the separator, so that both join into one run.
  void append_log(EventLog&& later);
  void keep_alive(std::shared_ptr<const EventBytes> owner) { owner_ = std::move(owner); }
  [[nodiscard]] const std::shared_ptr<const EventBytes>& owner() const { return owner_; }

  [[nodiscard]] std::string_view text(std::size_t i) const { return {entries_[i].data, entries_[i].size()}; }
  [[nodiscard]] std::int64_t occurred_seconds(std::size_t i) const { return entries_[i].occurred; }
  // The typed event, decoded from its text. A text that does not decode is a fault of the
  // tool's own and ends the process.
  [[nodiscard]] VistrelEvent operator[](std::size_t i) const;

  // Calls `run(text)` for each longest run of events that lie one after another in memory,
  // joined by the event list's separator: one call for a whole loaded file that nothing
  // removed from, one per stretch that retention kept.
  template <class F>
  void for_each_run(F&& run) const {
    std::size_t i = 0;
    while (i < entries_.size()) {
      std::size_t j = i + 1;
      while (j < entries_.size() && entries_[j].joined()) ++j;
      const char* const end = entries_[j - 1].data + entries_[j - 1].size();
      run(std::string_view(entries_[i].data, static_cast<std::size_t>(end - entries_[i].data)));
      i = j;
    }
  }

  // Removes the events that occurred strictly before `cutoff` (Unix seconds); returns how many.
  std::size_t erase_occurred_before(std::int64_t cutoff);

  // The same events in the same order: their texts and their occurred_at seconds.
  friend bool operator==(const EventLog& a, const EventLog& b);

 private:
  struct Entry {
    static constexpr std::size_t kJoined = std::size_t{1} << 63;
    const char* data;
    std::size_t size_and_joined;
    std::int64_t occurred;
    [[nodiscard]] std::size_t size() const { return size_and_joined & ~kJoined; }
    [[nodiscard]] bool joined() const { return (size_and_joined & kJoined) != 0; }
  };

  // Room for `bytes` more in the current block, starting a new block when needed.
  char* reserve_block(std::size_t bytes);

  std::vector<Entry> entries_;
  std::shared_ptr<const EventBytes> owner_;
  std::vector<std::shared_ptr<char[]>> blocks_;
  char* cursor_ = nullptr;  // free space of the last block, never of a shared one
  char* limit_ = nullptr;
  bool tail_in_block_ = false;  // the last entry ends at cursor_
};

}  // namespace quenvistrel_aggregate
