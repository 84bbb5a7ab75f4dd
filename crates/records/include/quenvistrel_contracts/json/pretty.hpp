#pragma once

#include <array>
#include <charconv>
#include <concepts>
#include <cstddef>
#include <string>
#include <string_view>

#include "quenvistrel_contracts/json/escape.hpp"

namespace quenvistrel_contracts::json {

// The state file's layout: two-space indentation, ": " after keys, "[]" and "{}" for empty
// containers, members and elements one per line, no final line feed. It appends to one
// buffer that the caller writes out whole.
class PrettyWriter {
 public:
  explicit PrettyWriter(std::string& out) : out_(out) {}

  void begin_object() { open('{'); }
  void end_object() { close('}'); }
  void begin_array() { open('['); }
  void end_array() { close(']'); }

  // A record's field name: a plain identifier that needs no escaping.
  void field_key(std::string_view name) {
    next_item();
    out_ += '"';
    out_ += name;
    out_ += "\": ";
  }
  // A map's key: any text.
  void map_key(std::string_view key) {
    next_item();
    append_json_string(out_, key);
    out_ += ": ";
  }
  void element() { next_item(); }

  void string(std::string_view text) { append_json_string(out_, text); }
  void boolean(bool value) { out_ += value ? std::string_view("true") : std::string_view("false"); }
  template <std::integral I>
  void integer(I value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out_.append(digits, static_cast<std::size_t>(end - digits));
  }
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
  std::size_t depth_ = 0;
  // Records nest a handful of levels; the bound is far beyond any of them.
  std::array<bool, 64> empty_{};
};

}  // namespace quenvistrel_contracts::json
