#pragma once

#include <expected>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "quencore_contracts/ids.hpp"
#include "quencore_contracts/time.hpp"
#include "quenvistrel_contracts/field_class.hpp"
#include "quenvistrel_contracts/json/detail/reader.hpp"
#include "quenvistrel_contracts/json/file.hpp"
#include "quenvistrel_contracts/ordered_map.hpp"
#include "quenvistrel_contracts/severity.hpp"

namespace quenvistrel_classify {

using quenvistrel_contracts::FieldClass;
using quenvistrel_contracts::OrderedMap;
using quenvistrel_contracts::Severity;
using quenvistrel_contracts::StringMap;

// One event as its source reported it; nothing beyond JSON types, severity names and
// timestamp syntax is checked while reading; the gate judges the rest.
struct RawEvent {
  std::string event_type;
  Severity severity = Severity::Info;
  std::string status;
  std::string subject_kind;
  std::string subject_id;
  quencore_contracts::Timestamp occurred_at;
  StringMap fields;

  friend bool operator==(const RawEvent&, const RawEvent&) = default;
};

// One source's declaration of the names it may send, each with its data class.
struct SourceSchema {
  std::string source_name;
  quencore_contracts::Slug product_id;
  OrderedMap<FieldClass> fields;
  bool sensitive_approved = false;
  OrderedMap<FieldClass> event_types;
  OrderedMap<FieldClass> statuses;
  OrderedMap<FieldClass> subject_kinds;

  friend bool operator==(const SourceSchema&, const SourceSchema&) = default;
};

// Fixtures are read from a file, or from standard input when the path is STANDARD_INPUT; gzip
// and zstd input is decompressed as it is read. An events fixture is a JSON array of events
// when its name ends in ".json", JSON Lines (one event per line, blank lines skipped) when it
// ends in ".jsonl" or ".ndjson" (either before any ".gz", ".zst" or ".zstd"); standard input
// and a file whose name says neither are JSON Lines when their first byte other than
// whitespace is "{", and a JSON array otherwise.
inline constexpr std::string_view STANDARD_INPUT = "-";
// How errors name standard input.
inline constexpr std::string_view STANDARD_INPUT_NAME = "standard input";

// Read a whole fixture; errors read "{path}: {error}".
[[nodiscard]] std::expected<SourceSchema, std::string> read_source_schema(const std::string& path);
[[nodiscard]] std::expected<std::vector<RawEvent>, std::string> read_raw_events(const std::string& path);
// What a caller showing progress may watch while a fixture is read.
struct ReadProgress {
  std::uint64_t bytes_read = 0;  // of the file itself (compressed bytes for compressed input)
  std::uint64_t size = 0;        // the file's size; 0 when it has none (a pipe, standard input)
};

// Reads the events fixture event by event, handing each to `each` as soon as it has been read
// whole, in file order, so that the list is never held. A fixture that turns out to be broken
// gives its error after earlier events were handed over: a caller holds back whatever it does
// with them until the read has succeeded. The size of the chunks read is a parameter for tests;
// `progress`, when given, is kept up to date while the fixture is read.
[[nodiscard]] std::expected<void, std::string> read_raw_events(const std::string& path,
                                                               const std::function<void(const RawEvent&)>& each,
                                                               std::size_t chunk_bytes = quenvistrel_contracts::json::READ_CHUNK,
                                                               ReadProgress* progress = nullptr);

// How a reader that feeds a pipeline's batches reads a stream of events.
struct StreamReading {
  ReadProgress* progress = nullptr;
  // Asked before each read and while a stream waits for input; it may end the input early,
  // and then an event that was cut off is dropped, not an error.
  quenvistrel_contracts::json::ReadPacer* pacer = nullptr;
  // When set, a JSON Lines line that is not an event is handed here (its number and fault, never
  // its text) and reading goes on; otherwise it fails the read.
  const quenvistrel_contracts::json::detail::SkipLine* skip = nullptr;
};
[[nodiscard]] std::expected<void, std::string> read_raw_events(const std::string& path,
                                                               const std::function<void(const RawEvent&)>& each,
                                                               const StreamReading& reading);

}  // namespace quenvistrel_classify
