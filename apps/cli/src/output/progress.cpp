#include "output/progress.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <fmt/format.h>

namespace quenvistrel_cli {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kQuiet = std::chrono::seconds(1);            // no line for a step shorter than this
constexpr auto kRedraw = std::chrono::milliseconds(250);    // at most four times a second
constexpr std::string_view kClearLine = "\r\x1b[K";         // to the line's start, then erase it

bool stderr_is_terminal() {
  if (::isatty(STDERR_FILENO) == 0) return false;
  const char* term = std::getenv("TERM");
  return term == nullptr || std::string_view(term) != "dumb";
}

double megabytes(std::uint64_t bytes) { return static_cast<double>(bytes) / 1e6; }

}  // namespace

ProgressLine::ProgressLine() : on_(stderr_is_terminal()), start_(Clock::now()), last_(start_) {}

bool ProgressLine::due() {
  if (!on_) return false;
  const auto now = Clock::now();
  if (now - start_ < kQuiet || (shown_ && now - last_ < kRedraw)) return false;
  last_ = now;
  return true;
}

double ProgressLine::seconds() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

namespace {

// The columns of the terminal on standard error, asked at each redraw so that a resize is
// followed; 80 when it cannot say.
std::size_t terminal_width() {
  struct winsize size {};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return 80;
  return size.ws_col;
}

}  // namespace

void ProgressLine::show(std::string_view text) {
  // One column short of the width: a line that fills the last column may wrap on some
  // terminals, and the next redraw would then leave a stale row behind. The text is ASCII, a
  // column a byte.
  const std::size_t room = terminal_width() - 1;
  std::string line(kClearLine);
  line += text.substr(0, room);
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
  shown_ = true;
}

void ProgressLine::clear() {
  if (!shown_) return;
  std::fwrite(kClearLine.data(), 1, kClearLine.size(), stderr);
  std::fflush(stderr);
  shown_ = false;
}

void Progress::draw(std::uint64_t read, std::uint64_t accepted) {
  if (!line_.due()) return;
  std::string text = fmt::format("read {} events, accepted {}, {:.1f} MB", read, accepted, megabytes(input_.bytes_read));
  if (input_.size > 0) fmt::format_to(std::back_inserter(text), " of {:.1f} MB", megabytes(input_.size));
  fmt::format_to(std::back_inserter(text), ", {:.0f} events/s", static_cast<double>(read) / line_.seconds());
  line_.show(text);
}

void SaveProgress::written(std::uint64_t bytes) {
  if (!line_ || !line_->due()) return;
  line_->show(fmt::format("saving the state file: {:.1f} MB written, {:.0f} MB/s", megabytes(bytes),
                         megabytes(bytes) / line_->seconds()));
}

}  // namespace quenvistrel_cli
