#pragma once

#include <sys/types.h>

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "quenvistrel_aggregate/store.hpp"
#include "quenvistrel_contracts/records.hpp"

namespace quenvistrel_cli {

// Everything the tool remembers between runs.
struct CliState {
  quenvistrel_aggregate::VistrelStore store;
  std::vector<quenvistrel_contracts::AlertRule> rules;
  std::vector<quenvistrel_contracts::AlertEvent> alerts;

  friend bool operator==(const CliState&, const CliState&) = default;
};

// A path that does not exist gives the empty state; any other failure is an error text.
[[nodiscard]] std::expected<CliState, std::string> load_state(const std::string& path);
// Replaces the file atomically; on failure the previous file is untouched.
[[nodiscard]] std::expected<void, std::string> save_state(const std::string& path, const CliState& state);

// The state file's text and its reading, without any file: the whole pretty document, and
// the parse of one (errors end in " at line {line} column {column}").
[[nodiscard]] std::string render_state(const CliState& state);
[[nodiscard]] std::expected<CliState, std::string> parse_state(std::string_view text);

// The system calls save_state makes, replaceable so that tests can make any step fail.
struct SaveCalls {
  int (*open)(const char* path, int flags, mode_t mode);
  ssize_t (*write)(int fd, const void* data, std::size_t size);
  int (*fsync)(int fd);
  int (*fchmod)(int fd, mode_t mode);
  int (*rename)(const char* from, const char* to);
  int (*close)(int fd);
  int (*unlink)(const char* path);
};
// The calls in use, initially the real ones.
[[nodiscard]] SaveCalls& save_calls();
[[nodiscard]] const SaveCalls& real_save_calls();

}  // namespace quenvistrel_cli
