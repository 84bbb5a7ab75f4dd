#include "store/postgres/rows.hpp"

#include <array>
#include <cstring>
#include <limits>

#include <boost/json/parse.hpp>
#include <fmt/format.h>

#include "quenvistrel_contracts/json/escape.hpp"

namespace quenvistrel_cli::pg {

namespace {

using quencore_contracts::Timestamp;
using quencore_contracts::Uuid;

// timestamptz counts microseconds from 2000-01-01T00:00:00Z.
constexpr std::int64_t kPgEpochUnixSeconds = 946684800;
constexpr std::int64_t kMicros = 1'000'000;
// A day before the year 0000 and a day after the year 9999, in Unix seconds: every stored
// time lies between, and timestamptz holds both.
constexpr std::int64_t kBeforeAnyTime = -62167219200 - 86400;
constexpr std::int64_t kAfterAnyTime = 253402300800 + 86400;

constexpr std::uint32_t kTextOid = 25;

constexpr std::string_view kCopySignature{"PGCOPY\n\377\r\n\0", 11};

template <class T>
void put_big(std::string& out, T value) {
  using U = std::make_unsigned_t<T>;
  auto u = static_cast<U>(value);
  char bytes[sizeof(T)];
  for (std::size_t i = sizeof(T); i-- > 0;) {
    bytes[i] = static_cast<char>(u & 0xFF);
    u = static_cast<U>(u >> 8);
  }
  out.append(bytes, sizeof(T));
}

template <class T>
T get_big(const char* p) {
  using U = std::make_unsigned_t<T>;
  U u = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) u = static_cast<U>((u << 8) | static_cast<unsigned char>(p[i]));
  return static_cast<T>(u);
}

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
  const std::int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

std::int64_t micros_of(const Timestamp& t) {
  return (t.unix_seconds() - kPgEpochUnixSeconds) * kMicros + static_cast<std::int64_t>(t.nanosecond() / 1000);
}

// The digits of a numeric in base 10000, most significant first.
std::string numeric_bytes(std::uint64_t v) {
  std::array<std::int16_t, 5> groups{};  // least significant first
  std::size_t n = 0;
  for (; v != 0; v /= 10000) groups[n++] = static_cast<std::int16_t>(v % 10000);
  std::size_t low = 0;  // trailing zero groups are left out; the weight keeps the value
  while (low < n && groups[low] == 0) ++low;
  std::string out;
  put_big<std::int16_t>(out, static_cast<std::int16_t>(n - low));           // ndigits
  put_big<std::int16_t>(out, static_cast<std::int16_t>(n == 0 ? 0 : n - 1));  // weight
  put_big<std::int16_t>(out, 0);                                             // sign: positive
  put_big<std::int16_t>(out, 0);                                             // dscale
  for (std::size_t i = n; i-- > low;) put_big<std::int16_t>(out, groups[i]);
  return out;
}

}  // namespace

std::string Table::qualified() const { return fmt::format("quenvistrel.{}", name); }

std::string Table::column_list() const {
  std::string list;
  for (const Column& c : columns) {
    if (!list.empty()) list += ", ";
    list += c.name;
  }
  return list;
}

// ---------------------------------------------------------------------------------- writing

void RowWriter::length(std::size_t n) { put_big<std::int32_t>(out_, static_cast<std::int32_t>(n)); }

void RowWriter::row(std::size_t fields) { put_big<std::int16_t>(out_, static_cast<std::int16_t>(fields)); }

void RowWriter::int2(std::int16_t v) {
  length(2);
  put_big(out_, v);
}

void RowWriter::int4(std::int32_t v) {
  length(4);
  put_big(out_, v);
}

void RowWriter::int8(std::int64_t v) {
  length(8);
  put_big(out_, v);
}

void RowWriter::boolean(bool v) {
  length(1);
  out_ += v ? '\1' : '\0';
}

void RowWriter::text(std::string_view v) {
  length(v.size());
  out_.append(v);
}

void RowWriter::uuid(const Uuid& v) {
  length(16);
  out_.append(reinterpret_cast<const char*>(v.bytes.data()), 16);
}

void RowWriter::numeric(std::uint64_t v) {
  const std::string bytes = numeric_bytes(v);  // at most 18 bytes: no allocation
  text(bytes);
}

void RowWriter::timestamp(const Timestamp& v) {
  int8(micros_of(v));
  int4(static_cast<std::int32_t>(v.nanosecond()));
}

std::size_t RowWriter::open_value() {
  const std::size_t at = out_.size();
  put_big<std::int32_t>(out_, 0);
  return at;
}

void RowWriter::close_value(std::size_t at) {
  const auto size = static_cast<std::uint32_t>(out_.size() - at - 4);
  for (std::size_t i = 0; i < 4; ++i) out_[at + i] = static_cast<char>(size >> (24 - 8 * i));
}

void RowWriter::text_array(const std::vector<std::string>& v) {
  const std::size_t at = open_value();
  put_big<std::int32_t>(out_, v.empty() ? 0 : 1);  // dimensions
  put_big<std::int32_t>(out_, 0);                  // no NULLs
  put_big<std::uint32_t>(out_, kTextOid);
  if (!v.empty()) {
    put_big<std::int32_t>(out_, static_cast<std::int32_t>(v.size()));
    put_big<std::int32_t>(out_, 1);  // lower bound
    for (const std::string& s : v) {
      put_big<std::int32_t>(out_, static_cast<std::int32_t>(s.size()));
      out_ += s;
    }
  }
  close_value(at);
}

void RowWriter::text_map(const quenvistrel_contracts::StringMap& v) {
  const std::size_t at = open_value();
  out_ += "\1{";  // jsonb's format version, then its text
  bool first = true;
  for (const auto& [key, value] : v) {
    if (!first) out_ += ',';
    first = false;
    quenvistrel_contracts::json::append_json_string(out_, key);
    out_ += ':';
    quenvistrel_contracts::json::append_json_string(out_, value);
  }
  out_ += '}';
  close_value(at);
}

std::string param_int8(std::int64_t v) {
  std::string out;
  put_big(out, v);
  return out;
}

std::string param_seconds(std::int64_t unix_seconds) {
  const std::int64_t s = std::clamp(unix_seconds, kBeforeAnyTime, kAfterAnyTime);
  return param_int8((s - kPgEpochUnixSeconds) * kMicros);
}

void copy_header(std::string& out) {
  out.append(kCopySignature);
  put_big<std::int32_t>(out, 0);  // flags
  put_big<std::int32_t>(out, 0);  // header extension
}

void copy_trailer(std::string& out) { put_big<std::int16_t>(out, -1); }

// ---------------------------------------------------------------------------------- reading

void RowReader::fail(std::string_view what) {
  if (!error_.empty()) return;
  error_ = what;
  failed_column_ = at_;  // the column read last
}

std::string_view RowReader::next(std::size_t size) {
  ++at_;
  if (at_ > fields_.size()) {
    fail("missing");
    return {};
  }
  const std::string_view field = fields_[at_ - 1];
  if (field.data() == nullptr) {
    fail("NULL");
  } else if (size != 0 && field.size() != size) {
    fail("unexpected size");
  }
  return error_.empty() ? field : std::string_view{};
}

std::int64_t RowReader::int8() {
  const auto f = next(8);
  return f.empty() ? 0 : get_big<std::int64_t>(f.data());
}

std::int32_t RowReader::int4() {
  const auto f = next(4);
  return f.empty() ? 0 : get_big<std::int32_t>(f.data());
}

std::int16_t RowReader::int2() {
  const auto f = next(2);
  return f.empty() ? 0 : get_big<std::int16_t>(f.data());
}

bool RowReader::boolean() {
  const auto f = next(1);
  return !f.empty() && f[0] != 0;
}

std::string RowReader::text() {
  const auto f = next();
  return std::string(f);
}

Uuid RowReader::uuid() {
  const auto f = next(16);
  Uuid u;
  if (!f.empty()) std::memcpy(u.bytes.data(), f.data(), 16);
  return u;
}

std::uint64_t RowReader::numeric() {
  const auto f = next();
  if (!error_.empty()) return 0;
  if (f.size() < 8) {
    fail("not a numeric");
    return 0;
  }
  const auto ndigits = get_big<std::int16_t>(f.data());
  const auto weight = get_big<std::int16_t>(f.data() + 2);
  const auto sign = get_big<std::uint16_t>(f.data() + 4);
  if (ndigits < 0 || f.size() != 8 + 2 * static_cast<std::size_t>(ndigits) || sign != 0) {
    fail("not a count (a whole number from 0 to 18446744073709551615)");
    return 0;
  }
  std::uint64_t value = 0;
  for (int i = 0; i <= weight; ++i) {
    const std::uint64_t digit = i < ndigits ? get_big<std::uint16_t>(f.data() + 8 + 2 * i) : 0;
    if (__builtin_mul_overflow(value, std::uint64_t{10000}, &value) || __builtin_add_overflow(value, digit, &value)) {
      fail("not a count (a whole number from 0 to 18446744073709551615)");
      return 0;
    }
  }
  // Groups after the decimal point must all be zero.
  for (int i = std::max(0, weight + 1); i < ndigits; ++i) {
    if (get_big<std::uint16_t>(f.data() + 8 + 2 * i) != 0) {
      fail("not a count (a whole number from 0 to 18446744073709551615)");
      return 0;
    }
  }
  return value;
}

Timestamp RowReader::timestamp() {
  const std::int64_t micros = int8();
  const std::int32_t nanos = int4();
  if (!error_.empty()) return {};
  const std::int64_t whole = floor_div(micros, kMicros);
  const std::int64_t rest = micros - whole * kMicros;
  // The nanosecond column refines the microseconds it agrees with; where someone changed the
  // timestamptz alone, the timestamptz wins.
  const auto nanosecond =
      nanos >= 0 && nanos / 1000 == rest ? static_cast<std::uint32_t>(nanos) : static_cast<std::uint32_t>(rest * 1000);
  std::int64_t seconds = 0;
  if (__builtin_add_overflow(whole, kPgEpochUnixSeconds, &seconds)) seconds = std::numeric_limits<std::int64_t>::max();
  const auto t = Timestamp::from_unix(seconds, nanosecond);
  if (!t) {
    fail("a timestamp outside the years 0000 to 9999");
    return {};
  }
  return *t;
}

std::vector<std::string> RowReader::text_array() {
  const auto f = next();
  std::vector<std::string> out;
  if (!error_.empty()) return out;
  const auto bad = [this, &out] {
    fail("not a one-dimensional array of texts without NULLs");
    out.clear();
    return out;
  };
  if (f.size() < 12) return bad();
  const auto dims = get_big<std::int32_t>(f.data());
  if (dims == 0) return out;
  if (dims != 1 || f.size() < 20) return bad();
  const auto count = get_big<std::int32_t>(f.data() + 12);
  std::size_t at = 20;
  for (std::int32_t i = 0; i < count; ++i) {
    if (f.size() - at < 4) return bad();
    const auto len = get_big<std::int32_t>(f.data() + at);
    at += 4;
    if (len < 0 || f.size() - at < static_cast<std::size_t>(len)) return bad();
    out.emplace_back(f.substr(at, static_cast<std::size_t>(len)));
    at += static_cast<std::size_t>(len);
  }
  if (at != f.size()) return bad();
  return out;
}

quenvistrel_contracts::StringMap RowReader::text_map() {
  const auto f = next();
  quenvistrel_contracts::StringMap out;
  if (!error_.empty()) return out;
  boost::system::error_code ec;
  const auto value = f.empty() || f[0] != 1 ? boost::json::value() : boost::json::parse(f.substr(1), ec);
  if (ec || !value.is_object()) {
    fail("not a JSON object of texts");
    return out;
  }
  for (const auto& [key, v] : value.get_object()) {
    if (!v.is_string()) {
      fail("not a JSON object of texts");
      return {};
    }
    out.insert_or_assign(std::string(key), std::string(v.get_string()));
  }
  return out;
}

quenvistrel_contracts::Severity RowReader::severity() {
  const auto f = next();
  if (!error_.empty()) return {};
  auto s = quenvistrel_contracts::severity_from_wire(f);
  if (!s) fail(s.error());
  return s ? *s : quenvistrel_contracts::Severity{};
}

quenvistrel_contracts::TimeBucket RowReader::bucket() {
  const auto f = next();
  if (!error_.empty()) return {};
  auto b = quenvistrel_contracts::time_bucket_from_wire(f);
  if (!b) fail(b.error());
  return b ? *b : quenvistrel_contracts::TimeBucket{};
}

quencore_contracts::Slug RowReader::slug() {
  auto f = next();
  if (!error_.empty()) return {};
  auto s = quencore_contracts::Slug::try_from(std::string(f));
  if (!s) {
    fail(s.error().message());
    return {};
  }
  return *s;
}

std::expected<void, std::string> RowReader::done(const Table& table) const {
  if (error_.empty() && at_ == fields_.size()) return {};
  std::string what = "unexpected columns";
  if (!error_.empty()) {
    const std::string_view column =
        failed_column_ >= 1 && failed_column_ <= table.columns.size()
            ? std::string_view(table.columns[failed_column_ - 1].name)
            : std::string_view("?");
    what = fmt::format("{}: {}", column, error_);
  }
  return std::unexpected(fmt::format("the database holds a row of {} that the tool cannot read ({})",
                                     table.qualified(), what));
}

std::expected<bool, std::string> CopyRows::next_row() {
  const std::string_view rest = std::string_view(pending_).substr(at_);
  const auto broken = [] { return std::unexpected(std::string("the database sent a copy the tool cannot read")); };
  std::size_t at = 0;
  if (!header_done_) {
    if (rest.size() < kCopySignature.size() + 8) return false;
    if (rest.substr(0, kCopySignature.size()) != kCopySignature) return broken();
    const auto extension = get_big<std::int32_t>(rest.data() + kCopySignature.size() + 4);
    if (extension < 0) return broken();
    const std::size_t header = kCopySignature.size() + 8 + static_cast<std::size_t>(extension);
    if (rest.size() < header) return false;
    header_done_ = true;
    at_ += header;
    return next_row();
  }
  if (trailer_seen_) return rest.empty() ? std::expected<bool, std::string>(false) : broken();
  if (rest.size() < 2) return false;
  const auto count = get_big<std::int16_t>(rest.data());
  if (count == -1) {
    trailer_seen_ = true;
    at_ += 2;
    return next_row();
  }
  if (count < 0) return broken();
  at = 2;
  fields_.clear();
  for (std::int16_t i = 0; i < count; ++i) {
    if (rest.size() - at < 4) return false;
    const auto len = get_big<std::int32_t>(rest.data() + at);
    at += 4;
    if (len < 0) {
      fields_.emplace_back();  // NULL
      continue;
    }
    if (rest.size() - at < static_cast<std::size_t>(len)) return false;
    fields_.emplace_back(rest.data() + at, static_cast<std::size_t>(len));
    at += static_cast<std::size_t>(len);
  }
  at_ += at;
  return true;
}

}  // namespace quenvistrel_cli::pg
