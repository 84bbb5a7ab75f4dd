#include "json_plain.hpp"

#include <array>
#include <cstring>

#include "json_syntax.hpp"
#include "quencore_contracts/text_kernels.hpp"
#include "quencore_contracts/utf8.hpp"

namespace quenvistrel_contracts::json::detail {

namespace {

std::size_t skip_space(std::string_view text, std::size_t pos) {
  while (pos < text.size() && is_json_space(text[pos])) ++pos;
  return pos;
}

// A value the plain reader can fill from one string: a scalar or enumeration with a string form.
bool takes_string(const TypeOps& ops) {
  return (ops.shape == Shape::Scalar || ops.shape == Shape::Enum) && ops.from_string != nullptr;
}

// The byte each escape letter stands for; 0 for the letters that are not one-letter escapes.
constexpr auto kEscapes = [] {
  std::array<char, 256> table{};
  for (const ShortEscape& e : SHORT_ESCAPES) table[static_cast<unsigned char>(e.letter)] = e.byte;
  table['/'] = '/';
  return table;
}();

}  // namespace

bool PlainSequence::fits(const TypeOps& ops) {
  return ops.shape == Shape::Sequence && ops.push != nullptr && ops.element_done != nullptr &&
         ops.element != nullptr && ops.element->shape == Shape::Record;
}

PlainSequence::Result PlainSequence::read(std::string_view text, bool end) {
  std::size_t pos = 0;
  while (true) {
    pos = skip_space(text, pos);
    if (pos == text.size()) {
      if (!end) return {Outcome::More, pos};
      switch (state_) {
        case State::Start:
          return {Outcome::Decline, pos};
        case State::Closed:
          return {Outcome::Finished, pos};
        case State::First:
        case State::Next:
          return {Outcome::HandOver, pos};
        case State::After:
          return {Outcome::Refused, pos};
      }
    }
    const char c = text[pos];
    switch (state_) {
      case State::Start:
        if (c != '[') return {Outcome::Decline, pos};
        state_ = State::First;
        ++pos;
        continue;
      case State::After:
        if (c == ',') {
          state_ = State::Next;
        } else if (c == ']') {
          state_ = State::Closed;
        } else {
          return {Outcome::Refused, pos};
        }
        ++pos;
        continue;
      case State::Closed:
        return {Outcome::Refused, pos};
      case State::First:
        if (c == ']') {
          state_ = State::Closed;
          ++pos;
          continue;
        }
        break;
      case State::Next:
        // "[" and this would read as an empty array, which a trailing comma is not.
        if (c == ']') return {Outcome::Refused, pos};
        break;
    }
    // An element starts at pos.
    std::size_t at = pos;
    switch (element(text, at)) {
      case Step::Done:
        ops_.element_done(target_);
        state_ = State::After;
        pos = at;
        continue;
      case Step::Short:
        if (!end) return {Outcome::More, pos};
        return {Outcome::HandOver, pos};
      case Step::Unsure:
        return {Outcome::HandOver, pos};
    }
  }
}

PlainSequence::Line PlainSequence::line(std::string_view text, std::size_t& pos, bool end) {
  // Blanks within the line: a line feed ends it.
  const auto skip_blanks = [&](std::size_t p) {
    while (p < text.size() && (text[p] == ' ' || text[p] == '\t' || text[p] == '\r')) ++p;
    return p;
  };
  std::size_t p = skip_blanks(pos);
  if (p == text.size()) return end ? Line::Other : Line::More;
  if (text[p] != '{') return Line::Other;
  const std::size_t start = p;
  switch (element(text, p)) {
    case Step::Done:
      break;
    case Step::Short:
      // A line that ends before its element does is the general reader's to refuse.
      if (end || std::memchr(text.data() + start, '\n', text.size() - start) != nullptr) return Line::Other;
      return Line::More;
    case Step::Unsure:
      return Line::Other;
  }
  // The whitespace between tokens may hold a line feed, which no element of JSON Lines spans.
  if (std::memchr(text.data() + start, '\n', p - start) != nullptr) return Line::Other;
  p = skip_blanks(p);
  if (p == text.size() && !end) return Line::More;
  if (p < text.size() && text[p] != '\n') return Line::Other;
  ops_.element_done(target_);
  pos = p < text.size() ? p + 1 : p;
  return Line::Read;
}

// Walks the object opening at text[pos], handing each member's key to `member` with p at its
// value, which `member` reads, leaving p past it. pos ends past the closing brace.
template <class Member>
PlainSequence::Step PlainSequence::object(std::string_view text, std::size_t& pos, Member&& member) {
  if (text[pos] != '{') return Step::Unsure;
  std::size_t p = skip_space(text, pos + 1);
  if (p == text.size()) return Step::Short;
  if (text[p] != '}') {
    while (true) {
      if (text[p] != '"') return Step::Unsure;
      std::string_view key;
      if (const Step s = string(text, p, key, decoded_); s != Step::Done) return s;
      p = skip_space(text, p);
      if (p == text.size()) return Step::Short;
      if (text[p] != ':') return Step::Unsure;
      p = skip_space(text, p + 1);
      if (p == text.size()) return Step::Short;
      if (const Step s = member(key, p); s != Step::Done) return s;
      p = skip_space(text, p);
      if (p == text.size()) return Step::Short;
      if (text[p] == '}') break;
      if (text[p] != ',') return Step::Unsure;
      p = skip_space(text, p + 1);
      if (p == text.size()) return Step::Short;
    }
  }
  pos = p + 1;
  return Step::Done;
}

PlainSequence::Step PlainSequence::element(std::string_view text, std::size_t& pos) {
  if (text[pos] != '{') return Step::Unsure;
  const RecordOps& record = *ops_.element->record;
  void* target = ops_.push(target_);
  std::uint64_t seen = 0;
  std::size_t hint = 0;
  const Step read = object(text, pos, [&](std::string_view key, std::size_t& p) {
    std::size_t index = record.count;
    if (hint < record.count && same_text(record.fields[hint].name, key)) {
      index = hint;
    } else {
      for (std::size_t i = 0; i < record.count; ++i) {
        if (same_text(record.fields[i].name, key)) {
          index = i;
          break;
        }
      }
    }
    // Unknown keys are skipped by the general reader, repeated ones refused by it.
    if (index == record.count) return Step::Unsure;
    const std::uint64_t bit = std::uint64_t{1} << index;
    if ((seen & bit) != 0) return Step::Unsure;
    seen |= bit;
    hint = index + 1;
    const FieldOps& field = record.fields[index];
    return member_value(*field.ops, field.locate(target), text, p);
  });
  if (read != Step::Done) return read;
  // A missing field is the general reader's error to give.
  return (record.required & ~seen) != 0 ? Step::Unsure : Step::Done;
}

PlainSequence::Step PlainSequence::member_value(const TypeOps& ops, void* target, std::string_view text,
                                                std::size_t& pos) {
  std::string_view value;
  if (takes_string(ops)) {
    if (text[pos] != '"') return Step::Unsure;
    if (const Step s = string(text, pos, value, decoded_); s != Step::Done) return s;
    return ops.from_string(target, value, message_) ? Step::Done : Step::Unsure;
  }
  if (ops.shape != Shape::Map || !takes_string(*ops.element)) return Step::Unsure;
  // A map of strings.
  return object(text, pos, [&](std::string_view key, std::size_t& p) {
    // The key's bytes may sit in decoded_, which the value's escapes would overwrite.
    key_.assign(key);
    if (text[p] != '"') return Step::Unsure;
    if (const Step s = string(text, p, value, decoded_); s != Step::Done) return s;
    if (!ops.element->from_string(ops.value_slot(scratch_), value, message_)) return Step::Unsure;
    ops.commit(target, key_, scratch_);
    return Step::Done;
  });
}

// The string opening at text[pos]: `value` views its bytes in `text` or, when it has escapes,
// its decoded bytes in `decoded`; pos ends past the closing quote. Most strings are short and
// plain, and are done with one look at sixteen bytes.
PlainSequence::Step PlainSequence::string(std::string_view text, std::size_t& pos, std::string_view& value,
                                          std::string& decoded) {
  const std::size_t start = pos + 1;
  if (start + quencore_contracts::kernel::BLOCK <= text.size()) {
    if (const unsigned mask = quencore_contracts::kernel::special_mask(text.data() + start); mask != 0) {
      const std::size_t end = start + static_cast<std::size_t>(__builtin_ctz(mask));
      if (text[end] == '"') {
        value = text.substr(start, end - start);
        pos = end + 1;
        return Step::Done;
      }
    }
  }
  return long_string(text, pos, value, decoded);
}

PlainSequence::Step PlainSequence::long_string(std::string_view text, std::size_t& pos, std::string_view& value,
                                               std::string& decoded) {
  const char* const data = text.data();
  const std::size_t size = text.size();
  const std::size_t start = pos + 1;
  std::size_t i = start;
  std::size_t copied = start;  // with escapes: the bytes before this are in `decoded`
  bool escaped = false;
  while (true) {
    i = static_cast<std::size_t>(quencore_contracts::kernel::skip_string_text(data + i, data + size) - data);
    if (i == size) return Step::Short;
    const auto b = static_cast<unsigned char>(data[i]);
    if (b == '"') break;
    // A character that is malformed, or cut off by the end of what has been read so far.
    if (b >= 0x80) {
      return quencore_contracts::utf8_sequence(text, i) == quencore_contracts::UTF8_TRUNCATED ? Step::Short
                                                                                            : Step::Unsure;
    }
    if (b < 0x20) return Step::Unsure;
    // A backslash.
    if (i + 1 == size) return Step::Short;
    const char letter = kEscapes[static_cast<unsigned char>(data[i + 1])];
    if (letter == 0) return Step::Unsure;
    if (!escaped) decoded.clear();
    escaped = true;
    decoded.append(data + copied, i - copied);
    decoded += letter;
    i += 2;
    copied = i;
  }
  if (escaped) decoded.append(data + copied, i - copied);
  value = escaped ? std::string_view(decoded) : text.substr(start, i - start);
  pos = i + 1;
  return Step::Done;
}

}  // namespace quenvistrel_contracts::json::detail
