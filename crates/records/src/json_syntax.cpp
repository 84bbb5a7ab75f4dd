#include "json_syntax.hpp"

#include <algorithm>
#include <cstring>
#include <optional>

#include <fmt/format.h>

#include "quencore_contracts/hex.hpp"
#include "quencore_contracts/utf8.hpp"

// The parser reports a syntax error only as a code and the offset where it stopped. To say
// what was expected there, the text before that offset (which the parser accepted, so it is
// a valid prefix) is followed once more with a small grammar tracker. This runs only on the
// error path, or on a stream that cannot be read again.

namespace quenvistrel_contracts::json {

namespace {

constexpr std::size_t npos = std::string_view::npos;

// A fault found in the window: its message and the byte it names, counted in the window.
struct LocalFault {
  std::string message;
  std::ptrdiff_t index;
};

bool is_token_byte(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '+' || c == '-' ||
         c == '.';
}

bool complete_number(std::string_view t) {
  std::size_t i = 0;
  const auto digits = [&] {
    const std::size_t from = i;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i;
    return i > from;
  };
  if (i < t.size() && t[i] == '-') ++i;
  if (!digits()) return false;
  if (i < t.size() && t[i] == '.') {
    ++i;
    if (!digits()) return false;
  }
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    if (!digits()) return false;
  }
  return i == t.size();
}

LocalFault eof_in_string(std::string_view text) {
  return {"EOF while parsing a string", static_cast<std::ptrdiff_t>(text.size()) - 1};
}

// Four hex digits from `at`; a fault names the first byte that is not one.
std::optional<LocalFault> read_hex4(std::string_view text, std::size_t at, unsigned& value) {
  value = 0;
  for (std::size_t k = at; k < at + 4; ++k) {
    if (k >= text.size()) return eof_in_string(text);
    const int d = quencore_contracts::hex_value(text[k]);
    if (d < 0) return LocalFault{"invalid escape", static_cast<std::ptrdiff_t>(k)};
    value = value * 16 + static_cast<unsigned>(d);
  }
  return std::nullopt;
}

// The first fault of the string (or key) opened at `open`.
std::optional<LocalFault> check_string(std::string_view text, std::size_t open) {
  const auto at = [](std::size_t k) { return static_cast<std::ptrdiff_t>(k); };
  std::size_t i = open + 1;
  while (true) {
    if (i >= text.size()) return eof_in_string(text);
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '"') return std::nullopt;
    if (c == '\\') {
      if (i + 1 >= text.size()) return eof_in_string(text);
      const char e = text[i + 1];
      if (e != 0 && std::strchr("\"\\/bfnrt", e) != nullptr) {
        i += 2;
        continue;
      }
      if (e != 'u') return LocalFault{"invalid escape", at(i + 1)};
      unsigned unit = 0;
      if (auto fault = read_hex4(text, i + 2, unit)) return fault;
      if (unit >= 0xDC00 && unit <= 0xDFFF) return LocalFault{"invalid unicode code point", at(i + 5)};
      if (unit >= 0xD800 && unit <= 0xDBFF) {
        // A leading surrogate must be followed at once by an escaped trailing one.
        if (i + 6 >= text.size() || (text[i + 6] == '\\' && i + 7 >= text.size())) return eof_in_string(text);
        if (text[i + 6] != '\\' || text[i + 7] != 'u') return LocalFault{"invalid unicode code point", at(i + 5)};
        unsigned trail = 0;
        if (auto fault = read_hex4(text, i + 8, trail)) return fault;
        if (trail < 0xDC00 || trail > 0xDFFF) return LocalFault{"invalid unicode code point", at(i + 11)};
        i += 12;
        continue;
      }
      i += 6;
      continue;
    }
    if (c < 0x20) return LocalFault{"control character (\\u0000-\\u001F) found while parsing a string", at(i)};
    if (c >= 0x80) {
      const std::size_t len = quencore_contracts::utf8_sequence(text, i);
      if (len == quencore_contracts::UTF8_TRUNCATED) return eof_in_string(text);
      if (len == 0) return LocalFault{"invalid UTF-8 in string", at(i)};
      i += len;
      continue;
    }
    ++i;
  }
}

// The byte of the literal at `start` that departs from true, false or null.
std::size_t literal_mismatch(std::string_view text, std::size_t start) {
  const std::string_view word = text[start] == 't' ? "true" : text[start] == 'f' ? "false" : "null";
  std::size_t k = 0;
  while (k < word.size() && start + k < text.size() && text[start + k] == word[k]) ++k;
  return start + k;
}

// The one place that turns an offset into a line and a column: the window starts at `base`,
// on line `line`, which starts at `line_start`.
std::string position_text(std::string message, std::string_view window, std::size_t base, std::size_t line,
                          std::size_t line_start, std::ptrdiff_t index) {
  std::size_t column = 0;
  if (index >= 0) {
    const std::size_t end = std::clamp(static_cast<std::size_t>(index), base, base + window.size());
    const char* const from = window.data();
    const char* p = from;
    const char* const stop = from + (end - base);
    while ((p = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(stop - p)))) != nullptr) {
      ++line;
      ++p;
      line_start = base + static_cast<std::size_t>(p - from);
    }
    column = end - line_start + 1;
  }
  fmt::format_to(std::back_inserter(message), " at line {} column {}", line, column);
  return message;
}

// Bytes kept before the stop, for a fault named just before it.
constexpr std::size_t kBefore = 64;

}  // namespace

FaultLocator::FaultLocator(std::string_view whole, std::size_t first_line)
    : borrowed_(true), whole_(whole), line_(first_line) {}

void FaultLocator::feed(std::string_view piece) {
  buffer_.append(piece);
  if (stop_ != npos) {
    scan(std::min(fed(), stop_), fed() >= stop_);
  } else if (buffer_.size() > 2 * lag_ + kBefore) {
    // Behind the lag, the parser cannot stop any more: follow that text and let it go.
    scan(fed() - lag_, false);
  } else {
    return;
  }
  trim();
}

void FaultLocator::stop_at(std::size_t stop) {
  stop_ = stop;
  scan(std::min(fed(), stop_), fed() >= stop_);
  if (!borrowed_) trim();
}

bool FaultLocator::wants_more() const {
  return stop_ == npos || fed() < stop_ + FAULT_CONTEXT;
}

void FaultLocator::trim() {
  std::size_t keep = open_ != Open::None || located_ ? pos_ : std::min(pos_, stop_);
  keep = keep > base_ + kBefore ? keep - kBefore : base_;
  if (stop_ != npos && stop_ > kBefore) keep = std::min(keep, stop_ - kBefore);
  if (last_open_ != npos) keep = std::min(keep, last_open_);
  if (keep <= base_) return;
  const std::size_t drop = keep - base_;
  const char* const from = buffer_.data();
  const char* p = from;
  while ((p = static_cast<const char*>(std::memchr(p, '\n', drop - static_cast<std::size_t>(p - from)))) != nullptr) {
    ++line_;
    ++p;
    line_start_ = base_ + static_cast<std::size_t>(p - from);
  }
  buffer_.erase(0, drop);
  base_ = keep;
}

// The string (or key) whose opening quote is at pos_; false while it goes on past `limit`.
bool FaultLocator::scan_string(std::size_t limit, bool final, Expect next) {
  if (open_ != Open::String) {
    open_ = Open::String;
    resume_ = pos_ + 1;
    after_open_ = next;
  }
  const std::string_view w = window();
  std::size_t i = resume_;
  while (i < limit) {
    // The next quote; it closes the string unless an odd run of backslashes escapes it.
    const void* found = std::memchr(w.data() + (i - base_), '"', limit - i);
    const std::size_t quote = found != nullptr ? static_cast<std::size_t>(static_cast<const char*>(found) - w.data()) + base_ : limit;
    std::size_t slashes = 0;
    while (quote - slashes > i && scanned(quote - slashes - 1) == '\\') ++slashes;
    if (found == nullptr) {
      // A backslash at the end escapes what is not fed yet: resume at it.
      i = slashes % 2 == 1 ? limit - 1 : limit;
      break;
    }
    if (slashes % 2 == 0) {
      last_open_ = pos_;
      last_close_ = quote;
      open_ = Open::None;
      pos_ = quote + 1;
      expect_ = next;
      return true;
    }
    i = quote + 1;
  }
  resume_ = i;
  if (final) located_ = true;
  return false;
}

// The number or literal at pos_; false while it may go on past `limit`.
bool FaultLocator::scan_token(std::size_t limit, bool final) {
  if (open_ != Open::Token) {
    open_ = Open::Token;
    resume_ = pos_;
  }
  std::size_t end = resume_;
  while (end < limit && is_token_byte(scanned(end))) ++end;
  resume_ = end;
  if (end == limit && !final) return false;
  const std::string_view token = window().substr(pos_ - base_, end - pos_);
  const bool literal = token == "true" || token == "false" || token == "null";
  if (end == limit && !literal && !complete_number(token)) {
    located_ = true;
    return false;
  }
  open_ = Open::None;
  pos_ = std::max(end, pos_ + 1);
  expect_ = Expect::AfterValue;
  return true;
}

void FaultLocator::scan(std::size_t limit, bool final) {
  scan_text_ = window().data();
  while (!located_ && !top_done_) {
    if (open_ == Open::String) {
      if (!scan_string(limit, final, after_open_)) return;
      continue;
    }
    if (open_ == Open::Token) {
      if (!scan_token(limit, final)) return;
      continue;
    }
    while (pos_ < limit && is_json_space(scanned(pos_))) ++pos_;
    if (pos_ >= limit) return;
    const char c = scanned(pos_);
    switch (expect_) {
      case Expect::Value:
      case Expect::FirstValue:
        after_comma_ = false;
        if (expect_ == Expect::FirstValue && c == ']') {
          stack_.pop_back();
          expect_ = Expect::AfterValue;
          ++pos_;
        } else if (c == '{' || c == '[') {
          stack_.push_back(c);
          expect_ = c == '{' ? Expect::FirstKey : Expect::FirstValue;
          ++pos_;
        } else if (c == '"') {
          if (!scan_string(limit, final, Expect::AfterValue)) return;
        } else if (!scan_token(limit, final)) {
          return;
        }
        break;
      case Expect::FirstKey:
      case Expect::Key:
        if (expect_ == Expect::FirstKey && c == '}') {
          stack_.pop_back();
          expect_ = Expect::AfterValue;
          ++pos_;
        } else if (!scan_string(limit, final, Expect::Colon)) {
          return;
        }
        break;
      case Expect::Colon:
        expect_ = Expect::Value;
        ++pos_;
        break;
      case Expect::AfterValue:
        if (stack_.empty()) {
          top_done_ = true;
          return;
        }
        if (c == ',') {
          expect_ = stack_.back() == '[' ? Expect::Value : Expect::Key;
          after_comma_ = true;
        } else {
          stack_.pop_back();
        }
        ++pos_;
        break;
    }
  }
}

FaultLocator::Fault FaultLocator::end_of_input() const {
  const auto last = static_cast<std::ptrdiff_t>(fed()) - 1;
  if (located_) return {open_ == Open::String ? "EOF while parsing a string" : "EOF while parsing a value", last};
  switch (stack_.empty() ? 0 : stack_.back()) {
    case '[':
      return {"EOF while parsing a list", last};
    case '{':
      return {"EOF while parsing an object", last};
    default:
      return {"EOF while parsing a value", last};
  }
}

FaultLocator::Fault FaultLocator::grammar_fault(std::size_t offset) const {
  const auto at_offset = static_cast<std::ptrdiff_t>(offset);
  const char c = at(offset);
  const char container = stack_.empty() ? 0 : stack_.back();
  switch (expect_) {
    case Expect::Value:
    case Expect::FirstValue:
      if (c == 't' || c == 'f' || c == 'n') {
        return {"invalid literal", static_cast<std::ptrdiff_t>(literal_mismatch(window(), offset - base_) + base_)};
      }
      if (after_comma_ && c == ']') return {"trailing comma", at_offset};
      return {"expected value", at_offset};
    case Expect::FirstKey:
      return {"key must be a string", at_offset};
    case Expect::Key:
      return {c == '}' ? "trailing comma" : "key must be a string", at_offset};
    case Expect::Colon:
      return {"expected `:`", at_offset};
    case Expect::AfterValue:
      if (container == '[') return {"expected `,` or `]`", at_offset};
      if (container == '{') return {"expected `,` or `}`", at_offset};
      return {"trailing characters", at_offset};
  }
  return {"syntax error", at_offset};
}

FaultLocator::Fault FaultLocator::locate(boost::json::error_code ec) const {
  const std::size_t offset = std::min(stop_, fed());
  const auto at_offset = static_cast<std::ptrdiff_t>(offset);
  if (ec == boost::json::error::too_deep) return {"recursion limit exceeded", at_offset};
  if (ec == boost::json::error::exponent_overflow) return {"number out of range", at_offset};
  if (ec == boost::json::error::incomplete || offset >= fed()) return end_of_input();
  const auto whole = [&](LocalFault f) { return Fault{std::move(f.message), f.index + static_cast<std::ptrdiff_t>(base_)}; };
  // A streamed parser may report a fault inside a string (malformed UTF-8 at its end) only
  // once it has read past the closing quote.
  constexpr std::size_t kLate = 8;
  if (!located_ && last_close_ != npos && last_open_ >= base_ && offset <= last_close_ + kLate) {
    if (auto fault = check_string(window(), last_open_ - base_)) return whole(std::move(*fault));
  }
  if (located_ && open_ == Open::String) {
    if (auto fault = check_string(window(), pos_ - base_)) return whole(std::move(*fault));
  } else if (located_) {
    const char first = at(pos_);
    if (first == 't' || first == 'f' || first == 'n') {
      return {"invalid literal", static_cast<std::ptrdiff_t>(literal_mismatch(window(), pos_ - base_) + base_)};
    }
    return {"invalid number", at_offset};
  } else if (ec == boost::json::error::syntax) {
    return grammar_fault(offset);
  }
  return {ec.message(), at_offset};
}

std::string FaultLocator::syntax_error(boost::json::error_code ec) {
  if (!borrowed_) {
    // What lies past the context is no part of any description.
    const std::size_t end = stop_ + FAULT_CONTEXT;
    if (fed() > end) buffer_.resize(end - base_);
  }
  Fault fault = locate(ec);
  return message_at(std::move(fault.message), fault.index);
}

char FaultLocator::byte_at_stop() const {
  return stop_ != npos && stop_ >= base_ && stop_ < fed() ? at(stop_) : '\0';
}

std::string FaultLocator::message_at(std::string message, std::ptrdiff_t index) const {
  return position_text(std::move(message), window(), base_, line_, line_start_, index);
}

std::string with_position(std::string message, std::string_view text, std::ptrdiff_t index, std::size_t first_line) {
  return position_text(std::move(message), text, 0, first_line, 0, index);
}

std::string describe_syntax_error(std::string_view text, std::size_t offset, boost::json::error_code ec,
                                  std::size_t first_line) {
  FaultLocator locator(text, first_line);
  locator.stop_at(offset);
  return locator.syntax_error(ec);
}

}  // namespace quenvistrel_contracts::json
