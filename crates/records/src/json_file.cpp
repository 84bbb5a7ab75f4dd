#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "quencore_error/system_error.hpp"
#include "quenvistrel_contracts/json/file.hpp"

namespace quenvistrel_contracts::json {

using quencore_error::system_error;

std::expected<ReadableFile, std::string> ReadableFile::open(const std::string& path) {
  // O_NONBLOCK only so that opening a FIFO does not wait for a writer; reads wait again as
  // soon as a writer is known to be there (see read_some).
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return system_error(errno);
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int error = errno;
    ::close(fd);
    return system_error(error);
  }
  const bool fifo = S_ISFIFO(st.st_mode);
  if (!fifo) {
    // Anything else (a terminal, say) is read the ordinary, waiting way.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  }
  return ReadableFile(fd, S_ISREG(st.st_mode), fifo);
}

ReadableFile::ReadableFile(ReadableFile&& other) noexcept
    : fd_(other.fd_),
      regular_(other.regular_),
      fifo_(other.fifo_),
      writer_seen_(other.writer_seen_),
      kept_(std::move(other.kept_)) {
  other.fd_ = -1;
}

ReadableFile::~ReadableFile() {
  if (fd_ >= 0) ::close(fd_);
}

std::expected<std::size_t, std::string> ReadableFile::read_some(char* data, std::size_t size) {
  while (true) {
    const ssize_t got = ::read(fd_, data, size);
    if (got < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN && fifo_) {
        // A writer holds the pipe open but has not written yet: wait for it from now on.
        writer_seen_ = true;
        const int flags = ::fcntl(fd_, F_GETFL);
        if (flags < 0 || ::fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK) != 0) return system_error(errno);
        continue;
      }
      return system_error(errno);
    }
    // The end at the very first read of a FIFO that never showed a writer: nobody has it
    // open for writing, and waiting could last for ever.
    if (got == 0 && fifo_ && !writer_seen_) return std::unexpected(std::string(NO_WRITER));
    if (fifo_) writer_seen_ = true;
    const auto n = static_cast<std::size_t>(got);
    if (!regular_) kept_.append(data, n);
    return n;
  }
}

std::expected<std::string, std::string> ReadableFile::head(std::size_t size) {
  std::string text;
  if (!regular_) {
    char chunk[1 << 16];
    while (kept_.size() < size) {
      auto got = read_some(chunk, std::min(sizeof chunk, size - kept_.size()));
      if (!got) return std::unexpected(std::move(got.error()));
      if (*got == 0) break;
    }
    return kept_.substr(0, size);
  }
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return system_error(errno);
  // The size is a hint: the loop reads until `size` or the end, whatever the file holds by then.
  std::size_t capacity = std::min(size, st.st_size > 0 ? static_cast<std::size_t>(st.st_size) + 1 : 4096);
  std::size_t used = 0;
  while (used < size) {
    if (used == capacity) capacity = std::min(size, capacity * 2);
    // Uninitialised growth: the bytes are overwritten by pread() at once.
    text.resize_and_overwrite(capacity, [](char*, std::size_t n) { return n; });
    const ssize_t got = ::pread(fd_, text.data() + used, capacity - used, static_cast<off_t>(used));
    if (got < 0) {
      if (errno == EINTR) continue;
      return system_error(errno);
    }
    if (got == 0) break;
    used += static_cast<std::size_t>(got);
  }
  text.resize(used);
  return text;
}

std::expected<std::string, std::string> read_file(const std::string& path) {
  auto file = ReadableFile::open(path);
  if (!file) return std::unexpected(std::move(file.error()));
  return file->read_all();
}

}  // namespace quenvistrel_contracts::json
