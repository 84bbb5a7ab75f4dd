#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include <fmt/format.h>

#include "quencore_error/system_error.hpp"
#include "quenvistrel_contracts/json/file.hpp"
#include "json_syntax.hpp"

namespace quenvistrel_contracts::json {

using quencore_error::system_error;

namespace {

// Compressed input is taken from the file in pieces of this size.
constexpr std::size_t kRawChunk = std::size_t{1} << 17;

enum class Compression : std::uint8_t { None, Gzip, Zstd };

Compression compression_of(std::string_view first) {
  if (first.size() >= 2 && first[0] == '\x1f' && first[1] == '\x8b') return Compression::Gzip;
  if (first.size() >= 4 && first.substr(0, 4) == std::string_view("\x28\xb5\x2f\xfd", 4)) return Compression::Zstd;
  return Compression::None;
}

}  // namespace

// One gzip or zstd stream being decompressed: the compressed bytes not yet used and the
// decompressor's state. Concatenated gzip members and zstd frames read as one text, as the
// tools that write them mean them to.
struct ReadableFile::Decoder {
  explicit Decoder(Compression kind) : kind(kind) {
    if (kind == Compression::Gzip) {
      // 16 + 15: a gzip wrapper around a window of any size.
      ok = inflateInit2(&gzip, 16 + 15) == Z_OK;
    } else {
      zstd = ZSTD_createDStream();
      ok = zstd != nullptr;
    }
  }
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;
  ~Decoder() {
    if (kind == Compression::Gzip) {
      if (ok) inflateEnd(&gzip);
    } else {
      ZSTD_freeDStream(zstd);
    }
  }

  // Decompresses what `in` holds into `out`; 0 when more input is needed first.
  std::expected<std::size_t, std::string> run(char* out, std::size_t size) {
    if (!ok) return std::unexpected(std::string("cannot decompress: out of memory"));
    std::size_t produced = 0;
    if (kind == Compression::Gzip) {
      gzip.next_out = reinterpret_cast<Bytef*>(out);
      while (produced < size && at < in.size()) {
        gzip.next_in = reinterpret_cast<Bytef*>(in.data() + at);
        gzip.avail_in = static_cast<uInt>(std::min<std::size_t>(in.size() - at, UINT32_MAX));
        gzip.avail_out = static_cast<uInt>(std::min<std::size_t>(size - produced, UINT32_MAX));
        const uInt before_in = gzip.avail_in;
        const uInt before_out = gzip.avail_out;
        const int status = inflate(&gzip, Z_NO_FLUSH);
        at += before_in - gzip.avail_in;
        produced += before_out - gzip.avail_out;
        if (status == Z_STREAM_END) {
          ended = true;
          // Another member may follow; anything else fails as a bad header.
          if (at < in.size()) inflateReset(&gzip);
          continue;
        }
        if (status == Z_OK) {
          ended = false;
          continue;
        }
        if (status == Z_BUF_ERROR) break;  // no progress without more input
        return std::unexpected(fmt::format("corrupt gzip data ({})", gzip.msg != nullptr ? gzip.msg : "unreadable"));
      }
      return produced;
    }
    ZSTD_inBuffer input{in.data() + at, in.size() - at, 0};
    ZSTD_outBuffer output{out, size, 0};
    while (output.pos < output.size) {
      const std::size_t before_in = input.pos;
      const std::size_t before_out = output.pos;
      const std::size_t status = ZSTD_decompressStream(zstd, &output, &input);
      if (ZSTD_isError(status) != 0) {
        return std::unexpected(fmt::format("corrupt zstd data ({})", ZSTD_getErrorName(status)));
      }
      // A call that moved nothing tells nothing about the stream (after a whole frame it asks
      // for the next one's header).
      if (input.pos == before_in && output.pos == before_out) break;
      ended = status == 0;
    }
    at += input.pos;
    return output.pos;
  }

  // Decompresses into `out`, taking more compressed bytes from `pull` as needed; 0 only at
  // the end of the whole input, which must also be the end of a stream.
  template <class Pull>
  std::expected<std::size_t, std::string> read(char* out, std::size_t size, Pull&& pull) {
    while (true) {
      auto got = run(out, size);
      if (!got || *got > 0) return got;
      if (input_ended) {
        if (ended && at == in.size()) return 0;
        return std::unexpected(std::string(kind == Compression::Gzip ? "truncated gzip data" : "truncated zstd data"));
      }
      in.erase(0, at);
      at = 0;
      const std::size_t used = in.size();
      // Uninitialised growth: the pull overwrites what it reports.
      in.resize_and_overwrite(used + kRawChunk, [](char*, std::size_t n) { return n; });
      auto pulled = pull(in.data() + used, kRawChunk);
      if (!pulled) return std::unexpected(std::move(pulled.error()));
      in.resize(used + *pulled);
      input_ended = *pulled == 0;
    }
  }

  Compression kind;
  bool ok = false;
  z_stream gzip{};
  ZSTD_DStream* zstd = nullptr;
  std::string in;            // compressed bytes
  std::size_t at = 0;        // how many of them are used
  bool ended = false;        // the bytes used so far end a whole stream
  bool input_ended = false;  // the file has no more
};

std::expected<ReadableFile, std::string> ReadableFile::open(const std::string& path) {
  // O_NONBLOCK only so that opening a FIFO does not wait for a writer; reads wait again as
  // soon as a writer is known to be there (see read_raw).
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
  return ReadableFile(fd, S_ISREG(st.st_mode), fifo, S_ISREG(st.st_mode) ? static_cast<std::uint64_t>(st.st_size) : 0);
}

std::expected<ReadableFile, std::string> ReadableFile::standard_input() {
  const int fd = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return system_error(errno);
  // Never read again from offset 0: what stands before the caller's offset is not the input.
  return ReadableFile(fd, false, false);
}

ReadableFile::ReadableFile(int fd, bool regular, bool fifo, std::uint64_t size)
    : fd_(fd), regular_(regular), fifo_(fifo), size_(size) {}

ReadableFile::ReadableFile(ReadableFile&& other) noexcept
    : fd_(other.fd_),
      regular_(other.regular_),
      fifo_(other.fifo_),
      writer_seen_(other.writer_seen_),
      sniffed_(other.sniffed_),
      raw_(std::move(other.raw_)),
      raw_at_(other.raw_at_),
      decoder_(std::move(other.decoder_)),
      ahead_(std::move(other.ahead_)),
      ahead_at_(other.ahead_at_),
      tap_(std::move(other.tap_)),
      size_(other.size_),
      counted_(other.counted_),
      pacer_(other.pacer_),
      stopped_(other.stopped_) {
  other.fd_ = -1;
}

ReadableFile::~ReadableFile() {
  if (fd_ >= 0) ::close(fd_);
}

bool ReadableFile::paced() {
  if (pacer_ == nullptr) return true;
  while (!stopped_) {
    if (!pacer_->proceed()) {
      stopped_ = true;
      break;
    }
    // A regular file has its data at hand; a stream is waited for here, so that the pacer is
    // asked again when its time comes even if no input does.
    if (regular_) return true;
    pollfd ready{.fd = fd_, .events = POLLIN, .revents = 0};
    const int polled = ::poll(&ready, 1, pacer_->wait_ms());
    // Data, an end or an error: the read says which.
    if (polled > 0 || (polled < 0 && errno != EINTR)) return true;
  }
  return false;
}

std::expected<std::size_t, std::string> ReadableFile::read_raw(char* data, std::size_t size) {
  if (!paced()) return 0;
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
    if (counted_ != nullptr) *counted_ += static_cast<std::uint64_t>(got);
    return static_cast<std::size_t>(got);
  }
}

std::expected<void, std::string> ReadableFile::sniff() {
  sniffed_ = true;
  char first[4];
  while (raw_.size() < sizeof first) {
    auto got = read_raw(first, sizeof first - raw_.size());
    if (!got) return std::unexpected(std::move(got.error()));
    if (*got == 0) break;
    raw_.append(first, *got);
  }
  const Compression kind = compression_of(raw_);
  if (kind == Compression::None) return {};
  decoder_ = std::make_unique<Decoder>(kind);
  decoder_->in = std::move(raw_);
  raw_.clear();
  return {};
}

std::expected<std::size_t, std::string> ReadableFile::read_text(char* data, std::size_t size) {
  if (!sniffed_) {
    if (auto sniffed = sniff(); !sniffed) return std::unexpected(std::move(sniffed.error()));
  }
  if (decoder_) {
    return decoder_->read(data, size, [this](char* to, std::size_t n) { return read_raw(to, n); });
  }
  if (raw_at_ < raw_.size()) {
    const std::size_t n = std::min(size, raw_.size() - raw_at_);
    std::memcpy(data, raw_.data() + raw_at_, n);
    raw_at_ += n;
    return n;
  }
  return read_raw(data, size);
}

std::expected<std::size_t, std::string> ReadableFile::read_some(char* data, std::size_t size) {
  std::size_t n = 0;
  if (ahead_at_ < ahead_.size()) {
    n = std::min(size, ahead_.size() - ahead_at_);
    std::memcpy(data, ahead_.data() + ahead_at_, n);
    ahead_at_ += n;
  } else {
    auto got = read_text(data, size);
    if (!got) return got;
    n = *got;
  }
  if (tap_ && n > 0) tap_(std::string_view(data, n));
  return n;
}

std::expected<int, std::string> ReadableFile::first_non_space() {
  std::size_t checked = ahead_at_;
  while (true) {
    for (; checked < ahead_.size(); ++checked) {
      if (!is_json_space(ahead_[checked])) return static_cast<unsigned char>(ahead_[checked]);
    }
    char chunk[4096];
    auto got = read_text(chunk, sizeof chunk);
    if (!got) return std::unexpected(std::move(got.error()));
    if (*got == 0) return -1;
    ahead_.append(chunk, *got);
  }
}

std::expected<void, std::string> ReadableFile::reread(const std::function<bool(std::string_view)>& sink) {
  std::size_t raw_offset = 0;
  // Reads the file's own bytes from its start, whatever the streamed reading has taken.
  const auto pread_some = [&](char* to, std::size_t n) -> std::expected<std::size_t, std::string> {
    while (true) {
      const ssize_t got = ::pread(fd_, to, n, static_cast<off_t>(raw_offset));
      if (got < 0) {
        if (errno == EINTR) continue;
        return system_error(errno);
      }
      raw_offset += static_cast<std::size_t>(got);
      return static_cast<std::size_t>(got);
    }
  };
  char first[4];
  std::size_t have = 0;
  while (have < sizeof first) {
    auto got = pread_some(first + have, sizeof first - have);
    if (!got) return std::unexpected(std::move(got.error()));
    if (*got == 0) break;
    have += *got;
  }
  const Compression kind = compression_of(std::string_view(first, have));
  std::optional<Decoder> decoder;
  if (kind != Compression::None) {
    decoder.emplace(kind);
    decoder->in.assign(first, have);
  } else {
    raw_offset = 0;
  }
  std::unique_ptr<char[]> piece(new char[READ_CHUNK]);
  while (true) {
    auto got = decoder ? decoder->read(piece.get(), READ_CHUNK, pread_some) : pread_some(piece.get(), READ_CHUNK);
    if (!got) return std::unexpected(std::move(got.error()));
    if (*got == 0 || !sink(std::string_view(piece.get(), *got))) return {};
  }
}

std::expected<std::string, std::string> ReadableFile::read_all() {
  std::string text;
  if (regular_) {
    // The size is a hint: the text is whatever the file holds by the time it is read.
    text.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(size_, std::uint64_t{1} << 30)) + 1);
    auto read = reread([&](std::string_view piece) {
      text.append(piece);
      return true;
    });
    if (!read) return std::unexpected(std::move(read.error()));
    return text;
  }
  char chunk[1 << 16];
  while (true) {
    auto got = read_some(chunk, sizeof chunk);
    if (!got) return std::unexpected(std::move(got.error()));
    if (*got == 0) return text;
    text.append(chunk, *got);
  }
}

std::expected<std::string, std::string> read_file(const std::string& path) {
  auto file = ReadableFile::open(path);
  if (!file) return std::unexpected(std::move(file.error()));
  return file->read_all();
}

}  // namespace quenvistrel_contracts::json
