#include "progress.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include <fmt/format.h>

namespace quenvistrel_cli {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kQuiet = std::chrono::seconds(1);            // no line for a run shorter than this
constexpr auto kRedraw = std::chrono::milliseconds(250);    // at most four times a second
constexpr std::string_view kClearLine = "\r\x1b[K";         // to the line's start, then erase it

bool stderr_is_terminal() {
  if (::isatty(STDERR_FILENO) == 0) return false;
  const char* term = std::getenv("TERM");
  return term == nullptr || std::string_view(term) != "dumb";
}

double megabytes(std::uint64_t bytes) { return static_cast<double>(bytes) / 1e6; }

}  // namespace

Progress::Progress() : on_(stderr_is_terminal()), start_(Clock::now()), last_(start_) {}

void Progress::draw(std::uint64_t read, std::uint64_t accepted) {
  const auto now = Clock::now();
  if (now - start_ < kQuiet || (shown_ && now - last_ < kRedraw)) return;
  last_ = now;
  const double seconds = std::chrono::duration<double>(now - start_).count();
  std::string line(kClearLine);
  fmt::format_to(std::back_inserter(line), "read {} events, accepted {}, {:.1f} MB", read, accepted,
                 megabytes(input_.bytes_read));
  if (input_.size > 0) fmt::format_to(std::back_inserter(line), " of {:.1f} MB", megabytes(input_.size));
  fmt::format_to(std::back_inserter(line), ", {:.0f} events/s", static_cast<double>(read) / seconds);
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
  shown_ = true;
}

void Progress::clear() {
  if (!shown_) return;
  std::fwrite(kClearLine.data(), 1, kClearLine.size(), stderr);
  std::fflush(stderr);
  shown_ = false;
}

}  // namespace quenvistrel_cli
