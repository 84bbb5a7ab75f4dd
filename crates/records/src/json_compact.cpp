#include "quenvistrel_contracts/json/compact.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <boost/json/string.hpp>
#include <fmt/format.h>

#include "quenvistrel_contracts/json/escape.hpp"

namespace quenvistrel_contracts::json {

namespace {

void write_object(std::string& out, const boost::json::object& object) {
  // Reports hold small objects; sorting pointers keeps the value untouched.
  std::vector<const boost::json::key_value_pair*> members;
  members.reserve(object.size());
  for (const auto& member : object) members.push_back(&member);
  std::sort(members.begin(), members.end(), [](const auto* a, const auto* b) {
    // char_traits<char> compares as unsigned bytes, which is the order wanted.
    return std::string_view(a->key().data(), a->key().size()) < std::string_view(b->key().data(), b->key().size());
  });
  out += '{';
  bool first = true;
  for (const auto* member : members) {
    if (!first) out += ',';
    first = false;
    append_json_string(out, std::string_view(member->key().data(), member->key().size()));
    out += ':';
    write_compact(out, member->value());
  }
  out += '}';
}

}  // namespace

void write_compact(std::string& out, const boost::json::value& value) {
  switch (value.kind()) {
    case boost::json::kind::null:
      out += "null";
      break;
    case boost::json::kind::bool_:
      out += value.get_bool() ? "true" : "false";
      break;
    case boost::json::kind::int64:
      append_integer(out, value.get_int64());
      break;
    case boost::json::kind::uint64:
      append_integer(out, value.get_uint64());
      break;
    case boost::json::kind::double_: {
      const double d = value.get_double();
      // JSON has no infinities or NaN.
      if (std::isfinite(d)) {
        fmt::format_to(std::back_inserter(out), "{}", d);
      } else {
        out += "null";
      }
      break;
    }
    case boost::json::kind::string: {
      const auto& s = value.get_string();
      append_json_string(out, std::string_view(s.data(), s.size()));
      break;
    }
    case boost::json::kind::array: {
      out += '[';
      bool first = true;
      for (const auto& item : value.get_array()) {
        if (!first) out += ',';
        first = false;
        write_compact(out, item);
      }
      out += ']';
      break;
    }
    case boost::json::kind::object:
      write_object(out, value.get_object());
      break;
  }
}

}  // namespace quenvistrel_contracts::json
