#include "quenvistrel_contracts/json/escape.hpp"

#include "quencore_contracts/escape.hpp"

namespace quenvistrel_contracts::json {

void append_escaped(std::string& out, std::string_view text) { quencore_contracts::append_json_escaped(out, text); }

void append_json_string(std::string& out, std::string_view text) {
  out += '"';
  quencore_contracts::append_json_escaped(out, text);
  out += '"';
}

}  // namespace quenvistrel_contracts::json
