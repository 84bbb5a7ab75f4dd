#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <boost/json/error.hpp>

namespace quenvistrel_contracts::json {

// Length of the well-formed UTF-8 sequence at `i` (shortest form, no surrogates, at most
// U+10FFFF); 0 when malformed; npos when the text ends inside it.
std::size_t utf8_sequence(std::string_view text, std::size_t i);

// Appends " at line {line} column {column}" for the byte at `index` of `text` (both
// 1-based, the column counted in bytes); an index of -1 (nothing consumed) is column 0.
std::string with_position(std::string message, std::string_view text, std::ptrdiff_t index);

// The message and position of a parser error at `offset` (where the parser stopped),
// worded from what the grammar expected there.
std::string describe_syntax_error(std::string_view text, std::size_t offset, boost::json::error_code ec);

}  // namespace quenvistrel_contracts::json
