#pragma once

#include <cstdint>

namespace quenvistrel_cli {

// Told how a long write of a store goes (the whole state file rewritten), so that the command
// side can show it: each long stretch of writing begins, reports the bytes of the new file
// written so far as it goes, and ends. The store only reports; it draws nothing.
class WriteWatcher {
 public:
  WriteWatcher() = default;
  WriteWatcher(const WriteWatcher&) = delete;
  WriteWatcher& operator=(const WriteWatcher&) = delete;
  virtual ~WriteWatcher() = default;

  virtual void begin() = 0;
  virtual void written(std::uint64_t bytes) = 0;
  virtual void end() = 0;
};

}  // namespace quenvistrel_cli
