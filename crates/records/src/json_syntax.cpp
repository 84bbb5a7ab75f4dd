#include "json_syntax.hpp"

#include <algorithm>
#include <cstring>
#include <optional>

#include <fmt/format.h>

#include "quencore_contracts/hex.hpp"
#include "quencore_contracts/utf8.hpp"

// The parser reports a syntax error only as a code and the offset where it stopped. To say
// what was expected there, the text before that offset (which the parser accepted, so it is
// a valid prefix) is scanned once more with a small grammar tracker. This runs only on the
// error path.

namespace quenvistrel_contracts::json {

namespace {

constexpr std::size_t npos = std::string_view::npos;

struct Fault {
  std::string message;
  std::ptrdiff_t index;
};

enum class Expect : std::uint8_t {
  Value,       // a value (top level, after ':' or after ',' in an array)
  FirstValue,  // a value or ']' (just after '[')
  FirstKey,    // a key or '}' (just after '{')
  Key,         // a key (after ',' in an object)
  Colon,
  AfterValue,  // ',' or the closing bracket, or the end at top level
};

struct Context {
  Expect expect = Expect::Value;
  bool after_comma = false;
  char container = 0;  // '[', '{' or 0 at top level
  std::size_t string_start = npos;  // the offset lies inside the string opened here
  std::size_t token_start = npos;   // ... or inside the number or literal starting here
};

bool is_token_byte(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '+' || c == '-' ||
         c == '.';
}

// The quote closing the string opened at `open`, searched before `limit`.
std::size_t closing_quote(std::string_view text, std::size_t open, std::size_t limit) {
  for (std::size_t i = open + 1; i < limit; ++i) {
    if (text[i] == '\\') {
      ++i;
    } else if (text[i] == '"') {
      return i;
    }
  }
  return npos;
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

Context scan(std::string_view text, std::size_t offset) {
  Context ctx;
  std::string stack;
  std::size_t i = 0;
  while (i < offset) {
    const char c = text[i];
    if (is_json_space(c)) {
      ++i;
      continue;
    }
    switch (ctx.expect) {
      case Expect::Value:
      case Expect::FirstValue:
        ctx.after_comma = false;
        if (ctx.expect == Expect::FirstValue && c == ']') {
          stack.pop_back();
          ctx.expect = Expect::AfterValue;
          ++i;
        } else if (c == '{' || c == '[') {
          stack.push_back(c);
          ctx.expect = c == '{' ? Expect::FirstKey : Expect::FirstValue;
          ++i;
        } else if (c == '"') {
          const std::size_t end = closing_quote(text, i, offset);
          if (end == npos) {
            ctx.string_start = i;
            return ctx;
          }
          i = end + 1;
          ctx.expect = Expect::AfterValue;
        } else {
          std::size_t end = i;
          while (end < offset && is_token_byte(text[end])) ++end;
          const std::string_view token = text.substr(i, end - i);
          const bool literal = token == "true" || token == "false" || token == "null";
          if (end == offset && !literal && !complete_number(token)) {
            ctx.token_start = i;
            return ctx;
          }
          i = std::max(end, i + 1);
          ctx.expect = Expect::AfterValue;
        }
        break;
      case Expect::FirstKey:
      case Expect::Key:
        if (ctx.expect == Expect::FirstKey && c == '}') {
          stack.pop_back();
          ctx.expect = Expect::AfterValue;
          ++i;
        } else {
          const std::size_t end = closing_quote(text, i, offset);
          if (end == npos) {
            ctx.string_start = i;
            return ctx;
          }
          i = end + 1;
          ctx.expect = Expect::Colon;
        }
        break;
      case Expect::Colon:
        ctx.expect = Expect::Value;
        ++i;
        break;
      case Expect::AfterValue:
        if (stack.empty()) return ctx;  // only whitespace may follow the top-level value
        if (c == ',') {
          ctx.expect = stack.back() == '[' ? Expect::Value : Expect::Key;
          ctx.after_comma = true;
        } else {
          stack.pop_back();
        }
        ++i;
        break;
    }
    ctx.container = stack.empty() ? 0 : stack.back();
  }
  ctx.container = stack.empty() ? 0 : stack.back();
  return ctx;
}

Fault eof_in_string(std::string_view text) {
  return {"EOF while parsing a string", static_cast<std::ptrdiff_t>(text.size()) - 1};
}

// Four hex digits from `at`; a fault names the first byte that is not one.
std::optional<Fault> read_hex4(std::string_view text, std::size_t at, unsigned& value) {
  value = 0;
  for (std::size_t k = at; k < at + 4; ++k) {
    if (k >= text.size()) return eof_in_string(text);
    const int d = quencore_contracts::hex_value(text[k]);
    if (d < 0) return Fault{"invalid escape", static_cast<std::ptrdiff_t>(k)};
    value = value * 16 + static_cast<unsigned>(d);
  }
  return std::nullopt;
}

// The first fault of the string (or key) opened at `open`.
std::optional<Fault> check_string(std::string_view text, std::size_t open) {
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
      if (e != 'u') return Fault{"invalid escape", at(i + 1)};
      unsigned unit = 0;
      if (auto fault = read_hex4(text, i + 2, unit)) return fault;
      if (unit >= 0xDC00 && unit <= 0xDFFF) return Fault{"invalid unicode code point", at(i + 5)};
      if (unit >= 0xD800 && unit <= 0xDBFF) {
        // A leading surrogate must be followed at once by an escaped trailing one.
        if (i + 6 >= text.size() || (text[i + 6] == '\\' && i + 7 >= text.size())) return eof_in_string(text);
        if (text[i + 6] != '\\' || text[i + 7] != 'u') return Fault{"invalid unicode code point", at(i + 5)};
        unsigned trail = 0;
        if (auto fault = read_hex4(text, i + 8, trail)) return fault;
        if (trail < 0xDC00 || trail > 0xDFFF) return Fault{"invalid unicode code point", at(i + 11)};
        i += 12;
        continue;
      }
      i += 6;
      continue;
    }
    if (c < 0x20) return Fault{"control character (\\u0000-\\u001F) found while parsing a string", at(i)};
    if (c >= 0x80) {
      const std::size_t len = quencore_contracts::utf8_sequence(text, i);
      if (len == quencore_contracts::UTF8_TRUNCATED) return eof_in_string(text);
      if (len == 0) return Fault{"invalid UTF-8 in string", at(i)};
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

Fault grammar_fault(std::string_view text, std::size_t offset, const Context& ctx) {
  const auto at = static_cast<std::ptrdiff_t>(offset);
  const char c = text[offset];
  switch (ctx.expect) {
    case Expect::Value:
    case Expect::FirstValue:
      if (c == 't' || c == 'f' || c == 'n') {
        return {"invalid literal", static_cast<std::ptrdiff_t>(literal_mismatch(text, offset))};
      }
      if (ctx.after_comma && c == ']') return {"trailing comma", at};
      return {"expected value", at};
    case Expect::FirstKey:
      return {"key must be a string", at};
    case Expect::Key:
      return {c == '}' ? "trailing comma" : "key must be a string", at};
    case Expect::Colon:
      return {"expected `:`", at};
    case Expect::AfterValue:
      if (ctx.container == '[') return {"expected `,` or `]`", at};
      if (ctx.container == '{') return {"expected `,` or `}`", at};
      return {"trailing characters", at};
  }
  return {"syntax error", at};
}

Fault end_of_input(std::string_view text, const Context& ctx) {
  const auto last = static_cast<std::ptrdiff_t>(text.size()) - 1;
  if (ctx.string_start != npos) return {"EOF while parsing a string", last};
  if (ctx.token_start != npos) return {"EOF while parsing a value", last};
  switch (ctx.container) {
    case '[':
      return {"EOF while parsing a list", last};
    case '{':
      return {"EOF while parsing an object", last};
    default:
      return {"EOF while parsing a value", last};
  }
}

Fault locate(std::string_view text, std::size_t offset, boost::json::error_code ec) {
  offset = std::min(offset, text.size());
  const auto at = static_cast<std::ptrdiff_t>(offset);
  if (ec == boost::json::error::too_deep) return {"recursion limit exceeded", at};
  if (ec == boost::json::error::exponent_overflow) return {"number out of range", at};
  const Context ctx = scan(text, offset);
  if (ec == boost::json::error::incomplete || offset >= text.size()) return end_of_input(text, ctx);
  if (ctx.string_start != npos) {
    if (auto fault = check_string(text, ctx.string_start)) return std::move(*fault);
  } else if (ctx.token_start != npos) {
    const char first = text[ctx.token_start];
    if (first == 't' || first == 'f' || first == 'n') {
      return {"invalid literal", static_cast<std::ptrdiff_t>(literal_mismatch(text, ctx.token_start))};
    }
    return {"invalid number", at};
  } else if (ec == boost::json::error::syntax) {
    return grammar_fault(text, offset, ctx);
  }
  return {ec.message(), at};
}

}  // namespace

std::string with_position(std::string message, std::string_view text, std::ptrdiff_t index, std::size_t first_line) {
  std::size_t line = first_line;
  std::size_t column = 0;
  if (index >= 0) {
    const std::size_t end = std::min(static_cast<std::size_t>(index), text.size());
    std::size_t line_start = 0;
    const char* const base = text.data();
    const char* p = base;
    while ((p = static_cast<const char*>(std::memchr(p, '\n', end - static_cast<std::size_t>(p - base)))) != nullptr) {
      ++line;
      ++p;
      line_start = static_cast<std::size_t>(p - base);
    }
    column = end - line_start + 1;
  }
  fmt::format_to(std::back_inserter(message), " at line {} column {}", line, column);
  return message;
}

std::string describe_syntax_error(std::string_view text, std::size_t offset, boost::json::error_code ec,
                                  std::size_t first_line) {
  Fault fault = locate(text, offset, ec);
  return with_position(std::move(fault.message), text, fault.index, first_line);
}

}  // namespace quenvistrel_contracts::json
