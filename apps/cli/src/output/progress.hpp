#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

#include "quenvistrel_classify/raw_records.hpp"
#include "store/write_watcher.hpp"

namespace quenvistrel_cli {

// One line on standard error that shows a person at a terminal that a long step is working.
// It appears once the step has worked for a second, is redrawn in place at most four times a
// second, cut to the terminal's width (so it never wraps), and clear() removes it before
// anything else is printed. Nothing at all is drawn when
// standard error is not a terminal or TERM is "dumb": scripts, pipes and logs see exactly the
// bytes they always did.
class ProgressLine {
 public:
  ProgressLine();
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;
  ~ProgressLine() { clear(); }

  // Whether a line is wanted now; when it is, the caller draws one with show().
  [[nodiscard]] bool due();
  void show(std::string_view text);
  // Removes the line, if one is shown.
  void clear();
  [[nodiscard]] bool on() const { return on_; }
  // Since the step began.
  [[nodiscard]] double seconds() const;

 private:
  bool on_ = false;
  bool shown_ = false;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_;
};

// The line of a fixture being read: events read and accepted, bytes of the fixture read (of
// its size, when known) and the rate.
class Progress {
 public:
  // After each event read; cheap enough to call for every one.
  void event(std::uint64_t read, std::uint64_t accepted) {
    if (line_.on() && (read & 1023) == 0) draw(read, accepted);
  }
  void clear() { line_.clear(); }
  // What the fixture's reader keeps up to date for the line.
  quenvistrel_classify::ReadProgress* input() { return &input_; }

 private:
  void draw(std::uint64_t read, std::uint64_t accepted);

  quenvistrel_classify::ReadProgress input_;
  ProgressLine line_;
};

// The line of a store's long writes: the bytes of the new state file written so far and the
// rate, on a line of its own for each long stretch of the save.
class SaveProgress final : public WriteWatcher {
 public:
  void begin() override { line_.emplace(); }
  void written(std::uint64_t bytes) override;
  void end() override { line_.reset(); }

 private:
  std::optional<ProgressLine> line_;
};

}  // namespace quenvistrel_cli
