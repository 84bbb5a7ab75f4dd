#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "command.hpp"
#include "handlers.hpp"

namespace CLI {
class App;
}

namespace quenvistrel_cli {

// When a command's changes are saved: never (it only reads, and takes no lock), by the run
// between the handler and the report, or by the handler itself (ingest writes its events
// into the new file while it reads the fixture).
enum class Saves : std::uint8_t { Nothing, BeforeReport, InHandler };

// One command: what the grammar, the help pages and the run sequence know of it.
struct CommandEntry {
  std::size_t alternative;  // the index of its struct in CliCommand
  std::string_view name;
  std::string_view about;  // the line of the help pages
  Saves saves;
  // Sets `command` to this command's defaults and declares its arguments on `sub`, which
  // fill `command` as they are parsed.
  void (*arguments)(CLI::App& sub, CliCommand& command);
  HandlerResult (*handle)(RunContext& ctx, const CliCommand& command);

  [[nodiscard]] bool changes_state() const { return saves != Saves::Nothing; }
};

// Every command in the order of the help page; entry i is that of CliCommand's alternative i.
[[nodiscard]] std::span<const CommandEntry> command_table();

[[nodiscard]] inline const CommandEntry& command_entry(const CliCommand& command) {
  return command_table()[command.index()];
}

}  // namespace quenvistrel_cli
