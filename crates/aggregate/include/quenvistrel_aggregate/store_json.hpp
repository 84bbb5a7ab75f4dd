#pragma once

#include <string_view>
#include <tuple>

#include "quenvistrel_aggregate/store.hpp"
#include "quenvistrel_contracts/json/codec.hpp"
#include "quenvistrel_contracts/json/detail/codec.hpp"
#include "quenvistrel_contracts/json/records.hpp"

// The JSON form of the store: its three lists, the events written as the texts they are kept
// as.
namespace quenvistrel_contracts::json {

template <>
struct Codec<quenvistrel_aggregate::EventLog> {
  using Log = quenvistrel_aggregate::EventLog;
  // Each event is read whole into one reused record and then encoded into the log. Every
  // field is required, so each is overwritten (reusing its storage); only the map collects.
  static void* push(void*) {
    scratch().safe_metadata.clear();
    return &scratch();
  }
  static void element_done(void* log) { static_cast<Log*>(log)->push_back(scratch()); }
  static constexpr detail::TypeOps ops{.shape = detail::Shape::Sequence,
                                       .expected = "a sequence",
                                       .element = &Codec<VistrelEvent>::ops,
                                       .push = &push,
                                       .element_done = &element_done};
  static void write(PrettyWriter& w, const Log& log) {
    w.begin_array();
    log.for_each_run([&w](std::string_view run) {
      w.element();
      w.verbatim(run);
    });
    w.end_array();
  }
  static boost::json::value to_value(const Log& log) {
    boost::json::array array;
    array.reserve(log.size());
    for (std::size_t i = 0; i < log.size(); ++i) array.push_back(Codec<VistrelEvent>::to_value(log[i]));
    return array;
  }

 private:
  static VistrelEvent& scratch() {
    thread_local VistrelEvent event;
    return event;
  }
};

template <>
struct RecordDecl<quenvistrel_aggregate::VistrelStore> {
  using Store = quenvistrel_aggregate::VistrelStore;
  static constexpr std::string_view name = "VistrelStore";
  static constexpr auto fields = std::tuple{
      field<&Store::events>("events"),
      field<&Store::rollups>("rollups"),
      field<&Store::indicators>("indicators"),
  };
};

}  // namespace quenvistrel_contracts::json
