#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/json/basic_parser_impl.hpp>
#include <boost/json/parse.hpp>
#include <fmt/format.h>

#include "json_plain.hpp"
#include "json_syntax.hpp"
#include "quencore_contracts/echo.hpp"
#include "quenvistrel_contracts/json/detail/reader.hpp"

namespace quenvistrel_contracts::json::detail {

namespace {

// Deeper documents fail with the parser's own error at the opening bracket that is one too
// deep; the frame stack below can therefore never grow past this.
constexpr std::size_t kMaxDepth = 128;

enum class FrameKind : std::uint8_t { Record, Sequence, Map, EnumObject, Skip };

struct Frame {
  FrameKind kind = FrameKind::Skip;
  const TypeOps* ops = nullptr;
  void* target = nullptr;
  std::uint64_t seen = 0;     // Record: fields seen; EnumObject: members seen
  std::size_t hint = 0;       // Record: the field expected next
  const TypeOps* value_ops = nullptr;  // where the member value goes; null skips it
  void* value_target = nullptr;
  std::string key;  // Map: the pending key
  MapScratch scratch;
};

struct Slot {
  const TypeOps* ops;
  void* target;
};

constexpr TypeOps kUnitOps{.shape = Shape::Unit, .expected = "null"};

std::string expected_text(const TypeOps& ops) {
  if (ops.shape == Shape::Record) return fmt::format("struct {}", ops.expected);
  return std::string(ops.expected);
}

// Values echoed in our own type and range messages follow the rule of every echo: cut, with
// their control characters escaped.
std::string shown(std::string_view text) { return quencore_contracts::echo_input(text); }

std::string quoted(std::string_view text) {
  bool cut = false;
  std::string out = "\"";
  quencore_contracts::append_escaped(out, quencore_contracts::echo_head(text, cut), true);
  if (cut) out += "\u2026";
  out += '"';
  return out;
}

// Where a value the reader refused ends, from where the parser stopped: stop + adjust. The
// parser reports, per kind of value:
//   strings and keys: the closing quote                       -> +0
//   numbers: the byte after the number (it ends only there)   -> -1
//   true, null: the first letter                              -> +3
//   false: the first letter                                   -> +4
//   '{' '[' '}' ']': the bracket itself                       -> +0
// except that a literal begun in an earlier piece of a streamed read is reported at its last
// letter; so a literal's adjust applies only when the stop holds its first letter.
struct Anchor {
  std::ptrdiff_t adjust = 0;
  char first = 0;  // a literal's first letter

  std::ptrdiff_t index(std::size_t stop, char at_stop) const {
    const auto at = static_cast<std::ptrdiff_t>(stop);
    return first != 0 && at_stop != first ? at : at + adjust;
  }
};

// The basic_parser handler. A failing callback records its message and its value's Anchor.
class Handler {
 public:
  static constexpr std::size_t max_object_size = static_cast<std::size_t>(-1);
  static constexpr std::size_t max_array_size = static_cast<std::size_t>(-1);
  static constexpr std::size_t max_key_size = static_cast<std::size_t>(-1);
  static constexpr std::size_t max_string_size = static_cast<std::size_t>(-1);

  Handler(const TypeOps& root, void* target) : root_{&root, target} { frames_.resize(kMaxDepth + 1); }

  bool failed() const { return failed_; }
  std::string& message() { return message_; }
  const Anchor& anchor() const { return anchor_; }

  bool on_document_begin(boost::json::error_code&) { return true; }
  bool on_document_end(boost::json::error_code&) { return true; }

  bool on_object_begin(boost::json::error_code& ec) {
    const Slot slot = take_slot();
    if (slot.ops == nullptr) return push(FrameKind::Skip, nullptr, nullptr), true;
    switch (slot.ops->shape) {
      case Shape::Record:
        push(FrameKind::Record, slot.ops, slot.target);
        return true;
      case Shape::Map:
        push(FrameKind::Map, slot.ops, slot.target);
        return true;
      case Shape::Enum:
        push(FrameKind::EnumObject, slot.ops, slot.target);
        return true;
      default:
        return type_error(ec, *slot.ops, "map", Anchor{});
    }
  }

  bool on_object_end(std::size_t, boost::json::error_code& ec) {
    Frame& f = top();
    if (f.kind == FrameKind::Record) {
      const RecordOps& r = *f.ops->record;
      if (const std::uint64_t missing = r.required & ~f.seen; missing != 0) {
        const auto index = static_cast<std::size_t>(__builtin_ctzll(missing));
        return fail(ec, fmt::format("missing field `{}`", r.fields[index].name), Anchor{});
      }
    } else if (f.kind == FrameKind::EnumObject && f.seen == 0) {
      return fail(ec, fmt::format("invalid type: empty map, expected {}", expected_text(*f.ops)), Anchor{});
    }
    --depth_;
    value_done();
    return true;
  }

  bool on_array_begin(boost::json::error_code& ec) {
    const Slot slot = take_slot();
    if (slot.ops == nullptr) return push(FrameKind::Skip, nullptr, nullptr), true;
    if (slot.ops->shape != Shape::Sequence) return type_error(ec, *slot.ops, "sequence", Anchor{});
    push(FrameKind::Sequence, slot.ops, slot.target);
    return true;
  }

  bool on_array_end(std::size_t, boost::json::error_code&) {
    --depth_;
    value_done();
    return true;
  }

  bool on_key_part(boost::json::string_view s, std::size_t, boost::json::error_code&) {
    part_.append(s.data(), s.size());
    return true;
  }

  bool on_key(boost::json::string_view s, std::size_t, boost::json::error_code& ec) {
    const std::string_view key = whole(s);
    Frame& f = top();
    bool ok = true;
    switch (f.kind) {
      case FrameKind::Record:
        ok = record_key(f, key, ec);
        break;
      case FrameKind::Map:
        f.key.assign(key);
        f.value_ops = f.ops->element;
        f.value_target = f.ops->value_slot(f.scratch);
        break;
      case FrameKind::EnumObject:
        ok = enum_key(f, key, ec);
        break;
      case FrameKind::Sequence:
      case FrameKind::Skip:
        break;
    }
    part_.clear();
    return ok;
  }

  bool on_string_part(boost::json::string_view s, std::size_t, boost::json::error_code&) {
    part_.append(s.data(), s.size());
    return true;
  }

  bool on_string(boost::json::string_view s, std::size_t, boost::json::error_code& ec) {
    const std::string_view text = whole(s);
    const Slot slot = take_slot();
    bool ok = true;
    if (slot.ops != nullptr) {
      if (slot.ops->from_string == nullptr) {
        ok = type_error(ec, *slot.ops, fmt::format("string {}", quoted(text)), Anchor{});
      } else if (!slot.ops->from_string(slot.target, text, message_)) {
        ok = fail(ec, Anchor{});
      }
    }
    part_.clear();
    if (ok) value_done();
    return ok;
  }

  // A number's text is needed only for messages; one split across the chunks of a streamed
  // read arrives in parts.
  bool on_number_part(boost::json::string_view s, boost::json::error_code&) {
    part_.append(s.data(), s.size());
    return true;
  }

  bool on_int64(std::int64_t v, boost::json::string_view s, boost::json::error_code& ec) {
    return on_integer(&TypeOps::from_int64, v, s, ec);
  }
  bool on_uint64(std::uint64_t v, boost::json::string_view s, boost::json::error_code& ec) {
    return on_integer(&TypeOps::from_uint64, v, s, ec);
  }

  bool on_double(double, boost::json::string_view s, boost::json::error_code& ec) {
    const std::string_view text = whole(s);
    const Slot slot = take_slot();
    bool ok = true;
    // No target holds a fraction.
    if (slot.ops != nullptr) ok = type_error(ec, *slot.ops, fmt::format("floating point `{}`", shown(text)), Anchor{-1});
    part_.clear();
    if (ok) value_done();
    return ok;
  }

  bool on_bool(bool v, boost::json::error_code& ec) {
    const Slot slot = take_slot();
    if (slot.ops != nullptr) {
      if (slot.ops->from_bool == nullptr) {
        return type_error(ec, *slot.ops, v ? "boolean `true`" : "boolean `false`", v ? Anchor{3, 't'} : Anchor{4, 'f'});
      }
      slot.ops->from_bool(slot.target, v);
    }
    value_done();
    return true;
  }

  bool on_null(boost::json::error_code& ec) {
    const Slot slot = take_slot();
    if (slot.ops != nullptr && slot.ops->shape != Shape::Unit) return type_error(ec, *slot.ops, "null", Anchor{3, 'n'});
    value_done();
    return true;
  }

  bool on_comment_part(boost::json::string_view, boost::json::error_code&) { return true; }
  bool on_comment(boost::json::string_view, boost::json::error_code&) { return true; }

 private:
  std::string_view whole(boost::json::string_view last) {
    if (part_.empty()) return {last.data(), last.size()};
    part_.append(last.data(), last.size());
    return part_;
  }

  template <class Int>
  bool on_integer(bool (*TypeOps::*from)(void*, Int, std::string_view, std::string&), Int v,
                  boost::json::string_view s, boost::json::error_code& ec) {
    const std::string_view text = whole(s);
    const Slot slot = take_slot();
    bool ok = true;
    if (slot.ops != nullptr) {
      if (slot.ops->*from == nullptr) {
        ok = type_error(ec, *slot.ops, fmt::format("integer `{}`", shown(text)), Anchor{-1});
      } else if (!(slot.ops->*from)(slot.target, v, text, message_)) {
        ok = fail(ec, Anchor{-1});
      }
    }
    part_.clear();
    if (ok) value_done();
    return ok;
  }

  Frame& top() { return frames_[depth_ - 1]; }

  void push(FrameKind kind, const TypeOps* ops, void* target) {
    Frame& f = frames_[depth_++];
    f.kind = kind;
    f.ops = ops;
    f.target = target;
    f.seen = 0;
    f.hint = 0;
    f.value_ops = nullptr;
    f.value_target = nullptr;
  }

  // Where the value that starts now goes; null ops for a skipped value.
  Slot take_slot() {
    if (depth_ == 0) return root_;
    Frame& f = top();
    switch (f.kind) {
      case FrameKind::Sequence:
        return {f.ops->element, f.ops->push(f.target)};
      case FrameKind::Skip:
        return {nullptr, nullptr};
      default:
        return {f.value_ops, f.value_target};
    }
  }

  // A member value has been read whole.
  void value_done() {
    if (depth_ == 0) return;
    Frame& f = top();
    if (f.kind == FrameKind::Map) {
      f.ops->commit(f.target, f.key, f.scratch);
    } else if (f.kind == FrameKind::Sequence && f.ops->element_done != nullptr) {
      f.ops->element_done(f.target);
    }
  }

  bool record_key(Frame& f, std::string_view key, boost::json::error_code& ec) {
    const RecordOps& r = *f.ops->record;
    std::size_t index = r.count;
    // Files this system wrote list the fields in order: one comparison per key.
    if (f.hint < r.count && same_text(r.fields[f.hint].name, key)) {
      index = f.hint;
    } else {
      for (std::size_t i = 0; i < r.count; ++i) {
        if (r.fields[i].name == key) {
          index = i;
          break;
        }
      }
    }
    if (index == r.count) {
      f.value_ops = nullptr;  // unknown keys are skipped, their values still parsed
      return true;
    }
    const std::uint64_t bit = std::uint64_t{1} << index;
    if ((f.seen & bit) != 0) return fail(ec, fmt::format("duplicate field `{}`", r.fields[index].name), Anchor{});
    f.seen |= bit;
    f.hint = index + 1;
    f.value_ops = r.fields[index].ops;
    f.value_target = r.fields[index].locate(f.target);
    return true;
  }

  bool enum_key(Frame& f, std::string_view key, boost::json::error_code& ec) {
    if (f.seen != 0) {
      return fail(ec, fmt::format("invalid type: map with more than one member, expected {}", expected_text(*f.ops)),
                  Anchor{});
    }
    if (!f.ops->from_string(f.target, key, message_)) return fail(ec, Anchor{});
    f.seen = 1;
    f.value_ops = &kUnitOps;
    f.value_target = nullptr;
    return true;
  }

  bool type_error(boost::json::error_code& ec, const TypeOps& ops, std::string_view unexpected, Anchor anchor) {
    return fail(ec, fmt::format("invalid type: {}, expected {}", unexpected, expected_text(ops)), anchor);
  }

  bool fail(boost::json::error_code& ec, std::string message, Anchor anchor) {
    message_ = std::move(message);
    return fail(ec, anchor);
  }

  // message_ already holds the text.
  bool fail(boost::json::error_code& ec, Anchor anchor) {
    failed_ = true;
    anchor_ = anchor;
    // Any code will do: the parser only needs one to stop; failed_ tells it apart.
    ec = boost::json::error::exception;
    return false;
  }

  Slot root_;
  std::vector<Frame> frames_;
  std::size_t depth_ = 0;
  std::string part_;
  bool failed_ = false;
  Anchor anchor_;
  std::string message_;
};

}  // namespace

std::expected<void, std::string> read_into(std::string_view text, const TypeOps& ops, void* target,
                                           std::size_t first_line) {
  boost::json::parse_options options;
  options.max_depth = kMaxDepth;
  boost::json::basic_parser<Handler> parser(options, ops, target);
  boost::json::error_code ec;
  const std::size_t consumed = parser.write_some(false, text.data(), text.size(), ec);
  Handler& handler = parser.handler();
  if (handler.failed()) {
    const auto index = handler.anchor().index(consumed, consumed < text.size() ? text[consumed] : '\0');
    return std::unexpected(with_position(std::move(handler.message()), text, index, first_line));
  }
  if (ec) return std::unexpected(describe_syntax_error(text, consumed, ec, first_line));
  if (consumed < text.size()) {
    return std::unexpected(
        with_position("trailing characters", text, static_cast<std::ptrdiff_t>(consumed), first_line));
  }
  return {};
}

namespace {

// Where and why a streamed parse stopped: the parser's code, or a message of the reader's own
// about the value anchored there.
struct StreamFault {
  std::size_t stop = 0;
  boost::json::error_code ec;
  std::string message;
  Anchor anchor;

  static StreamFault syntax(std::size_t stop, boost::json::error_code ec) { return {stop, ec, {}, {}}; }
  static StreamFault own(std::size_t stop, std::string message, Anchor anchor = {}) {
    return {stop, {}, std::move(message), anchor};
  }
};

// Parses the text as stream_into does; a fault is returned as where and why it stopped.
std::expected<std::optional<StreamFault>, std::string> parse_stream(ReadableFile& file, const TypeOps& ops,
                                                                    void* target, std::size_t chunk_bytes) {
  const std::size_t kChunk = chunk_bytes == 0 ? 1 : chunk_bytes;
  std::unique_ptr<char[]> chunk(new char[kChunk]);
  std::size_t fed = 0;   // the offset in the input of chunk[0]
  std::size_t size = 0;  // bytes in the chunk
  std::size_t from = 0;  // where in the chunk the general parser starts
  bool bracket = false;  // whether it starts inside the array, at an element
  bool end = false;      // the input has ended

  // Fixtures in the plain layout go the fast way, for as long as it lasts.
  if (PlainSequence::fits(ops)) {
    PlainSequence plain(ops, target);
    bool handed_over = false;
    while (!handed_over) {
      if (!end) {
        auto got = file.read_some(chunk.get() + size, kChunk - size);
        if (!got) return std::unexpected(std::move(got.error()));
        size += *got;
        end = *got == 0;
      }
      const auto [outcome, pos] = plain.read(std::string_view(chunk.get(), size), end);
      switch (outcome) {
        case PlainSequence::Outcome::More:
          if (pos == 0 && size == kChunk) {
            // One element longer than the chunk: the general parser streams any length.
            bracket = true;
            handed_over = true;
            break;
          }
          std::memmove(chunk.get(), chunk.get() + pos, size - pos);
          fed += pos;
          size -= pos;
          break;
        case PlainSequence::Outcome::Finished:
          return std::nullopt;
        case PlainSequence::Outcome::Refused:
          // Between elements, where the parser would stop too: at the end of the input, or
          // at a byte that cannot stand there.
          return StreamFault::syntax(fed + pos,
                                     pos == size ? boost::json::error::incomplete : boost::json::error::syntax);
        case PlainSequence::Outcome::HandOver:
          bracket = true;
          from = pos;
          handed_over = true;
          break;
        case PlainSequence::Outcome::Decline:
          from = pos;
          handed_over = true;
          break;
      }
    }
  } else {
    auto got = file.read_some(chunk.get(), kChunk);
    if (!got) return std::unexpected(std::move(got.error()));
    size = *got;
    end = size == 0;
  }

  boost::json::parse_options options;
  options.max_depth = kMaxDepth;
  boost::json::basic_parser<Handler> parser(options, ops, target);
  boost::json::error_code ec;
  const auto fault = [&](std::size_t stop) {
    Handler& handler = parser.handler();
    if (handler.failed()) return StreamFault::own(stop, std::move(handler.message()), handler.anchor());
    return StreamFault::syntax(stop, ec);
  };
  // The array the plain reader opened, opened again for the general parser.
  if (bracket) parser.write_some(true, "[", 1, ec);
  // Feeds `n` bytes at `offset` in the input; only whitespace may follow the value. The parser
  // gets them a slice at a time: resuming a character or an escape that one write cut off,
  // Boost.JSON 1.81 may write past its 4 KiB buffer when the next write holds more than about
  // that, so no write holds more than half of it.
  const auto feed = [&](const char* data, std::size_t n, std::size_t offset) -> std::optional<StreamFault> {
    constexpr std::size_t kSlice = 2048;
    std::size_t consumed = 0;
    while (consumed < n && !parser.done()) {
      const std::size_t slice = std::min(kSlice, n - consumed);
      const std::size_t taken = parser.write_some(true, data + consumed, slice, ec);
      consumed += taken;
      if (ec || parser.handler().failed()) return fault(offset + consumed);
      if (taken < slice) break;
    }
    while (consumed < n && is_json_space(data[consumed])) ++consumed;
    if (consumed < n) return StreamFault::own(offset + consumed, "trailing characters");
    return std::nullopt;
  };
  while (true) {
    if (size > from) {
      if (auto stop = feed(chunk.get() + from, size - from, fed + from)) return stop;
    }
    fed += size;
    from = 0;
    size = 0;
    if (end) break;
    auto got = file.read_some(chunk.get(), kChunk);
    if (!got) return std::unexpected(std::move(got.error()));
    size = *got;
    end = size == 0;
  }
  if (!parser.done()) {
    parser.write_some(false, nullptr, 0, ec);
    if (!ec && !parser.handler().failed() && !parser.done()) ec = boost::json::error::incomplete;
    if (ec || parser.handler().failed()) return fault(fed);
  }
  return std::nullopt;
}

}  // namespace

std::expected<void, std::string> stream_into(ReadableFile& file, const TypeOps& ops, void* target,
                                             std::size_t chunk_bytes) {
  // A stream's text is followed as it is read, behind what the parser may still stop in; a
  // file's is read again only when there is a fault to describe.
  std::optional<FaultLocator> followed;
  if (!file.rereadable()) {
    followed.emplace(std::max<std::size_t>(chunk_bytes, 1));
    file.tap([&followed](std::string_view piece) { followed->feed(piece); });
  }
  auto parsed = parse_stream(file, ops, target, chunk_bytes);
  if (!parsed || !*parsed) {
    file.tap({});
    if (!parsed) return std::unexpected(std::move(parsed.error()));
    return {};
  }
  const StreamFault& fault = **parsed;
  FaultLocator reread;
  FaultLocator& locator = followed ? *followed : reread;
  locator.stop_at(fault.stop);
  if (followed) {
    // The text just past the fault, which its description may need; the tap feeds it.
    char more[4096];
    while (locator.wants_more()) {
      auto got = file.read_some(more, sizeof more);
      if (!got) {
        file.tap({});
        return std::unexpected(std::move(got.error()));
      }
      if (*got == 0) break;
    }
    file.tap({});
  } else {
    auto read = file.reread([&locator](std::string_view piece) {
      locator.feed(piece);
      return locator.wants_more();
    });
    if (!read) return std::unexpected(std::move(read.error()));
    // Text shorter than where the parser stopped: the file was cut while it was read.
    if (locator.fed() < fault.stop) return std::unexpected(std::string("the file changed while it was read"));
  }
  if (!fault.message.empty()) {
    return std::unexpected(locator.message_at(fault.message, fault.anchor.index(fault.stop, locator.byte_at_stop())));
  }
  return std::unexpected(locator.syntax_error(fault.ec));
}

namespace {

// A skipped line's fault from the reader's error: only whether the line is JSON at all and
// where the fault lies, never a word of what it holds.
LineFault line_fault(std::string_view text, const std::string& error) {
  boost::system::error_code ec;
  boost::json::parse(text, ec);
  LineFault fault{.json = !ec};
  static constexpr std::string_view kColumn = " column ";
  if (const auto at = error.rfind(kColumn); at != std::string::npos && error.find(" at line ") != std::string::npos) {
    const std::string_view digits = std::string_view(error).substr(at + kColumn.size());
    if (!digits.empty() && digits.size() < 12 &&
        std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      fault.column = static_cast<std::size_t>(std::stoull(std::string(digits)));
    }
  }
  return fault;
}

}  // namespace

std::expected<void, std::string> stream_lines_into(ReadableFile& file, const TypeOps& ops, void* target,
                                                   std::size_t chunk_bytes, const SkipLine* skip) {
  // The fast reader only where an element may be read afresh after it gave up on it.
  std::optional<PlainSequence> plain;
  if (PlainSequence::fits(ops)) plain.emplace(ops, target);
  std::string chunk(std::max<std::size_t>(chunk_bytes, 1), '\0');
  std::size_t size = 0;  // bytes in the chunk
  std::size_t line = 1;  // the number of the line that starts at `from`
  bool end = false;
  // One line without its line feed, as the general reader reads it; blank ones hold nothing.
  const auto read_line = [&](std::string_view text) -> std::expected<void, std::string> {
    if (std::all_of(text.begin(), text.end(), is_json_space)) return {};
    void* element = ops.push(target);
    if (auto read = read_into(text, *ops.element, element, line); !read) {
      // Only a sequence handed over one by one can leave a line out: nothing of it was kept.
      if (skip == nullptr || ops.element_done == nullptr) return read;
      (*skip)(line, line_fault(text, read.error()));
      return {};
    }
    if (ops.element_done != nullptr) ops.element_done(target);
    return {};
  };
  while (!end) {
    // A line longer than the chunk: the chunk grows to hold it.
    if (size == chunk.size()) chunk.resize(chunk.size() * 2);
    auto got = file.read_some(chunk.data() + size, chunk.size() - size);
    if (!got) return std::unexpected(std::move(got.error()));
    size += *got;
    end = *got == 0;
    std::size_t from = 0;
    while (from < size) {
      if (plain) {
        const auto read = plain->line(std::string_view(chunk.data(), size), from, end);
        if (read == PlainSequence::Line::Read) {
          ++line;
          continue;
        }
        if (read == PlainSequence::Line::More) break;
      }
      const auto* feed = static_cast<const char*>(std::memchr(chunk.data() + from, '\n', size - from));
      if (feed == nullptr && (!end || file.stopped())) break;
      const std::size_t stop = feed != nullptr ? static_cast<std::size_t>(feed - chunk.data()) : size;
      if (auto read = read_line(std::string_view(chunk.data() + from, stop - from)); !read) return read;
      ++line;
      from = stop + 1;
    }
    from = std::min(from, size);
    std::memmove(chunk.data(), chunk.data() + from, size - from);
    size -= from;
  }
  return {};
}

std::string invalid_integer(std::string_view text, std::string_view expected) {
  return fmt::format("invalid value: integer `{}`, expected {}", shown(text), expected);
}

}  // namespace quenvistrel_contracts::json::detail
