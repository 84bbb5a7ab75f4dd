#include "run.hpp"

#include <cstdio>
#include <utility>

#include "cli.hpp"
#include "commands.hpp"
#include "quencore_contracts/time.hpp"
#include "report.hpp"
#include "state_file.hpp"

namespace quenvistrel_cli {

std::expected<int, std::string> run(std::span<const std::string> args) {
  auto cli = parse_command_line(args);
  if (!cli) {
    const EarlyExit& early = cli.error();
    if (early.to_stderr) {
      std::fwrite(early.output.data(), 1, early.output.size(), stderr);
    } else if (auto written = write_stdout(early.output); !written) {
      return std::unexpected(std::move(written.error()));
    }
    return early.status;
  }

  // Commands that change the state hold the folder lock from before the load to after the
  // save; read-only commands never wait, since a save replaces the file atomically.
  const CommandEntry& command = command_entry(cli->command);
  FolderLock lock;
  if (command.changes_state()) {
    auto locked = lock_state_folder(cli->state);
    if (!locked) return std::unexpected(std::move(locked.error()));
    lock = std::move(*locked);
  }

  // Taken before loading so that every record the run creates or touches carries one instant.
  const auto now = quencore_contracts::Timestamp::now();
  auto state = load_state(cli->state);
  if (!state) {
    return std::unexpected(std::move(state.error()));
  }

  RunContext ctx{*state, cli->state, now, cli->json};
  auto report = command.handle(ctx, cli->command);
  if (!report) return std::unexpected(std::move(report.error()));
  // Saved before any output, so what the command changed persists whatever happens to its report.
  if (command.saves == Saves::BeforeReport) {
    if (auto saved = save_state(cli->state, *state); !saved) return std::unexpected(std::move(saved.error()));
  }
  if (auto printed = emit_report(cli->json, report->json, report->text); !printed) {
    return std::unexpected(std::move(printed.error()));
  }
  return report->status;
}

}  // namespace quenvistrel_cli
