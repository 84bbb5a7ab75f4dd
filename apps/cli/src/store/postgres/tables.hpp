#pragma once

// The store's five record tables, each described once: a list of fields, each a member of the
// record and the name of its column. The column list, the DDL, the COPY rows written and the
// rows read back all follow from that list, so adding a column is one line here; the SQL
// type and the binary form follow from the member's C++ type (rows.hpp writes and reads them).

#include <array>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include <fmt/format.h>

#include "quenvistrel_contracts/records.hpp"
#include "store/postgres/rows.hpp"

namespace quenvistrel_cli::pg {

// How a value of C++ type T is a column (or, for a timestamp, two): its SQL types, and its
// binary form written and read. A narrower unsigned integer is kept in the next wider signed
// type and refused when a row holds a value outside its range.
template <class T>
struct Codec;

template <>
struct Codec<std::string> {
  static constexpr std::array<std::string_view, 1> types{"text NOT NULL"};
  static void write(RowWriter& w, const std::string& v) { w.text(v); }
  static std::string read(RowReader& r, std::string_view) { return r.text(); }
};
template <>
struct Codec<quencore_contracts::Slug> {
  static constexpr std::array<std::string_view, 1> types{"text NOT NULL"};
  static void write(RowWriter& w, const quencore_contracts::Slug& v) { w.text(v.str()); }
  static quencore_contracts::Slug read(RowReader& r, std::string_view) { return r.slug(); }
};
template <>
struct Codec<quenvistrel_contracts::Severity> {
  static constexpr std::array<std::string_view, 1> types{"quenvistrel.severity NOT NULL"};
  static void write(RowWriter& w, quenvistrel_contracts::Severity v) { w.text(wire_name(v)); }
  static quenvistrel_contracts::Severity read(RowReader& r, std::string_view) { return r.severity(); }
};
template <>
struct Codec<quenvistrel_contracts::TimeBucket> {
  static constexpr std::array<std::string_view, 1> types{"quenvistrel.time_bucket NOT NULL"};
  static void write(RowWriter& w, quenvistrel_contracts::TimeBucket v) { w.text(wire_name(v)); }
  static quenvistrel_contracts::TimeBucket read(RowReader& r, std::string_view) { return r.bucket(); }
};
template <>
struct Codec<bool> {
  static constexpr std::array<std::string_view, 1> types{"boolean NOT NULL"};
  static void write(RowWriter& w, bool v) { w.boolean(v); }
  static bool read(RowReader& r, std::string_view) { return r.boolean(); }
};
template <>
struct Codec<std::int64_t> {
  static constexpr std::array<std::string_view, 1> types{"bigint NOT NULL"};
  static void write(RowWriter& w, std::int64_t v) { w.int8(v); }
  static std::int64_t read(RowReader& r, std::string_view) { return r.int8(); }
};
// Counts and thresholds use the whole unsigned 64-bit range.
template <>
struct Codec<std::uint64_t> {
  static constexpr std::array<std::string_view, 1> types{"numeric(20, 0) NOT NULL"};
  static void write(RowWriter& w, std::uint64_t v) { w.numeric(v); }
  static std::uint64_t read(RowReader& r, std::string_view) { return r.numeric(); }
};
// A timestamp: the timestamptz (whole microseconds) and the nanosecond within its second.
template <>
struct Codec<quencore_contracts::Timestamp> {
  static constexpr std::array<std::string_view, 2> types{"timestamptz NOT NULL", "integer NOT NULL"};
  static constexpr std::array<std::string_view, 2> suffixes{"", "_nanos"};
  static void write(RowWriter& w, const quencore_contracts::Timestamp& v) { w.timestamp(v); }
  static quencore_contracts::Timestamp read(RowReader& r, std::string_view) { return r.timestamp(); }
};
template <>
struct Codec<quenvistrel_contracts::StringMap> {
  static constexpr std::array<std::string_view, 1> types{"jsonb NOT NULL"};
  static void write(RowWriter& w, const quenvistrel_contracts::StringMap& v) { w.text_map(v); }
  static quenvistrel_contracts::StringMap read(RowReader& r, std::string_view) { return r.text_map(); }
};
template <>
struct Codec<std::vector<std::string>> {
  static constexpr std::array<std::string_view, 1> types{"text[] NOT NULL"};
  static void write(RowWriter& w, const std::vector<std::string>& v) { w.text_array(v); }
  static std::vector<std::string> read(RowReader& r, std::string_view) { return r.text_array(); }
};

// The narrower unsigned integers, in the signed type that holds every value of theirs.
template <class T, class Wide>
struct NarrowCodec {
  static void write(RowWriter& w, T v) {
    if constexpr (sizeof(Wide) == 2) {
      w.int2(static_cast<Wide>(v));
    } else if constexpr (sizeof(Wide) == 4) {
      w.int4(static_cast<Wide>(v));
    } else {
      w.int8(static_cast<Wide>(v));
    }
  }
  // `what` names the value in the refusal: "{what} outside 0 to {max}".
  static T read(RowReader& r, std::string_view what) {
    Wide v = 0;
    if constexpr (sizeof(Wide) == 2) {
      v = r.int2();
    } else if constexpr (sizeof(Wide) == 4) {
      v = r.int4();
    } else {
      v = r.int8();
    }
    if (v < 0 || static_cast<std::uint64_t>(v) > std::numeric_limits<T>::max()) {
      r.refuse(fmt::format("{} outside 0 to {}", what, std::numeric_limits<T>::max()));
    }
    return static_cast<T>(v);
  }
};
template <>
struct Codec<std::uint8_t> : NarrowCodec<std::uint8_t, std::int16_t> {
  static constexpr std::array<std::string_view, 1> types{"smallint NOT NULL"};
};
template <>
struct Codec<std::uint16_t> : NarrowCodec<std::uint16_t, std::int32_t> {
  static constexpr std::array<std::string_view, 1> types{"integer NOT NULL"};
};
template <>
struct Codec<std::uint32_t> : NarrowCodec<std::uint32_t, std::int64_t> {
  static constexpr std::array<std::string_view, 1> types{"bigint NOT NULL"};
};

// Every identifier type: a UUID.
template <class Id>
  requires requires(const Id& id) { Id(id.uuid()); }
struct Codec<Id> {
  static constexpr std::array<std::string_view, 1> types{"uuid NOT NULL"};
  static void write(RowWriter& w, const Id& v) { w.uuid(v.uuid()); }
  static Id read(RowReader& r, std::string_view) { return Id(r.uuid()); }
};

// One field of record R as its column (or columns).
template <class R>
struct Field {
  std::string_view name;
  std::string_view what;  // how a refusal of its value names it, for a narrowed integer
  std::span<const std::string_view> types;
  std::span<const std::string_view> suffixes;  // of the column names, when it takes several
  void (*write)(RowWriter&, const R&);
  void (*read)(RowReader&, R&, std::string_view what);
};

template <class M>
struct MemberOf;
template <class R, class T>
struct MemberOf<T R::*> {
  using Record = R;
  using Type = T;
};

// The field of member M, in the column `name`.
template <auto M>
constexpr Field<typename MemberOf<decltype(M)>::Record> field(std::string_view name, std::string_view what = {}) {
  using R = typename MemberOf<decltype(M)>::Record;
  using C = Codec<typename MemberOf<decltype(M)>::Type>;
  std::span<const std::string_view> suffixes;
  if constexpr (requires { C::suffixes; }) suffixes = C::suffixes;
  return Field<R>{
      .name = name,
      .what = what,
      .types = C::types,
      .suffixes = suffixes,
      .write = [](RowWriter& w, const R& r) { C::write(w, r.*M); },
      .read = [](RowReader& rd, R& r, std::string_view w) { r.*M = C::read(rd, w); },
  };
}

// A table of records R: `seq` (the creation order) first, then a column for each field.
template <class R>
class RecordTable : public Table {
 public:
  RecordTable(std::string_view name, std::span<const Field<R>> fields) : fields_(fields) {
    this->name = name;
    columns.push_back({"seq", "bigint PRIMARY KEY"});
    for (const Field<R>& f : fields) {
      for (std::size_t i = 0; i < f.types.size(); ++i) {
        columns.push_back({fmt::format("{}{}", f.name, f.suffixes.empty() ? "" : f.suffixes[i]), std::string(f.types[i])});
      }
    }
  }

  // The record's COPY row under `seq`.
  void write(RowWriter& w, std::int64_t seq, const R& r) const {
    w.row(columns.size());
    w.int8(seq);
    for (const Field<R>& f : fields_) f.write(w, r);
  }
  // The record of a row; gives its seq. `reader.done(table)` then says whether it read whole.
  std::int64_t read(RowReader& reader, R& r) const {
    const std::int64_t seq = reader.int8();
    for (const Field<R>& f : fields_) f.read(reader, r, f.what);
    return seq;
  }

 private:
  std::span<const Field<R>> fields_;
};

extern const RecordTable<quenvistrel_contracts::VistrelEvent> kEvents;
extern const RecordTable<quenvistrel_contracts::VistrelRollup> kRollups;
extern const RecordTable<quenvistrel_contracts::RiskIndicator> kIndicators;
extern const RecordTable<quenvistrel_contracts::AlertRule> kRules;
extern const RecordTable<quenvistrel_contracts::AlertEvent> kAlerts;

}  // namespace quenvistrel_cli::pg
