#pragma once

// Reading and writing the record tables: rows selected out and appended in as binary COPY, so
// a result or an insert of any size passes through a bounded buffer.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "quenvistrel_aggregate/store.hpp"
#include "store/postgres/connection.hpp"
#include "store/postgres/tables.hpp"

namespace quenvistrel_cli::pg {

// COPY data is handed to libpq in pieces of about this size.
inline constexpr std::size_t kCopyChunk = std::size_t{1} << 18;

// Hands each row of `query`, a SELECT, to `row` as a RowReader.
template <class Row>
std::expected<void, std::string> stream_query(PgConnection& conn, std::string_view query, Row&& row) {
  CopyRows rows;
  return conn.copy_out(fmt::format("COPY ({}) TO STDOUT (FORMAT binary)", query),
                       [&](std::string_view chunk) {
                         return rows.feed(chunk, [&](std::span<const std::string_view> fields) {
                           RowReader reader(fields);
                           return row(reader);
                         });
                       });
}

// Hands each row of `table` that `clause` (WHERE … ORDER BY …) selects to `row` as a RowReader.
template <class Row>
std::expected<void, std::string> stream(PgConnection& conn, const Table& table, std::string_view clause, Row&& row) {
  return stream_query(conn, fmt::format("SELECT {} FROM {} {}", table.column_list(), table.qualified(), clause),
                      std::forward<Row>(row));
}

// Appends the records of the rows that `clause` selects to `out`, in order; gives their seqs.
template <class R>
std::expected<std::vector<std::int64_t>, std::string> select(PgConnection& conn, const RecordTable<R>& table,
                                                             std::string_view clause, std::vector<R>& out) {
  std::vector<std::int64_t> seqs;
  auto streamed = stream(conn, table, clause, [&](RowReader& reader) -> std::expected<void, std::string> {
    R record;
    seqs.push_back(table.read(reader, record));
    if (auto done = reader.done(table); !done) return done;
    out.push_back(std::move(record));
    return {};
  });
  if (!streamed) return std::unexpected(std::move(streamed.error()));
  return seqs;
}

// COPYs each record into `table` under its seq.
template <class R>
std::expected<void, std::string> copy_rows(PgConnection& conn, const RecordTable<R>& table,
                                           const std::vector<std::pair<std::int64_t, const R*>>& rows) {
  auto started =
      conn.copy_in(fmt::format("COPY {} ({}) FROM STDIN (FORMAT binary)", table.qualified(), table.column_list()));
  if (!started) return started;
  std::string buffer;
  copy_header(buffer);
  RowWriter writer(buffer);
  for (const auto& [seq, record] : rows) {
    table.write(writer, seq, *record);
    if (buffer.size() >= kCopyChunk) {
      conn.put(buffer);
      buffer.clear();
    }
  }
  copy_trailer(buffer);
  conn.put(buffer);
  auto ended = conn.end_copy();
  if (!ended) return std::unexpected(std::move(ended.error()));
  return {};
}

// COPYs records[from..] into `table`, numbered on from `first_seq`.
template <class R>
std::expected<void, std::string> append(PgConnection& conn, const RecordTable<R>& table, const std::vector<R>& records,
                                        std::size_t from, std::uint64_t first_seq) {
  if (records.size() <= from) return {};
  std::vector<std::pair<std::int64_t, const R*>> rows;
  rows.reserve(records.size() - from);
  for (std::size_t i = from; i < records.size(); ++i) {
    rows.emplace_back(static_cast<std::int64_t>(first_seq + (i - from)), &records[i]);
  }
  return copy_rows(conn, table, rows);
}

// An ingest's events, written as binary COPY rows into the events table while the fixture is
// read: begin() starts the COPY, finish() ends it and gives how many were added.
class EventCopy final : public quenvistrel_aggregate::EventSink {
 public:
  EventCopy(PgConnection& conn, std::int64_t first_seq);

  [[nodiscard]] std::expected<void, std::string> begin();
  void add(const quenvistrel_contracts::VistrelEvent& event) override;
  [[nodiscard]] std::expected<std::uint64_t, std::string> finish();

 private:
  void flush();

  PgConnection& conn_;
  std::int64_t next_seq_;
  std::uint64_t added_ = 0;
  std::string buffer_;
};

}  // namespace quenvistrel_cli::pg
