#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "commands/command.hpp"
#include "commands/handlers.hpp"

namespace CLI {
class App;
}

namespace quenvistrel_cli {

// Whether a command only reads the store or changes it: a changing command holds the store's
// lock, and the run commits its changes between the handler and the report.
enum class Access : std::uint8_t { Reads, Changes };

// One command: what the grammar, the help pages and the run sequence know of it.
struct CommandEntry {
  std::size_t alternative;  // the index of its struct in CliCommand
  std::string_view name;
  std::string_view about;  // the line of the help pages
  Access access;
  // Sets `command` to this command's defaults and declares its arguments on `sub`, which
  // fill `command` as they are parsed.
  void (*arguments)(CLI::App& sub, CliCommand& command);
  HandlerResult (*handle)(RunContext& ctx, const CliCommand& command);
  // For a changing command that commits in steps of its own when its arguments ask for it (a
  // batched ingest): whether this one does, and its handler, which opens the store for each
  // step itself. The run then opens no store, so nothing is held between the steps.
  bool (*in_steps)(const CliCommand& command) = nullptr;
  HandlerResult (*handle_steps)(StepContext& ctx, const CliCommand& command) = nullptr;

  [[nodiscard]] bool changes() const { return access == Access::Changes; }
  [[nodiscard]] bool commits_in_steps(const CliCommand& command) const {
    return in_steps != nullptr && in_steps(command);
  }
};

// Every command in the order of the help page; entry i is that of CliCommand's alternative i.
[[nodiscard]] std::span<const CommandEntry> command_table();

[[nodiscard]] inline const CommandEntry& command_entry(const CliCommand& command) {
  return command_table()[command.index()];
}

}  // namespace quenvistrel_cli
