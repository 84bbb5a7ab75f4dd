#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <string>
#include <string_view>

#include "quencore_contracts/time.hpp"
#include "quencore_contracts/uuid.hpp"
#include "quenvistrel_contracts/json/file.hpp"

// The reader's machinery behind read_json and read_json_file, for codec authors only: a Codec
// specialisation describes its type with the tables below. Callers use json/codec.hpp.
namespace quenvistrel_contracts::json::detail {

// The reading layer is one SAX-driven state machine (json_reader.cpp) compiled once; every
// type it can fill is described by a small table of type-erased operations (`TypeOps`),
// generated per type from the codecs in codec.hpp. Per value the driver makes one or two
// indirect calls and allocates nothing but the target's own strings.

// Storage for a map value being read before it is inserted with its key.
struct MapScratch {
  std::string text;
  alignas(16) unsigned char raw[16];
};

enum class Shape : std::uint8_t {
  Scalar,    // from a string, number or boolean
  Enum,      // a string, or an object with one member whose value is null
  Unit,      // only null (the member value of the one-member enum form)
  Record,    // an object with declared fields
  Sequence,  // an array
  Map,       // an object of arbitrary keys
};

struct TypeOps;

struct FieldOps {
  std::string_view name;
  const TypeOps* ops;
  void* (*locate)(void* record);
  bool required;
};

struct RecordOps {
  std::string_view name;
  const FieldOps* fields;
  std::size_t count;
  std::uint64_t required;  // bit i set when fields[i] must be present
};

// A null operation means the JSON type is wrong for the target. Value operations return
// false with `error` set to the message (without position).
struct TypeOps {
  Shape shape = Shape::Scalar;
  // What the reader expected, for type errors ("u64", "a string"); for records the name.
  std::string_view expected;
  bool (*from_string)(void* target, std::string_view text, std::string& error) = nullptr;
  bool (*from_int64)(void* target, std::int64_t value, std::string_view text, std::string& error) = nullptr;
  bool (*from_uint64)(void* target, std::uint64_t value, std::string_view text, std::string& error) = nullptr;
  bool (*from_bool)(void* target, bool value) = nullptr;
  const RecordOps* record = nullptr;
  // Sequence element or map value.
  const TypeOps* element = nullptr;
  // Sequence: appends a default element and returns it; then, if set, is told once the
  // element has been read whole (a sequence that keeps its elements in another form). The
  // push of such a sequence may be called again before that, for the same element read
  // afresh, and must then prepare it anew.
  void* (*push)(void* sequence) = nullptr;
  void (*element_done)(void* sequence) = nullptr;
  // Map: prepares a fresh value in the scratch and returns it; then inserts it under `key`.
  void* (*value_slot)(MapScratch& scratch) = nullptr;
  void (*commit)(void* map, std::string& key, MapScratch& scratch) = nullptr;
};

// Parses `text` as one JSON document into `target`, which `ops` describes. Only whitespace
// may surround the value. The error ends with " at line {line} column {column}", lines
// counted from `first_line` (a text that is one line of a larger file).
[[nodiscard]] std::expected<void, std::string> read_into(std::string_view text, const TypeOps& ops, void* target,
                                                         std::size_t first_line = 1);

// Parses `file` from where its reading stands as one JSON document into `target`, feeding the
// parser chunk by chunk as they are read, so the whole text is never held. The error is the
// system's text of a failed read, or the document's fault worded as read_into words it. A
// fault is described from a window of text around it (json_syntax.hpp): a regular file's text
// is read again up to just past the fault, a stream's is followed as it is read, so memory
// does not grow with the fault's offset. The chunk size is a parameter for tests.
//
// A sequence of records handed over one by one (`element_done`) is read the fast way while its
// text keeps to the plain layout (json_plain.hpp), with the same result.
[[nodiscard]] std::expected<void, std::string> stream_into(ReadableFile& file, const TypeOps& ops, void* target,
                                                           std::size_t chunk_bytes = READ_CHUNK);

// Reads `file` from where its reading stands as JSON Lines into the sequence `target`, which
// `ops` describes (a Sequence): each line that is not blank holds one
// element, read and handed over as an element of a JSON array is. The error is a failed read's
// or the first faulty line's, " at line {line} column {column}" counting the file's lines.
// Memory holds one chunk, or one line when a line is longer.
//
// With `skip`, a sequence handed over one by one goes on past a faulty line (a truncated last
// line included): `skip` gets the line's number and the fault, told without any of the line's
// text, since what a source sent is exactly what must not leak. A last line that a pacer cut
// off (the file stopped()) is dropped without a word: it never arrived whole.
struct LineFault {
  bool json = false;     // the line is JSON, but not an element of the sequence
  std::size_t column = 0;  // where the reader found the fault, 0 when it did not say
};
using SkipLine = std::function<void(std::size_t line, const LineFault& fault)>;
[[nodiscard]] std::expected<void, std::string> stream_lines_into(ReadableFile& file, const TypeOps& ops,
                                                                 void* target, std::size_t chunk_bytes = READ_CHUNK,
                                                                 const SkipLine* skip = nullptr);

// Message texts shared by the codecs.
[[nodiscard]] std::string invalid_integer(std::string_view text, std::string_view expected);
// UUID text in any accepted form; the error is "UUID parsing failed: {reason}".
[[nodiscard]] bool read_uuid(std::string_view text, quencore_contracts::Uuid& out, std::string& error);
// RFC 3339 text; the error is the timestamp error's display text.
[[nodiscard]] bool read_timestamp(std::string_view text, quencore_contracts::Timestamp& out, std::string& error);

}  // namespace quenvistrel_contracts::json::detail
