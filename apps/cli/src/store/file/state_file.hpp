#pragma once

#include <cstddef>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/file/file_safety.hpp"
#include "store/store.hpp"
#include "store/write_watcher.hpp"

// The state file: one pretty JSON document holding the whole CliState.
namespace quenvistrel_cli {

// A path that does not exist gives the empty state; any other failure is an error text.
[[nodiscard]] std::expected<CliState, std::string> load_state(const std::string& path);
// Replaces the file atomically, keeping its permission bits, owner and group; on failure the
// previous file is untouched. `calls` are the system calls to make (tests hand in failing ones);
// `watcher`, when given, hears of the long stretches of writing.
[[nodiscard]] std::expected<void, std::string> save_state(const std::string& path, const CliState& state,
                                                          const FileCalls& calls = real_file_calls(),
                                                          WriteWatcher* watcher = nullptr);

// A save under way, for a command that adds events as it goes (ingest): the state's events are
// written into the new file at once, later ones with add_events as they come, so that neither
// has to be held; finish writes the rest and puts the file in place exactly as save_state
// does. A failure at any step is kept, the later steps write nothing, and finish reports it.
// A save that never finishes leaves no temporary behind.
class StateSave {
 public:
  StateSave(const std::string& path, const CliState& state, const FileCalls& calls = real_file_calls(),
            WriteWatcher* watcher = nullptr);
  StateSave(const StateSave&) = delete;
  StateSave& operator=(const StateSave&) = delete;
  ~StateSave();

  // Appends these events after those written so far.
  void add_events(const quenvistrel_aggregate::EventLog& events);
  // Writes everything after the events (rollups, indicators, rules, alerts) from `state`.
  [[nodiscard]] std::expected<void, std::string> finish(const CliState& state);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The lock (file_safety.hpp) on the folder that holds the state file (for a symbolic link, the
// folder of the file it points to), held from before the load until after the save by every
// command that changes the state, so overlapping runs cannot lose each other's updates.
// Nothing is created beside the state. Waits for a lock held by another run.
// A folder that does not exist gives an unheld lock (the save will report it); any other
// failure names the folder.
[[nodiscard]] std::expected<FolderLock, std::string> lock_state_folder(const std::string& path);

// The state file's text and its reading, without any file: the whole pretty document, and
// the parse of one (errors end in " at line {line} column {column}").
[[nodiscard]] std::string render_state(const CliState& state);
[[nodiscard]] std::expected<CliState, std::string> parse_state(std::string_view text);
// The state of a text in exactly the layout render_state writes, read without the JSON
// reader's work per value: what parse_state would give, and render_state gives the text back.
// Empty for any other text, which is then for parse_state to read or refuse. The events point
// into `text`, which must outlive them. A text of `split_from` bytes or more has its events
// recognised in two halves at once, with the same outcome.
inline constexpr std::size_t STATE_SPLIT_FROM = std::size_t{64} << 20;
[[nodiscard]] std::optional<CliState> recognize_state(std::string_view text,
                                                      std::size_t split_from = STATE_SPLIT_FROM);

}  // namespace quenvistrel_cli
