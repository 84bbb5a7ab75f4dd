// Runs a command once and prints what it cost, as one line of numbers:
//   run_stats <command> [arguments…]
//   -> "<wall s> <user s> <sys s> <peak RSS KiB> <peak anonymous KiB> <exit status>"
// The peak RSS is the kernel's (it counts the pages of mapped files); the anonymous peak is
// sampled from /proc every millisecond, so it can miss a spike shorter than that. The
// command's own output goes where ours goes.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

namespace {

long anon_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("RssAnon:")) return std::strtol(line.c_str() + 8, nullptr, 10);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: run_stats <command> [arguments...]\n");
    return 2;
  }
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = ::fork();
  if (child < 0) {
    std::perror("fork");
    return 1;
  }
  if (child == 0) {
    ::execvp(argv[1], argv + 1);
    std::perror(argv[1]);
    std::_Exit(127);
  }
  long peak_anon = 0;
  int status = 0;
  rusage usage{};
  while (true) {
    const pid_t done = ::wait4(child, &status, WNOHANG, &usage);
    if (done == child) break;
    if (done < 0) {
      std::perror("wait4");
      return 1;
    }
    peak_anon = std::max(peak_anon, anon_kib(child));
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  std::printf("%.3f %.3f %.3f %ld %ld %d\n", wall, seconds(usage.ru_utime), seconds(usage.ru_stime), usage.ru_maxrss,
              peak_anon, code);
  return 0;
}
