#include "store/file/state_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <system_error>
#include <thread>

#include <fmt/format.h>

#include "quencore_error/system_error.hpp"
#include "quenvistrel_contracts/json/file.hpp"
#include "quenvistrel_aggregate/store_json.hpp"
#include "quenvistrel_contracts/json/records.hpp"
#include "quenvistrel_contracts/json/stored_event.hpp"

namespace quenvistrel_contracts::json {

template <>
struct RecordDecl<quenvistrel_cli::CliState> {
  using State = quenvistrel_cli::CliState;
  static constexpr std::string_view name = "CliState";
  static constexpr auto fields = std::tuple{
      field<&State::store>("store"),
      field<&State::rules>("rules"),
      field<&State::alerts>("alerts"),
  };
};

}  // namespace quenvistrel_contracts::json

namespace quenvistrel_cli {

namespace {

namespace json = quenvistrel_contracts::json;

using quencore_error::system_error;

// How much of the state's text the writer renders before handing it on.
constexpr std::size_t kRenderChunk = std::size_t{1} << 20;

// The state must be a regular file (or a folder, which fails like any unreadable path): a FIFO
// would block the run, with the folder lock held, and a device could be endless.
std::optional<std::string> not_regular(mode_t mode) {
  if (S_ISREG(mode) || S_ISDIR(mode)) return std::nullopt;
  const char* kind = S_ISFIFO(mode)   ? "a FIFO"
                     : S_ISSOCK(mode) ? "a socket"
                     : S_ISCHR(mode)  ? "a character device"
                     : S_ISBLK(mode)  ? "a block device"
                                      : "a special file";
  return fmt::format("the state path is {}, not a regular file", kind);
}

// Where a save of the state goes, refused when it is not a regular file.
std::expected<ReplaceTarget, std::string> state_target(const std::string& path) {
  auto target = resolve_replace_target(path);
  if (target && target->exists) {
    if (auto refused = not_regular(target->mode)) return std::unexpected(std::move(*refused));
  }
  return target;
}

// The file the state's loaded events still point into, if any.
std::shared_ptr<const MappedFile> loaded_file(const CliState& state) {
  return std::dynamic_pointer_cast<const MappedFile>(state.store.events.owner());
}

// The document in three steps, so that a save can write events as they come: the head up to
// the event list, the events in any number of batches, then the rest. Names and order are
// the record declarations'. Every writing of the state goes through these.
template <std::size_t I, class T>
void write_member(json::PrettyWriter& w, const T& value) {
  constexpr auto decl = std::get<I>(json::RecordDecl<T>::fields);
  using Decl = std::remove_cv_t<decltype(decl)>;
  using Member = std::remove_cvref_t<decltype(value.*Decl::member)>;
  w.field_key(decl.name);
  json::Codec<Member>::write(w, value.*Decl::member);
}

constexpr auto& kStateFields = json::RecordDecl<CliState>::fields;
constexpr auto& kStoreFields = json::RecordDecl<quenvistrel_aggregate::VistrelStore>::fields;
static_assert(std::tuple_size_v<std::remove_cvref_t<decltype(kStateFields)>> == 3 &&
              std::get<0>(kStateFields).name == "store");
static_assert(std::tuple_size_v<std::remove_cvref_t<decltype(kStoreFields)>> == 3 &&
              std::get<0>(kStoreFields).name == "events");

void begin_document(json::PrettyWriter& w) {
  w.begin_object();
  w.field_key(std::get<0>(kStateFields).name);
  w.begin_object();
  w.field_key(std::get<0>(kStoreFields).name);
  w.begin_array();
}

void write_events(json::PrettyWriter& w, const quenvistrel_aggregate::EventLog& events) {
  events.for_each_run([&w](std::string_view run) {
    w.element();
    w.verbatim(run);
  });
}

void end_document(json::PrettyWriter& w, const CliState& state) {
  w.end_array();
  write_member<1>(w, state.store);
  write_member<2>(w, state.store);
  w.end_object();
  write_member<1>(w, state);
  write_member<2>(w, state);
  w.end_object();
}

}  // namespace

// The new file is rendered in chunks of about a MiB: one huge write makes the kernel hold back
// the writer until most of it has reached the disk, and a buffer the size of the file would
// cost as much memory again. Long runs of events that are still the loaded file's bytes are
// copied from its descriptor inside the kernel.
struct StateSave::Impl {
  static constexpr std::size_t kChunk = kRenderChunk;

  Impl(const std::string& path, const CliState& state, const FileCalls& calls, WriteWatcher* watcher)
      : source(loaded_file(state)), watcher(watcher) {
    auto target = state_target(path);
    if (!target) {
      early_failure = std::move(target.error());
      return;
    }
    replacement.emplace(*target, calls, "the state file");
    buffer.reserve(kChunk + 64 * 1024);
  }

  [[nodiscard]] bool failed() const { return !early_failure.empty() || replacement->failed(); }

  static bool drain(void* context, std::string_view bytes) {
    auto* self = static_cast<Impl*>(context);
    if (self->failed()) return false;
    if (self->source != nullptr && self->source->holds(bytes)) {
      self->replacement->copy(self->source->fd(), static_cast<off_t>(bytes.data() - self->source->bytes().data()),
                              bytes);
    } else {
      self->replacement->write(bytes);
    }
    return !self->failed();
  }

  // Runs a long stretch of the save with its bytes told to the watcher; the stretches between
  // (an ingest's own events, as they come) are not told, so the fixture's read keeps the screen.
  template <class Step>
  void shown(Step step) {
    if (failed()) return;
    if (watcher == nullptr) {
      step();
      return;
    }
    watcher->begin();
    replacement->watch([this](std::uint64_t written) { watcher->written(written); });
    step();
    replacement->watch({});
    watcher->end();
  }

  std::expected<void, std::string> finish(const CliState& state) {
    if (!early_failure.empty()) return std::unexpected(early_failure);
    shown([&] {
      end_document(writer, state);
      writer.drain();
    });
    // Bytes copied from the loaded file are only the state's if nobody changed that file since;
    // a source that changed also explains any failure of copying from it.
    if (source != nullptr && (source->damaged() || !source->unchanged())) {
      replacement->fail("the state file was changed by another program while in use");
    }
    return replacement->commit();
  }

  std::shared_ptr<const MappedFile> source;
  WriteWatcher* watcher;
  std::string early_failure;  // the target could not be examined
  std::optional<FileReplacement> replacement;
  std::string buffer;
  json::PrettyWriter writer{buffer, &drain, this, kChunk};
};

StateSave::StateSave(const std::string& path, const CliState& state, const FileCalls& calls,
                     WriteWatcher* watcher)
    : impl_(std::make_unique<Impl>(path, state, calls, watcher)) {
  impl_->shown([&] {
    begin_document(impl_->writer);
    write_events(impl_->writer, state.store.events);
  });
}

StateSave::~StateSave() = default;

void StateSave::add_events(const quenvistrel_aggregate::EventLog& events) {
  if (!impl_->failed()) write_events(impl_->writer, events);
}

std::expected<void, std::string> StateSave::finish(const CliState& state) {
  auto result = impl_->finish(state);
  impl_.reset();
  return result;
}

std::string render_state(const CliState& state) {
  // A rough size of the pretty text, so the buffer grows once at most.
  const std::size_t estimate = 256 + 720 * state.store.events.size() + 480 * state.store.rollups.size() +
                               640 * state.store.indicators.size() + 400 * state.rules.size() +
                               400 * state.alerts.size();
  std::string text;
  text.reserve(estimate);
  json::PrettyWriter writer(text);
  begin_document(writer);
  write_events(writer, state.store.events);
  end_document(writer, state);
  return text;
}

std::expected<CliState, std::string> parse_state(std::string_view text) { return json::read_json<CliState>(text); }

namespace {

constexpr std::string_view kHead = "{\n  \"store\": {\n    \"events\": [";
constexpr std::string_view kFirst = "\n      ";
constexpr std::string_view kEnd = "\n    ]";
static_assert(json::kStoredEventSeparator.substr(1) == kFirst);

// Whether `expected` stands at `pos`. Its size is a constant, so the comparison compiles to a
// load or two: this runs once per event.
template <std::size_t N>
bool stands_at(std::string_view text, std::size_t pos, std::string_view expected) {
  return text.size() - pos >= N && std::memcmp(text.data() + pos, expected.data(), N) == 0;
}

// Recognises the events of the list from `pos`, where the lead of its first event stands
// (kFirst, or the separator when the events before were recognised apart), into `events`,
// up to the list's end or, when `stop` is given, exactly up to `stop`, the end of an event.
// Returns where it stopped; nothing when the text is not the writer's.
std::optional<std::size_t> recognize_events(std::string_view text, std::size_t pos, std::string_view lead,
                                            std::size_t stop, quenvistrel_aggregate::EventLog& events) {
  json::RecognizedDay day;
  bool first = true;
  while (true) {
    if (first) {
      if (!text.substr(pos).starts_with(lead)) return std::nullopt;
      pos += lead.size();
    } else if (pos == stop) {
      return pos;
    } else if (stands_at<json::kStoredEventSeparator.size()>(text, pos, json::kStoredEventSeparator)) {
      pos += json::kStoredEventSeparator.size();
    } else if (stop == std::string_view::npos && stands_at<kEnd.size()>(text, pos, kEnd)) {
      return pos;
    } else {
      return std::nullopt;
    }
    std::int64_t occurred = 0;
    const std::size_t end = json::recognize_stored_event(text, pos, occurred, day);
    if (end == std::string_view::npos || end > stop) return std::nullopt;
    events.append_encoded(text.substr(pos, end - pos), occurred, !first);
    pos = end;
    first = false;
  }
}

// The end of an event near the middle of the list: where the text between two events, with the
// start of the second, stands. Such text can only be that: inside a string a line feed would
// be escaped. Nothing when there is none near the middle (the list may end before it).
std::optional<std::size_t> middle_event_end(std::string_view text) {
  static constexpr std::string_view kBetween = "\n      },\n      {\n        \"contract_version\": ";
  const std::size_t middle = kHead.size() + (text.size() - kHead.size()) / 2;
  const std::size_t found = text.substr(middle, std::size_t{1} << 20).find(kBetween);
  if (found == std::string_view::npos) return std::nullopt;
  return middle + found + std::string_view("\n      }").size();
}

// An event in the writer's layout takes more bytes than this (its three UUIDs and two
// timestamps alone take 150), so a text of n bytes holds fewer than n / kEventBytesAtLeast
// events. The index is reserved for that many at once: it then never moves while it fills, and
// the pages of the reserve that no event reaches are never touched.
constexpr std::size_t kEventBytesAtLeast = 256;
std::size_t events_at_most(std::size_t bytes) { return bytes / kEventBytesAtLeast + 1; }

// The events from kHead on: where their list ends, or nothing when the text is not the
// writer's. A large list is recognised in two halves at once; the second starts right after
// the separator that follows the first, so together they are exactly what one pass accepts.
std::optional<std::size_t> recognize_event_list(std::string_view text, std::size_t split_from,
                                                quenvistrel_aggregate::EventLog& events) {
  const std::optional<std::size_t> split = text.size() >= split_from ? middle_event_end(text) : std::nullopt;
  events.reserve(events_at_most(text.size()));
  if (!split) return recognize_events(text, kHead.size(), kFirst, std::string_view::npos, events);
  quenvistrel_aggregate::EventLog later;
  later.reserve(events_at_most(text.size() - *split));
  std::optional<std::size_t> later_end;
  std::optional<std::thread> helper;
  try {
    helper.emplace([&] {
      later_end = recognize_events(text, *split, json::kStoredEventSeparator, std::string_view::npos, later);
    });
  } catch (const std::system_error&) {
    // No thread to be had: one pass does it all.
    return recognize_events(text, kHead.size(), kFirst, std::string_view::npos, events);
  }
  const auto first_end = recognize_events(text, kHead.size(), kFirst, *split, events);
  helper->join();
  if (!first_end || *first_end != *split || !later_end) return std::nullopt;
  events.append_log(std::move(later));
  return later_end;
}

}  // namespace

// The events are recognised byte by byte and kept as the bytes they are; only the rest
// (rollups, indicators, rules, alerts) goes through the JSON reader, and must then write back
// exactly as it stands.
std::optional<CliState> recognize_state(std::string_view text, std::size_t split_from) {
  if (!text.starts_with(kHead) || text.substr(kHead.size()).starts_with("]")) return std::nullopt;

  quenvistrel_aggregate::EventLog events;
  const std::optional<std::size_t> list_end = recognize_event_list(text, split_from, events);
  if (!list_end) return std::nullopt;
  const std::size_t pos = *list_end;

  // The rest, read as the same document with an empty event list: the head, then everything
  // from the list's closing bracket on.
  std::string rest;
  rest.reserve(kHead.size() + text.size() - pos);
  rest += kHead;
  rest.append(text.substr(pos + kEnd.find(']')));
  auto state = json::read_json<CliState>(rest);
  if (!state) return std::nullopt;
  struct Compare {
    std::string_view expected;
    std::size_t at = 0;
  } compare{rest};
  std::string buffer;
  json::PrettyWriter writer(
      buffer,
      [](void* context, std::string_view bytes) {
        auto* c = static_cast<Compare*>(context);
        if (c->expected.substr(c->at, bytes.size()) != bytes) return false;
        c->at += bytes.size();
        return true;
      },
      &compare, kRenderChunk);
  begin_document(writer);
  end_document(writer, *state);
  writer.drain();
  if (compare.at != rest.size() || writer.failed()) return std::nullopt;

  state->store.events = std::move(events);
  return std::move(*state);
}

std::expected<CliState, std::string> load_state(const std::string& path) {
  // A look at the path first, so that a FIFO or device already there is refused without being
  // opened: opening some devices does something.
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    // Only a path that is not there (also when a folder part is a file) means no state yet;
    // anything else could hide an existing store that the next save would overwrite.
    if (errno == ENOENT || errno == ENOTDIR) return CliState{};
    return system_error(errno);
  }
  if (auto refused = not_regular(st.st_mode)) return std::unexpected(std::move(*refused));

  // Opened without blocking and judged again by what the descriptor is: a FIFO put in place
  // since the look cannot hold the run, and the folder lock, waiting for a writer.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return CliState{};
    return system_error(errno);
  }
  struct stat opened {};
  if (::fstat(fd, &opened) != 0) {
    const int error = errno;
    ::close(fd);
    return system_error(error);
  }
  if (!S_ISREG(opened.st_mode)) {
    auto refused = not_regular(opened.st_mode);
    // A folder gives the system's own error for reading it.
    char byte = 0;
    const int error = ::read(fd, &byte, 1) < 0 ? errno : EISDIR;
    ::close(fd);
    if (refused) return std::unexpected(std::move(*refused));
    return system_error(error);
  }
  auto file = MappedFile::map(fd, opened);
  if (!file) return std::unexpected(std::move(file.error()));

  const MappedFile& mapped = **file;
  const auto checked = [&mapped](CliState state) -> std::expected<CliState, std::string> {
    if (mapped.damaged()) return std::unexpected(std::string("the state file shrank while it was read"));
    return state;
  };
  if (std::optional<CliState> state = recognize_state(mapped.bytes())) {
    state->store.events.keep_alive(*file);
    return checked(std::move(*state));
  }
  // Any other layout goes through the JSON reader, which names the first fault and stops
  // there, so a broken file costs as much as the part before its fault.
  auto read = json::read_json<CliState>(mapped.bytes());
  if (!read) return std::unexpected(std::move(read.error()));
  return checked(std::move(*read));
}

std::expected<void, std::string> save_state(const std::string& path, const CliState& state,
                                            const FileCalls& calls, WriteWatcher* watcher) {
  return StateSave(path, state, calls, watcher).finish(state);
}

std::expected<FolderLock, std::string> lock_state_folder(const std::string& path) {
  auto target = state_target(path);
  if (!target) return std::unexpected(std::move(target.error()));
  const std::string prefix = folder_prefix(target->path);
  return lock_folder(prefix.empty() ? std::string(".") : prefix);
}

}  // namespace quenvistrel_cli
