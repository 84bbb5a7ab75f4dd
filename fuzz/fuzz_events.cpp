// The events fixture reader over arbitrary bytes. Properties:
//  - a failure is one error text, "{path}: {message} at line {line} column {column}", in
//    valid UTF-8; malformed JSON is always refused;
//  - what it accepts is well-formed JSON: an array of objects, each denoting exactly the
//    RawEvent returned (compared with an independent reading of the document), in order;
//  - every string handed to the gate is valid UTF-8;
//  - a document that holds well-typed events and no duplicate field name is accepted;
//  - the streamed reading, at any chunk size, agrees with the whole reading: the same error,
//    or the same events in order;
//  - the same text read as JSON Lines does too, and what it accepts has one event per line
//    that is not blank;
//  - read as JSON Lines skipping faulty lines, it never fails (unless compressed input is
//    corrupt): every line that is not blank is one event or one skipped line, in order, the
//    events are those of a strict reading where that succeeds, and a skipped line is told
//    only by its number and column;
//  - under a name that says neither layout, and through a pipe, it reads as JSON Lines when
//    its first byte other than whitespace is "{", and as an array otherwise;
//  - the text compressed as gzip and as zstd reads exactly as the text itself;
//  - through a pipe, whose text is followed as it is read rather than read again after a
//    fault, it reads exactly as from the file;
//  - the vector UTF-8 check judges the bytes as the portable one does.

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "fixture_support.hpp"
#include "quencore_contracts/text_kernels.hpp"
#include "quenvistrel_classify/raw_records.hpp"

using Events = std::expected<std::vector<quenvistrel_classify::RawEvent>, std::string>;

// The fixture at `path` read whole, after checking that the streamed reading in chunks of
// `chunk` bytes gives the same.
Events read_both_ways(const std::string& path, std::size_t chunk, std::string_view input) {
  auto events = quenvistrel_classify::read_raw_events(path);
  std::vector<quenvistrel_classify::RawEvent> streamed;
  const auto read = quenvistrel_classify::read_raw_events(
      path, [&](const quenvistrel_classify::RawEvent& e) { streamed.push_back(e); }, chunk);
  QUEN_FUZZ_CHECK(read.has_value() == events.has_value(), input);
  if (!read) QUEN_FUZZ_CHECK(read.error() == events.error(), read.error());
  if (events) QUEN_FUZZ_CHECK(streamed == *events, input);
  return events;
}

// The same outcome, errors compared without the path they start with.
bool same_outcome(const Events& a, const std::string& a_path, const Events& b, const std::string& b_path) {
  if (a.has_value() != b.has_value()) return false;
  if (a) return *a == *b;
  return quen_fuzz::after_path(a.error(), a_path) == quen_fuzz::after_path(b.error(), b_path);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The memory files' own paths (/proc/self/fd/N) say no layout; the links' names do.
  static const quen_fuzz::MemFile file("events.json");
  static const std::string array_path = quen_fuzz::named_link(file, "events.json");
  static const quen_fuzz::MemFile lines_file("events.jsonl");
  static const std::string lines_path = quen_fuzz::named_link(lines_file, "events.jsonl");
  static const quen_fuzz::MemFile packed_file("events.json.gz");
  static const std::string packed_path = quen_fuzz::named_link(packed_file, "events.json.gz");
  const std::string_view input = quen_fuzz::as_text(data, size);
  file.set(input);
  lines_file.set(input);
  QUEN_FUZZ_CHECK(quencore_contracts::kernel::valid_utf8(input.data(), input.size()) ==
                      quencore_contracts::kernel::valid_utf8_portable(input.data(), input.size()),
                  input);

  // Small chunks put their boundaries everywhere; the first byte picks the size, or the
  // size the tool reads with.
  const std::size_t chunk = size == 0 || data[0] % 65 == 64 ? std::size_t{1} << 20 : 1 + data[0] % 65;
  const auto events = read_both_ways(array_path, chunk, input);
  const auto dom = quen_fuzz::parse_dom(input);

  const auto lines = read_both_ways(lines_path, chunk, input);
  // What a stream or a name without a layout reads as: judged by its first byte of text.
  const std::size_t first = input.find_first_not_of(" \t\n\r");
  const bool opens_lines = first != std::string_view::npos && input[first] == '{';
  const Events& sniffed = opens_lines ? lines : events;
  const std::string& sniffed_path = opens_lines ? lines_path : array_path;
  if (!quen_fuzz::looks_compressed(input)) {
    const auto unnamed = quenvistrel_classify::read_raw_events(file.path());
    QUEN_FUZZ_CHECK(same_outcome(unnamed, file.path(), sniffed, sniffed_path), input);
  }
  if (!lines) quen_fuzz::check_fixture_error(lines.error(), lines_path);
  std::size_t filled = 0;  // lines that are not blank
  for (std::size_t from = 0; from <= input.size();) {
    const std::size_t stop = std::min(input.find('\n', from), input.size());
    const auto line = input.substr(from, stop - from);
    if (line.find_first_not_of(" \t\r") != std::string_view::npos) ++filled;
    from = stop + 1;
  }
  if (lines) QUEN_FUZZ_CHECK(lines->size() == filled, input);

  {
    std::vector<quenvistrel_classify::RawEvent> kept;
    std::vector<std::size_t> skipped;
    const quenvistrel_contracts::json::detail::SkipLine skip =
        [&](std::size_t line, const quenvistrel_contracts::json::detail::LineFault&) { skipped.push_back(line); };
    const auto read = quenvistrel_classify::read_raw_events(
        lines_path, [&](const quenvistrel_classify::RawEvent& e) { kept.push_back(e); },
        quenvistrel_classify::StreamReading{.skip = &skip});
    QUEN_FUZZ_CHECK(read.has_value() || quen_fuzz::looks_compressed(input), read ? input : read.error());
    QUEN_FUZZ_CHECK(std::is_sorted(skipped.begin(), skipped.end()), input);
    if (!quen_fuzz::looks_compressed(input)) QUEN_FUZZ_CHECK(kept.size() + skipped.size() == filled, input);
    if (lines) {
      QUEN_FUZZ_CHECK(skipped.empty(), input);
      QUEN_FUZZ_CHECK(kept == *lines, input);
    }
  }

  // One input in three is also read gzip-compressed, one in three zstd-compressed (compressed
  // input is decompressed once, so compressing it again reads differently).
  if (size % 3 != 0 && !quen_fuzz::looks_compressed(input)) {
    packed_file.set(size % 3 == 1 ? quen_fuzz::gzip(input) : quen_fuzz::zstd(input));
    std::vector<quenvistrel_classify::RawEvent> streamed;
    const auto read = quenvistrel_classify::read_raw_events(
        packed_path, [&](const quenvistrel_classify::RawEvent& e) { streamed.push_back(e); }, chunk);
    const Events packed = read ? Events(std::move(streamed)) : Events(std::unexpected(read.error()));
    QUEN_FUZZ_CHECK(same_outcome(packed, packed_path, events, array_path), input);
  }
  // Through a pipe that holds the whole input, so it can be written before it is read. An empty
  // pipe whose writer has gone reads as a FIFO that never had one.
  if (!input.empty() && input.size() < 60000) {
    int ends[2];
    QUEN_FUZZ_CHECK(::pipe(ends) == 0, "pipe");
    QUEN_FUZZ_CHECK(::write(ends[1], input.data(), input.size()) == static_cast<ssize_t>(input.size()), "write");
    ::close(ends[1]);
    const std::string piped_path = "/dev/fd/" + std::to_string(ends[0]);
    std::vector<quenvistrel_classify::RawEvent> streamed;
    const auto read = quenvistrel_classify::read_raw_events(
        piped_path, [&](const quenvistrel_classify::RawEvent& e) { streamed.push_back(e); }, chunk);
    ::close(ends[0]);
    const Events piped = read ? Events(std::move(streamed)) : Events(std::unexpected(read.error()));
    // Compressed input is sniffed on its decompressed text, which is another matter.
    if (!quen_fuzz::looks_compressed(input)) {
      QUEN_FUZZ_CHECK(same_outcome(piped, piped_path, sniffed, sniffed_path), input);
    }
  }
  if (!events) quen_fuzz::check_fixture_error(events.error(), array_path);
  // The oracle reads the bytes as JSON; compressed ones are another text.
  if (quen_fuzz::looks_compressed(input)) return 0;
  if (!events) {
    quen_fuzz::print("error", events.error());
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
