#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include <boost/json/error.hpp>

#include "quencore_contracts/escape.hpp"

namespace quenvistrel_contracts::json {

// JSON's whitespace.
inline bool is_json_space(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

using quencore_contracts::SHORT_ESCAPES;
using quencore_contracts::ShortEscape;

// Equality of two short texts (field names) without a call into the C library.
inline bool same_text(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  const char* p = a.data();
  const char* q = b.data();
  std::size_t n = a.size();
  for (; n >= 8; n -= 8, p += 8, q += 8) {
    std::uint64_t x = 0;
    std::uint64_t y = 0;
    std::memcpy(&x, p, 8);
    std::memcpy(&y, q, 8);
    if (x != y) return false;
  }
  for (; n > 0; --n) {
    if (*p++ != *q++) return false;
  }
  return true;
}

// Enough text past the point where the parser stopped for any fault's description: the rest
// of an escape or a character, the letters of a literal.
inline constexpr std::size_t FAULT_CONTEXT = 4096;

// Appends " at line {line} column {column}" for the byte at `index` of `text` (both
// 1-based, the column counted in bytes); an index of -1 (nothing consumed) is column 0.
std::string with_position(std::string message, std::string_view text, std::ptrdiff_t index,
                          std::size_t first_line = 1);

// The message and position of a parser error at `offset` (where the parser stopped),
// worded from what the grammar expected there.
std::string describe_syntax_error(std::string_view text, std::size_t offset, boost::json::error_code ec,
                                  std::size_t first_line = 1);

// Words a streamed parser's error as the whole text would be worded (describe_syntax_error,
// with_position), from the text fed to it in pieces, in order, from its start. The parser
// reports only where it stopped; what the grammar expected there depends on all the text
// before, which this follows as it is fed. It keeps only a window: from the string or number
// open at the stop (or a few bytes before the stop) to FAULT_CONTEXT bytes past it, and
// counts the lines it lets go, so its memory does not grow with the offset of the fault.
//
// The stop may be given first (the text is read again after the parser failed) or later
// (the text cannot be read again, so it is fed as the parser reads it): then the text more
// than `lag` bytes behind what was fed, which the parser can no longer stop in, is followed
// a few MiB at a time.
class FaultLocator {
 public:
  explicit FaultLocator(std::size_t lag = 0) : lag_(lag) {}
  // The whole text at once, without a copy; `first_line` numbers its first line.
  FaultLocator(std::string_view whole, std::size_t first_line);

  void feed(std::string_view piece);
  // Where the parser stopped: the text before it was accepted.
  void stop_at(std::size_t stop);
  // Whether it needs more text to describe the fault (the stop is unknown or the text past it
  // is short of FAULT_CONTEXT bytes).
  [[nodiscard]] bool wants_more() const;
  // How much text was fed.
  [[nodiscard]] std::size_t fed() const { return base_ + window_size(); }

  // The parser's error `ec` at the stop, with its position.
  [[nodiscard]] std::string syntax_error(boost::json::error_code ec);
  // The byte where the parser stopped, or '\0' at the end of the text.
  [[nodiscard]] char byte_at_stop() const;
  // `message` at the byte `index` (the stop or just before it), with its position.
  [[nodiscard]] std::string message_at(std::string message, std::ptrdiff_t index) const;

 private:
  enum class Expect : std::uint8_t {
    Value,       // a value (top level, after ':' or after ',' in an array)
    FirstValue,  // a value or ']' (just after '[')
    FirstKey,    // a key or '}' (just after '{')
    Key,         // a key (after ',' in an object)
    Colon,
    AfterValue,  // ',' or the closing bracket, or the end at top level
  };
  enum class Open : std::uint8_t { None, String, Token };
  struct Fault {
    std::string message;
    std::ptrdiff_t index;  // in the whole text
  };

  [[nodiscard]] std::string_view window() const { return borrowed_ ? whole_ : std::string_view(buffer_); }
  [[nodiscard]] std::size_t window_size() const { return borrowed_ ? whole_.size() : buffer_.size(); }
  [[nodiscard]] char at(std::size_t offset) const { return window()[offset - base_]; }
  // A byte within the scan, which holds the window still.
  [[nodiscard]] char scanned(std::size_t offset) const { return scan_text_[offset - base_]; }
  // Follows the text up to `limit`; `final` when that is the stop.
  void scan(std::size_t limit, bool final);
  bool scan_string(std::size_t limit, bool final, Expect next);
  bool scan_token(std::size_t limit, bool final);
  // Lets go of the text no description can need, counting its lines.
  void trim();
  [[nodiscard]] Fault locate(boost::json::error_code ec) const;
  [[nodiscard]] Fault end_of_input() const;
  [[nodiscard]] Fault grammar_fault(std::size_t offset) const;

  static constexpr std::size_t npos = std::string_view::npos;

  std::size_t lag_ = 0;
  const char* scan_text_ = nullptr;
  bool borrowed_ = false;
  std::string_view whole_;
  std::string buffer_;
  std::size_t base_ = 0;        // the offset of the window's first byte
  std::size_t line_ = 1;        // the line the window starts in
  std::size_t line_start_ = 0;  // ... which starts at this offset
  std::size_t stop_ = npos;
  // How far the grammar is followed, and what it expects there.
  std::size_t pos_ = 0;
  Expect expect_ = Expect::Value;
  bool after_comma_ = false;
  bool top_done_ = false;  // only whitespace may follow the top-level value
  std::string stack_;      // the open containers, '[' or '{'
  Open open_ = Open::None;  // a string or token begun at pos_ that goes on past what was fed
  std::size_t resume_ = 0;  // where its scan goes on
  Expect after_open_ = Expect::AfterValue;
  bool located_ = false;   // the stop lies in the string or token at pos_
  // The last string closed: a streamed parser may stop a few bytes past a fault inside it.
  std::size_t last_open_ = npos;
  std::size_t last_close_ = npos;
};

}  // namespace quenvistrel_contracts::json
