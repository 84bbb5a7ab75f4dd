#include "cli/parse.hpp"

#include <algorithm>
#include <charconv>
#include <limits>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "commands/table.hpp"
#include "commands/arguments.hpp"
#include "quencore_contracts/echo.hpp"

namespace quenvistrel_cli {

namespace {

using quencore_contracts::echo_input;

constexpr const char* kProgram = "quenvistrelctl";

}  // namespace

namespace {

// ---- Help and usage -------------------------------------------------------------------

bool is_builtin(const CLI::App& app, const CLI::Option* opt) {
  return opt == app.get_help_ptr() || opt == app.get_version_ptr();
}

std::string option_label(const CLI::Option& opt) {
  if (opt.get_positional()) {
    return opt.get_name();
  }
  std::string label;
  for (const auto& s : opt.get_snames()) {
    label += fmt::format("-{}, ", s);
  }
  for (const auto& l : opt.get_lnames()) {
    label += fmt::format("--{}, ", l);
  }
  label.resize(label.size() - 2);
  if (const auto value = opt.get_type_name(); !value.empty()) {
    label += ' ';
    label += value;
  }
  return label;
}

std::string option_help(const CLI::Option& opt) {
  std::string help = opt.get_description();
  if (const auto def = opt.get_default_str(); !def.empty()) {
    help += fmt::format("{}[default: {}]", help.empty() ? "" : " ", def);
  }
  return help;
}

// Non-positional options in the order they were declared, the built-in help and version
// flags last (CLI11 creates the help flag first).
std::vector<const CLI::Option*> named_options(const CLI::App& app, bool with_builtins) {
  std::vector<const CLI::Option*> own;
  std::vector<const CLI::Option*> builtins;
  for (const CLI::Option* opt : app.get_options()) {
    if (opt->get_positional()) {
      continue;
    }
    (is_builtin(app, opt) ? builtins : own).push_back(opt);
  }
  if (with_builtins) {
    own.insert(own.end(), builtins.begin(), builtins.end());
  }
  return own;
}

std::string usage_line(const CLI::App& app, const std::string& path) {
  if (app.get_parent() == nullptr) {
    return fmt::format("{} [OPTIONS] <COMMAND>", path);
  }
  std::string usage = fmt::format("{} [OPTIONS]", path);
  for (const CLI::Option* opt : named_options(app, false)) {
    if (opt->get_required()) {
      usage += ' ' + option_label(*opt);
    }
  }
  for (const CLI::Option* opt : app.get_options()) {
    if (opt->get_positional()) {
      usage += ' ' + opt->get_name();
    }
  }
  return usage;
}

struct Section {
  std::string title;
  std::vector<std::pair<std::string, std::string>> rows;
};

std::string render_help(const CLI::App& app, const std::string& path) {
  std::vector<Section> sections;

  Section commands{"Commands", {}};
  for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; })) {
    commands.rows.emplace_back(sub->get_name(), sub->get_description());
  }
  Section arguments{"Arguments", {}};
  for (const CLI::Option* opt : app.get_options()) {
    if (opt->get_positional()) {
      arguments.rows.emplace_back(option_label(*opt), option_help(*opt));
    }
  }
  Section options{"Options", {}};
  for (const CLI::Option* opt : named_options(app, true)) {
    options.rows.emplace_back(option_label(*opt), option_help(*opt));
  }
  // The global options are accepted after the subcommand too, so its page lists them.
  Section globals{"Global options", {}};
  if (const CLI::App* parent = app.get_parent()) {
    for (const CLI::Option* opt : named_options(*parent, false)) {
      globals.rows.emplace_back(option_label(*opt), option_help(*opt));
    }
  }
  for (auto* section : {&commands, &arguments, &options, &globals}) {
    if (!section->rows.empty()) {
      sections.push_back(std::move(*section));
    }
  }

  std::size_t width = 0;
  for (const auto& section : sections) {
    for (const auto& [label, help] : section.rows) {
      width = std::max(width, label.size());
    }
  }

  std::string out = fmt::format("{}\n\nUsage: {}\n", app.get_description(), usage_line(app, path));
  for (const auto& section : sections) {
    out += fmt::format("\n{}:\n", section.title);
    for (const auto& [label, help] : section.rows) {
      if (help.empty()) {
        out += fmt::format("  {}\n", label);
      } else {
        out += fmt::format("  {:<{}}  {}\n", label, width, help);
      }
    }
  }
  return out;
}

// One layout for the tool and every subcommand; CLI11 hands subcommands the parent's
// formatter, so setting it on the tool before adding them is enough.
class HelpFormatter final : public CLI::FormatterBase {
 public:
  std::string make_help(const CLI::App* app, std::string path, CLI::AppFormatMode) const override {
    return render_help(*app, path);
  }
};

// The subcommand the parser had reached, and its path as typed ("quenvistrelctl ingest").
std::pair<const CLI::App*, std::string> deepest_parsed(const CLI::App& app) {
  const CLI::App* at = &app;
  std::string path = app.get_name();
  while (!at->get_subcommands().empty()) {
    at = at->get_subcommands().front();
    path += ' ' + at->get_name();
  }
  return {at, path};
}

// ---- Inline values ----------------------------------------------------------------------

// The long names of the options declared on the tool and its subcommands, without the
// built-in help and version flags, which keep CLI11's reading of "=".
std::vector<std::string> own_long_names(const CLI::App& app) {
  std::vector<std::string> names;
  for (const CLI::Option* opt : named_options(app, false)) {
    names.insert(names.end(), opt->get_lnames().begin(), opt->get_lnames().end());
  }
  for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; })) {
    const auto more = own_long_names(*sub);
    names.insert(names.end(), more.begin(), more.end());
  }
  return names;
}

// The arguments in the order CLI11 consumes them (from the back), inline values marked.
std::vector<std::string> prepare_arguments(const CLI::App& app, std::span<const std::string> args) {
  const auto names = own_long_names(app);
  std::vector<std::string> prepared(args.rbegin(), args.rend());
  for (auto& arg : prepared) {
    // The name ends at the first "=", as CLI11 splits it; the text may hold more of them.
    const std::size_t eq = arg.find('=');
    if (arg.starts_with("--") && eq != std::string::npos &&
        std::ranges::find(names, std::string_view(arg).substr(2, eq - 2)) != names.end()) {
      arg += kInlineMark;
    }
  }
  return prepared;
}

// ---- Suggestions ------------------------------------------------------------------------

// The edits (a character added, removed, changed, or two neighbours swapped) that make `a`
// into `b`.
std::size_t edit_distance(std::string_view a, std::string_view b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[a.size()][b.size()];
}

// The name among `names` that `typed` most likely misspells (the first of the nearest, one
// edit away for a short word, two for a longer one), if any.
std::optional<std::string> nearest(std::string_view typed, const std::vector<std::string>& names) {
  const std::size_t most = typed.size() > 4 ? 2 : 1;
  std::optional<std::string> best;
  std::size_t best_distance = most + 1;
  for (const std::string& name : names) {
    if (const std::size_t d = edit_distance(typed, name); d < best_distance) {
      best = name;
      best_distance = d;
    }
  }
  return best;
}

// "; did you mean '…'?" for a misspelt name, or nothing.
std::string suggestion(std::string_view typed, const std::vector<std::string>& names) {
  const auto near = nearest(typed, names);
  return near ? fmt::format("; did you mean '{}'?", *near) : std::string();
}

std::vector<std::string> command_names(const CLI::App& app) {
  std::vector<std::string> names;
  for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; })) names.push_back(sub->get_name());
  return names;
}

std::string unknown_command(const CLI::App& app, std::string_view typed) {
  return fmt::format("unknown command '{}'{}", echo_input(typed), suggestion(typed, command_names(app)));
}

// The options that `at` accepts: its own, and the tool's, which it hands up.
std::vector<std::string> option_names(const CLI::App& at) {
  std::vector<std::string> names;
  for (const CLI::App* app = &at; app != nullptr; app = app->get_parent()) {
    for (const CLI::Option* opt : named_options(*app, true)) {
      for (const auto& l : opt->get_lnames()) names.push_back("--" + l);
    }
  }
  return names;
}

// CLI11's own message lists several leftovers in reverse order; this keeps them as typed,
// and suggests the option that the first unknown one misspells.
std::string unexpected_arguments(const CLI::App& at, const std::vector<std::string>& leftovers) {
  std::string quoted;
  for (const auto& arg : leftovers) {
    quoted += fmt::format("{}'{}'", quoted.empty() ? "" : ", ", echo_input(unmarked(arg)));
  }
  std::string hint;
  for (const auto& arg : leftovers) {
    if (arg.starts_with("--")) {
      const std::string name = unmarked(arg);
      hint = suggestion(name.substr(0, name.find('=')), option_names(at));
      break;
    }
  }
  return fmt::format("unexpected argument{} {}{}", leftovers.size() > 1 ? "s" : "", quoted, hint);
}

EarlyExit usage_error(const CLI::App& app, std::string_view message) {
  const auto [at, path] = deepest_parsed(app);
  return EarlyExit{
      .status = 2,
      .to_stderr = true,
      .output = fmt::format("error: {}\n\nUsage: {}\n\nFor more information, try '{} --help'.\n", message,
                            usage_line(*at, path), path),
  };
}

// ---- Grammar ----------------------------------------------------------------------------

// What both programs share: the help layout, "-h"/"--help" and "-V"/"--version", a help
// subcommand, and exactly one subcommand.
struct Program {
  CLI::App app;
  CLI::App* help = nullptr;
  std::string help_topic;

  Program(const std::string& about, const std::string& name) : app(about, name) {
    app.formatter(std::make_shared<HelpFormatter>());
    app.set_help_flag("-h,--help", "Print help");
    app.set_version_flag("-V,--version", fmt::format("{} {}", name, QUEN_VERSION), "Print version");
    // At most one subcommand, so a later subcommand name is read as an argument, not a switch.
    app.require_subcommand(1);
  }

  // Declared after the program's own subcommands, so that it comes last on the help page.
  void add_help() {
    help = app.add_subcommand("help", "Print this message or the help of the given subcommand(s)");
    add_text(*help, "[COMMAND]", "", help_topic)->description("The command whose help to print");
  }

  // Parses `args`; help, the version and usage errors end the run here.
  std::optional<EarlyExit> parse(std::span<const std::string> args) {
    if (args.empty()) return EarlyExit{.status = 2, .to_stderr = true, .output = app.help()};
    std::vector<std::string> prepared = prepare_arguments(app, args);
    try {
      app.parse(prepared);
    } catch (const CLI::CallForHelp&) {
      return EarlyExit{.status = 0, .to_stderr = false, .output = app.help()};
    } catch (const CLI::CallForVersion& version) {
      return EarlyExit{.status = 0, .to_stderr = false, .output = fmt::format("{}\n", version.what())};
    } catch (const CLI::RequiredError& error) {
      // CLI11 checks for what is missing before it reports leftovers, so an unknown command
      // name would otherwise read "A subcommand is required", and a misspelt option would hide
      // behind the required one it was meant to be.
      if (app.get_subcommands().empty()) {
        const auto leftovers = app.remaining();
        const std::string message = leftovers.empty()                    ? std::string("a command is required")
                                    : leftovers.front().starts_with('-') ? unexpected_arguments(app, leftovers)
                                                                         : unknown_command(app, leftovers.front());
        return usage_error(app, message);
      }
      if (const auto leftovers = app.remaining(true);
          std::ranges::any_of(leftovers, [](const std::string& arg) { return arg.starts_with('-'); })) {
        return usage_error(app, unexpected_arguments(*deepest_parsed(app).first, leftovers));
      }
      return usage_error(app, error.what());
    } catch (const CLI::ExtrasError&) {
      return usage_error(app, unexpected_arguments(*deepest_parsed(app).first, app.remaining(true)));
    } catch (const CLI::ParseError& error) {
      return usage_error(app, error.what());
    }
    if (help->parsed()) {
      if (help_topic.empty()) {
        return EarlyExit{.status = 0, .to_stderr = false, .output = render_help(app, app.get_name())};
      }
      for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; })) {
        if (sub->get_name() == help_topic) {
          return EarlyExit{.status = 0,
                           .to_stderr = false,
                           .output = render_help(*sub, fmt::format("{} {}", app.get_name(), help_topic))};
        }
      }
      return usage_error(app, unknown_command(app, help_topic));
    }
    return std::nullopt;
  }
};

// Values the callbacks fill while CLI11 parses: one command per table entry, of which the
// selected subcommand picks its own.
struct Parsed {
  Cli cli;
  std::vector<CliCommand> commands = std::vector<CliCommand>(command_table().size());
};

}  // namespace

std::expected<Cli, EarlyExit> parse_command_line(std::span<const std::string> args) {
  Parsed p;
  Program program("QuenVistrel metadata analytics", kProgram);
  CLI::App& app = program.app;
  // Unknown options of a subcommand go up to the tool, which is how the global options are
  // accepted after the subcommand name.
  app.fallthrough();

  add_text(app, "--state", "<STATE>", p.cli.state)
      ->description("Path to the JSON state file, or a PostgreSQL database: a postgresql:// URI or key=value words")
      ->default_str(p.cli.state);
  add_flag(app, "--json", p.cli.json)->description("Print the report as compact JSON instead of text");

  std::vector<const CLI::App*> subcommands;
  for (const CommandEntry& command : command_table()) {
    auto* sub = app.add_subcommand(std::string(command.name), std::string(command.about));
    command.arguments(*sub, p.commands[subcommands.size()]);
    subcommands.push_back(sub);
  }
  program.add_help();

  if (auto early = program.parse(args)) return std::unexpected(std::move(*early));
  for (std::size_t i = 0; i < subcommands.size(); ++i) {
    if (subcommands[i]->parsed()) p.cli.command = std::move(p.commands[i]);
  }
  return std::move(p.cli);
}

std::expected<StoreCli, EarlyExit> parse_store_command_line(std::span<const std::string> args) {
  StoreCli cli;
  Program program("Moves a quenvistrelctl store between a state file and a PostgreSQL database", "quenvistrel-store");
  auto* copy = program.app.add_subcommand(
      "copy", "Copy every record of the store at FROM into TO, which must hold no store yet");
  add_text(*copy, "<FROM>", "", cli.from)
      ->required()
      ->description("The store to copy: a state file, or a database as --state takes one (a postgresql:// URI, "
                    "key=value words)");
  add_text(*copy, "<TO>", "", cli.to)
      ->required()
      ->description("Where to copy it: a state file that does not exist yet, or a database without a store");
  program.add_help();
  if (auto early = program.parse(args)) return std::unexpected(std::move(*early));
  return cli;
}

}  // namespace quenvistrel_cli
