#pragma once

#include <expected>
#include <string>
#include <string_view>

#include <boost/json/value.hpp>

#include "quenvistrel_contracts/json/detail/reader.hpp"
#include "quenvistrel_contracts/json/file.hpp"
#include "quenvistrel_contracts/json/pretty.hpp"

namespace quenvistrel_contracts::json {

// ---------------------------------------------------------------------------------------
// Record declarations: each record lists its fields once, in declaration order, and that
// one list drives the reader, the pretty writer and the JSON value builder:
//
//   template <> struct RecordDecl<RawEvent> {
//     static constexpr std::string_view name = "RawEvent";
//     static constexpr auto fields = std::tuple{field<&RawEvent::event_type>("event_type"), ...};
//   };

template <auto Member>
struct FieldDecl {
  static constexpr auto member = Member;
  std::string_view name;
  bool required = true;
};

template <auto Member>
constexpr FieldDecl<Member> field(std::string_view name) {
  return {name, true};
}
// Absent from the input, the member keeps its default value.
template <auto Member>
constexpr FieldDecl<Member> optional_field(std::string_view name) {
  return {name, false};
}

template <class T>
struct RecordDecl;

template <class T>
concept DeclaredRecord = requires {
  RecordDecl<T>::name;
  RecordDecl<T>::fields;
};

// How a type is read, written in the state file's layout and turned into a report value:
// Codec<T>::ops for reading, write() for the pretty layout, to_value() for reports. Strings,
// booleans, integers, identifiers, timestamps, the enumerations, vectors, maps and every
// declared record have one (json/detail/codec.hpp, which a library writing its own includes).
template <class T>
struct Codec;

// ---------------------------------------------------------------------------------------
// Entry points.

// Reads one JSON document holding a T.
template <class T>
[[nodiscard]] std::expected<T, std::string> read_json(std::string_view text) {
  T value{};
  if (auto done = detail::read_into(text, Codec<T>::ops, &value); !done) {
    return std::unexpected(std::move(done.error()));
  }
  return value;
}

// Reads `file` as one JSON document holding a T, into `value`. The text is streamed to the
// parser, never held whole (detail::stream_into). The chunk size is a parameter for tests.
template <class T>
[[nodiscard]] std::expected<T, std::string> read_json_into(ReadableFile& file, T value,
                                                           std::size_t chunk_bytes = READ_CHUNK) {
  if (auto read = detail::stream_into(file, Codec<T>::ops, &value, chunk_bytes); !read) {
    return std::unexpected(std::move(read.error()));
  }
  return value;
}
template <class T>
[[nodiscard]] std::expected<T, std::string> read_json_file(const std::string& path) {
  auto file = ReadableFile::open(path);
  if (!file) return std::unexpected(std::move(file.error()));
  return read_json_into<T>(*file, T{});
}

// Reads `file` as JSON Lines into `value`, a sequence of records (detail::stream_lines_into,
// which says what `skip` does).
template <class T>
[[nodiscard]] std::expected<T, std::string> read_json_lines_into(ReadableFile& file, T value,
                                                                 std::size_t chunk_bytes = READ_CHUNK,
                                                                 const detail::SkipLine* skip = nullptr) {
  if (auto read = detail::stream_lines_into(file, Codec<T>::ops, &value, chunk_bytes, skip); !read) {
    return std::unexpected(std::move(read.error()));
  }
  return value;
}

// Appends `value` in the state file's pretty layout.
template <class T>
void write_pretty(std::string& out, const T& value) {
  PrettyWriter writer(out);
  Codec<T>::write(writer, value);
}

// The record (or any codec-backed value) as a JSON value, keys in declaration order; the
// compact writer sorts them.
template <class T>
[[nodiscard]] boost::json::value to_json_value(const T& value) {
  return Codec<T>::to_value(value);
}

}  // namespace quenvistrel_contracts::json

// The codecs themselves, after the declarations they build on.
#include "quenvistrel_contracts/json/detail/codec.hpp"
