#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "quenvistrel_contracts/json/file.hpp"

namespace quenvistrel_contracts::json {

namespace {

std::unexpected<std::string> system_error(int error) { return std::unexpected(std::string(std::strerror(error))); }

}  // namespace

std::expected<ReadableFile, std::string> ReadableFile::open(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return system_error(errno);
  return ReadableFile(fd);
}

ReadableFile::ReadableFile(ReadableFile&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

ReadableFile::~ReadableFile() {
  if (fd_ >= 0) ::close(fd_);
}

std::expected<std::string, std::string> ReadableFile::read_all() {
  if (::lseek(fd_, 0, SEEK_SET) < 0 && errno != ESPIPE) return system_error(errno);
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return system_error(errno);
  // The size is a hint: the loop reads until the end whatever the file holds by then.
  std::size_t capacity = st.st_size > 0 ? static_cast<std::size_t>(st.st_size) + 1 : 4096;
  std::string data;
  std::size_t used = 0;
  while (true) {
    if (used == capacity) capacity *= 2;
    // Uninitialised growth: the bytes are overwritten by read() at once.
    data.resize_and_overwrite(capacity, [](char*, std::size_t n) { return n; });
    const ssize_t got = ::read(fd_, data.data() + used, capacity - used);
    if (got < 0) {
      if (errno == EINTR) continue;
      return system_error(errno);
    }
    if (got == 0) break;
    used += static_cast<std::size_t>(got);
  }
  data.resize(used);
  return data;
}

std::expected<std::string, std::string> read_file(const std::string& path) {
  auto file = ReadableFile::open(path);
  if (!file) return std::unexpected(std::move(file.error()));
  return file->read_all();
}

}  // namespace quenvistrel_contracts::json
