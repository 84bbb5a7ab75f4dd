#include "state_file.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <span>

#include <fmt/format.h>

#include "mapped_file.hpp"
#include "quencore_contracts/hex.hpp"
#include "quencore_contracts/random.hpp"
#include "quencore_contracts/utf8.hpp"
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

constexpr SaveCalls kRealCalls{
    .open = [](const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); },
    .write = [](int fd, const void* data, std::size_t size) { return ::write(fd, data, size); },
    .fsync = [](int fd) { return ::fsync(fd); },
    .fchmod = [](int fd, mode_t mode) { return ::fchmod(fd, mode); },
    .fchown = [](int fd, uid_t owner, gid_t group) { return ::fchown(fd, owner, group); },
    .rename = [](const char* from, const char* to) { return ::rename(from, to); },
    .close = [](int fd) { return ::close(fd); },
    .copy_file_range = [](int from, off_t* from_offset, int to, off_t* to_offset, std::size_t size,
                          unsigned flags) { return ::copy_file_range(from, from_offset, to, to_offset, size, flags); },
    .unlink = [](const char* path) { return ::unlink(path); },
};

SaveCalls g_calls = kRealCalls;

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

// The file a save replaces: the path itself, or for a symbolic link the file at the end of
// its chain, so that the link stays a link.
struct Target {
  std::string path;
  bool exists = false;
  mode_t mode = 0;  // permission bits of the existing file
  uid_t owner = 0;  // and its owner and group
  gid_t group = 0;
};

std::string folder_prefix(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::expected<Target, std::string> resolve_target(const std::string& path) {
  std::string current = path;
  // The kernel's own limit on links followed in one lookup.
  for (int hops = 0;; ++hops) {
    struct stat st {};
    if (::lstat(current.c_str(), &st) != 0) {
      if (errno == ENOENT || errno == ENOTDIR) return Target{current, false, 0, 0, 0};
      return system_error(errno);
    }
    if (!S_ISLNK(st.st_mode)) {
      if (auto refused = not_regular(st.st_mode)) return std::unexpected(std::move(*refused));
      return Target{current, true, static_cast<mode_t>(st.st_mode & 07777), st.st_uid, st.st_gid};
    }
    if (hops == 40) return system_error(ELOOP);
    std::string link(static_cast<std::size_t>(std::max<off_t>(st.st_size, 0)) + 1, '\0');
    ssize_t n = 0;
    while ((n = ::readlink(current.c_str(), link.data(), link.size())) >= static_cast<ssize_t>(link.size())) {
      link.resize(link.size() * 2);
    }
    if (n < 0) return system_error(errno);
    link.resize(static_cast<std::size_t>(n));
    current = link.starts_with('/') ? link : folder_prefix(current) + link;
  }
}

mode_t creation_mode() {
  // umask can only be read by setting it; the process is single-threaded.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

std::expected<std::string, std::string> random_suffix() {
  std::array<std::byte, 8> bytes{};
  if (auto got = quencore_contracts::random_bytes(bytes); !got) return std::unexpected(std::move(got.error()));
  std::string hex(2 * bytes.size(), '\0');
  char* p = hex.data();
  for (const std::byte b : bytes) p = quencore_contracts::write_hex_byte(p, static_cast<std::uint8_t>(b));
  return hex;
}

// 0 or the errno of the failed write.
int write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const std::size_t chunk = std::min<std::size_t>(data.size(), std::size_t{1} << 30);
    const ssize_t n = g_calls.write(fd, data.data(), chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return 0;
}

// With a file-size limit the kernel would kill the process on the write that crosses it;
// ignoring the signal turns that into EFBIG, reported like any other write failure.
class IgnoreFileSizeSignal {
 public:
  IgnoreFileSizeSignal() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    active_ = ::sigaction(SIGXFSZ, &ignore, &previous_) == 0;
  }
  ~IgnoreFileSizeSignal() {
    if (active_) ::sigaction(SIGXFSZ, &previous_, nullptr);
  }
  IgnoreFileSizeSignal(const IgnoreFileSizeSignal&) = delete;
  IgnoreFileSizeSignal& operator=(const IgnoreFileSizeSignal&) = delete;

 private:
  struct sigaction previous_ {};
  bool active_ = false;
};

// What a temporary's name keeps of `base`: all of it, unless ".{base}.tmp.{pid}.{16 hex}"
// could pass the 255-byte limit on a file name (with a pid of up to 10 digits); then its
// head, cut at a character boundary. Every name that loads can thus be saved.
std::string_view temp_stem(std::string_view base) {
  constexpr std::size_t kRoom = 255 - (1 + 5 + 10 + 1 + 16);
  return quencore_contracts::utf8_head(base, kRoom);
}

// The name of a temporary for `base` written by process `pid`: ".{stem}.tmp.{pid}.{16 hex}".
std::string temp_name(std::string_view base, long pid, std::string_view suffix) {
  return fmt::format(".{}.tmp.{}.{}", temp_stem(base), pid, suffix);
}

// The pid in `name` when it is a temporary of `base`, else -1.
long temp_owner(std::string_view name, std::string_view base) {
  const std::string head = fmt::format(".{}.tmp.", temp_stem(base));
  if (!name.starts_with(head)) return -1;
  name.remove_prefix(head.size());
  const std::size_t dot = name.find('.');
  if (dot == 0 || dot == std::string_view::npos || name.size() - dot - 1 != 16) return -1;
  long pid = 0;
  for (const char c : name.substr(0, dot)) {
    if (c < '0' || c > '9' || pid > 100'000'000) return -1;
    pid = pid * 10 + (c - '0');
  }
  for (const char c : name.substr(dot + 1)) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return -1;
  }
  return pid;
}

// Removes temporaries of `base` that a killed save left behind: those of processes that no
// longer run (and our own, since this save has finished). Only what a save of ours could have
// left goes: a regular file of this user with one link, never a link, FIFO or socket that
// merely has such a name. Failures are ignored: a leftover temporary is harmless and the next
// save tries again.
void remove_stale_temporaries(const std::string& folder, std::string_view base) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return;
  const long self = ::getpid();
  const uid_t user = ::geteuid();
  while (const dirent* entry = ::readdir(dir)) {
    const long pid = temp_owner(entry->d_name, base);
    if (pid < 0) continue;
    struct stat st {};
    if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
        st.st_uid != user || st.st_nlink != 1) {
      continue;
    }
    if (pid == self || (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)) {
      ::unlinkat(::dirfd(dir), entry->d_name, 0);
    }
  }
  ::closedir(dir);
}

// The file the state's loaded events still point into, if any.
std::shared_ptr<const MappedFile> loaded_file(const CliState& state) {
  return std::dynamic_pointer_cast<const MappedFile>(state.store.events.owner());
}

// Copies `size` bytes at `offset` of `from` to the end of `to`. 0 or an errno; a source that
// ends early (another program shrank it) is EIO.
int copy_range(int from, off_t offset, int to, std::size_t size) {
  while (size > 0) {
    const ssize_t n = g_calls.copy_file_range(from, &offset, to, nullptr, size, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;
    size -= static_cast<std::size_t>(n);
  }
  return 0;
}

// The document in three steps, so that a save can write events as they come: the head up to
// the event list, the events in any number of batches, then the rest. Names and order are
// the record declarations'.
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

// The new file is written into a private temporary beside the target, in chunks of about a
// MiB: one huge write makes the kernel hold back the writer until most of it has reached the
// disk, and a buffer the size of the file would cost as much memory again. Long runs of events
// that are still the loaded file's bytes are copied from its descriptor inside the kernel.
// The first failure is kept; every later step is skipped, and finish() reports it.
struct StateSave::Impl {
  Target target;
  std::string temp;
  int fd = -1;
  int error = 0;
  std::string failure;  // a failure that is not an errno
  std::shared_ptr<const MappedFile> source;
  off_t written = 0;  // bytes in the temporary so far
  off_t flushed = 0;  // of which write-back was started
  IgnoreFileSizeSignal file_size_guard;
  std::string buffer;
  json::PrettyWriter writer{buffer, &drain, this, kChunk};

  static constexpr std::size_t kChunk = std::size_t{1} << 20;

  [[nodiscard]] bool failed() const { return error != 0 || !failure.empty(); }

  static bool drain(void* context, std::string_view bytes) {
    auto* self = static_cast<Impl*>(context);
    // Every 32 MiB the write-back of what is written so far is started, so that the disk works
    // while the rest is written and the final fsync waits only for the last stretch.
    constexpr std::size_t kWriteBack = std::size_t{32} << 20;
    while (!bytes.empty() && !self->failed()) {
      const std::string_view slice = bytes.substr(0, kWriteBack);
      bytes.remove_prefix(slice.size());
      self->put(slice);
      self->written += static_cast<off_t>(slice.size());
      if (static_cast<std::size_t>(self->written - self->flushed) >= kWriteBack) {
        ::sync_file_range(self->fd, self->flushed, self->written - self->flushed, SYNC_FILE_RANGE_WRITE);
        self->flushed = self->written;
      }
    }
    return !self->failed();
  }

  void put(std::string_view bytes) {
    if (source != nullptr && source->holds(bytes)) {
      const auto offset = static_cast<off_t>(bytes.data() - source->bytes().data());
      error = copy_range(source->fd(), offset, fd, bytes.size());
      // Some file systems cannot copy between these files: write the mapped bytes.
      if (error != EXDEV && error != EINVAL && error != ENOSYS && error != EOPNOTSUPP) return;
    }
    error = write_all(fd, bytes);
  }

  void start(const std::string& path) {
    auto resolved = resolve_target(path);
    if (!resolved) {
      failure = std::move(resolved.error());
      return;
    }
    target = std::move(*resolved);
    const std::string prefix = folder_prefix(target.path);
    auto suffix = random_suffix();
    if (!suffix) {
      failure = std::move(suffix.error());
      return;
    }
    temp = prefix + temp_name(target.path.substr(prefix.size()), ::getpid(), *suffix);
    fd = g_calls.open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) error = errno;
    buffer.reserve(kChunk + 64 * 1024);
  }

  // Closes and removes an unfinished temporary.
  void discard() {
    if (fd >= 0) {
      g_calls.close(fd);
      g_calls.unlink(temp.c_str());
      fd = -1;
    }
  }

  // The new file keeps the old one's owner and group, set before the bits since a change of
  // owner may clear set-id bits. A process that may not keep them (neither root nor the owner
  // in the file's group) fails the save and leaves the old file: anything else would lock its
  // owner out or open it to another group.
  void keep_ownership() {
    if (failed() || !target.exists) return;
    struct stat made {};
    if (::fstat(fd, &made) != 0) {
      error = errno;
    } else if ((made.st_uid != target.owner || made.st_gid != target.group) &&
               g_calls.fchown(fd, target.owner, target.group) != 0) {
      failure = fmt::format("cannot keep the state file's owner {} and group {}: {}", target.owner, target.group,
                            std::strerror(errno));
    }
  }

  std::expected<void, std::string> finish(const CliState& state) {
    if (!failed()) {
      end_document(writer, state);
      writer.drain();
    }
    // Bytes copied from the loaded file are only the state's if nobody changed that file since.
    const bool stale = source != nullptr && (source->damaged() || !source->unchanged());
    // A source that changed explains any failure of copying from it.
    if (stale) failure = "the state file was changed by another program while in use";
    if (!failed() && g_calls.fsync(fd) != 0) error = errno;
    keep_ownership();
    if (!failed() && g_calls.fchmod(fd, target.exists ? target.mode : creation_mode()) != 0) error = errno;
    if (fd >= 0) {
      // A failed close can be the first report of a failed write-back.
      if (g_calls.close(fd) != 0 && !failed() && errno != EINTR) error = errno;
      if (!failed() && g_calls.rename(temp.c_str(), target.path.c_str()) != 0) error = errno;
      if (failed()) g_calls.unlink(temp.c_str());
      fd = -1;
    }
    if (!failure.empty()) return std::unexpected(failure);
    if (error != 0) return system_error(error);

    // Make the rename itself durable. Some file systems cannot sync a folder (EINVAL); the
    // new file is in place either way.
    const std::string prefix = folder_prefix(target.path);
    const std::string folder = prefix.empty() ? std::string(".") : prefix;
    const int dir = g_calls.open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (dir < 0) return system_error(errno);
    int dir_error = 0;
    if (g_calls.fsync(dir) != 0 && errno != EINVAL) dir_error = errno;
    g_calls.close(dir);
    if (dir_error != 0) return system_error(dir_error);
    remove_stale_temporaries(folder, target.path.substr(prefix.size()));
    return {};
  }
};

StateSave::StateSave(const std::string& path, const CliState& state) : impl_(std::make_unique<Impl>()) {
  impl_->start(path);
  impl_->source = loaded_file(state);
  begin_document(impl_->writer);
  add_events(state.store.events);
}

StateSave::~StateSave() {
  if (impl_ != nullptr) impl_->discard();
}

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

// The events are recognised byte by byte and kept as the bytes they are; only the rest
// (rollups, indicators, rules, alerts) goes through the JSON reader, and must then write back
// exactly as it stands.
std::optional<CliState> recognize_state(std::string_view text) {
  constexpr std::string_view kHead = "{\n  \"store\": {\n    \"events\": [";
  if (!text.starts_with(kHead) || text.substr(kHead.size()).starts_with("]")) return std::nullopt;

  quenvistrel_aggregate::EventLog events;
  std::size_t pos = kHead.size();
  constexpr std::string_view kFirst = "\n      ";
  constexpr std::string_view kEnd = "\n    ]";
  static_assert(json::kStoredEventSeparator.substr(1) == kFirst);
  while (true) {
    const bool first = events.empty();
    if (!first && text.substr(pos).starts_with(kEnd)) break;
    const std::string_view lead = first ? kFirst : json::kStoredEventSeparator;
    if (!text.substr(pos).starts_with(lead)) return std::nullopt;
    pos += lead.size();
    std::int64_t occurred = 0;
    const std::size_t end = json::recognize_stored_event(text, pos, occurred);
    if (end == std::string_view::npos) return std::nullopt;
    events.append_encoded(text.substr(pos, end - pos), occurred, !first);
    pos = end;
  }

  // The rest, read as the same document with an empty event list.
  std::string rest;
  rest.reserve(kHead.size() + text.size() - pos);
  rest += kHead;
  rest.append(text.substr(pos + kEnd.size() - 1));
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
      &compare, std::size_t{1} << 20);
  json::Codec<CliState>::write(writer, *state);
  writer.drain();
  if (compare.at != rest.size() || writer.failed()) return std::nullopt;

  state->store.events = std::move(events);
  return std::move(*state);
}

std::expected<CliState, std::string> load_state(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    // Only a path that is not there (also when a folder part is a file) means no state yet;
    // anything else could hide an existing store that the next save would overwrite.
    if (errno == ENOENT || errno == ENOTDIR) return CliState{};
    return system_error(errno);
  }
  if (auto refused = not_regular(st.st_mode)) return std::unexpected(std::move(*refused));
  // A folder gives the system's own error for reading it.
  if (!S_ISREG(st.st_mode)) return json::read_json_file<CliState>(path);

  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return system_error(errno);
  struct stat opened {};
  if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
    ::close(fd);
    return json::read_json_file<CliState>(path);
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
  CliState state = std::move(*read);
  return checked(std::move(state));
}

std::expected<void, std::string> save_state(const std::string& path, const CliState& state) {
  return StateSave(path, state).finish(state);
}

StateLock& StateLock::operator=(StateLock&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

StateLock::~StateLock() {
  if (fd_ >= 0) ::close(fd_);  // closing the last descriptor releases the lock
}

std::expected<StateLock, std::string> lock_state_folder(const std::string& path) {
  auto target = resolve_target(path);
  if (!target) return std::unexpected(std::move(target.error()));
  const std::string prefix = folder_prefix(target->path);
  const std::string folder = prefix.empty() ? std::string(".") : prefix;
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return StateLock();
    return system_error(errno);
  }
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    const int error = errno;
    ::close(fd);
    return system_error(error);
  }
  return StateLock(fd);
}

SaveCalls& save_calls() { return g_calls; }
const SaveCalls& real_save_calls() { return kRealCalls; }

}  // namespace quenvistrel_cli
