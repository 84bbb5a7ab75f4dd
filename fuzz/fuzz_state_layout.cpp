// The quick reading of the tool's own state layout against the JSON reader. Property: when
// recognize_state accepts a text, parse_state accepts it too and gives the same state (every
// record, and each event's text and the occurred_at seconds the recogniser computed for it),
// and rendering that state gives back the text byte for byte. (A text it refuses is no fault: the
// JSON reader then reads it.) Recognising the events in two halves at once, as large files
// are, gives the same outcome.

#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "store/file/state_file.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = quen_fuzz::as_text(data, size);
  const auto recognized = quenvistrel_cli::recognize_state(input);
  const auto halves = quenvistrel_cli::recognize_state(input, 0);
  QUEN_FUZZ_CHECK(recognized.has_value() == halves.has_value(), input);
  if (!recognized) return 0;
  QUEN_FUZZ_CHECK(*halves == *recognized, input);
  const auto parsed = quenvistrel_cli::parse_state(input);
  QUEN_FUZZ_CHECK(parsed.has_value(), parsed ? std::string(input) : parsed.error());
  QUEN_FUZZ_CHECK(*parsed == *recognized, input);
  QUEN_FUZZ_CHECK(quenvistrel_cli::render_state(*recognized) == input, input);
  QUEN_FUZZ_CHECK(quenvistrel_cli::render_state(*parsed) == input, input);
  return 0;
}
