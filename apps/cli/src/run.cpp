#include "run.hpp"

#include <cstdio>
#include <utility>

#include "cli/parse.hpp"
#include "commands/table.hpp"
#include "quencore_contracts/time.hpp"
#include "commands/report.hpp"
#include "output/progress.hpp"
#include "store/store.hpp"

namespace quenvistrel_cli {

namespace {

// A command on the store opened once: a changing command holds the store's lock from before
// the load until after its commit; reading commands never wait.
HandlerResult run_once(const CommandEntry& command, const Cli& cli, SaveProgress& save_progress) {
  auto store = open_store(cli.state, command.changes());
  if (!store) return std::unexpected(std::move(store.error()));
  (*store)->watch_writes(&save_progress);

  // Taken before loading so that every record the run creates or touches carries one instant.
  const auto now = quencore_contracts::Timestamp::now();
  if (auto loaded = (*store)->load(); !loaded) return std::unexpected(std::move(loaded.error()));

  RunContext ctx{**store, now, cli.json};
  auto report = command.handle(ctx, cli.command);
  if (!report) return report;
  // Committed before any output, so what the command changed persists whatever happens to its
  // report. Identifiers drawn without the system's entropy are never stored.
  if (command.changes()) {
    if (auto committed = commit_changes(**store); !committed) return std::unexpected(std::move(committed.error()));
  }
  return report;
}

// A command that opens the store for each of its steps and commits each itself.
HandlerResult run_in_steps(const CommandEntry& command, const Cli& cli, SaveProgress& save_progress) {
  const auto now = quencore_contracts::Timestamp::now();
  StepContext ctx{cli.state, now, cli.json, &save_progress};
  return command.handle_steps(ctx, cli.command);
}

}  // namespace

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

  const CommandEntry& command = command_entry(cli->command);
  SaveProgress save_progress;  // outlives the store, which reports its long writes to it
  auto report = command.commits_in_steps(cli->command) ? run_in_steps(command, *cli, save_progress)
                                                       : run_once(command, *cli, save_progress);
  if (!report) return std::unexpected(std::move(report.error()));
  if (auto printed = emit_report(cli->json, report->json, report->text); !printed) {
    return std::unexpected(std::move(printed.error()));
  }
  return report->status;
}

}  // namespace quenvistrel_cli
