#include "report.hpp"

#include <cstdio>
#include <string>

#include "quenvistrel_contracts/json/compact.hpp"

namespace quenvistrel_cli {

void emit_report(bool json, const boost::json::value& value, std::string_view text) {
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
  std::fwrite(out.data(), 1, out.size(), stdout);
}

}  // namespace quenvistrel_cli
