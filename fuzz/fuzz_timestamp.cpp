// RFC 3339 reading. Properties:
//  - on success the written form is canonical, reads back as the same instant and is a
//    fixed point of reading and writing; from_unix agrees;
//  - for a UTC input the written form is predictable from the input alone (separator and
//    zone upper-cased, fraction truncated to nine digits without trailing zeros);
//  - an input with an offset denotes the instant of the same text in UTC shifted by the
//    offset, unless that instant falls outside the years 0000 to 9999;
//  - the fast reading of the writer's own form (read_canonical) takes exactly the texts the
//    writer gives, with the instant it wrote, whatever date it read before;
//  - on failure the error is a Validation error quoting the input: as it is when short and
//    free of control characters, otherwise escaped and cut.

#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "quencore_contracts/time.hpp"

using quencore_contracts::Timestamp;
using quencore_error::CoreError;

namespace {

bool digit(char c) { return c >= '0' && c <= '9'; }

// The shape that to_rfc3339 promises: YYYY-MM-DDTHH:MM:SS[.f{1,9} without trailing 0]Z.
bool canonical_shape(std::string_view s) {
  if (s.size() < 20 || s.back() != 'Z') return false;
  for (std::size_t i = 0; i < 19; ++i) {
    const char want = i == 4 || i == 7 ? '-' : i == 10 ? 'T' : i == 13 || i == 16 ? ':' : '0';
    if (want == '0' ? !digit(s[i]) : s[i] != want) return false;
  }
  if (s.size() == 20) return true;
  if (s[19] != '.' || s.size() < 22 || s.size() > 30) return false;
  for (std::size_t i = 20; i + 1 < s.size(); ++i) {
    if (!digit(s[i])) return false;
  }
  return s[s.size() - 2] != '0';
}

// The canonical text of a UTC input (zone Z or z, no leap second) that was accepted.
std::string expected_utc_text(std::string_view in) {
  std::string out(in.substr(0, 19));
  out[10] = 'T';
  std::string_view rest = in.substr(19);
  if (rest.starts_with('.')) {
    std::string fraction;
    std::size_t i = 1;
    while (i < rest.size() && digit(rest[i])) {
      if (fraction.size() < 9) fraction += rest[i];
      ++i;
    }
    while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
    if (!fraction.empty()) out.append(".").append(fraction);
  }
  out += 'Z';
  return out;
}

constexpr std::int64_t kMinSeconds = -62167219200;  // 0000-01-01T00:00:00Z
constexpr std::int64_t kMaxSeconds = 253402300799;  // 9999-12-31T23:59:59Z

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = quen_fuzz::as_text(data, size);
  const auto parsed = Timestamp::from_str(input);
  static quencore_contracts::CanonicalDay memo;  // kept across inputs, as across a file's events
  if (const auto canonical = Timestamp::read_canonical(input, memo)) {
    QUEN_FUZZ_CHECK(canonical->instant.to_rfc3339() == input.substr(0, canonical->length), input);
  }
  if (parsed && parsed->to_rfc3339() == input) {
    const auto canonical = Timestamp::read_canonical(input, memo);
    QUEN_FUZZ_CHECK(canonical && canonical->length == input.size() && canonical->instant == *parsed, input);
  }
  if (!parsed) {
    const CoreError& e = parsed.error();
    QUEN_FUZZ_CHECK(e.kind() == CoreError::Kind::Validation, e.message());
    const std::string head = "validation failed: invalid RFC 3339 timestamp ";
    QUEN_FUZZ_CHECK(e.message().starts_with(head), e.message());
    bool plain = input.size() <= 64;
    for (const char c : input) plain = plain && static_cast<unsigned char>(c) >= 0x20 && c != 0x7F;
    if (plain && input.find("\xC2") == std::string_view::npos) {
      // Short input without controls is quoted as it is.
      const std::string prefix = head + std::string(input) + ": ";
      QUEN_FUZZ_CHECK(e.message().starts_with(prefix) && e.message().size() > prefix.size(), e.message());
    } else {
      // Anything else is quoted escaped and cut: no raw control byte, and a bounded size.
      for (const char c : e.message()) QUEN_FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F, e.message());
      QUEN_FUZZ_CHECK(e.message().size() < head.size() + 64 * 6 + 100, e.message());
    }
    // A well-formed offset is refused only when the shifted instant is not writable.
    if (input.size() >= 25 && input.substr(17, 2) != "60") {
      const std::string_view offset = input.substr(input.size() - 6);
      if ((offset[0] == '+' || offset[0] == '-') && digit(offset[1]) && digit(offset[2]) && offset[3] == ':' &&
          digit(offset[4]) && digit(offset[5])) {
        const int hours = (offset[1] - '0') * 10 + (offset[2] - '0');
        const int minutes = (offset[4] - '0') * 10 + (offset[5] - '0');
        const auto local = Timestamp::from_str(std::string(input.substr(0, input.size() - 6)) + "Z");
        if (local && hours <= 23 && minutes <= 59) {
          const std::int64_t shift = (offset[0] == '+' ? 1 : -1) * (hours * 3600 + minutes * 60);
          const std::int64_t utc = local->unix_seconds() - shift;
          QUEN_FUZZ_CHECK(utc < kMinSeconds || utc > kMaxSeconds, input);
        }
      }
    }
    return 0;
  }

  const Timestamp t = *parsed;
  QUEN_FUZZ_CHECK(t.nanosecond() <= 999'999'999u, input);
  QUEN_FUZZ_CHECK(t.unix_seconds() >= kMinSeconds && t.unix_seconds() <= kMaxSeconds, input);
  const std::string text = t.to_rfc3339();
  QUEN_FUZZ_CHECK(canonical_shape(text), text);
  std::string appended = "x";
  t.append_rfc3339(appended);
  QUEN_FUZZ_CHECK(appended == "x" + text, appended);

  const auto again = Timestamp::from_str(text);
  QUEN_FUZZ_CHECK(again.has_value(), text);
  QUEN_FUZZ_CHECK(*again == t, text);
  QUEN_FUZZ_CHECK(again->to_rfc3339() == text, text);
  const auto from_unix = Timestamp::from_unix(t.unix_seconds(), t.nanosecond());
  QUEN_FUZZ_CHECK(from_unix.has_value() && *from_unix == t, text);

  // Every accepted text has the fixed date-time prefix and at least a zone after it.
  QUEN_FUZZ_CHECK(input.size() >= 20, input);
  const bool leap = input.substr(17, 2) == "60";
  const char zone = input.back();
  if (zone == 'Z' || zone == 'z') {
    if (!leap) QUEN_FUZZ_CHECK(text == expected_utc_text(input), input);
    if (leap) QUEN_FUZZ_CHECK(text.substr(11, 18) == "23:59:59.999999999", text);
  } else if (!leap) {
    // ...±HH:MM: the same local text in UTC, shifted.
    QUEN_FUZZ_CHECK(input.size() >= 25, input);
    const std::string_view offset = input.substr(input.size() - 6);
    const int hours = (offset[1] - '0') * 10 + (offset[2] - '0');
    const int minutes = (offset[4] - '0') * 10 + (offset[5] - '0');
    const std::int64_t shift = (offset[0] == '+' ? 1 : -1) * (hours * 3600 + minutes * 60);
    const std::string utc = std::string(input.substr(0, input.size() - 6)) + "Z";
    const auto local = Timestamp::from_str(utc);
    QUEN_FUZZ_CHECK(local.has_value(), utc);
    QUEN_FUZZ_CHECK(local->unix_seconds() - shift == t.unix_seconds(), input);
    QUEN_FUZZ_CHECK(local->nanosecond() == t.nanosecond(), input);
  }
  return 0;
}
