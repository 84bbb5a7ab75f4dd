#include "run.hpp"

#include <cstdio>
#include <utility>
#include <type_traits>
#include <variant>

#include "cli.hpp"
#include "quencore_contracts/time.hpp"
#include "report.hpp"
#include "state_file.hpp"

namespace quenvistrel_cli {

namespace {

bool changes_state(const CliCommand& command) {
  return !(std::holds_alternative<ValidateCommand>(command) || std::holds_alternative<RollupsCommand>(command) ||
           std::holds_alternative<SummaryCommand>(command));
}

}  // namespace

HandlerResult run(std::span<const std::string> args) {
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
  FolderLock lock;
  if (changes_state(cli->command)) {
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
  return std::visit(
      [&ctx](const auto& command) -> HandlerResult {
        using Command = std::decay_t<decltype(command)>;
        if constexpr (std::is_same_v<Command, ValidateCommand>) {
          return validate_handler(ctx, command);
        } else if constexpr (std::is_same_v<Command, IngestCommand>) {
          return ingest_handler(ctx, command);
        } else if constexpr (std::is_same_v<Command, RollupsCommand>) {
          return rollups_handler(ctx, command);
        } else if constexpr (std::is_same_v<Command, RiskCommand>) {
          return risk_handler(ctx, command);
        } else if constexpr (std::is_same_v<Command, AlertAddCommand>) {
          return alert_add_handler(ctx, command);
        } else if constexpr (std::is_same_v<Command, AlertEvalCommand>) {
          return alert_eval_handler(ctx, command);
        } else if constexpr (std::is_same_v<Command, RetentionCommand>) {
          return retention_handler(ctx, command);
        } else {
          static_assert(std::is_same_v<Command, SummaryCommand>);
          return summary_handler(ctx, command);
        }
      },
      cli->command);
}

}  // namespace quenvistrel_cli
