// What the database store reads back from a server: a binary COPY stream cut into rows, and
// each row read as its table's record. Input: a byte choosing the table, a byte choosing the
// chunk size, then the stream. Properties: no crash or undefined behaviour whatever the bytes;
// a row that reads as a record is written back as one that reads the same again.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.hpp"
#include "store/postgres/tables.hpp"

namespace {

using namespace quenvistrel_cli::pg;

template <class Record>
void check(std::string_view stream, std::size_t chunk, const RecordTable<Record>& table) {
  CopyRows rows;
  for (std::size_t at = 0; at < stream.size(); at += chunk) {
    auto fed = rows.feed(stream.substr(at, chunk), [&](std::span<const std::string_view> fields)
                                                       -> std::expected<void, std::string> {
      RowReader reader(fields);
      Record record;
      const std::int64_t seq = table.read(reader, record);
      if (!reader.done(table)) return {};
      std::string again;
      copy_header(again);
      RowWriter writer(again);
      table.write(writer, seq, record);
      copy_trailer(again);
      CopyRows reread;
      bool seen = false;
      auto back = reread.feed(again, [&](std::span<const std::string_view> f) -> std::expected<void, std::string> {
        RowReader r(f);
        Record copy;
        QUEN_FUZZ_CHECK(table.read(r, copy) == seq, stream);
        QUEN_FUZZ_CHECK(r.done(table).has_value(), stream);
        QUEN_FUZZ_CHECK(copy == record, stream);
        seen = true;
        return {};
      });
      QUEN_FUZZ_CHECK(back.has_value() && seen, stream);
      return {};
    });
    if (!fed) return;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::string_view stream = quen_fuzz::as_text(data + 2, size - 2);
  const std::size_t chunk = 1 + data[1] % 64 * 64;
  switch (data[0] % 5) {
    case 0:
      check(stream, chunk, kEvents);
      break;
    case 1:
      check(stream, chunk, kRollups);
      break;
    case 2:
      check(stream, chunk, kIndicators);
      break;
    case 3:
      check(stream, chunk, kRules);
      break;
    default:
      check(stream, chunk, kAlerts);
      break;
  }
  return 0;
}
