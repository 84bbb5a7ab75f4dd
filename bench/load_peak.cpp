// Loads a state file once and reports the peak resident memory against the file's size:
//   load_peak <state.json>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cstdio>

#include "store/file/state_file.hpp"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: load_peak <state.json>\n");
    return 2;
  }
  struct stat st {};
  if (::stat(argv[1], &st) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  rusage before{};
  ::getrusage(RUSAGE_SELF, &before);
  auto state = quenvistrel_cli::load_state(argv[1]);
  if (!state) {
    std::fprintf(stderr, "load_peak: %s\n", state.error().c_str());
    return 1;
  }
  rusage after{};
  ::getrusage(RUSAGE_SELF, &after);
  const double file_mb = static_cast<double>(st.st_size) / 1e6;
  const double peak_mb = static_cast<double>(after.ru_maxrss) * 1024 / 1e6;
  std::printf("events %zu, file %.1f MB, peak RSS %.1f MB (before load %.1f MB), ratio %.2f\n",
              state->store.events.size(), file_mb, peak_mb, static_cast<double>(before.ru_maxrss) * 1024 / 1e6,
              peak_mb / file_mb);
  return 0;
}
