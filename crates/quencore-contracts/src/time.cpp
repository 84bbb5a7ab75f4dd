#include "quencore_contracts/time.hpp"

#include <time.h>

#include <array>
#include <chrono>
#include <cstring>

#include "quencore_contracts/echo.hpp"
#include "quencore_contracts/text_kernels.hpp"

namespace quencore_contracts {

namespace {

using std::chrono::day;
using std::chrono::days;
using std::chrono::month;
using std::chrono::sys_days;
using std::chrono::year;
using std::chrono::year_month_day;
using std::chrono::year_month_day_last;

constexpr std::int64_t kSecondsPerDay = 86400;

constexpr std::int64_t days_from_civil(int y, unsigned m, unsigned d) {
  return sys_days(year_month_day(year(y), month(m), day(d))).time_since_epoch().count();
}

// The writable range: 0000-01-01T00:00:00Z to 9999-12-31T23:59:59.999999999Z.
constexpr std::int64_t kMinSeconds = days_from_civil(0, 1, 1) * kSecondsPerDay;
constexpr std::int64_t kMaxSeconds = days_from_civil(9999, 12, 31) * kSecondsPerDay + kSecondsPerDay - 1;

constexpr std::int64_t floor_div(std::int64_t a, std::int64_t b) {
  const std::int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// A reader fault: either a syntax fault found on the way or a range fault found afterwards.
enum class Fault : std::uint8_t { None, Unparsable, Literal, Trailing, OutOfRange };

struct Failure {
  Fault fault = Fault::None;
  std::string_view component;
};

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Reads the date-time fields left to right; stops at the first syntax fault.
class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  // Reads `count` digits as a number; false when the text ends or holds a non-digit first.
  bool digits(std::size_t count, int& value) {
    if (pos_ + count > text_.size()) return false;
    int v = 0;
    for (std::size_t k = 0; k < count; ++k) {
      const char c = text_[pos_ + k];
      if (!is_digit(c)) return false;
      v = v * 10 + (c - '0');
    }
    pos_ += count;
    value = v;
    return true;
  }

  bool literal(char c) {
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }

  bool at_end() const { return pos_ >= text_.size(); }
  char peek() const { return text_[pos_]; }
  void skip() { ++pos_; }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

struct Fields {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  std::uint32_t nanos = 0;
  int offset_seconds = 0;  // local time minus UTC
};

Failure read_fields(std::string_view text, Fields& f) {
  Reader r(text);
  const auto unparsable = [](std::string_view component) {
    return Failure{Fault::Unparsable, component};
  };
  const Failure literal{Fault::Literal, {}};

  if (!r.digits(4, f.year)) return unparsable("year");
  if (!r.literal('-')) return literal;
  // A month of 00 is refused here, not by the range check, as the other readers do.
  if (!r.digits(2, f.month) || f.month == 0) return unparsable("month");
  if (!r.literal('-')) return literal;
  if (!r.digits(2, f.day)) return unparsable("day");
  // RFC 3339 allows other separators than T by agreement; any one byte is taken.
  if (r.at_end()) return unparsable("separator");
  r.skip();
  if (!r.digits(2, f.hour)) return unparsable("hour");
  if (!r.literal(':')) return literal;
  if (!r.digits(2, f.minute)) return unparsable("minute");
  if (!r.literal(':')) return literal;
  if (!r.digits(2, f.second)) return unparsable("second");

  if (r.literal('.')) {
    if (r.at_end() || !is_digit(r.peek())) return unparsable("subsecond");
    // Nine digits give the nanoseconds; the rest are read and dropped, never rounded.
    std::uint32_t scale = 100000000;
    while (!r.at_end() && is_digit(r.peek())) {
      f.nanos += static_cast<std::uint32_t>(r.peek() - '0') * scale;
      scale /= 10;
      r.skip();
    }
  }

  if (r.at_end()) return unparsable("offset hour");
  const char sign = r.peek();
  if (sign == 'Z' || sign == 'z') {
    r.skip();
  } else if (sign == '+' || sign == '-') {
    r.skip();
    int oh = 0;
    int om = 0;
    if (!r.digits(2, oh) || oh > 23) return unparsable("offset hour");
    if (!r.literal(':')) return literal;
    if (!r.digits(2, om)) return unparsable("offset minute");
    if (om > 59) return Failure{Fault::OutOfRange, "offset minute"};
    f.offset_seconds = (sign == '+' ? 1 : -1) * (oh * 3600 + om * 60);
  } else {
    return unparsable("offset hour");
  }
  if (!r.at_end()) return Failure{Fault::Trailing, {}};
  return {};
}

// Range checks in their fixed order, then the leap-second rule and the conversion to UTC.
Failure check_and_convert(Fields& f, std::int64_t& seconds) {
  const auto out_of_range = [](std::string_view component) {
    return Failure{Fault::OutOfRange, component};
  };
  if (f.month < 1 || f.month > 12) return out_of_range("month");
  const year_month_day_last last{year(f.year), std::chrono::month_day_last(month(static_cast<unsigned>(f.month)))};
  const auto last_day = static_cast<int>(static_cast<unsigned>(last.day()));
  if (f.day < 1 || f.day > last_day) return out_of_range("day");
  if (f.hour > 23) return out_of_range("hour");
  if (f.minute > 59) return out_of_range("minute");
  if (f.second > 60) return out_of_range("second");

  const std::int64_t local_days =
      days_from_civil(f.year, static_cast<unsigned>(f.month), static_cast<unsigned>(f.day));
  // Seconds of the local minute's start, in UTC; the second itself is added below.
  const std::int64_t minute_start =
      local_days * kSecondsPerDay + f.hour * 3600 + f.minute * 60 - f.offset_seconds;

  if (f.second == 60) {
    // Only 23:59:60 UTC on a month's last day exists; it is held as the last instant of
    // 23:59:59, since the representation has no 61st second.
    const std::int64_t utc_days = floor_div(minute_start, kSecondsPerDay);
    const std::int64_t utc_minute_of_day = minute_start - utc_days * kSecondsPerDay;
    const year_month_day utc_date{sys_days(days(utc_days))};
    const bool last_of_month =
        utc_date.day() == year_month_day_last(utc_date.year(),
                                              std::chrono::month_day_last(utc_date.month()))
                              .day();
    if (utc_minute_of_day != 23 * 3600 + 59 * 60 || !last_of_month) return out_of_range("second");
    f.second = 59;
    f.nanos = 999999999;
  }

  seconds = minute_start + f.second;
  // An offset can carry a text at the ends of the calendar into year -1 or 10000, which no
  // RFC 3339 text can express; refusing it here keeps every Timestamp writable.
  if (seconds < kMinSeconds || seconds > kMaxSeconds) return out_of_range("year");
  return {};
}

quencore_error::CoreError reading_error(std::string_view input, const Failure& failure) {
  std::string text = "invalid RFC 3339 timestamp ";
  text.append(echo_input(input)).append(": ");
  switch (failure.fault) {
    case Fault::Unparsable:
      text.append("the '").append(failure.component).append("' component could not be parsed");
      break;
    case Fault::Literal:
      text.append("a character literal was not valid");
      break;
    case Fault::Trailing:
      text.append("unexpected trailing characters; the end of input was expected");
      break;
    case Fault::OutOfRange:
      text.append(failure.component).append(" was not in range");
      break;
    case Fault::None:
      break;
  }
  return quencore_error::CoreError::validation(std::move(text));
}

// "00".."99" for fast zero-padded fields.
constexpr std::array<char, 200> kTwoDigits = [] {
  std::array<char, 200> table{};
  for (std::size_t n = 0; n < 100; ++n) {
    table[2 * n] = static_cast<char>('0' + n / 10);
    table[2 * n + 1] = static_cast<char>('0' + n % 10);
  }
  return table;
}();

char* put2(char* p, unsigned n) {
  p[0] = kTwoDigits[2 * n];
  p[1] = kTwoDigits[2 * n + 1];
  return p + 2;
}

}  // namespace

Timestamp Timestamp::now() {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  // tv_nsec is always in [0, 1e9), so tv_sec is already the floored second, before 1970 too.
  std::int64_t seconds = ts.tv_sec;
  auto nanos = static_cast<std::uint32_t>(ts.tv_nsec);
  // A clock set beyond the writable years is pinned to its end rather than producing a
  // Timestamp that could not be written.
  if (seconds < kMinSeconds) {
    seconds = kMinSeconds;
    nanos = 0;
  } else if (seconds > kMaxSeconds) {
    seconds = kMaxSeconds;
    nanos = 999999999;
  }
  return Timestamp(seconds, nanos);
}

std::optional<Timestamp::Canonical> Timestamp::read_canonical(std::string_view text, CanonicalDay& memo) {
  using kernel::has_shape;
  if (text.size() < 20) return std::nullopt;
  const char* t = text.data();
  // "dddd-dd-ddTdd:dd:dd" in three overlapping words.
  if (!(has_shape<"dddd-dd-">(t) && has_shape<"ddTdd:dd">(t + 8) && has_shape<"dd:dd:dd">(t + 11))) {
    return std::nullopt;
  }
  const auto two = [t](std::size_t i) { return static_cast<unsigned>((t[i] - '0') * 10 + (t[i + 1] - '0')); };
  const unsigned hour = two(11);
  const unsigned minute = two(14);
  const unsigned second = two(17);
  if (hour > 23 || minute > 59 || second > 59) return std::nullopt;
  if (kernel::load_word(t) != kernel::load_word(memo.date) || t[8] != memo.date[8] || t[9] != memo.date[9]) {
    const year_month_day date{year{static_cast<int>(two(0) * 100 + two(2))}, month{two(5)}, day{two(8)}};
    if (!date.ok()) return std::nullopt;
    memo.days = sys_days{date}.time_since_epoch().count();
    std::memcpy(memo.date, t, 10);
  }
  std::size_t pos = 19;
  std::uint32_t nanos = 0;
  if (pos < text.size() && text[pos] == '.') {
    ++pos;
    const std::size_t first = pos;
    std::uint32_t scale = 100000000;
    while (pos < text.size() && is_digit(text[pos]) && pos - first < 9) {
      nanos += static_cast<std::uint32_t>(text[pos] - '0') * scale;
      scale /= 10;
      ++pos;
    }
    // The writer gives one to nine digits and drops trailing zeros.
    if (pos == first || text[pos - 1] == '0' || (pos < text.size() && is_digit(text[pos]))) return std::nullopt;
  }
  if (pos >= text.size() || text[pos] != 'Z') return std::nullopt;
  const std::int64_t seconds = memo.days * kSecondsPerDay + static_cast<std::int64_t>(hour * 3600 + minute * 60 + second);
  return Canonical{Timestamp(seconds, nanos), pos + 1};
}

std::expected<Timestamp, quencore_error::CoreError> Timestamp::from_str(std::string_view text) {
  // Most texts are in the writer's own form, which is read a word at a time.
  CanonicalDay memo;
  if (auto canonical = read_canonical(text, memo); canonical && canonical->length == text.size()) {
    return canonical->instant;
  }
  Fields fields;
  if (Failure failure = read_fields(text, fields); failure.fault != Fault::None) {
    return std::unexpected(reading_error(text, failure));
  }
  std::int64_t seconds = 0;
  if (Failure failure = check_and_convert(fields, seconds); failure.fault != Fault::None) {
    return std::unexpected(reading_error(text, failure));
  }
  return Timestamp(seconds, fields.nanos);
}

std::optional<Timestamp> Timestamp::from_unix(std::int64_t seconds, std::uint32_t nanos) {
  if (seconds < kMinSeconds || seconds > kMaxSeconds || nanos > 999999999) {
    return std::nullopt;
  }
  return Timestamp(seconds, nanos);
}

void Timestamp::append_rfc3339(std::string& out) const {
  const std::int64_t day_count = floor_div(seconds_, kSecondsPerDay);
  auto second_of_day = static_cast<unsigned>(seconds_ - day_count * kSecondsPerDay);
  const year_month_day date{sys_days(days(day_count))};
  const auto y = static_cast<unsigned>(static_cast<int>(date.year()));  // 0..9999 by invariant

  // "YYYY-MM-DDTHH:MM:SS" + ".123456789" + "Z" is at most 30 bytes.
  char buffer[30];
  char* p = put2(buffer, y / 100);
  p = put2(p, y % 100);
  *p++ = '-';
  p = put2(p, static_cast<unsigned>(date.month()));
  *p++ = '-';
  p = put2(p, static_cast<unsigned>(date.day()));
  *p++ = 'T';
  p = put2(p, second_of_day / 3600);
  *p++ = ':';
  second_of_day %= 3600;
  p = put2(p, second_of_day / 60);
  *p++ = ':';
  p = put2(p, second_of_day % 60);
  if (nanos_ != 0) {
    *p++ = '.';
    std::uint32_t n = nanos_;
    int width = 9;
    while (n % 10 == 0) {
      n /= 10;
      --width;
    }
    for (int k = width - 1; k >= 0; --k) {
      p[k] = static_cast<char>('0' + n % 10);
      n /= 10;
    }
    p += width;
  }
  *p++ = 'Z';
  out.append(buffer, static_cast<std::size_t>(p - buffer));
}

std::string Timestamp::to_rfc3339() const {
  std::string out;
  out.reserve(30);
  append_rfc3339(out);
  return out;
}

}  // namespace quencore_contracts
