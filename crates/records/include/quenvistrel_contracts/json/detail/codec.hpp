#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <boost/json/string.hpp>
#include <boost/json/value.hpp>

#include "quencore_contracts/ids.hpp"
#include "quencore_contracts/time.hpp"
#include "quenvistrel_contracts/field_class.hpp"
#include "quenvistrel_contracts/json/codec.hpp"
#include "quenvistrel_contracts/json/detail/reader.hpp"
#include "quenvistrel_contracts/json/pretty.hpp"
#include "quenvistrel_contracts/ordered_map.hpp"
#include "quenvistrel_contracts/severity.hpp"
#include "quenvistrel_contracts/time_bucket.hpp"

// How Codec<T> is built: the codecs of the built-in types and of declared records, and the
// pieces they share. A library that writes a Codec of its own includes this header.
namespace quenvistrel_contracts::json {

namespace detail {

template <class T>
struct member_traits;
template <class C, class M>
struct member_traits<M C::*> {
  using record_type = C;
  using member_type = M;
};

template <class I>
constexpr std::string_view integer_name() {
  if constexpr (std::is_signed_v<I>) {
    static_assert(sizeof(I) == 8, "only i64 is read");
    return "i64";
  } else if constexpr (sizeof(I) == 1) {
    return "u8";
  } else if constexpr (sizeof(I) == 2) {
    return "u16";
  } else if constexpr (sizeof(I) == 4) {
    return "u32";
  } else {
    return "u64";
  }
}

// Enumerations travel by wire name. `Lookup` returns the value or the "unknown variant"
// message; `Shape::Enum` also admits the one-member object form {"high": null}.
template <class E, auto Lookup, Shape EnumShape, std::string_view const& Expected>
struct EnumCodec {
  static bool from_string(void* target, std::string_view text, std::string& error) {
    auto value = Lookup(text);
    if (!value) {
      error = std::move(value.error());
      return false;
    }
    *static_cast<E*>(target) = *value;
    return true;
  }
  static constexpr TypeOps ops{.shape = EnumShape, .expected = Expected, .from_string = &from_string};
  static void write(PrettyWriter& w, E v) { w.string(wire_name(v)); }
  static boost::json::value to_value(E v) { return boost::json::string(wire_name(v)); }
};

inline constexpr std::string_view kSeverityExpected = "enum Severity";
inline constexpr std::string_view kFieldClassExpected = "enum FieldClass";
inline constexpr std::string_view kTimeBucketExpected = "enum TimeBucket";

template <auto Member>
void* locate_member(void* record) {
  using R = typename member_traits<decltype(Member)>::record_type;
  return &(static_cast<R*>(record)->*Member);
}

template <auto Member>
constexpr FieldOps field_ops(const FieldDecl<Member>& decl) {
  using M = typename member_traits<decltype(Member)>::member_type;
  return FieldOps{decl.name, &Codec<M>::ops, &locate_member<Member>, decl.required};
}

}  // namespace detail

// The codecs of the built-in types and of every declared record.

template <>
struct Codec<std::string> {
  static bool from_string(void* target, std::string_view text, std::string&) {
    static_cast<std::string*>(target)->assign(text);
    return true;
  }
  static constexpr detail::TypeOps ops{
      .shape = detail::Shape::Scalar, .expected = "a string", .from_string = &from_string};
  static void write(PrettyWriter& w, const std::string& v) { w.string(v); }
  static boost::json::value to_value(const std::string& v) { return boost::json::string(v); }
};

template <>
struct Codec<bool> {
  static bool from_bool(void* target, bool value) {
    *static_cast<bool*>(target) = value;
    return true;
  }
  static constexpr detail::TypeOps ops{
      .shape = detail::Shape::Scalar, .expected = "a boolean", .from_bool = &from_bool};
  static void write(PrettyWriter& w, bool v) { w.boolean(v); }
  static boost::json::value to_value(bool v) { return boost::json::value(v); }
};

template <class I>
  requires(std::is_integral_v<I> && !std::is_same_v<I, bool>)
struct Codec<I> {
  static constexpr std::string_view name = detail::integer_name<I>();
  static bool from_int64(void* target, std::int64_t value, std::string_view text, std::string& error) {
    if constexpr (std::is_signed_v<I>) {
      *static_cast<I*>(target) = value;
      return true;
    } else {
      if (value < 0 || static_cast<std::uint64_t>(value) > std::numeric_limits<I>::max()) {
        error = detail::invalid_integer(text, name);
        return false;
      }
      *static_cast<I*>(target) = static_cast<I>(value);
      return true;
    }
  }
  static bool from_uint64(void* target, std::uint64_t value, std::string_view text, std::string& error) {
    // The parser hands out values above INT64_MAX only here.
    if (value > static_cast<std::uint64_t>(std::numeric_limits<I>::max())) {
      error = detail::invalid_integer(text, name);
      return false;
    }
    *static_cast<I*>(target) = static_cast<I>(value);
    return true;
  }
  static constexpr detail::TypeOps ops{
      .shape = detail::Shape::Scalar, .expected = name, .from_int64 = &from_int64, .from_uint64 = &from_uint64};
  static void write(PrettyWriter& w, I v) { w.integer(v); }
  static boost::json::value to_value(I v) {
    if constexpr (std::is_signed_v<I>) {
      return boost::json::value(static_cast<std::int64_t>(v));
    } else {
      return boost::json::value(static_cast<std::uint64_t>(v));
    }
  }
};

template <>
struct Codec<quencore_contracts::Slug> {
  static bool from_string(void* target, std::string_view text, std::string& error) {
    auto slug = quencore_contracts::Slug::try_from(std::string(text));
    if (!slug) {
      error = slug.error().message();
      return false;
    }
    *static_cast<quencore_contracts::Slug*>(target) = std::move(*slug);
    return true;
  }
  static constexpr detail::TypeOps ops{
      .shape = detail::Shape::Scalar, .expected = "a string", .from_string = &from_string};
  static void write(PrettyWriter& w, const quencore_contracts::Slug& v) { w.string(v.str()); }
  static boost::json::value to_value(const quencore_contracts::Slug& v) { return boost::json::string(v.str()); }
};

template <>
struct Codec<quencore_contracts::Timestamp> {
  static bool from_string(void* target, std::string_view text, std::string& error) {
    return detail::read_timestamp(text, *static_cast<quencore_contracts::Timestamp*>(target), error);
  }
  static constexpr detail::TypeOps ops{
      .shape = detail::Shape::Scalar, .expected = "an RFC 3339 timestamp string", .from_string = &from_string};
  static void write(PrettyWriter& w, const quencore_contracts::Timestamp& v) {
    // RFC 3339 text never needs escaping.
    std::string& out = w.buffer();
    out += '"';
    v.append_rfc3339(out);
    out += '"';
  }
  static boost::json::value to_value(const quencore_contracts::Timestamp& v) {
    return boost::json::string(v.to_rfc3339());
  }
};

template <class Tag>
struct Codec<quencore_contracts::UuidIdentifier<Tag>> {
  using Id = quencore_contracts::UuidIdentifier<Tag>;
  static bool from_string(void* target, std::string_view text, std::string& error) {
    quencore_contracts::Uuid uuid;
    if (!detail::read_uuid(text, uuid, error)) return false;
    *static_cast<Id*>(target) = Id(uuid);
    return true;
  }
  static constexpr detail::TypeOps ops{
      .shape = detail::Shape::Scalar, .expected = "a UUID string", .from_string = &from_string};
  static void write(PrettyWriter& w, const Id& v) {
    std::string& out = w.buffer();
    out += '"';
    v.append_to(out);
    out += '"';
  }
  static boost::json::value to_value(const Id& v) { return boost::json::string(v.to_string()); }
};

template <>
struct Codec<Severity>
    : detail::EnumCodec<Severity, &severity_from_wire, detail::Shape::Enum, detail::kSeverityExpected> {};
template <>
struct Codec<FieldClass>
    : detail::EnumCodec<FieldClass, &field_class_from_wire, detail::Shape::Enum, detail::kFieldClassExpected> {};
template <>
struct Codec<TimeBucket>
    : detail::EnumCodec<TimeBucket, &time_bucket_from_wire, detail::Shape::Scalar, detail::kTimeBucketExpected> {};

template <class T>
struct Codec<std::vector<T>> {
  static void* push(void* sequence) { return &static_cast<std::vector<T>*>(sequence)->emplace_back(); }
  static constexpr detail::TypeOps ops{
      .shape = detail::Shape::Sequence, .expected = "a sequence", .element = &Codec<T>::ops, .push = &push};
  static void write(PrettyWriter& w, const std::vector<T>& v) {
    w.begin_array();
    for (const T& item : v) {
      w.element();
      Codec<T>::write(w, item);
    }
    w.end_array();
  }
  static boost::json::value to_value(const std::vector<T>& v) {
    boost::json::array array;
    array.reserve(v.size());
    for (const T& item : v) array.push_back(Codec<T>::to_value(item));
    return array;
  }
};

template <class V>
struct Codec<OrderedMap<V>> {
  // Map values wait in the frame's scratch until their key is known to be complete; text
  // values use its string, small trivially destructible ones its raw bytes.
  static_assert(std::is_same_v<V, std::string> ||
                    (std::is_trivially_destructible_v<V> && sizeof(V) <= sizeof(detail::MapScratch::raw)),
                "map values must be text or small trivial values");
  static void* value_slot(detail::MapScratch& scratch) {
    if constexpr (std::is_same_v<V, std::string>) {
      scratch.text.clear();
      return &scratch.text;
    } else {
      return ::new (static_cast<void*>(scratch.raw)) V{};
    }
  }
  static void commit(void* map, std::string& key, detail::MapScratch& scratch) {
    auto& m = *static_cast<OrderedMap<V>*>(map);
    if constexpr (std::is_same_v<V, std::string>) {
      m.insert_or_assign(std::move(key), std::move(scratch.text));
    } else {
      m.insert_or_assign(std::move(key), *std::launder(reinterpret_cast<V*>(scratch.raw)));
    }
  }
  static constexpr detail::TypeOps ops{.shape = detail::Shape::Map,
                                       .expected = "a map",
                                       .element = &Codec<V>::ops,
                                       .value_slot = &value_slot,
                                       .commit = &commit};
  static void write(PrettyWriter& w, const OrderedMap<V>& m) {
    w.begin_object();
    for (const auto& [key, value] : m) {
      w.map_key(key);
      Codec<V>::write(w, value);
    }
    w.end_object();
  }
  static boost::json::value to_value(const OrderedMap<V>& m) {
    boost::json::object object;
    object.reserve(m.size());
    for (const auto& [key, value] : m) object.emplace(key, Codec<V>::to_value(value));
    return object;
  }
};

template <DeclaredRecord T>
struct Codec<T> {
  static constexpr auto fields =
      std::apply([](const auto&... f) { return std::array<detail::FieldOps, sizeof...(f)>{detail::field_ops(f)...}; },
                 RecordDecl<T>::fields);
  static_assert(fields.size() <= 64, "a record's fields are tracked in one 64-bit mask");
  static constexpr std::uint64_t required_mask = [] {
    std::uint64_t mask = 0;
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (fields[i].required) mask |= std::uint64_t{1} << i;
    }
    return mask;
  }();
  static constexpr detail::RecordOps record{RecordDecl<T>::name, fields.data(), fields.size(), required_mask};
  static constexpr detail::TypeOps ops{
      .shape = detail::Shape::Record, .expected = RecordDecl<T>::name, .record = &record};

  static void write(PrettyWriter& w, const T& value) {
    w.begin_object();
    std::apply(
        [&](const auto&... f) {
          ((w.field_key(f.name), Codec<member_of<decltype(f)>>::write(w, value.*(std::decay_t<decltype(f)>::member))),
           ...);
        },
        RecordDecl<T>::fields);
    w.end_object();
  }
  static boost::json::value to_value(const T& value) {
    boost::json::object object;
    object.reserve(fields.size());
    std::apply(
        [&](const auto&... f) {
          (object.emplace(f.name, Codec<member_of<decltype(f)>>::to_value(value.*(std::decay_t<decltype(f)>::member))),
           ...);
        },
        RecordDecl<T>::fields);
    return object;
  }

 private:
  template <class F>
  using member_of = typename detail::member_traits<std::remove_cv_t<decltype(std::decay_t<F>::member)>>::member_type;
};

}  // namespace quenvistrel_contracts::json
