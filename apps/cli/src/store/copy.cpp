#include "store/copy.hpp"

#include <utility>

#include "store/location.hpp"

namespace quenvistrel_cli {

namespace {

// A failure that concerns the store at `location`, named by it (its password masked) unless
// the text already starts with it.
std::unexpected<std::string> at(const std::string& location, std::string error) {
  const std::string shown = shown_location(location);
  if (error.starts_with(shown + ": ")) return std::unexpected(std::move(error));
  return std::unexpected(shown + ": " + error);
}

}  // namespace

std::expected<StoreCounts, std::string> copy_store(const std::string& from, const std::string& to,
                                                          WriteWatcher* watcher) {
  auto source = open_store(from, false);
  if (!source) return at(from, std::move(source.error()));
  if (auto loaded = (*source)->load(); !loaded) return at(from, std::move(loaded.error()));
  if (!(*source)->found()) return at(from, "there is no store to copy here");

  auto target = open_store(to, true);
  if (!target) return at(to, std::move(target.error()));
  (*target)->watch_writes(watcher);
  if (auto loaded = (*target)->load(); !loaded) return at(to, std::move(loaded.error()));
  // Never over a store: a copy goes only into a new file or an empty database.
  if ((*target)->found()) return at(to, "already holds a store (a copy goes only into a new file or a database without one)");

  auto lists = (*source)->read_lists();
  if (!lists) return at(from, std::move(lists.error()));
  auto work = (*target)->begin(WorkingSet::IngestInto);
  if (!work) return at(to, std::move(work.error()));
  CliState& state = work->state;
  state.store.rollups = std::move(lists->store.rollups);
  state.store.indicators = std::move(lists->store.indicators);
  state.rules = std::move(lists->rules);
  state.alerts = std::move(lists->alerts);
  // The target's sink keeps its own failures for its commit, so what the read reports is the
  // source's.
  if (auto read = (*source)->read_events((*target)->event_sink()); !read) return at(from, std::move(read.error()));
  if (auto committed = (*target)->commit(); !committed) return at(to, std::move(committed.error()));
  auto counts = (*source)->counts();
  if (!counts) return at(from, std::move(counts.error()));
  return counts;
}

}  // namespace quenvistrel_cli
