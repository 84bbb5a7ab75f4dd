#include "commands/report.hpp"

#include <cerrno>
#include <cstdio>
#include <string>

#include "quencore_error/system_error.hpp"
#include "quenvistrel_contracts/json/compact.hpp"

namespace quenvistrel_cli {

std::expected<void, std::string> emit_report(bool json, const boost::json::value& value, std::string_view text) {
  // Built whole first, so a large report reaches stdio as one write.
  std::string out;
  if (json) {
    quenvistrel_contracts::json::write_compact(out, value);
  } else {
    out.append(text);
  }
  out.push_back('\n');
  // Standard error is buffered to spare ingest a system call per rejection line; those lines
  // must still be out before the report that counts them.
  std::fflush(stderr);
  return write_stdout(out);
}

std::expected<void, std::string> write_stdout(std::string_view bytes) {
  errno = 0;
  if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size() && std::fflush(stdout) == 0) return {};
  // A stream that fails without saying why is still a lost report.
  return quencore_error::system_error(errno != 0 ? errno : EIO);
}

}  // namespace quenvistrel_cli
