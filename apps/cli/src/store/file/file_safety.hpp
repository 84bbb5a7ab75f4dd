#pragma once

// What keeps the state file whole and private whatever happens around it, apart from what the
// file holds: a file replaced atomically, an advisory lock on a folder, a file mapped so that
// another program shrinking it cannot kill the process.

#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <expected>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "quenvistrel_aggregate/event_log.hpp"

namespace quenvistrel_cli {

// The system calls a file replacement makes. The tool always uses real_file_calls(); tests
// hand a replacement calls that fail on purpose, so nothing can change at run time what the
// tool itself calls.
struct FileCalls {
  int (*open)(const char* path, int flags, mode_t mode);
  ssize_t (*write)(int fd, const void* data, std::size_t size);
  int (*fsync)(int fd);
  int (*fchmod)(int fd, mode_t mode);
  int (*fchown)(int fd, uid_t owner, gid_t group);
  int (*rename)(const char* from, const char* to);
  int (*close)(int fd);
  ssize_t (*copy_file_range)(int from, off_t* from_offset, int to, off_t* to_offset, std::size_t size,
                             unsigned flags);
  int (*unlink)(const char* path);
};
[[nodiscard]] const FileCalls& real_file_calls();

// The file a replacement of `path` replaces: the path itself or, for a symbolic link, the file
// at the end of its chain, so that the link stays a link. `mode` is the whole st_mode of an
// existing file (type and permission bits).
struct ReplaceTarget {
  std::string path;
  bool exists = false;
  mode_t mode = 0;
  uid_t owner = 0;
  gid_t group = 0;
};
[[nodiscard]] std::expected<ReplaceTarget, std::string> resolve_replace_target(const std::string& path);

// "dir/" for "dir/name", "" for a bare name.
[[nodiscard]] std::string folder_prefix(const std::string& path);

// A new content for a file, written into a private temporary beside it (".{name}.tmp.{pid}.
// {16 hex}"), synced, given the old file's owner, group and permission bits (a new file gets
// 0666 less the umask) and renamed over it, then the folder synced and the temporaries of
// killed replacements swept away. The first failure is kept; every later step does nothing,
// and commit() reports it. A replacement that is not committed leaves nothing behind.
class FileReplacement {
 public:
  // `noun` names the file in the one message that is not the system's ("the state file").
  FileReplacement(const ReplaceTarget& target, const FileCalls& calls, std::string_view noun);
  FileReplacement(const FileReplacement&) = delete;
  FileReplacement& operator=(const FileReplacement&) = delete;
  ~FileReplacement();

  // The write-back of what was written is started every 32 MiB, so the final fsync waits only
  // for the last stretch.
  void write(std::string_view bytes);
  // Copies `bytes`, which are the bytes at `offset` of the open file `from`, inside the kernel;
  // where the file systems cannot, writes them. A run that lies at the same place within a
  // block in both files is copied from its first block boundary to its last, its ragged ends
  // written, so that a file system that shares blocks between files clones them.
  void copy(int from, off_t offset, std::string_view bytes);
  // While set, told how many bytes the new file holds after each slice written or copied.
  void watch(std::function<void(std::uint64_t written)> meter) { meter_ = std::move(meter); }
  // A failure found by the caller; it replaces any failure kept so far.
  void fail(std::string message);
  [[nodiscard]] bool failed() const { return error_ != 0 || !failure_.empty(); }
  [[nodiscard]] std::expected<void, std::string> commit();

 private:
  void advance(std::size_t bytes);
  void copy_range(int from, off_t offset, std::string_view bytes);
  void keep_ownership();
  void discard();

  ReplaceTarget target_;
  const FileCalls& calls_;
  std::string noun_;
  std::string temp_;
  int fd_ = -1;
  int error_ = 0;
  std::string failure_;  // a failure that is not an errno
  off_t written_ = 0;    // bytes in the temporary so far
  off_t flushed_ = 0;    // of which write-back was started
  off_t block_ = 4096;   // the new file's block size
  std::function<void(std::uint64_t)> meter_;
  struct sigaction previous_xfsz_ {};
  bool xfsz_ignored_ = false;
};

// An exclusive advisory lock (flock) on a folder, held until this goes away. Nothing is
// created, and the kernel drops the lock when the process ends, however it ends.
class FolderLock {
 public:
  FolderLock() = default;
  FolderLock(FolderLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FolderLock& operator=(FolderLock&& other) noexcept;
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;
  ~FolderLock();

  [[nodiscard]] bool held() const { return fd_ >= 0; }

 private:
  friend std::expected<FolderLock, std::string> lock_folder(const std::string& folder);
  explicit FolderLock(int fd) : fd_(fd) {}
  int fd_ = -1;
};

// Waits for the lock of `folder`. A folder that does not exist gives an unheld lock; any other
// failure is the system's text after the folder's name.
[[nodiscard]] std::expected<FolderLock, std::string> lock_folder(const std::string& folder);

// A regular file mapped read-only, its descriptor kept open so that ranges of it can be copied
// without reading them. What points into it keeps it alive (it is the owner of loaded events).
//
// Another program may shrink the file while it is mapped; reading a page past the new end
// would then kill the process with SIGBUS. Such a page is replaced by one of zeros instead and
// the mapping counts as damaged: whoever read it checks damaged() before trusting the bytes.
class MappedFile final : public quenvistrel_aggregate::EventBytes {
 public:
  // `fd` is an open regular file, taken over; `st` its status.
  [[nodiscard]] static std::expected<std::shared_ptr<MappedFile>, std::string> map(int fd, const struct stat& st);
  ~MappedFile() override;

  [[nodiscard]] std::string_view bytes() const { return {data_, size_}; }
  [[nodiscard]] int fd() const { return fd_; }
  // Whether `text` lies inside the mapped bytes; its offset in the file is then
  // text.data() - bytes().data().
  [[nodiscard]] bool holds(std::string_view text) const {
    return size_ != 0 && text.data() >= data_ && text.data() + text.size() <= data_ + size_;
  }
  // A page went missing because the file shrank.
  [[nodiscard]] bool damaged() const;
  // The file on disk still has the size and times it had when it was mapped.
  [[nodiscard]] bool unchanged() const;

 private:
  MappedFile(int fd, const struct stat& st, const char* data, std::size_t size, int slot);

  int fd_;
  struct stat st_;
  const char* data_;
  std::size_t size_;
  int slot_;  // in the table the SIGBUS handler looks at, or -1
};

}  // namespace quenvistrel_cli
