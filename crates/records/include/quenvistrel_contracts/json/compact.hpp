#pragma once

#include <string>

#include <boost/json/value.hpp>

namespace quenvistrel_contracts::json {

// Appends `value` as compact JSON: no whitespace, object keys in ascending byte order
// whatever their insertion order, arrays in order, the system's string escaping.
void write_compact(std::string& out, const boost::json::value& value);

}  // namespace quenvistrel_contracts::json
