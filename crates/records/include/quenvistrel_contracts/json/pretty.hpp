#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

#include "quenvistrel_contracts/json/escape.hpp"

namespace quenvistrel_contracts::json {

// The state file's layout: two-space indentation, ": " after keys, "[]" and "{}" for empty
// containers, members and elements one per line, no final line feed. It appends to one
// buffer, which the caller either writes out whole or has drained in chunks: a large state is
// then written while it is rendered, without a buffer the size of the file.
class PrettyWriter {
 public:
  // Takes the buffered bytes; false stops further draining (the failure is the drain's to keep).
  using Drain = bool (*)(void* context, std::string_view bytes);

  explicit PrettyWriter(std::string& out) : out_(out) {}
  // A writer whose values sit `depth` levels deep, as parts of a larger document.
  PrettyWriter(std::string& out, std::size_t depth) : out_(out), depth_(depth) {}
  PrettyWriter(std::string& out, Drain drain, void* context, std::size_t chunk_bytes)
      : out_(out), drain_(drain), context_(context), chunk_bytes_(chunk_bytes) {}

  void begin_object() { open('{'); }
  void end_object() { close('}'); }
  void begin_array() { open('['); }
  void end_array() { close(']'); }

  // A record's field name: a plain identifier that needs no escaping. Written in one step:
  // it is the most frequent piece of the layout.
  void field_key(std::string_view name) {
    const bool first = empty_[depth_];
    empty_[depth_] = false;
    const std::size_t indent = 2 * depth_;
    const std::size_t at = out_.size();
    const std::size_t size = (first ? 1 : 2) + indent + 1 + name.size() + 3;
    out_.resize_and_overwrite(at + size, [&](char* p, std::size_t) {
      p += at;
      if (!first) *p++ = ',';
      *p++ = '\n';
      std::memset(p, ' ', indent);
      p += indent;
      *p++ = '"';
      std::memcpy(p, name.data(), name.size());
      p += name.size();
      std::memcpy(p, "\": ", 3);
      return at + size;
    });
  }
  // A map's key: any text.
  void map_key(std::string_view key) {
    next_item();
    append_json_string(out_, key);
    out_ += ": ";
  }
  // Array elements are where a drained writer hands over its buffer once it holds a chunk.
  void element() {
    if (drain_ != nullptr && out_.size() >= chunk_bytes_) drain();
    next_item();
  }
  // Hands over what is buffered (the rest, once writing is done).
  void drain() {
    if (drain_ != nullptr && !failed_ && !out_.empty()) failed_ = !drain_(context_, out_);
    if (drain_ != nullptr) out_.clear();
  }

  // Text already in this layout, such as stored events. A drained writer hands a long run
  // to the drain as it is, which can then write it without copying it through the buffer.
  void verbatim(std::string_view bytes) {
    constexpr std::size_t kDirect = std::size_t{64} << 10;
    if (drain_ != nullptr && bytes.size() >= kDirect) {
      drain();
      if (!failed_) failed_ = !drain_(context_, bytes);
      return;
    }
    out_ += bytes;
  }

  void string(std::string_view text) { append_json_string(out_, text); }
  // Whether a drain refused its bytes.
  [[nodiscard]] bool failed() const { return failed_; }
  void boolean(bool value) { out_ += value ? std::string_view("true") : std::string_view("false"); }
  template <std::integral I>
  void integer(I value) { append_integer(out_, value); }
  // Direct access for values that format themselves (timestamps, UUIDs).
  std::string& buffer() { return out_; }

 private:
  void open(char bracket) {
    out_ += bracket;
    ++depth_;
    empty_[depth_] = true;
  }
  void close(char bracket) {
    const bool was_empty = empty_[depth_];
    --depth_;
    if (!was_empty) {
      out_ += '\n';
      indent();
    }
    out_ += bracket;
  }
  void next_item() {
    if (empty_[depth_]) {
      out_ += '\n';
      empty_[depth_] = false;
    } else {
      out_ += ",\n";
    }
    indent();
  }
  void indent() { out_.append(2 * depth_, ' '); }

  std::string& out_;
  Drain drain_ = nullptr;
  void* context_ = nullptr;
  std::size_t chunk_bytes_ = 0;
  bool failed_ = false;
  std::size_t depth_ = 0;
  // Records nest a handful of levels; the bound is far beyond any of them.
  std::array<bool, 64> empty_{};
};

}  // namespace quenvistrel_contracts::json
