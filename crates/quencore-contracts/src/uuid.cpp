#include "quencore_contracts/uuid.hpp"

#include <optional>
#include <span>

#include "quencore_contracts/echo.hpp"
#include "quencore_contracts/hex.hpp"
#include "quencore_contracts/random.hpp"
#include "quencore_contracts/utf8.hpp"
#include "random_pool.hpp"

namespace quencore_contracts {

namespace {

constexpr std::string_view kUrnPrefix = "urn:uuid:";
constexpr std::array<std::size_t, 5> kGroupLengths{8, 4, 4, 4, 12};

// The first character of `body` that is neither a hex digit nor a hyphen, reported with its
// 1-based character position in the whole text (`first_position` is that of body[0]).
std::optional<std::string> find_bad_character(std::string_view body, std::size_t first_position) {
  std::size_t position = first_position;
  for (std::size_t i = 0; i < body.size(); ++position) {
    const char c = body[i];
    if (hex_value(c) >= 0 || c == '-') {
      ++i;
      continue;
    }
    // A cut-off character counts as malformed like any other.
    std::size_t len = utf8_sequence(body, i);
    if (len == UTF8_TRUNCATED) len = 0;
    std::string reason = "invalid character: found `";
    // A byte that starts no well-formed character is shown as U+FFFD so that the message
    // itself stays valid UTF-8; a control character is shown escaped.
    if (len == 0) {
      reason.append("\xEF\xBF\xBD");
    } else {
      append_escaped(reason, body.substr(i, len));
    }
    reason.append("` at ").append(std::to_string(position));
    return reason;
  }
  return std::nullopt;
}

// The hyphenated 36-character form, the one this system writes, read in one pass.
bool parse_hyphenated(std::string_view text, Uuid& out) {
  if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-') return false;
  constexpr std::array<std::uint8_t, 16> kAt{0, 2, 4, 6, 9, 11, 14, 16, 19, 21, 24, 26, 28, 30, 32, 34};
  for (std::size_t k = 0; k < 16; ++k) {
    const int hi = hex_value(text[kAt[k]]);
    const int lo = hex_value(text[kAt[k] + 1]);
    if ((hi | lo) < 0) return false;
    out.bytes[k] = static_cast<std::uint8_t>((hi << 4) | lo);
  }
  return true;
}

std::string group_count_reason(std::size_t count) {
  return "invalid group count: expected 5, found " + std::to_string(count);
}

}  // namespace

// How a bad text is reported, checks in this order:
//  1. Wrappers: a lower-case "urn:uuid:" prefix, or a "{" at the start together with a "}"
//     at the end, is removed. A brace at one end without its partner at the other gives
//     "failed to parse a UUID": the form as a whole is broken, no one character, length or
//     group is to blame.
//  2. Characters: the first character, from the left, that is neither a hex digit nor a
//     hyphen gives "invalid character: found `c` at n". It runs before any counting because
//     it names the exact spot, while lengths and groups measured over a stray character
//     would mislead. Positions are 1-based and count characters of the whole text
//     (prefix and brace included); a multi-byte character is shown whole and counts once.
//  3. Without hyphens: a bare text must hold 32 digits, else "invalid length: found n"
//     (n in characters, which are all ASCII by now); a wrapped one lacks the groups its
//     form requires, so it gives "invalid group count: expected 5, found 1".
//  4. With hyphens: the text splits into groups at every hyphen; a number other than 5
//     gives the group-count reason, otherwise the first group (1-based) whose length is not
//     8, 4, 4, 4, 12 gives "invalid group length in group g: expected e, found f".
std::expected<Uuid, std::string> Uuid::parse(std::string_view text) {
  // The common form first; every other text, and every error, takes the checks below.
  if (Uuid uuid; parse_hyphenated(text, uuid)) return uuid;
  std::string_view body = text;
  std::size_t offset = 0;
  bool wrapped = false;
  if (body.starts_with(kUrnPrefix)) {
    body.remove_prefix(kUrnPrefix.size());
    offset = kUrnPrefix.size();
    wrapped = true;
  } else if (body.starts_with('{') || body.ends_with('}')) {
    if (body.size() < 2 || !body.starts_with('{') || !body.ends_with('}')) {
      return std::unexpected(std::string("failed to parse a UUID"));
    }
    body = body.substr(1, body.size() - 2);
    offset = 1;
    wrapped = true;
  }

  if (auto bad = find_bad_character(body, offset + 1)) {
    return std::unexpected(std::move(*bad));
  }

  Uuid uuid;
  const auto read_digits = [&uuid](std::string_view digits) {
    for (std::size_t k = 0; k < 16; ++k) {
      uuid.bytes[k] = static_cast<std::uint8_t>((hex_value(digits[2 * k]) << 4) |
                                                hex_value(digits[2 * k + 1]));
    }
  };

  if (body.find('-') == std::string_view::npos) {
    if (wrapped) {
      return std::unexpected(group_count_reason(1));
    }
    if (body.size() != 32) {
      return std::unexpected("invalid length: found " + std::to_string(body.size()));
    }
    read_digits(body);
    return uuid;
  }

  std::array<std::string_view, 5> groups;
  std::size_t count = 0;
  std::size_t start = 0;
  while (true) {
    const std::size_t hyphen = body.find('-', start);
    const std::string_view group =
        body.substr(start, hyphen == std::string_view::npos ? std::string_view::npos : hyphen - start);
    if (count < groups.size()) groups[count] = group;
    ++count;
    if (hyphen == std::string_view::npos) break;
    start = hyphen + 1;
  }
  if (count != groups.size()) {
    return std::unexpected(group_count_reason(count));
  }
  std::array<char, 32> digits{};
  std::size_t filled = 0;
  for (std::size_t g = 0; g < groups.size(); ++g) {
    if (groups[g].size() != kGroupLengths[g]) {
      return std::unexpected("invalid group length in group " + std::to_string(g + 1) +
                             ": expected " + std::to_string(kGroupLengths[g]) + ", found " +
                             std::to_string(groups[g].size()));
    }
    groups[g].copy(digits.data() + filled, groups[g].size());
    filled += groups[g].size();
  }
  read_digits(std::string_view(digits.data(), digits.size()));
  return uuid;
}

Uuid Uuid::generate_v4() {
  Uuid uuid;
  if (auto got = random_bytes(std::as_writable_bytes(std::span(uuid.bytes))); !got) {
    // No fallback: an identifier made without system entropy could collide or be guessed. The
    // failure is kept for whatever would store this one (entropy_failure).
    detail::note_entropy_failure(got.error());
    uuid = Uuid{};
  }
  uuid.bytes[6] = static_cast<std::uint8_t>((uuid.bytes[6] & 0x0F) | 0x40);  // version 4
  uuid.bytes[8] = static_cast<std::uint8_t>((uuid.bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  return uuid;
}

void Uuid::append_to(std::string& out) const {
  const std::size_t at = out.size();
  out.resize(at + 36);
  char* p = out.data() + at;
  for (std::size_t k = 0; k < 16; ++k) {
    if (k == 4 || k == 6 || k == 8 || k == 10) {
      *p++ = '-';
    }
    p = write_hex_byte(p, bytes[k]);
  }
}

std::string Uuid::to_string() const {
  std::string out;
  append_to(out);
  return out;
}

}  // namespace quencore_contracts
