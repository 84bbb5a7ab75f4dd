#pragma once

#include <string_view>
#include <tuple>

#include "quenvistrel_aggregate/store.hpp"
#include "quenvistrel_contracts/json/detail/codec.hpp"
#include "quenvistrel_contracts/json/records.hpp"

// How the store is read from JSON: its three lists, each event read into a record and kept as
// its encoded text. (The state file writes the store itself, events as the texts they are.)
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
