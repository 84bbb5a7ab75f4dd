// The classification gate over reader-produced input. An input that starts with "{" is a
// schema fixture followed by an events fixture (the first JSON value is the schema, the
// rest the events); any other input is an events fixture judged against two fixed schemas
// (sensitive values refused and approved) that declare every class under its wire name.
// Properties, per event:
//  - the gate's verdict is that of the ordered checks written out independently below:
//    same accept/reject, same reason kind, and the same carried name, class, bound and
//    violation;
//  - an accepted event carries exactly the raw event's values, the schema's product, the
//    caller's context and a fresh version-4 identifier;
//  - a rejection text is valid UTF-8 holding no raw control character (C0, DEL or C1): every
//    echoed name has its controls escaped; a name without controls is echoed verbatim, cut
//    to its first 64 bytes and "…" when longer.

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <boost/json/stream_parser.hpp>

#include "fixture_support.hpp"
#include "quenvistrel_classify/gate.hpp"
#include "quenvistrel_classify/raw_records.hpp"

using quenvistrel_classify::RawEvent;
using quenvistrel_classify::RejectReason;
using quenvistrel_classify::SourceSchema;
using quenvistrel_classify::ValueViolation;
using quenvistrel_contracts::FieldClass;
using K = RejectReason::Kind;

namespace {

constexpr FieldClass kAllClasses[] = {
    FieldClass::Public,       FieldClass::OperationalMetadata, FieldClass::SecurityMetadata,
    FieldClass::PseudonymousIdentifier, FieldClass::TenantIdentifier, FieldClass::SensitiveMetadata,
    FieldClass::Secret,       FieldClass::Content,             FieldClass::Unknown,
};

SourceSchema fixed_schema(bool approved) {
  SourceSchema s;
  s.source_name = "fuzz";
  s.product_id = *quencore_contracts::Slug::try_from("fuzz-product");
  s.sensitive_approved = approved;
  for (const FieldClass c : kAllClasses) {
    const std::string name(quenvistrel_contracts::wire_name(c));
    for (auto* map : {&s.fields, &s.event_types, &s.statuses, &s.subject_kinds}) map->insert_or_assign(name, c);
  }
  // A few ordinary names, as the examples use them.
  s.event_types.insert_or_assign("login", FieldClass::SecurityMetadata);
  s.statuses.insert_or_assign("success", FieldClass::OperationalMetadata);
  s.statuses.insert_or_assign("", FieldClass::Public);
  s.subject_kinds.insert_or_assign("user", FieldClass::PseudonymousIdentifier);
  s.fields.insert_or_assign("region", FieldClass::Public);
  s.fields.insert_or_assign("location", FieldClass::SensitiveMetadata);
  return s;
}

// ---- the checks, written out plainly ----

bool persistable(FieldClass c, bool approved) {
  switch (c) {
    case FieldClass::Public:
    case FieldClass::OperationalMetadata:
    case FieldClass::SecurityMetadata:
    case FieldClass::PseudonymousIdentifier:
    case FieldClass::TenantIdentifier:
      return true;
    case FieldClass::SensitiveMetadata:
      return approved;
    default:
      return false;
  }
}

std::vector<char32_t> code_points(std::string_view s) {
  std::vector<char32_t> out;
  for (std::size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    const std::size_t len = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    char32_t cp = len == 1 ? b : len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
    for (std::size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    out.push_back(cp);
    i += len;
  }
  return out;
}

bool control(char32_t cp) { return cp <= 0x1F || (cp >= 0x7F && cp <= 0x9F); }

bool breaks_token(char32_t cp) {
  static const std::set<char32_t> white = {0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x20,   0x85,   0xA0,
                                           0x1680, 0x2000, 0x2001, 0x2002, 0x2003, 0x2004, 0x2005, 0x2006,
                                           0x2007, 0x2008, 0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F,
                                           0x3000, '/',    '@',    '\\'};
  return white.contains(cp);
}

std::optional<ValueViolation> value_check(FieldClass c, std::string_view v, std::size_t bound) {
  if (v.size() > bound) return ValueViolation{ValueViolation::Kind::ExceedsBound, bound};
  const auto cps = code_points(v);
  for (const char32_t cp : cps) {
    if (control(cp)) return ValueViolation{ValueViolation::Kind::ControlCharacters, 0};
  }
  if (c != FieldClass::PseudonymousIdentifier && c != FieldClass::TenantIdentifier) return std::nullopt;
  for (const char32_t cp : cps) {
    if (breaks_token(cp)) return ValueViolation{ValueViolation::Kind::NotOpaqueToken, 0};
  }
  return std::nullopt;
}

struct Verdict {
  K kind;
  std::string name;
  std::optional<FieldClass> cls;
  std::size_t bound = 0;
  std::optional<ValueViolation> violation;
};

std::optional<Verdict> judge(const SourceSchema& s, const RawEvent& r) {
  const bool ok = s.sensitive_approved;
  if (r.event_type.empty()) return Verdict{K::MalformedEventType, "<empty>"};
  if (r.event_type.size() > 200) return Verdict{K::MalformedEventType, "<too long>"};
  const FieldClass* et = s.event_types.find(r.event_type);
  if (et == nullptr) return Verdict{K::UnknownEventType, ""};
  if (!persistable(*et, ok)) return Verdict{K::EventTypeNotPersistable, "", *et};
  const FieldClass* st = s.statuses.find(r.status);
  if (st == nullptr) return Verdict{K::UnknownStatus, ""};
  if (!persistable(*st, ok)) return Verdict{K::StatusNotPersistable, "", *st};
  const FieldClass* sk = s.subject_kinds.find(r.subject_kind);
  if (sk == nullptr) return Verdict{K::UnknownSubjectKind, ""};
  if (!persistable(*sk, ok)) return Verdict{K::SubjectKindNotPersistable, r.subject_kind, *sk};
  if (r.subject_id.empty()) return Verdict{K::EmptySubjectId, r.subject_kind};
  if (r.subject_id.size() > 200) return Verdict{K::SubjectIdTooLong, r.subject_kind, std::nullopt, 200};
  if (auto v = value_check(*sk, r.subject_id, 200)) {
    if (v->kind == ValueViolation::Kind::ControlCharacters) return Verdict{K::SubjectIdControlCharacters, r.subject_kind};
    return Verdict{K::SubjectIdContradictsClass, r.subject_kind, *sk, 0, v};
  }
  for (const auto& [name, value] : r.fields) {
    const FieldClass* fc = s.fields.find(name);
    if (fc == nullptr) return Verdict{K::UnknownField, name};
    if (!persistable(*fc, ok)) return Verdict{K::FieldNotPersistable, name, *fc};
    if (auto v = value_check(*fc, value, 1024)) return Verdict{K::FieldContradictsClass, name, *fc, 0, v};
  }
  return std::nullopt;
}

bool carries_name(K k) {
  return k == K::MalformedEventType || k == K::SubjectKindNotPersistable || k == K::EmptySubjectId ||
         k == K::SubjectIdTooLong || k == K::SubjectIdControlCharacters || k == K::SubjectIdContradictsClass ||
         k == K::UnknownField || k == K::FieldNotPersistable || k == K::FieldContradictsClass;
}

bool has_raw_control(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x20 || b == 0x7F) return true;
    if (b == 0xC2 && i + 1 < text.size()) {
      const auto b1 = static_cast<unsigned char>(text[i + 1]);
      if (b1 >= 0x80 && b1 <= 0x9F) return true;
    }
  }
  return false;
}

const auto kTenant = *quencore_contracts::TenantId::from_str("7f1c2e9a-3b4d-4e5f-8a6b-1c2d3e4f5a6b");
const auto kWorkspace = *quencore_contracts::WorkspaceId::from_str("0a1b2c3d-4e5f-4a6b-9c7d-8e9f0a1b2c3d");
const auto kReceived = *quencore_contracts::Timestamp::from_str("2024-06-01T10:05:00.5Z");

void check_one(const SourceSchema& schema, const RawEvent& raw, std::set<quencore_contracts::Uuid>& ids) {
  const auto expected = judge(schema, raw);
  const auto result = quenvistrel_classify::classify(schema, raw, kTenant, kWorkspace, kReceived);

  if (const auto* event = std::get_if<quenvistrel_contracts::VistrelEvent>(&result)) {
    QUEN_FUZZ_CHECK(!expected.has_value(), "accepted, but the checks refuse it: " + expected->name);
    QUEN_FUZZ_CHECK(event->contract_version == 1, raw.event_type);
    QUEN_FUZZ_CHECK(event->tenant_id == kTenant && event->workspace_id == kWorkspace, raw.event_type);
    QUEN_FUZZ_CHECK(event->received_at == kReceived, raw.event_type);
    QUEN_FUZZ_CHECK(event->product_id == schema.product_id, raw.event_type);
    QUEN_FUZZ_CHECK(event->event_type == raw.event_type && event->status == raw.status, raw.event_type);
    QUEN_FUZZ_CHECK(event->subject_kind == raw.subject_kind && event->subject_id == raw.subject_id, raw.subject_id);
    QUEN_FUZZ_CHECK(event->severity == raw.severity && event->occurred_at == raw.occurred_at, raw.event_type);
    QUEN_FUZZ_CHECK(event->safe_metadata == raw.fields, raw.event_type);
    const auto& id = event->event_id.uuid();
    QUEN_FUZZ_CHECK((id.bytes[6] >> 4) == 4 && (id.bytes[8] & 0xC0) == 0x80, id.to_string());
    QUEN_FUZZ_CHECK(ids.insert(id).second, id.to_string());
    return;
  }

  const auto& reason = std::get<RejectReason>(result);
  const std::string text = quenvistrel_classify::to_string(reason);
  quen_fuzz::print("rejected", text);
  QUEN_FUZZ_CHECK(expected.has_value(), "refused, but the checks accept it: " + text);
  QUEN_FUZZ_CHECK(reason.kind == expected->kind, text);
  if (carries_name(reason.kind)) QUEN_FUZZ_CHECK(reason.name == expected->name, text);
  if (expected->cls) QUEN_FUZZ_CHECK(reason.field_class == *expected->cls, text);
  if (reason.kind == K::SubjectIdTooLong) QUEN_FUZZ_CHECK(reason.bound == 200, text);
  if (expected->violation) QUEN_FUZZ_CHECK(reason.violation == *expected->violation, text);

  QUEN_FUZZ_CHECK(!text.empty(), text);
  QUEN_FUZZ_CHECK(quen_fuzz::is_valid_utf8(text), text);
  QUEN_FUZZ_CHECK(!has_raw_control(text), text);
  if (carries_name(reason.kind) && !has_raw_control(reason.name)) {
    std::string shown = reason.name;
    if (shown.size() > 64) {
      // Cut back to a character boundary at or before byte 64, then the ellipsis.
      std::size_t keep = 64;
      while ((static_cast<unsigned char>(shown[keep]) & 0xC0) == 0x80) --keep;
      shown = shown.substr(0, keep) + "\u2026";
    }
    QUEN_FUZZ_CHECK(text.find("'" + shown + "'") != std::string::npos, text);
  }
  // However long the names, a rejection stays a line of ordinary size.
  QUEN_FUZZ_CHECK(text.size() < 700, text);
  if (expected->cls) {
    QUEN_FUZZ_CHECK(text.find(quenvistrel_contracts::display_name(*expected->cls)) != std::string::npos, text);
  }
}

// The length of the first JSON value of `text`, or 0 when there is none.
std::size_t first_value_length(std::string_view text) {
  boost::json::stream_parser p;
  boost::json::error_code ec;
  const std::size_t n = p.write_some(text.data(), text.size(), ec);
  if (ec || !p.done()) return 0;
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const quen_fuzz::MemFile schema_file("schema.json");
  static const quen_fuzz::MemFile events_file("events.json");
  static const SourceSchema refused = fixed_schema(false);
  static const SourceSchema approved = fixed_schema(true);
  const std::string_view input = quen_fuzz::as_text(data, size);

  std::vector<SourceSchema> schemas;
  std::string_view events_text = input;
  if (input.starts_with('{')) {
    const std::size_t n = first_value_length(input);
    if (n == 0) return 0;
    schema_file.set(input.substr(0, n));
    auto schema = quenvistrel_classify::read_source_schema(schema_file.path());
    if (!schema) return 0;
    schemas.push_back(std::move(*schema));
    events_text = input.substr(n);
  } else {
    schemas = {refused, approved};
  }

  events_file.set(events_text);
  const auto events = quenvistrel_classify::read_raw_events(events_file.path());
  if (!events) return 0;
  std::set<quencore_contracts::Uuid> ids;
  for (const SourceSchema& schema : schemas) {
    for (const RawEvent& raw : *events) check_one(schema, raw, ids);
  }
  return 0;
}
