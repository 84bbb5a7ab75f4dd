#include "store/file/file_safety.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include <fmt/format.h>

#include "quencore_contracts/echo.hpp"
#include "quencore_contracts/hex.hpp"
#include "quencore_contracts/random.hpp"
#include "quencore_contracts/utf8.hpp"
#include "quencore_error/system_error.hpp"

namespace quenvistrel_cli {

namespace {

using quencore_error::system_error;

constexpr FileCalls kRealCalls{
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

}  // namespace

const FileCalls& real_file_calls() { return kRealCalls; }

std::string folder_prefix(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::expected<ReplaceTarget, std::string> resolve_replace_target(const std::string& path) {
  std::string current = path;
  // The kernel's own limit on links followed in one lookup.
  for (int hops = 0;; ++hops) {
    struct stat st {};
    if (::lstat(current.c_str(), &st) != 0) {
      if (errno == ENOENT || errno == ENOTDIR) return ReplaceTarget{current, false, 0, 0, 0};
      return system_error(errno);
    }
    if (!S_ISLNK(st.st_mode)) return ReplaceTarget{current, true, st.st_mode, st.st_uid, st.st_gid};
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


// ---- Replacing a file ------------------------------------------------------------------

FileReplacement::FileReplacement(const ReplaceTarget& target, const FileCalls& calls, std::string_view noun)
    : target_(target), calls_(calls), noun_(noun) {
  // With a file-size limit the kernel would kill the process on the write that crosses it;
  // ignoring the signal turns that into EFBIG, reported like any other write failure.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  xfsz_ignored_ = ::sigaction(SIGXFSZ, &ignore, &previous_xfsz_) == 0;

  const std::string prefix = folder_prefix(target_.path);
  auto suffix = random_suffix();
  if (!suffix) {
    failure_ = std::move(suffix.error());
    return;
  }
  temp_ = prefix + temp_name(target_.path.substr(prefix.size()), ::getpid(), *suffix);
  fd_ = calls_.open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd_ < 0) {
    error_ = errno;
    return;
  }
  struct stat st {};
  // A power of two, as block sizes are; anything else keeps the common 4 KiB.
  if (::fstat(fd_, &st) == 0 && st.st_blksize >= 512 && (st.st_blksize & (st.st_blksize - 1)) == 0) {
    block_ = st.st_blksize;
  }
}

FileReplacement::~FileReplacement() {
  discard();
  if (xfsz_ignored_) ::sigaction(SIGXFSZ, &previous_xfsz_, nullptr);
}

void FileReplacement::discard() {
  if (fd_ >= 0) {
    calls_.close(fd_);
    calls_.unlink(temp_.c_str());
    fd_ = -1;
  }
}

void FileReplacement::fail(std::string message) { failure_ = std::move(message); }

void FileReplacement::advance(std::size_t bytes) {
  constexpr off_t kWriteBack = off_t{32} << 20;
  written_ += static_cast<off_t>(bytes);
  if (written_ - flushed_ >= kWriteBack) {
    ::sync_file_range(fd_, flushed_, written_ - flushed_, SYNC_FILE_RANGE_WRITE);
    flushed_ = written_;
  }
  if (meter_) meter_(static_cast<std::uint64_t>(written_));
}

void FileReplacement::write(std::string_view bytes) {
  // In slices, so that the write-back of a long run starts while it is still being written.
  constexpr std::size_t kSlice = std::size_t{32} << 20;
  while (!bytes.empty() && !failed()) {
    const std::string_view slice = bytes.substr(0, kSlice);
    std::string_view rest = slice;
    while (!rest.empty()) {
      const ssize_t n = calls_.write(fd_, rest.data(), rest.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        error_ = errno;
        return;
      }
      if (n == 0) {
        error_ = EIO;
        return;
      }
      rest.remove_prefix(static_cast<std::size_t>(n));
    }
    advance(slice.size());
    bytes.remove_prefix(slice.size());
  }
}

void FileReplacement::copy(int from, off_t offset, std::string_view bytes) {
  if (failed()) return;
  if (offset % block_ != written_ % block_) {
    copy_range(from, offset, bytes);
    return;
  }
  const auto head = std::min(bytes.size(), static_cast<std::size_t>((block_ - offset % block_) % block_));
  write(bytes.substr(0, head));
  bytes.remove_prefix(head);
  const std::size_t blocks = bytes.size() - bytes.size() % static_cast<std::size_t>(block_);
  copy_range(from, offset + static_cast<off_t>(head), bytes.substr(0, blocks));
  write(bytes.substr(blocks));
}

void FileReplacement::copy_range(int from, off_t offset, std::string_view bytes) {
  constexpr std::size_t kSlice = std::size_t{32} << 20;
  while (!bytes.empty() && !failed()) {
    const std::size_t size = std::min(bytes.size(), kSlice);
    std::size_t left = size;
    while (left > 0) {
      const ssize_t n = calls_.copy_file_range(from, &offset, fd_, nullptr, left, 0);
      if (n < 0) {
        if (errno == EINTR) continue;
        // Some file systems cannot copy between these files: write the same bytes instead.
        if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) {
          write(bytes.substr(size - left));
          return;
        }
        error_ = errno;
        return;
      }
      // The source ends early: another program shrank it.
      if (n == 0) {
        error_ = EIO;
        return;
      }
      left -= static_cast<std::size_t>(n);
    }
    advance(size);
    bytes.remove_prefix(size);
  }
}

// The new file keeps the old one's owner and group, set before the bits since a change of
// owner may clear set-id bits. A process that may not keep them (neither root nor the owner
// in the file's group) fails the replacement and leaves the old file: anything else would lock
// its owner out or open it to another group.
void FileReplacement::keep_ownership() {
  if (failed() || !target_.exists) return;
  struct stat made {};
  if (::fstat(fd_, &made) != 0) {
    error_ = errno;
  } else if ((made.st_uid != target_.owner || made.st_gid != target_.group) &&
             calls_.fchown(fd_, target_.owner, target_.group) != 0) {
    failure_ = fmt::format("cannot keep {}'s owner {} and group {}: {}", noun_, target_.owner, target_.group,
                           quencore_error::errno_text(errno));
  }
}

std::expected<void, std::string> FileReplacement::commit() {
  if (!failed() && calls_.fsync(fd_) != 0) error_ = errno;
  keep_ownership();
  const mode_t bits = target_.exists ? static_cast<mode_t>(target_.mode & 07777) : creation_mode();
  if (!failed() && calls_.fchmod(fd_, bits) != 0) error_ = errno;
  if (fd_ >= 0) {
    // A failed close can be the first report of a failed write-back.
    if (calls_.close(fd_) != 0 && !failed() && errno != EINTR) error_ = errno;
    if (!failed() && calls_.rename(temp_.c_str(), target_.path.c_str()) != 0) error_ = errno;
    if (failed()) calls_.unlink(temp_.c_str());
    fd_ = -1;
  }
  if (!failure_.empty()) return std::unexpected(failure_);
  if (error_ != 0) return system_error(error_);

  // Make the rename itself durable. Some file systems cannot sync a folder (EINVAL); the new
  // file is in place either way.
  const std::string prefix = folder_prefix(target_.path);
  const std::string folder = prefix.empty() ? std::string(".") : prefix;
  const int dir = calls_.open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (dir < 0) return system_error(errno);
  int dir_error = 0;
  if (calls_.fsync(dir) != 0 && errno != EINVAL) dir_error = errno;
  calls_.close(dir);
  if (dir_error != 0) return system_error(dir_error);
  remove_stale_temporaries(folder, target_.path.substr(prefix.size()));
  return {};
}

// ---- Locking a folder -------------------------------------------------------------------

FolderLock& FolderLock::operator=(FolderLock&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

FolderLock::~FolderLock() {
  if (fd_ >= 0) ::close(fd_);  // closing the last descriptor releases the lock
}

std::expected<FolderLock, std::string> lock_folder(const std::string& folder) {
  // The lock is the tool's own step, so its failure says which folder it concerns.
  const auto failed = [&folder](int error) {
    return std::unexpected(fmt::format("cannot lock the folder {}: {}", quencore_contracts::escape_controls(folder),
                                       quencore_error::errno_text(error)));
  };
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return FolderLock();
    return failed(errno);
  }
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    const int error = errno;
    ::close(fd);
    return failed(error);
  }
  return FolderLock(fd);
}

// ---- Mapping a file ---------------------------------------------------------------------

namespace {

// The mappings the SIGBUS handler may mend. A run maps one state file; a few slots leave room
// for tests that hold several.
struct Slot {
  std::atomic<std::uintptr_t> base{0};
  std::atomic<std::size_t> size{0};
  volatile sig_atomic_t damaged = 0;
};
constexpr int kSlots = 8;
Slot g_slots[kSlots];
struct sigaction g_previous {};
std::uintptr_t g_page = 4096;
bool g_installed = false;

void on_sigbus(int signal, siginfo_t* info, void* context) {
  const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
  for (Slot& slot : g_slots) {
    const std::uintptr_t base = slot.base.load(std::memory_order_relaxed);
    if (base == 0 || address < base || address - base >= slot.size.load(std::memory_order_relaxed)) continue;
    // A page of zeros where the file's page was: the read goes on, and the owner of the
    // mapping learns from damaged() that the bytes are not the file's.
    void* page = reinterpret_cast<void*>(address & ~(g_page - 1));
    if (::mmap(page, g_page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED) {
      slot.damaged = 1;
      return;
    }
  }
  // Not one of ours: whatever would have happened without this handler.
  if ((g_previous.sa_flags & SA_SIGINFO) != 0 && g_previous.sa_sigaction != nullptr) {
    g_previous.sa_sigaction(signal, info, context);
    return;
  }
  if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN && g_previous.sa_handler != nullptr) {
    g_previous.sa_handler(signal);
    return;
  }
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  ::sigaction(SIGBUS, &fallback, nullptr);  // the fault repeats and ends the process
}

void install_handler() {
  if (g_installed) return;
  g_page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  struct sigaction action {};
  action.sa_sigaction = &on_sigbus;
  action.sa_flags = SA_SIGINFO | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  if (::sigaction(SIGBUS, &action, &g_previous) == 0) g_installed = true;
}

int claim_slot(const char* data, std::size_t size) {
  for (int i = 0; i < kSlots; ++i) {
    Slot& slot = g_slots[i];
    if (slot.base.load(std::memory_order_relaxed) != 0) continue;
    slot.damaged = 0;
    // Whole pages: a read anywhere in the last page past the end faults alike.
    slot.size.store((size + g_page - 1) & ~(g_page - 1), std::memory_order_relaxed);
    slot.base.store(reinterpret_cast<std::uintptr_t>(data), std::memory_order_release);
    return i;
  }
  return -1;
}

}  // namespace

std::expected<std::shared_ptr<MappedFile>, std::string> MappedFile::map(int fd, const struct stat& st) {
  const auto size = static_cast<std::size_t>(st.st_size);
  if (size == 0) return std::shared_ptr<MappedFile>(new MappedFile(fd, st, nullptr, 0, -1));
  install_handler();
  void* data = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  if (data == MAP_FAILED) {
    const int error = errno;
    ::close(fd);
    return system_error(error);
  }
  // Read front to back once; the kernel may read ahead generously and drop pages behind.
  ::madvise(data, size, MADV_SEQUENTIAL);
  const auto* bytes = static_cast<const char*>(data);
  const int slot = claim_slot(bytes, size);
  if (slot < 0) {
    ::munmap(data, size);
    ::close(fd);
    return system_error(EMFILE);
  }
  return std::shared_ptr<MappedFile>(new MappedFile(fd, st, bytes, size, slot));
}

MappedFile::MappedFile(int fd, const struct stat& st, const char* data, std::size_t size, int slot)
    : fd_(fd), st_(st), data_(data), size_(size), slot_(slot) {}

MappedFile::~MappedFile() {
  if (slot_ >= 0) g_slots[slot_].base.store(0, std::memory_order_release);
  if (data_ != nullptr) ::munmap(const_cast<char*>(data_), size_);
  if (fd_ >= 0) ::close(fd_);
}

bool MappedFile::damaged() const { return slot_ >= 0 && g_slots[slot_].damaged != 0; }

bool MappedFile::unchanged() const {
  struct stat now {};
  if (::fstat(fd_, &now) != 0) return false;
  return now.st_size == st_.st_size && now.st_mtim.tv_sec == st_.st_mtim.tv_sec &&
         now.st_mtim.tv_nsec == st_.st_mtim.tv_nsec && now.st_ctim.tv_sec == st_.st_ctim.tv_sec &&
         now.st_ctim.tv_nsec == st_.st_ctim.tv_nsec;
}

}  // namespace quenvistrel_cli
