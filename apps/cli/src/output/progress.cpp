#include "output/progress.hpp"

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

void ProgressLine::show(std::string_view text) {
  std::string line(kClearLine);
  line += text;
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
