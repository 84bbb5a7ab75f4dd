#pragma once

#include <expected>
#include <string>

namespace quenvistrel_contracts::json {

// A file opened for reading, closed when this goes away. Errors are the system's text for the
// failure, e.g. "No such file or directory" or "Is a directory", without the path.
class ReadableFile {
 public:
  [[nodiscard]] static std::expected<ReadableFile, std::string> open(const std::string& path);
  ReadableFile(ReadableFile&& other) noexcept;
  ReadableFile& operator=(ReadableFile&&) = delete;
  ReadableFile(const ReadableFile&) = delete;
  ReadableFile& operator=(const ReadableFile&) = delete;
  ~ReadableFile();

  [[nodiscard]] int fd() const { return fd_; }
  // The whole content, read from the start.
  [[nodiscard]] std::expected<std::string, std::string> read_all();

 private:
  explicit ReadableFile(int fd) : fd_(fd) {}
  int fd_ = -1;
};

// The whole file in one buffer.
[[nodiscard]] std::expected<std::string, std::string> read_file(const std::string& path);

}  // namespace quenvistrel_contracts::json
