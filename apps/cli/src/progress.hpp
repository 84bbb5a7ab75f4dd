#pragma once

#include <chrono>
#include <cstdint>

#include "quenvistrel_classify/raw_records.hpp"

namespace quenvistrel_cli {

// One line on standard error that shows a person at a terminal that a long read of a fixture
// is working: events read and accepted, bytes of the fixture read (of its size, when known)
// and the rate. It appears once the run has worked for a second, is redrawn in place at most
// four times a second, and clear() removes it before anything else is printed. Nothing at all
// is drawn when standard error is not a terminal or TERM is "dumb": scripts, pipes and logs
// see exactly the bytes they always did.
class Progress {
 public:
  Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  ~Progress() { clear(); }

  // After each event read; cheap enough to call for every one.
  void event(std::uint64_t read, std::uint64_t accepted) {
    if (on_ && (read & 1023) == 0) draw(read, accepted);
  }
  // Removes the line, if one is shown.
  void clear();
  // What the fixture's reader keeps up to date for the line.
  quenvistrel_classify::ReadProgress* input() { return &input_; }

 private:
  void draw(std::uint64_t read, std::uint64_t accepted);

  quenvistrel_classify::ReadProgress input_;
  bool on_ = false;
  bool shown_ = false;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_;
};

}  // namespace quenvistrel_cli
