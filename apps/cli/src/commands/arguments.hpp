#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <utility>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "commands/values.hpp"
#include "quencore_contracts/echo.hpp"

// How a command declares its arguments on its subcommand (table.cpp), and how the parser
// (cli/parse.cpp) tells an inline "--name=" value from a bare option.
namespace quenvistrel_cli {

// CLI11 reads "--name=" like a bare "--name" and then takes the next word as the value, and
// gives "--json=true" the same result as a bare "--json". So before parsing, every
// "--name=text" of one of our own options gets this byte after its text: CLI11 then always
// sees a value, and a flag can tell that one was written. A program argument cannot hold a
// NUL, so the byte is never something typed, and every text CLI11 hands back drops it.
inline constexpr char kInlineMark = '\0';

inline std::string unmarked(std::string_view text) {
  if (text.ends_with(kInlineMark)) {
    text.remove_suffix(1);
  }
  return std::string(text);
}

// Adds an option (or positional, when `name` has no dashes) whose text `convert` turns into
// the target's value. CLI11 only collects the texts (TakeAll), so a second occurrence gets
// a message of our own instead of "At Most 1 required but received 2".
template <class T, class Convert>
CLI::Option* add_value(CLI::App& app, const std::string& name, const std::string& value_name, T& target,
                       Convert convert) {
  const std::string shown = value_name.empty() ? name : fmt::format("{} {}", name, value_name);
  CLI::Option* opt = app.add_option(name, [&target, name, shown, convert](const CLI::results_t& values) {
    if (values.size() > 1) {
      throw CLI::ArgumentMismatch(fmt::format("{} was given more than once", name));
    }
    const std::string text = unmarked(values.front());
    auto value = convert(text);
    if (!value) {
      throw CLI::ValidationError(
          fmt::format("invalid value '{}' for '{}': {}", quencore_contracts::echo_input(text), shown, value.error()));
    }
    target = std::move(*value);
    return true;
  });
  opt->type_name(value_name)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  return opt;
}

// Adds a flag that takes no value: "--name=…" of any kind and a second "--name" are errors.
inline CLI::Option* add_flag(CLI::App& app, const std::string& name, bool& target) {
  return app
      .add_option(name,
                  [&target, name](const CLI::results_t& values) {
                    if (values.size() > 1) throw CLI::ArgumentMismatch(fmt::format("{} was given more than once", name));
                    // A bare flag arrives as "true"; any "--name=…", even "--name=true", arrives
                    // with the inline mark.
                    if (values.front() != "true") throw CLI::ArgumentMismatch(fmt::format("{} takes no value", name));
                    target = true;
                    return true;
                  })
      ->expected(0)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
}

inline auto as_text(std::string_view text) { return std::expected<std::string, std::string>(std::string(text)); }

inline CLI::Option* add_text(CLI::App& app, const std::string& name, const std::string& value_name, std::string& target) {
  return add_value(app, name, value_name, target, as_text);
}

inline CLI::Option* add_tenant(CLI::App& app, quencore_contracts::TenantId& target) {
  return add_value(app, "--tenant", "<TENANT>", target, parse_tenant)->required();
}

}  // namespace quenvistrel_cli
