#include "quencore_contracts/uuid.hpp"

#include <cstdio>
#include <optional>
#include <cstdlib>
#include <span>

#include "quencore_contracts/echo.hpp"
#include "quencore_contracts/random.hpp"

namespace quencore_contracts {

namespace {

constexpr std::string_view kUrnPrefix = "urn:uuid:";
constexpr std::array<std::size_t, 5> kGroupLengths{8, 4, 4, 4, 12};

// -1 for a byte that is not a hexadecimal digit.
constexpr int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Length in bytes of the UTF-8 character that starts at text[i], or 0 when the bytes there
// do not form a well-encoded character.
std::size_t utf8_length(std::string_view text, std::size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  std::size_t len = 0;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) len = 2;
  else if (lead >= 0xE0 && lead <= 0xEF) len = 3;
  else if (lead >= 0xF0 && lead <= 0xF4) len = 4;
  else return 0;
  if (i + len > text.size()) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return 0;
  }
  const auto second = static_cast<unsigned char>(text[i + 1]);
  // Overlong forms, surrogates and code points above U+10FFFF.
  if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) ||
      (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second > 0x8F)) {
    return 0;
  }
  return len;
}

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
    const std::size_t len = utf8_length(body, i);
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
  auto got = random_bytes(std::as_writable_bytes(std::span(uuid.bytes)));
  if (!got) {
    // No fallback: an identifier made without system entropy could collide or be guessed.
    std::fflush(stdout);
    std::fprintf(stderr, "error: cannot obtain random bytes: %s\n", got.error().c_str());
    std::fflush(stderr);
    std::exit(1);
  }
  uuid.bytes[6] = static_cast<std::uint8_t>((uuid.bytes[6] & 0x0F) | 0x40);  // version 4
  uuid.bytes[8] = static_cast<std::uint8_t>((uuid.bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  return uuid;
}

namespace {

// Two lower-case hex digits for every byte value.
constexpr std::array<char, 512> kHexPairs = [] {
  std::array<char, 512> table{};
  constexpr char digits[] = "0123456789abcdef";
  for (std::size_t b = 0; b < 256; ++b) {
    table[2 * b] = digits[b >> 4];
    table[2 * b + 1] = digits[b & 0x0F];
  }
  return table;
}();

}  // namespace

void Uuid::append_to(std::string& out) const {
  const std::size_t at = out.size();
  out.resize(at + 36);
  char* p = out.data() + at;
  for (std::size_t k = 0; k < 16; ++k) {
    if (k == 4 || k == 6 || k == 8 || k == 10) {
      *p++ = '-';
    }
    const char* pair = &kHexPairs[2 * static_cast<std::size_t>(bytes[k])];
    *p++ = pair[0];
    *p++ = pair[1];
  }
}

std::string Uuid::to_string() const {
  std::string out;
  append_to(out);
  return out;
}

}  // namespace quencore_contracts
