// quenvistrel-store: moves a store between a state file and a PostgreSQL database.
#include <cstdio>
#include <string>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "output/progress.hpp"
#include "store/copy.hpp"

int main(int argc, char** argv) {
  CLI::App app("Moves a quenvistrelctl store between a state file and a PostgreSQL database", "quenvistrel-store");
  app.set_version_flag("-V,--version", "quenvistrel-store " QUEN_VERSION);
  app.require_subcommand(1);
  std::string from;
  std::string to;
  auto* copy = app.add_subcommand("copy", "Copy every record of the store at FROM into TO, which must hold no store yet");
  copy->add_option("FROM", from, "A state file path or a postgresql:// URI")->required();
  copy->add_option("TO", to, "A state file path that does not exist, or the URI of a database without a store")
      ->required();
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::fputs(app.help().c_str(), stdout);
    return 0;
  } catch (const CLI::CallForVersion&) {
    std::puts("quenvistrel-store " QUEN_VERSION);
    return 0;
  } catch (const CLI::ParseError& error) {
    fmt::print(stderr, "error: {}\nRun 'quenvistrel-store --help' for the usage.\n", error.what());
    return 2;
  }

  quenvistrel_cli::SaveProgress save_progress;
  const auto copied = quenvistrel_cli::copy_store(from, to, &save_progress);
  if (!copied) {
    fmt::print(stderr, "error: {}\n", copied.error());
    return 1;
  }
  fmt::print("copied {} events, {} rollups, {} risk indicators, {} rules, {} alerts\n", copied->events,
             copied->rollups, copied->indicators, copied->rules, copied->alerts);
  return std::fflush(stdout) == 0 ? 0 : 1;
}
