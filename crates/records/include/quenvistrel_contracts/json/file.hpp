#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace quenvistrel_contracts::json {

// How much of a file the streamed readers take at a time: about a MiB, small enough to stay
// in cache and keep page faults off the read, large enough that the system calls do not count.
inline constexpr std::size_t READ_CHUNK = std::size_t{1} << 20;

// Asked by a file's reads, for a reader that must act while its input is slow, or end it early
// (a pipeline's batches, a signal): before each read, and again each time `wait_ms` passes
// without input on a stream.
class ReadPacer {
 public:
  ReadPacer() = default;
  ReadPacer(const ReadPacer&) = delete;
  ReadPacer& operator=(const ReadPacer&) = delete;
  virtual ~ReadPacer() = default;

  // How long to wait for input before asking proceed() again; negative waits until it comes
  // (a signal interrupts the wait and asks again).
  [[nodiscard]] virtual int wait_ms() = 0;
  // Whether to go on reading: false ends the input here as if it had ended there.
  [[nodiscard]] virtual bool proceed() = 0;
};

// A fixture opened for reading, closed when this goes away. Errors are the system's text for
// the failure, e.g. "No such file or directory" or "Is a directory", without the path.
//
// Opening never waits. A FIFO is opened without waiting for a writer: one that has no writer
// when it is first read fails at once with NO_WRITER, while a pipe with a writer is read as
// its data comes (`validate schema.json <(generator)`).
//
// Input that starts with the gzip or the zstd magic is decompressed as it is read: every
// reader sees, and every position counts, the decompressed text. Neither magic can begin JSON
// text, so no input that is read as JSON changes meaning. A corrupt or cut-off stream is an
// error like a failed read ("corrupt gzip data (…)", "truncated zstd data").
class ReadableFile {
 public:
  static constexpr std::string_view NO_WRITER = "the pipe has no writer";

  [[nodiscard]] static std::expected<ReadableFile, std::string> open(const std::string& path);
  // Standard input, which is read as a stream whatever it is (its offset is the caller's).
  [[nodiscard]] static std::expected<ReadableFile, std::string> standard_input();
  ReadableFile(ReadableFile&& other) noexcept;
  ReadableFile& operator=(ReadableFile&&) = delete;
  ReadableFile(const ReadableFile&) = delete;
  ReadableFile& operator=(const ReadableFile&) = delete;
  ~ReadableFile();

  // Up to `size` bytes from where the last read stopped; 0 at the end.
  [[nodiscard]] std::expected<std::size_t, std::string> read_some(char* data, std::size_t size);
  // The whole content: a regular file's from its start, any other input's from where its
  // reading stands.
  [[nodiscard]] std::expected<std::string, std::string> read_all();
  // Whether reread() can give the text again: a regular file, not a stream.
  [[nodiscard]] bool rereadable() const { return regular_; }
  // Hands the text of a regular file from its start, piece by piece, to `sink` until it
  // returns false or the text ends; read_some is not disturbed.
  [[nodiscard]] std::expected<void, std::string> reread(const std::function<bool(std::string_view)>& sink);
  // From now on hands every piece read_some hands out to `tap` as well (for a stream, whose
  // text cannot be read again); an empty function stops it.
  void tap(std::function<void(std::string_view)> tap) { tap_ = std::move(tap); }
  // From now on adds the count of the file's own bytes read (compressed ones, for compressed
  // input) to `*counter`, for a caller that shows progress.
  void count_into(std::uint64_t* counter) { counted_ = counter; }
  // From now on asks `pacer` before each read (none when null).
  void pace(ReadPacer* pacer) { pacer_ = pacer; }
  // Whether the pacer ended the input: the text read so far may stop in the middle of a value.
  [[nodiscard]] bool stopped() const { return stopped_; }
  // The file's size when it is a regular file, else 0.
  [[nodiscard]] std::uint64_t size() const { return size_; }

  // The first byte of the text that is not JSON whitespace, or -1 for a text of whitespace
  // only; nothing is consumed, read_some still starts at the beginning.
  [[nodiscard]] std::expected<int, std::string> first_non_space();

  struct Decoder;  // a decompressing stream, json_file.cpp

 private:
  ReadableFile(int fd, bool regular, bool fifo, std::uint64_t size = 0);
  // The file's own bytes, from where their reading stands.
  std::expected<std::size_t, std::string> read_raw(char* data, std::size_t size);
  // Asks the pacer whether to read on, waiting for a stream's input as it says; false once it
  // ended the input.
  bool paced();
  // The text's bytes, from where its reading stands, without keeping or look-ahead.
  std::expected<std::size_t, std::string> read_text(char* data, std::size_t size);
  // Reads the first bytes of the file, enough to tell whether it is compressed.
  std::expected<void, std::string> sniff();

  int fd_ = -1;
  bool regular_ = false;
  bool fifo_ = false;
  bool writer_seen_ = false;  // a FIFO read has found data or waited for a writer
  bool sniffed_ = false;
  std::string raw_;           // the file's first bytes, read to sniff, not yet handed on
  std::size_t raw_at_ = 0;
  std::unique_ptr<Decoder> decoder_;  // set for compressed input
  std::string ahead_;         // text read by first_non_space, not yet handed out
  std::size_t ahead_at_ = 0;
  std::function<void(std::string_view)> tap_;
  std::uint64_t size_ = 0;
  std::uint64_t* counted_ = nullptr;
  ReadPacer* pacer_ = nullptr;
  bool stopped_ = false;
};

// The whole file in one buffer.
[[nodiscard]] std::expected<std::string, std::string> read_file(const std::string& path);

}  // namespace quenvistrel_contracts::json
