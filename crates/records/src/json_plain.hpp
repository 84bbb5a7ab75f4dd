#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "quenvistrel_contracts/json/detail/reader.hpp"

namespace quenvistrel_contracts::json::detail {

// A fast reader for the plain layout of a streamed sequence of records (an events fixture):
// an array of objects whose members are declared fields holding strings, or maps of strings,
// with no escapes beyond the one-letter ones. It fills the same targets through the same
// codec operations as the general reader, and it hands the text over to that reader at the
// first element it is not sure of: an unknown or repeated key, a missing field, a value of
// another type, a \u escape, a control character, malformed UTF-8, a value its codec
// refuses, or the end of the input. Whatever it accepts, the general reader accepts with the
// same result, so the general reader alone decides every error and its message.
//
// It only ever stops for good between elements, so the general reader can take over at an
// element as if the array had just opened: it is fed "[" and the rest of the text from that
// element on.
class PlainSequence {
 public:
  // Whether `ops` is a sequence this reader can fill: records handed over one by one, whose
  // element may be started afresh (`push` may be called again for the same element).
  [[nodiscard]] static bool fits(const TypeOps& ops);

  PlainSequence(const TypeOps& ops, void* target) : ops_(ops), target_(target) {}

  enum class Outcome : std::uint8_t {
    More,      // everything before `pos` is read; the rest needs more text after it
    Finished,  // the array and the whitespace after it are read, the input has ended
    HandOver,  // the general reader takes over at `pos`, an element's start, after "["
    Decline,   // the text does not open with an array: the general reader reads it from `pos`
    Refused,   // the text is not JSON at `pos`: the array is broken between elements
  };
  struct Result {
    Outcome outcome;
    std::size_t pos;
  };

  // Reads on in `text`, which starts where the last call's `pos` left off; `end` says the
  // input ends with it.
  [[nodiscard]] Result read(std::string_view text, bool end);

  // JSON Lines: reads the line that starts at text[pos] when it holds one element in the plain
  // layout, blanks around it, and hands the element over; pos then stands past its line feed.
  enum class Line : std::uint8_t {
    Read,   // the line is read
    More,   // the line may be plain, but its text does not end within `text` (and `end` is false)
    Other,  // anything else: a blank line, or one the general reader must read
  };
  [[nodiscard]] Line line(std::string_view text, std::size_t& pos, bool end);

 private:
  enum class State : std::uint8_t { Start, First, Next, After, Closed };
  enum class Step : std::uint8_t { Done, Short, Unsure };

  Step element(std::string_view text, std::size_t& pos);
  template <class Member>
  Step object(std::string_view text, std::size_t& pos, Member&& member);
  Step member_value(const TypeOps& ops, void* target, std::string_view text, std::size_t& pos);
  Step string(std::string_view text, std::size_t& pos, std::string_view& value, std::string& decoded);
  Step long_string(std::string_view text, std::size_t& pos, std::string_view& value, std::string& decoded);

  const TypeOps& ops_;
  void* target_;
  State state_ = State::Start;
  std::string decoded_;
  std::string key_;
  std::string message_;
  MapScratch scratch_;
};

}  // namespace quenvistrel_contracts::json::detail
