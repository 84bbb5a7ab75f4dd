#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace quenvistrel_contracts {

// Urgency of an event, ordered Info < Low < Medium < High < Critical.
enum class Severity : std::uint8_t { Info, Low, Medium, High, Critical };

// High or Critical.
[[nodiscard]] constexpr bool is_high(Severity s) { return s >= Severity::High; }
[[nodiscard]] std::string_view display_name(Severity s);  // "High"
[[nodiscard]] std::string_view wire_name(Severity s);     // "high"
// The error is "unknown variant `{text}`, expected one of `info`, `low`, `medium`, `high`, `critical`".
[[nodiscard]] std::expected<Severity, std::string> severity_from_wire(std::string_view text);

}  // namespace quenvistrel_contracts
