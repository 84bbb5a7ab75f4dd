#include "store/postgres/table_io.hpp"

namespace quenvistrel_cli::pg {

EventCopy::EventCopy(PgConnection& conn, std::int64_t first_seq) : conn_(conn), next_seq_(first_seq) {
  buffer_.reserve(kCopyChunk + 4096);
  copy_header(buffer_);
}

std::expected<void, std::string> EventCopy::begin() {
  return conn_.copy_in(
      fmt::format("COPY {} ({}) FROM STDIN (FORMAT binary)", kEvents.qualified(), kEvents.column_list()));
}

void EventCopy::add(const quenvistrel_contracts::VistrelEvent& event) {
  RowWriter writer(buffer_);
  kEvents.write(writer, next_seq_++, event);
  ++added_;
  if (buffer_.size() >= kCopyChunk) flush();
}

std::expected<std::uint64_t, std::string> EventCopy::finish() {
  copy_trailer(buffer_);
  flush();
  auto ended = conn_.end_copy();
  if (!ended) return std::unexpected(std::move(ended.error()));
  return added_;
}

void EventCopy::flush() {
  conn_.put(buffer_);
  buffer_.clear();
}

}  // namespace quenvistrel_cli::pg
