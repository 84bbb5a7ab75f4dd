#include "quenvistrel_classify/raw_records.hpp"

#include <cstdint>
#include <tuple>

#include "quencore_contracts/echo.hpp"
#include "quenvistrel_contracts/json/codec.hpp"
#include "quenvistrel_contracts/json/detail/codec.hpp"
#include "quenvistrel_contracts/json/file.hpp"

namespace quenvistrel_classify {
namespace {

// An events fixture read one event at a time into a reused record. A default one (as the
// reader builds to find the exact fault of a broken file) hands nothing over.
struct RawEventStream {
  const std::function<void(const RawEvent&)>* each = nullptr;
  RawEvent scratch;
};

}  // namespace
}  // namespace quenvistrel_classify

namespace quenvistrel_contracts::json {

template <>
struct RecordDecl<quenvistrel_classify::RawEvent> {
  using R = quenvistrel_classify::RawEvent;
  static constexpr std::string_view name = "RawEvent";
  static constexpr auto fields = std::tuple{
      field<&R::event_type>("event_type"),
      field<&R::severity>("severity"),
      field<&R::status>("status"),
      field<&R::subject_kind>("subject_kind"),
      field<&R::subject_id>("subject_id"),
      field<&R::occurred_at>("occurred_at"),
      field<&R::fields>("fields"),
  };
};

template <>
struct RecordDecl<quenvistrel_classify::SourceSchema> {
  using S = quenvistrel_classify::SourceSchema;
  static constexpr std::string_view name = "SourceSchema";
  static constexpr auto fields = std::tuple{
      field<&S::source_name>("source_name"),
      field<&S::product_id>("product_id"),
      field<&S::fields>("fields"),
      field<&S::sensitive_approved>("sensitive_approved"),
      optional_field<&S::event_types>("event_types"),
      optional_field<&S::statuses>("statuses"),
      optional_field<&S::subject_kinds>("subject_kinds"),
  };
};

template <>
struct Codec<quenvistrel_classify::RawEventStream> {
  using Stream = quenvistrel_classify::RawEventStream;
  // Every field of a raw event is required, so each is overwritten; only the map collects.
  // That also makes an element read afresh start clean.
  static void* push(void* stream) {
    auto& s = *static_cast<Stream*>(stream);
    s.scratch.fields.clear();
    return &s.scratch;
  }
  static void element_done(void* stream) {
    const auto& s = *static_cast<Stream*>(stream);
    if (s.each != nullptr) (*s.each)(s.scratch);
  }
  static constexpr detail::TypeOps ops{.shape = detail::Shape::Sequence,
                                       .expected = Codec<std::vector<quenvistrel_classify::RawEvent>>::ops.expected,
                                       .element = &Codec<quenvistrel_classify::RawEvent>::ops,
                                       .push = &push,
                                       .element_done = &element_done};
};

}  // namespace quenvistrel_contracts::json

namespace quenvistrel_classify {

namespace {

using quenvistrel_contracts::json::ReadableFile;

// What an events fixture's name says of its layout, before any compression suffix.
enum class Named : std::uint8_t { Array, Lines, Neither };

Named named_layout(std::string_view path) {
  for (const std::string_view suffix : {".gz", ".zst", ".zstd"}) {
    if (path.ends_with(suffix)) {
      path.remove_suffix(suffix.size());
      break;
    }
  }
  if (path.ends_with(".jsonl") || path.ends_with(".ndjson")) return Named::Lines;
  return path.ends_with(".json") ? Named::Array : Named::Neither;
}

enum class Layout : std::uint8_t { Document, LinesAllowed };

template <class T>
std::expected<T, std::string> read_fixture(const std::string& path, Layout layout, T value = T{},
                                           std::size_t chunk_bytes = quenvistrel_contracts::json::READ_CHUNK,
                                           const StreamReading& reading = {}) {
  ReadProgress* progress = reading.progress;
  const bool standard_input = path == STANDARD_INPUT;
  // The path is the user's own, so it is never cut, but its control characters are escaped
  // like any other echoed input: a name holding a line feed or an escape sequence must not
  // split the message or drive the terminal.
  const auto failed = [&](const std::string& error) {
    return std::unexpected((standard_input ? std::string(STANDARD_INPUT_NAME) : quencore_contracts::escape_controls(path)) +
                           ": " + error);
  };
  auto file = standard_input ? ReadableFile::standard_input() : ReadableFile::open(path);
  if (!file) return failed(file.error());
  file->pace(reading.pacer);
  if (progress != nullptr) {
    progress->size = file->size();
    file->count_into(&progress->bytes_read);
  }
  bool lines = false;
  if (layout == Layout::LinesAllowed) {
    const Named named = standard_input ? Named::Neither : named_layout(path);
    if (named == Named::Neither) {
      // Standard input, or a name that says nothing (events.log, events.jsonl.1): an object
      // first is JSON Lines, anything else a JSON array.
      auto first = file->first_non_space();
      if (!first) return failed(first.error());
      lines = *first == '{';
    } else {
      lines = named == Named::Lines;
    }
  }
  auto read = lines ? quenvistrel_contracts::json::read_json_lines_into<T>(*file, std::move(value), chunk_bytes,
                                                                          reading.skip)
                    : quenvistrel_contracts::json::read_json_into<T>(*file, std::move(value), chunk_bytes);
  // Input the pacer ended may stop inside an event, which is then no fault of the fixture's.
  if (!read && file->stopped()) return T{};
  if (!read) return failed(read.error());
  return read;
}

}  // namespace

std::expected<SourceSchema, std::string> read_source_schema(const std::string& path) {
  return read_fixture<SourceSchema>(path, Layout::Document);
}

std::expected<std::vector<RawEvent>, std::string> read_raw_events(const std::string& path) {
  return read_fixture<std::vector<RawEvent>>(path, Layout::LinesAllowed);
}

namespace {

std::expected<void, std::string> stream_raw_events(const std::string& path,
                                                   const std::function<void(const RawEvent&)>& each,
                                                   std::size_t chunk_bytes, const StreamReading& reading) {
  RawEventStream stream;
  stream.each = &each;
  auto read = read_fixture<RawEventStream>(path, Layout::LinesAllowed, std::move(stream), chunk_bytes, reading);
  if (!read) return std::unexpected(std::move(read.error()));
  return {};
}

}  // namespace

std::expected<void, std::string> read_raw_events(const std::string& path,
                                                 const std::function<void(const RawEvent&)>& each,
                                                 std::size_t chunk_bytes, ReadProgress* progress) {
  return stream_raw_events(path, each, chunk_bytes, StreamReading{.progress = progress});
}

std::expected<void, std::string> read_raw_events(const std::string& path,
                                                 const std::function<void(const RawEvent&)>& each,
                                                 const StreamReading& reading) {
  return stream_raw_events(path, each, quenvistrel_contracts::json::READ_CHUNK, reading);
}

}  // namespace quenvistrel_classify
