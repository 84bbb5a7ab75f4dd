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

std::expected<std::string, std::string> read_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return system_error(errno);
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int error = errno;
    ::close(fd);
    return system_error(error);
  }
  // The size is a hint: the loop reads until the end whatever the file holds by then.
  std::size_t capacity = st.st_size > 0 ? static_cast<std::size_t>(st.st_size) + 1 : 4096;
  std::string data;
  std::size_t used = 0;
  int error = 0;
  while (true) {
    if (used == capacity) capacity *= 2;
    // Uninitialised growth: the bytes are overwritten by read() at once.
    data.resize_and_overwrite(capacity, [used](char*, std::size_t n) { return n; });
    const ssize_t got = ::read(fd, data.data() + used, capacity - used);
    if (got < 0) {
      if (errno == EINTR) continue;
      error = errno;
      break;
    }
    if (got == 0) break;
    used += static_cast<std::size_t>(got);
  }
  ::close(fd);
  if (error != 0) return system_error(error);
  data.resize(used);
  return data;
}

}  // namespace quenvistrel_contracts::json
