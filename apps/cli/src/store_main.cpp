// quenvistrel-store: moves a store between a state file and a PostgreSQL database.
#include <cstdio>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "cli/parse.hpp"
#include "output/progress.hpp"
#include "store/copy.hpp"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  const auto cli = quenvistrel_cli::parse_store_command_line(args);
  if (!cli) {
    const auto& early = cli.error();
    std::fputs(early.output.c_str(), early.to_stderr ? stderr : stdout);
    return std::fflush(stdout) == 0 ? early.status : 1;
  }

  quenvistrel_cli::SaveProgress save_progress;
  const auto copied = quenvistrel_cli::copy_store(cli->from, cli->to, &save_progress);
  if (!copied) {
    fmt::print(stderr, "error: {}\n", copied.error());
    return 1;
  }
  fmt::print("copied {} events, {} rollups, {} risk indicators, {} rules, {} alerts\n", copied->events,
             copied->rollups, copied->indicators, copied->rules, copied->alerts);
  return std::fflush(stdout) == 0 ? 0 : 1;
}
