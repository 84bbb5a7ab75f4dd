#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace quenvistrel_contracts::json {

// How much of a file the streamed readers take at a time: about a MiB, small enough to stay
// in cache and keep page faults off the read, large enough that the system calls do not count.
inline constexpr std::size_t READ_CHUNK = std::size_t{1} << 20;

// A file opened for reading, closed when this goes away. Errors are the system's text for the
// failure, e.g. "No such file or directory" or "Is a directory", without the path.
//
// Opening never waits. A FIFO is opened without waiting for a writer: one that has no writer
// when it is first read fails at once with NO_WRITER, while a pipe with a writer is read as
// its data comes (`validate schema.json <(generator)`).
class ReadableFile {
 public:
  static constexpr std::string_view NO_WRITER = "the pipe has no writer";

  [[nodiscard]] static std::expected<ReadableFile, std::string> open(const std::string& path);
  ReadableFile(ReadableFile&& other) noexcept;
  ReadableFile& operator=(ReadableFile&&) = delete;
  ReadableFile(const ReadableFile&) = delete;
  ReadableFile& operator=(const ReadableFile&) = delete;
  ~ReadableFile();

  // Up to `size` bytes from where the last read stopped; 0 at the end.
  [[nodiscard]] std::expected<std::size_t, std::string> read_some(char* data, std::size_t size);
  // The first `size` bytes (fewer when the input ends sooner). A regular file is read again
  // from its start; any other input cannot be, so the bytes read_some handed out are kept for
  // this, and what is still missing is read on.
  [[nodiscard]] std::expected<std::string, std::string> head(std::size_t size);
  // The whole content, read from the start.
  [[nodiscard]] std::expected<std::string, std::string> read_all() { return head(SIZE_MAX); }

 private:
  ReadableFile(int fd, bool regular, bool fifo) : fd_(fd), regular_(regular), fifo_(fifo) {}
  int fd_ = -1;
  bool regular_ = false;
  bool fifo_ = false;
  bool writer_seen_ = false;  // a FIFO read has found data or waited for a writer
  std::string kept_;          // what read_some handed out, for an input that is not regular
};

// The whole file in one buffer.
[[nodiscard]] std::expected<std::string, std::string> read_file(const std::string& path);

}  // namespace quenvistrel_contracts::json
