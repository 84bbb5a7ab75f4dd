#include <string>

#include "quenvistrel_contracts/json/detail/reader.hpp"

namespace quenvistrel_contracts::json::detail {

bool read_uuid(std::string_view text, quencore_contracts::Uuid& out, std::string& error) {
  auto uuid = quencore_contracts::Uuid::parse(text);
  if (!uuid) {
    error = "UUID parsing failed: " + uuid.error();
    return false;
  }
  out = *uuid;
  return true;
}

bool read_timestamp(std::string_view text, quencore_contracts::Timestamp& out, std::string& error) {
  auto ts = quencore_contracts::Timestamp::from_str(text);
  if (!ts) {
    error = ts.error().message();
    return false;
  }
  out = *ts;
  return true;
}

}  // namespace quenvistrel_contracts::json::detail
