#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "quencore_contracts/escape.hpp"

namespace quencore_contracts {

// Input repeated inside a message or a text report comes from files and sources we do not
// control. Escaping its control characters keeps a message on one line and keeps terminal
// control sequences out of the terminal; cutting it keeps a huge value from giving a huge
// message.

// How many bytes of an input a message repeats at most.
inline constexpr std::size_t ECHO_MAX_BYTES = 64;

// `text` with its control characters escaped, whatever its length.
[[nodiscard]] std::string escape_controls(std::string_view text);

// The first ECHO_MAX_BYTES bytes of `text`, cut back to a character boundary; `cut` tells
// whether anything was left off.
[[nodiscard]] std::string_view echo_head(std::string_view text, bool& cut);

// `text` as a message repeats it: its head, escaped, followed by "…" when it was cut.
[[nodiscard]] std::string echo_input(std::string_view text);

}  // namespace quencore_contracts
