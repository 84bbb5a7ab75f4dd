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

#include "quencore_contracts/random.hpp"
#include "quenvistrel_contracts/json/file.hpp"
#include "quenvistrel_contracts/json/records.hpp"

namespace quenvistrel_contracts::json {

template <>
struct RecordDecl<quenvistrel_aggregate::VistrelStore> {
  using Store = quenvistrel_aggregate::VistrelStore;
  static constexpr std::string_view name = "VistrelStore";
  static constexpr auto fields = std::tuple{
      field<&Store::events>("events"),
      field<&Store::rollups>("rollups"),
      field<&Store::indicators>("indicators"),
  };
};

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

std::unexpected<std::string> system_error(int error) { return std::unexpected(std::string(std::strerror(error))); }

constexpr SaveCalls kRealCalls{
    .open = [](const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); },
    .write = [](int fd, const void* data, std::size_t size) { return ::write(fd, data, size); },
    .fsync = [](int fd) { return ::fsync(fd); },
    .fchmod = [](int fd, mode_t mode) { return ::fchmod(fd, mode); },
    .fchown = [](int fd, uid_t owner, gid_t group) { return ::fchown(fd, owner, group); },
    .rename = [](const char* from, const char* to) { return ::rename(from, to); },
    .close = [](int fd) { return ::close(fd); },
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
  std::string hex;
  for (const std::byte b : bytes) fmt::format_to(std::back_inserter(hex), "{:02x}", static_cast<unsigned>(b));
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
  if (base.size() <= kRoom) return base;
  std::size_t end = kRoom;
  while (end > 0 && (static_cast<unsigned char>(base[end]) & 0xC0) == 0x80) --end;
  return base.substr(0, end);
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

// Renders the state straight into the file in chunks of about a MiB: one huge write makes the
// kernel hold back the writer until most of it has reached the disk, and a buffer the size
// of the file would cost as much memory again. 0 or the errno of the failed write.
int write_rendered(int fd, const CliState& state) {
  struct Sink {
    int fd;
    int error = 0;
  } sink{fd};
  std::string buffer;
  constexpr std::size_t kChunk = std::size_t{1} << 20;
  buffer.reserve(kChunk + 64 * 1024);
  json::PrettyWriter writer(
      buffer,
      [](void* context, std::string_view bytes) {
        auto* s = static_cast<Sink*>(context);
        s->error = write_all(s->fd, bytes);
        return s->error == 0;
      },
      &sink, kChunk);
  json::Codec<CliState>::write(writer, state);
  writer.drain();
  return sink.error;
}

// Writes the state to a fresh temporary beside the target and renames it over the target.
// The temporary is readable by the owner only until it holds everything.
std::expected<void, std::string> replace_file(const Target& target, const CliState& state) {
  const std::string prefix = folder_prefix(target.path);
  const std::string base = target.path.substr(prefix.size());
  auto suffix = random_suffix();
  if (!suffix) return std::unexpected(std::move(suffix.error()));
  const std::string temp = prefix + temp_name(base, ::getpid(), *suffix);

  const int fd = g_calls.open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return system_error(errno);

  int error = 0;
  {
    const IgnoreFileSizeSignal guard;
    error = write_rendered(fd, state);
  }
  if (error == 0 && g_calls.fsync(fd) != 0) error = errno;
  // The new file keeps the old one's owner and group, set before the bits since a change of
  // owner may clear set-id bits. A process that may not keep them (neither root nor the owner
  // in the file's group) fails the save and leaves the old file: anything else would lock its
  // owner out or open it to another group.
  bool ownership_kept = true;
  if (error == 0 && target.exists) {
    struct stat made {};
    if (::fstat(fd, &made) != 0) {
      error = errno;
    } else if ((made.st_uid != target.owner || made.st_gid != target.group) &&
               g_calls.fchown(fd, target.owner, target.group) != 0) {
      error = errno;
      ownership_kept = false;
    }
  }
  if (error == 0 && g_calls.fchmod(fd, target.exists ? target.mode : creation_mode()) != 0) error = errno;
  // A failed close can be the first report of a failed write-back.
  if (g_calls.close(fd) != 0 && error == 0 && errno != EINTR) error = errno;
  if (error == 0 && g_calls.rename(temp.c_str(), target.path.c_str()) != 0) error = errno;
  if (error != 0) {
    g_calls.unlink(temp.c_str());
    if (!ownership_kept) {
      return std::unexpected(fmt::format("cannot keep the state file's owner {} and group {}: {}", target.owner,
                                         target.group, std::strerror(error)));
    }
    return system_error(error);
  }

  // Make the rename itself durable. Some file systems cannot sync a folder (EINVAL); the
  // new file is in place either way.
  const std::string folder = prefix.empty() ? std::string(".") : prefix;
  const int dir = g_calls.open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (dir < 0) return system_error(errno);
  if (g_calls.fsync(dir) != 0 && errno != EINVAL) error = errno;
  g_calls.close(dir);
  if (error != 0) return system_error(error);
  remove_stale_temporaries(folder, base);
  return {};
}

}  // namespace

std::string render_state(const CliState& state) {
  // A rough size of the pretty text, so the buffer grows once at most.
  const std::size_t estimate = 256 + 720 * state.store.events.size() + 480 * state.store.rollups.size() +
                               640 * state.store.indicators.size() + 400 * state.rules.size() +
                               400 * state.alerts.size();
  std::string text;
  text.reserve(estimate);
  json::write_pretty(text, state);
  return text;
}

std::expected<CliState, std::string> parse_state(std::string_view text) { return json::read_json<CliState>(text); }

std::expected<CliState, std::string> load_state(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    // Only a path that is not there (also when a folder part is a file) means no state yet;
    // anything else could hide an existing store that the next save would overwrite.
    if (errno == ENOENT || errno == ENOTDIR) return CliState{};
    return system_error(errno);
  }
  if (auto refused = not_regular(st.st_mode)) return std::unexpected(std::move(*refused));
  return json::read_json_file<CliState>(path);
}

std::expected<void, std::string> save_state(const std::string& path, const CliState& state) {
  auto target = resolve_target(path);
  if (!target) return std::unexpected(std::move(target.error()));
  return replace_file(*target, state);
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
