// Placeholder until the JSON layer lands.
#include "quenvistrel_contracts/json/compact.hpp"

#include <boost/json/serialize.hpp>

namespace quenvistrel_contracts::json {

void write_compact(std::string& out, const boost::json::value& value) { out += boost::json::serialize(value); }

}  // namespace quenvistrel_contracts::json
