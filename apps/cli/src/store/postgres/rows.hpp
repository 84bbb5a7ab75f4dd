#pragma once

// The records as rows of the database store's tables, in PostgreSQL's binary forms: the same
// code writes COPY rows and parameters and reads query results and COPY output, so a value
// goes in and comes out exactly (timestamps to the nanosecond, counts over the whole
// unsigned 64-bit range).

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quenvistrel_contracts/records.hpp"

namespace quenvistrel_cli::pg {

// One column of a table: its name and its SQL type.
struct Column {
  std::string name;
  std::string type;
};

// A table of the store: its name inside the store's schema and its columns in the order rows
// are written and read, `seq` (the creation order) always first. tables.hpp describes each.
struct Table {
  std::string_view name;
  std::vector<Column> columns;

  // "quenvistrel.{name}"
  [[nodiscard]] std::string qualified() const;
  // "col1, col2, …"
  [[nodiscard]] std::string column_list() const;
};

// Appends values in binary form: each as its 4-byte length and its bytes.
class RowWriter {
 public:
  explicit RowWriter(std::string& out) : out_(out) {}

  // The start of a COPY row of `fields` values.
  void row(std::size_t fields);
  void int2(std::int16_t v);
  void int4(std::int32_t v);
  void int8(std::int64_t v);
  void boolean(bool v);
  void text(std::string_view v);
  void uuid(const quencore_contracts::Uuid& v);
  void numeric(std::uint64_t v);
  // A timestamp takes two columns: the timestamptz (whole microseconds, rounded down) and the
  // nanosecond within its second.
  void timestamp(const quencore_contracts::Timestamp& v);
  void text_array(const std::vector<std::string>& v);
  void text_map(const quenvistrel_contracts::StringMap& v);  // jsonb

 private:
  void length(std::size_t n);
  // A value whose length is known only once written: open_value leaves room for it, and
  // close_value fills it in.
  std::size_t open_value();
  void close_value(std::size_t at);
  std::string& out_;
};

// The binary parameter of one value, for PgConnection::exec_params.
[[nodiscard]] std::string param_int8(std::int64_t v);
// The timestamptz of a whole Unix second; one beyond the years 0000 to 9999 (and so beyond
// every stored time) is moved nearer, to a day outside them.
[[nodiscard]] std::string param_seconds(std::int64_t unix_seconds);

// Reads the values of one row in binary form, in column order. A value that is NULL, of the
// wrong size or out of its record's range makes the row fail; error() then says which.
class RowReader {
 public:
  explicit RowReader(std::span<const std::string_view> fields) : fields_(fields) {}

  std::int64_t int8();
  std::int32_t int4();
  std::int16_t int2();
  bool boolean();
  std::string text();
  quencore_contracts::Uuid uuid();
  std::uint64_t numeric();
  quencore_contracts::Timestamp timestamp();
  std::vector<std::string> text_array();
  quenvistrel_contracts::StringMap text_map();
  quenvistrel_contracts::Severity severity();
  quenvistrel_contracts::TimeBucket bucket();
  quencore_contracts::Slug slug();

  // Refuses the value read last, which its record cannot hold.
  void refuse(std::string_view what) { fail(what); }

  // Every field read, none failed and none left over.
  [[nodiscard]] std::expected<void, std::string> done(const Table& table) const;

 private:
  // The next field's bytes, which must be `size` long (any size for 0).
  std::string_view next(std::size_t size = 0);
  void fail(std::string_view what);

  std::span<const std::string_view> fields_;
  std::size_t at_ = 0;  // fields read so far
  std::string error_;
  std::size_t failed_column_ = 0;  // 1-based
};

// A binary COPY stream, cut into rows whatever the chunks it arrives in.
class CopyRows {
 public:
  // Takes the next chunk; calls `row` with the fields of each whole row. Gives an error text
  // for a stream that is not a binary COPY or a failure of `row`.
  template <class Row>
  std::expected<void, std::string> feed(std::string_view chunk, Row&& row);

 private:
  // Whether the next whole row lies in pending_ from at_; fills fields_.
  std::expected<bool, std::string> next_row();

  std::string pending_;
  std::size_t at_ = 0;
  bool header_done_ = false;
  bool trailer_seen_ = false;
  std::vector<std::string_view> fields_;
};

template <class Row>
std::expected<void, std::string> CopyRows::feed(std::string_view chunk, Row&& row) {
  pending_.erase(0, at_);
  at_ = 0;
  pending_.append(chunk);
  while (true) {
    auto got = next_row();
    if (!got) return std::unexpected(std::move(got.error()));
    if (!*got) return {};
    if (auto taken = row(std::span<const std::string_view>(fields_)); !taken) return taken;
  }
}

// The binary COPY header and trailer.
void copy_header(std::string& out);
void copy_trailer(std::string& out);

}  // namespace quenvistrel_cli::pg
