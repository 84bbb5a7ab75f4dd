#include "quenvistrel_contracts/json/stored_event.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include "json_syntax.hpp"
#include "quencore_contracts/hex.hpp"
#include "quencore_contracts/escape.hpp"
#include "quencore_contracts/ids.hpp"
#include "quencore_contracts/text_kernels.hpp"
#include "quenvistrel_contracts/json/records.hpp"

namespace quenvistrel_contracts::json {

namespace {

// A stored event's text around its values: what the state file's writer puts before each
// value of the record at its depth (the opening quote of a quoted value included). The
// encoder writes these and the recogniser expects them; a test holds both to the writer.
namespace layout {
constexpr char kContractVersion[] = "{\n        \"contract_version\": ";
constexpr char kEventId[] = ",\n        \"event_id\": \"";
constexpr char kTenantId[] = ",\n        \"tenant_id\": \"";
constexpr char kWorkspaceId[] = ",\n        \"workspace_id\": \"";
constexpr char kProductId[] = ",\n        \"product_id\": \"";
constexpr char kEventType[] = ",\n        \"event_type\": \"";
constexpr char kSeverity[] = ",\n        \"severity\": \"";
constexpr char kStatus[] = ",\n        \"status\": \"";
constexpr char kSubjectKind[] = ",\n        \"subject_kind\": \"";
constexpr char kSubjectId[] = ",\n        \"subject_id\": \"";
constexpr char kOccurredAt[] = ",\n        \"occurred_at\": \"";
constexpr char kReceivedAt[] = ",\n        \"received_at\": \"";
constexpr char kSafeMetadata[] = ",\n        \"safe_metadata\": {";
constexpr char kEmptyMapEnd[] = "}";
constexpr char kFirstEntry[] = "\n          \"";
constexpr char kNextEntry[] = ",\n          \"";
constexpr char kEntryValue[] = ": \"";  // after the key's closing quote
constexpr char kMapEnd[] = "\n        }";
constexpr char kClose[] = "\n      }";
}  // namespace layout

template <std::size_t N>
void put(std::string& out, const char (&literal)[N]) {
  out.append(literal, N - 1);
}

}  // namespace

// Written straight from the layout rather than through the general writer: ingest encodes
// every new event, and a load of a file in any other layout re-encodes every event.
void encode_stored_event(std::string& out, const VistrelEvent& e) {
  using namespace layout;
  const auto id = [&out](const auto& before, const auto& value) {
    put(out, before);
    value.append_to(out);
    out += '"';
  };
  const auto text = [&out](const auto& before, std::string_view value) {
    put(out, before);
    append_escaped(out, value);
    out += '"';
  };
  const auto time = [&out](const auto& before, const Timestamp& value) {
    put(out, before);
    value.append_rfc3339(out);
    out += '"';
  };
  put(out, kContractVersion);
  append_integer(out, e.contract_version);
  id(kEventId, e.event_id);
  id(kTenantId, e.tenant_id);
  id(kWorkspaceId, e.workspace_id);
  text(kProductId, e.product_id.str());
  text(kEventType, e.event_type);
  text(kSeverity, wire_name(e.severity));
  text(kStatus, e.status);
  text(kSubjectKind, e.subject_kind);
  text(kSubjectId, e.subject_id);
  time(kOccurredAt, e.occurred_at);
  time(kReceivedAt, e.received_at);
  put(out, kSafeMetadata);
  if (e.safe_metadata.empty()) {
    put(out, kEmptyMapEnd);
  } else {
    bool first = true;
    for (const auto& [key, value] : e.safe_metadata) {
      if (first) {
        put(out, kFirstEntry);
      } else {
        put(out, kNextEntry);
      }
      first = false;
      append_escaped(out, key);
      out += '"';
      put(out, kEntryValue);
      append_escaped(out, value);
      out += '"';
    }
    put(out, kMapEnd);
  }
  put(out, kClose);
}

std::expected<VistrelEvent, std::string> decode_stored_event(std::string_view text) {
  return read_json<VistrelEvent>(text);
}

// The recogniser accepts only the writer's own spelling of each value, the one text that
// reading and writing again reproduces: lower-case hyphenated UUIDs, timestamps in UTC with
// the shortest fraction, integers without sign or leading zeros, strings with exactly the
// escapes the writer uses, metadata keys in ascending order. Anything else is left to the
// JSON reader, which is slower but reads every form and names every fault.
namespace {

constexpr std::size_t npos = std::string_view::npos;

template <std::size_t N>
bool same_bytes(const char* a, const char* b) {
  if constexpr (N < 8) {
    // A byte at a time, which unrolls: a call into the C library costs more for so few.
    bool same = true;
    for (std::size_t i = 0; i < N; ++i) same &= a[i] == b[i];
    return same;
  } else {
    // Whole words, the last one overlapping its predecessor.
    std::uint64_t diff = 0;
    for (std::size_t i = 0; i + 8 <= N; i += 8) {
      std::uint64_t x = 0;
      std::uint64_t y = 0;
      std::memcpy(&x, a + i, 8);
      std::memcpy(&y, b + i, 8);
      diff |= x ^ y;
    }
    if constexpr (N % 8 != 0) {
      std::uint64_t x = 0;
      std::uint64_t y = 0;
      std::memcpy(&x, a + N - 8, 8);
      std::memcpy(&y, b + N - 8, 8);
      diff |= x ^ y;
    }
    return diff == 0;
  }
}

using quencore_contracts::kernel::has_shape;
using quencore_contracts::kernel::load_word;

// Equality of `n` bytes, a word at a time.
bool same_run(const char* a, const char* b, std::size_t n) {
  for (; n >= 8; n -= 8, a += 8, b += 8) {
    if (load_word(a) != load_word(b)) return false;
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

// a < b by their bytes, as std::string_view compares them, a word at a time.
bool text_less(std::string_view a, std::string_view b) {
  const std::size_t n = std::min(a.size(), b.size());
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const std::uint64_t x = load_word(a.data() + i);
    const std::uint64_t y = load_word(b.data() + i);
    // The first differing byte decides: it is the lowest one, so compare byte-swapped.
    if (x != y) return __builtin_bswap64(x) < __builtin_bswap64(y);
  }
  for (; i < n; ++i) {
    if (a[i] != b[i]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]);
  }
  return a.size() < b.size();
}

class Scanner {
 public:
  Scanner(std::string_view text, std::size_t at, RecognizedDay& day)
      : p_(text.data() + at), end_(text.data() + text.size()), day_(day) {}

  [[nodiscard]] std::size_t left() const { return static_cast<std::size_t>(end_ - p_); }
  [[nodiscard]] const char* here() const { return p_; }

  // The size is a constant, so the comparison unrolls into a few 8-byte loads.
  template <std::size_t N>
  bool literal(const char (&expected)[N]) {
    constexpr std::size_t size = N - 1;
    if (left() < size || !same_bytes<size>(p_, expected)) return false;
    p_ += size;
    return true;
  }

  // A u16 as the writer writes it.
  bool small_unsigned() {
    unsigned value = 0;
    const char* const start = p_;
    while (p_ < end_ && *p_ >= '0' && *p_ <= '9') {
      value = value * 10 + static_cast<unsigned>(*p_ - '0');
      ++p_;
      if (p_ - start > 5) return false;
    }
    const auto digits = p_ - start;
    return digits != 0 && !(digits > 1 && *start == '0') && value <= 0xFFFF;
  }

  // The 36 characters of a lower-case hyphenated UUID and the closing quote, a word at a time
  // (the last word overlaps the one before it).
  bool uuid() {
    if (left() < 37) return false;
    if (!(has_shape<"xxxxxxxx">(p_) && has_shape<"-xxxx-xx">(p_ + 8) && has_shape<"xx-xxxx-">(p_ + 16) &&
          has_shape<"xxxxxxxx">(p_ + 24) && has_shape<"xxxxxxxx">(p_ + 28) && p_[36] == '"')) {
      return false;
    }
    p_ += 37;
    return true;
  }

  // A valid product slug and the closing quote. Slug characters never need an escape, so the
  // text up to the quote is the slug itself. A file's events mostly name one product: the
  // last slug found valid is taken again at the cost of a comparison.
  bool slug() {
    const std::size_t known = day_.slug_size;
    if (known != 0 && left() > known && p_[known] == '"' && same_run(p_, day_.slug, known)) {
      p_ += known + 1;
      return true;
    }
    const char* const quote = static_cast<const char*>(std::memchr(p_, '"', left()));
    if (quote == nullptr) return false;
    const std::string_view text(p_, static_cast<std::size_t>(quote - p_));
    if (!quencore_contracts::Slug::validate(text)) return false;
    if (text.size() <= sizeof day_.slug) {
      std::memcpy(day_.slug, text.data(), text.size());
      day_.slug_size = text.size();
    }
    p_ = quote + 1;
    return true;
  }

  bool severity() {
    return literal("high\"") || literal("low\"") || literal("medium\"") || literal("info\"") ||
           literal("critical\"");
  }

  // A string's content as append_json_string writes it, and its closing quote.
  bool string() {
    bool escaped = false;
    return string(escaped);
  }
  // The same, telling whether it held an escape.
  bool string(bool& escaped) {
    while (true) {
      p_ = quencore_contracts::kernel::skip_string_text(p_, end_);
      if (p_ == end_) return false;
      const auto c = static_cast<unsigned char>(*p_);
      if (c == '"') {
        ++p_;
        return true;
      }
      if (c == '\\') {
        escaped = true;
        if (!escape()) return false;
        continue;
      }
      // A control byte, or a character that is not well-formed.
      return false;
    }
  }

  // A timestamp as Timestamp::append_rfc3339 writes it and the closing quote; its Unix seconds.
  bool timestamp(std::int64_t& seconds) {
    const auto read = Timestamp::read_canonical(std::string_view(p_, left()), day_.dates);
    if (!read || left() <= read->length || p_[read->length] != '"') return false;
    seconds = read->instant.unix_seconds();
    p_ += read->length + 1;
    return true;
  }

 private:
  // An escape as the JSON writer writes it: the one-letter escape of a byte that has one,
  // \u00xx in lower case for another control.
  bool escape() {
    if (left() < 2) return false;
    static constexpr std::array<bool, 256> kLetter = [] {
      std::array<bool, 256> table{};
      for (const quencore_contracts::ShortEscape& e : quencore_contracts::SHORT_ESCAPES) {
        table[static_cast<unsigned char>(e.letter)] = true;
      }
      return table;
    }();
    const char letter = p_[1];
    if (kLetter[static_cast<unsigned char>(letter)]) {
      p_ += 2;
      return true;
    }
    switch (letter) {
      case 'u': {
        if (left() < 6 || p_[2] != '0' || p_[3] != '0' || (p_[4] != '0' && p_[4] != '1')) return false;
        const char low = p_[5];
        unsigned value = static_cast<unsigned>(p_[4] - '0') * 16;
        if (low >= '0' && low <= '9') {
          value += static_cast<unsigned>(low - '0');
        } else if (low >= 'a' && low <= 'f') {
          value += static_cast<unsigned>(low - 'a' + 10);
        } else {
          return false;
        }
        if (quencore_contracts::JSON_ESCAPE[value] != 'u') return false;
        p_ += 6;
        return true;
      }
      default:
        return false;
    }
  }

  const char* p_;
  const char* end_;
  RecognizedDay& day_;
};

}  // namespace

std::size_t recognize_stored_event(std::string_view text, std::size_t start, std::int64_t& occurred_seconds,
                                   RecognizedDay& day) {
  Scanner s(text, start, day);
  std::int64_t received = 0;
  using namespace layout;
  const bool head = s.literal(kContractVersion) && s.small_unsigned() &&        //
                    s.literal(kEventId) && s.uuid() &&                          //
                    s.literal(kTenantId) && s.uuid() &&                         //
                    s.literal(kWorkspaceId) && s.uuid() &&                      //
                    s.literal(kProductId) && s.slug() &&                        //
                    s.literal(kEventType) && s.string() &&               //
                    s.literal(kSeverity) && s.severity() &&                     //
                    s.literal(kStatus) && s.string() &&                  //
                    s.literal(kSubjectKind) && s.string() &&             //
                    s.literal(kSubjectId) && s.string() &&               //
                    s.literal(kOccurredAt) && s.timestamp(occurred_seconds) &&  //
                    s.literal(kReceivedAt) && s.timestamp(received) &&          //
                    s.literal(kSafeMetadata);
  if (!head) return npos;
  if (!s.literal(kEmptyMapEnd)) {
    // Keys must rise strictly, as the writer's ordered map gives them. Keys with escapes are
    // left to the reader rather than compared in their decoded form.
    std::string_view previous;
    bool first = true;
    do {
      if (!(first ? s.literal(kFirstEntry) : s.literal(kNextEntry))) return npos;
      const char* const key = s.here();
      bool key_escaped = false;
      if (!s.string(key_escaped) || key_escaped) return npos;
      const std::string_view name(key, static_cast<std::size_t>(s.here() - key - 1));
      if (!first && !text_less(previous, name)) return npos;
      previous = name;
      first = false;
      if (!s.literal(kEntryValue) || !s.string()) return npos;
    } while (!s.literal(kMapEnd));
  }
  if (!s.literal(kClose)) return npos;
  return static_cast<std::size_t>(s.here() - text.data());
}

}  // namespace quenvistrel_contracts::json
