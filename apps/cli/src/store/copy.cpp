#include "store/copy.hpp"

#include <utility>

namespace quenvistrel_cli {

std::expected<StoreCounts, std::string> copy_store(const std::string& from, const std::string& to,
                                                          WriteWatcher* watcher) {
  auto source = open_store(from, false);
  if (!source) return std::unexpected(std::move(source.error()));
  if (auto loaded = (*source)->load(); !loaded) return std::unexpected(std::move(loaded.error()));
  if (!(*source)->found()) return std::unexpected(std::string("there is no store to copy at the source"));

  auto target = open_store(to, true);
  if (!target) return std::unexpected(std::move(target.error()));
  (*target)->watch_writes(watcher);
  if (auto loaded = (*target)->load(); !loaded) return std::unexpected(std::move(loaded.error()));
  // Never over a store: a copy goes only into a new file or an empty database.
  if ((*target)->found()) return std::unexpected(std::string("the target already holds a store"));

  auto lists = (*source)->read_lists();
  if (!lists) return std::unexpected(std::move(lists.error()));
  auto work = (*target)->begin(WorkingSet::IngestInto);
  if (!work) return std::unexpected(std::move(work.error()));
  CliState& state = work->state;
  state.store.rollups = std::move(lists->store.rollups);
  state.store.indicators = std::move(lists->store.indicators);
  state.rules = std::move(lists->rules);
  state.alerts = std::move(lists->alerts);
  if (auto read = (*source)->read_events((*target)->event_sink()); !read) return std::unexpected(std::move(read.error()));
  if (auto committed = (*target)->commit(); !committed) return std::unexpected(std::move(committed.error()));
  return (*source)->counts();
}

}  // namespace quenvistrel_cli
