#include "quenvistrel_contracts/severity.hpp"

#include <array>

#include "quencore_contracts/echo.hpp"

namespace quenvistrel_contracts {

namespace {

struct Names {
  std::string_view display;
  std::string_view wire;
};

constexpr std::array<Names, 5> kNames{{
    {"Info", "info"},
    {"Low", "low"},
    {"Medium", "medium"},
    {"High", "high"},
    {"Critical", "critical"},
}};

}  // namespace

std::string_view display_name(Severity s) { return kNames[static_cast<std::size_t>(s)].display; }

std::string_view wire_name(Severity s) { return kNames[static_cast<std::size_t>(s)].wire; }

std::expected<Severity, std::string> severity_from_wire(std::string_view text) {
  for (std::size_t i = 0; i < kNames.size(); ++i) {
    if (kNames[i].wire == text) {
      return static_cast<Severity>(i);
    }
  }
  std::string message = "unknown variant `";
  message.append(quencore_contracts::echo_input(text)).append("`, expected one of `info`, `low`, `medium`, `high`, `critical`");
  return std::unexpected(std::move(message));
}

}  // namespace quenvistrel_contracts
