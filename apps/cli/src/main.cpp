#include <cstdio>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "run.hpp"

int main(int argc, char** argv) {
  // Fully buffered, so ingest's per-event rejection lines do not cost a system call each.
  // The buffer is static: it must outlive every write, up to the flush below.
  static char stderr_buffer[1 << 16];
  std::setvbuf(stderr, stderr_buffer, _IOFBF, sizeof stderr_buffer);

  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  const auto result = quenvistrel_cli::run(args);
  int status = 0;
  if (result) {
    status = *result;
  } else {
    fmt::print(stderr, "error: {}\n", result.error());
    status = 1;
  }
  std::fflush(stdout);
  std::fflush(stderr);
  return status;
}
