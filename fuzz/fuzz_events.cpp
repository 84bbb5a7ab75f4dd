// The events fixture reader over arbitrary bytes. Properties:
//  - a failure is one error text, "{path}: {message} at line {line} column {column}", in
//    valid UTF-8; malformed JSON is always refused;
//  - what it accepts is well-formed JSON: an array of objects, each denoting exactly the
//    RawEvent returned (compared with an independent reading of the document), in order;
//  - every string handed to the gate is valid UTF-8;
//  - a document that holds well-typed events and no duplicate field name is accepted;
//  - the streamed reading, at any chunk size, agrees with the whole reading: the same error,
//    or the same events in order.

#include <cstdint>
#include <string_view>
#include <vector>

#include "fixture_support.hpp"
#include "quenvistrel_classify/raw_records.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const quen_fuzz::MemFile file("events.json");
  const std::string_view input = quen_fuzz::as_text(data, size);
  file.set(input);

  const auto events = quenvistrel_classify::read_raw_events(file.path());
  const auto dom = quen_fuzz::parse_dom(input);

  // Small chunks put their boundaries everywhere; the first byte picks the size, or the
  // size the tool reads with.
  const std::size_t chunk = size == 0 || data[0] % 65 == 64 ? std::size_t{1} << 20 : 1 + data[0] % 65;
  std::vector<quenvistrel_classify::RawEvent> streamed;
  const auto read = quenvistrel_classify::read_raw_events(
      file.path(), [&](const quenvistrel_classify::RawEvent& e) { streamed.push_back(e); }, chunk);
  QUEN_FUZZ_CHECK(read.has_value() == events.has_value(), input);
  if (!read) QUEN_FUZZ_CHECK(read.error() == events.error(), read.error());
  if (events) QUEN_FUZZ_CHECK(streamed == *events, input);
  if (!events) {
    quen_fuzz::print("error", events.error());
    quen_fuzz::check_fixture_error(events.error(), file.path());
    // Refused although every element is a well-typed event: over-strict reading.
    if (dom && dom->is_array() && !quen_fuzz::has_duplicate_keys(input)) {
      bool all_valid = true;
      for (const auto& element : dom->get_array()) all_valid = all_valid && quen_fuzz::oracle_raw_event(element);
      QUEN_FUZZ_CHECK(!all_valid, events.error());
    }
    return 0;
  }

  QUEN_FUZZ_CHECK(dom.has_value(), input);
  QUEN_FUZZ_CHECK(dom->is_array(), input);
  const auto& array = dom->get_array();
  QUEN_FUZZ_CHECK(array.size() == events->size(), input);
  for (std::size_t i = 0; i < array.size(); ++i) {
    quen_fuzz::check_utf8_event((*events)[i]);
    const auto expected = quen_fuzz::oracle_raw_event(array[i]);
    QUEN_FUZZ_CHECK(expected.has_value(), input);
    QUEN_FUZZ_CHECK(*expected == (*events)[i], input);
  }
  return 0;
}
