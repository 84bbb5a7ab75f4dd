#include "quenvistrel_aggregate/event_log.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "quenvistrel_contracts/json/stored_event.hpp"

namespace quenvistrel_aggregate {

namespace json = quenvistrel_contracts::json;

EventLog::EventLog(std::initializer_list<VistrelEvent> events) {
  for (const auto& e : events) push_back(e);
}

EventLog::EventLog(const EventLog& other)
    : entries_(other.entries_), owner_(other.owner_), blocks_(other.blocks_) {}

EventLog& EventLog::operator=(const EventLog& other) {
  if (this != &other) {
    entries_ = other.entries_;
    owner_ = other.owner_;
    blocks_ = other.blocks_;
    cursor_ = limit_ = nullptr;
    tail_in_block_ = false;
  }
  return *this;
}

EventLog::EventLog(EventLog&& other) noexcept
    : entries_(std::move(other.entries_)),
      owner_(std::move(other.owner_)),
      blocks_(std::move(other.blocks_)),
      cursor_(std::exchange(other.cursor_, nullptr)),
      limit_(std::exchange(other.limit_, nullptr)),
      tail_in_block_(std::exchange(other.tail_in_block_, false)) {}

EventLog& EventLog::operator=(EventLog&& other) noexcept {
  if (this != &other) {
    entries_ = std::move(other.entries_);
    owner_ = std::move(other.owner_);
    blocks_ = std::move(other.blocks_);
    cursor_ = std::exchange(other.cursor_, nullptr);
    limit_ = std::exchange(other.limit_, nullptr);
    tail_in_block_ = std::exchange(other.tail_in_block_, false);
  }
  return *this;
}

char* EventLog::reserve_block(std::size_t bytes) {
  if (cursor_ != nullptr && static_cast<std::size_t>(limit_ - cursor_) >= bytes) return cursor_;
  constexpr std::size_t kBlock = std::size_t{1} << 20;
  const std::size_t size = std::max(kBlock, bytes);
  blocks_.push_back(std::shared_ptr<char[]>(new char[size]));
  cursor_ = blocks_.back().get();
  limit_ = cursor_ + size;
  return cursor_;
}

void EventLog::push_back(const VistrelEvent& event) {
  // One scratch per thread: encoding is the hot step of an ingest.
  thread_local std::string text;
  text.clear();
  json::encode_stored_event(text, event);

  const std::string_view separator = json::kStoredEventSeparator;
  // New events follow each other in a block, separated as in the file, so a save writes a
  // whole block's worth as one run.
  const bool can_join =
      tail_in_block_ && static_cast<std::size_t>(limit_ - cursor_) >= separator.size() + text.size();
  char* at = nullptr;
  if (can_join) {
    std::memcpy(cursor_, separator.data(), separator.size());
    at = cursor_ + separator.size();
  } else {
    at = reserve_block(text.size());
  }
  std::memcpy(at, text.data(), text.size());
  cursor_ = at + text.size();
  entries_.push_back({at, text.size() | (can_join ? Entry::kJoined : 0), event.occurred_at.unix_seconds()});
  tail_in_block_ = true;
}

void EventLog::clear() {
  entries_.clear();
  owner_.reset();
  tail_in_block_ = false;
  // The current block is reused only if no copy shares it.
  if (!blocks_.empty() && blocks_.back().use_count() == 1 && cursor_ != nullptr) {
    auto kept = std::move(blocks_.back());
    blocks_.clear();
    blocks_.push_back(std::move(kept));
    cursor_ = blocks_.back().get();
  } else {
    blocks_.clear();
    cursor_ = limit_ = nullptr;
  }
}

void EventLog::assign(std::size_t count, const VistrelEvent& event) {
  *this = EventLog();
  reserve(count);
  for (std::size_t i = 0; i < count; ++i) push_back(event);
}

void EventLog::append_encoded(std::string_view text, std::int64_t occurred_seconds, bool follows_previous) {
  const bool joined = follows_previous && !entries_.empty();
  entries_.push_back({text.data(), text.size() | (joined ? Entry::kJoined : 0), occurred_seconds});
  tail_in_block_ = false;
}

void EventLog::append_log(EventLog&& later) {
  if (later.entries_.empty()) return;
  const std::size_t at = entries_.size();
  entries_.insert(entries_.end(), later.entries_.begin(), later.entries_.end());
  if (at != 0) entries_[at].size_and_joined |= Entry::kJoined;
  blocks_.insert(blocks_.end(), later.blocks_.begin(), later.blocks_.end());
  tail_in_block_ = false;
  later = EventLog();
}

VistrelEvent EventLog::operator[](std::size_t i) const {
  auto event = json::decode_stored_event(text(i));
  // Every text in the log was written by the encoder or recognised as its output. One that
  // does not decode means the two disagree: that must stop the process (and every fuzz
  // target) rather than pass as an empty record.
  if (!event) {
    std::fprintf(stderr, "stored event %zu does not decode: %s\n", i, event.error().c_str());
    std::abort();
  }
  return std::move(*event);
}

std::size_t EventLog::erase_occurred_before(std::int64_t cutoff) {
  std::size_t kept = 0;
  bool previous_kept = false;
  for (const Entry& e : entries_) {
    if (e.occurred < cutoff) {
      previous_kept = false;
      continue;
    }
    Entry moved = e;
    // A run stays joined only where its neighbour stayed too.
    if (!previous_kept) moved.size_and_joined &= ~Entry::kJoined;
    entries_[kept++] = moved;
    previous_kept = true;
  }
  const std::size_t removed = entries_.size() - kept;
  if (removed != 0) tail_in_block_ = false;
  entries_.resize(kept);
  return removed;
}

bool operator==(const EventLog& a, const EventLog& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    // The seconds too: a recogniser that read the text right but its time wrong would
    // otherwise pass, and retention goes by them alone.
    if (a.text(i) != b.text(i) || a.occurred_seconds(i) != b.occurred_seconds(i)) return false;
  }
  return true;
}

}  // namespace quenvistrel_aggregate
