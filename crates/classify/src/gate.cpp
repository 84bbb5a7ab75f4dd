#include "quenvistrel_classify/gate.hpp"

#include <fmt/format.h>

#include <array>
#include <cstdint>
#include <string_view>

#include "quencore_contracts/echo.hpp"
#include "quencore_contracts/utf8.hpp"

namespace quenvistrel_classify {

using quenvistrel_contracts::display_name;
using quenvistrel_contracts::is_identifier;
using quenvistrel_contracts::is_persistable;
using quenvistrel_contracts::VistrelEvent;

namespace {

// Unicode category Cc.
constexpr bool is_control(char32_t cp) { return cp <= 0x1F || (cp >= 0x7F && cp <= 0x9F); }

// The White_Space property's code points (those of them in Cc are caught as controls first).
constexpr bool is_white_space(char32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F ||
         cp == 0x3000;
}

constexpr bool breaks_opaque_token(char32_t cp) { return is_white_space(cp) || cp == '/' || cp == '@' || cp == '\\'; }

struct Scan {
  bool control = false;
  bool not_opaque = false;
};

// One pass over the value answers both character questions; a control character anywhere
// outranks an earlier whitespace, so the scan only stops early on a control.
Scan scan(std::string_view value) {
  // Most values are ASCII: a table answers both questions for those bytes.
  static constexpr auto kAscii = [] {
    std::array<std::uint8_t, 128> table{};
    for (char32_t c = 0; c < 128; ++c) {
      table[c] = static_cast<std::uint8_t>((is_control(c) ? 1 : 0) | (breaks_opaque_token(c) ? 2 : 0));
    }
    return table;
  }();
  Scan result;
  std::size_t i = 0;
  while (i < value.size()) {
    const auto b = static_cast<unsigned char>(value[i]);
    if (b < 0x80) {
      if ((kAscii[b] & 1) != 0) {
        result.control = true;
        return result;
      }
      if ((kAscii[b] & 2) != 0) result.not_opaque = true;
      ++i;
      continue;
    }
    const char32_t cp = quencore_contracts::decode_utf8(value, i);
    if (is_control(cp)) {
      result.control = true;
      return result;
    }
    if (breaks_opaque_token(cp)) result.not_opaque = true;
  }
  return result;
}

// The character checks of check_value, on a value already within its bound.
std::optional<ValueViolation> judge_scan(FieldClass c, const Scan& s) {
  if (s.control) return ValueViolation{ValueViolation::Kind::ControlCharacters};
  if (is_identifier(c) && s.not_opaque) return ValueViolation{ValueViolation::Kind::NotOpaqueToken};
  return std::nullopt;
}

// Echoed names come straight from the source: escaping their control characters keeps one
// rejection on one line and terminal control sequences out of the reports, and cutting them
// keeps an undeclared name of any length from giving a line of that length.
std::string shown(std::string_view name) { return quencore_contracts::echo_input(name); }

RejectReason reject(RejectReason::Kind kind, std::string name = {}, FieldClass c = FieldClass::Unknown) {
  return RejectReason{kind, std::move(name), c, 0, ValueViolation{ValueViolation::Kind::ExceedsBound}};
}

}  // namespace

std::string to_string(const ValueViolation& v) {
  switch (v.kind) {
    case ValueViolation::Kind::ExceedsBound:
      return fmt::format("exceeds the {}-byte bound for its class", v.bound);
    case ValueViolation::Kind::ControlCharacters:
      return "contains control characters";
    case ValueViolation::Kind::NotOpaqueToken:
      return "is declared an identifier class but is not an opaque token (contains whitespace, '@', '/' or '\\')";
  }
  return {};
}

std::string to_string(const RejectReason& r) {
  using K = RejectReason::Kind;
  const std::string_view cls = display_name(r.field_class);
  switch (r.kind) {
    case K::MalformedEventType:
      return fmt::format("event_type '{}' is empty or malformed", r.name);
    case K::UnknownEventType:
      return "event_type is not declared in the source schema (unknown event types are rejected by default)";
    case K::EventTypeNotPersistable:
      return fmt::format("event_type is classified {} and cannot be persisted", cls);
    case K::UnknownStatus:
      return "status is not declared in the source schema (unknown statuses are rejected by default)";
    case K::StatusNotPersistable:
      return fmt::format("status is classified {} and cannot be persisted", cls);
    case K::UnknownSubjectKind:
      return "subject_kind is not declared in the source schema (unknown subject kinds are rejected by default)";
    case K::SubjectKindNotPersistable:
      return fmt::format("subject_id (subject_kind '{}') is classified {} and cannot be persisted",
                         shown(r.name), cls);
    case K::EmptySubjectId:
      return fmt::format("subject_id (subject_kind '{}') is empty; subject_id must identify a subject",
                         shown(r.name));
    case K::SubjectIdTooLong:
      return fmt::format(
          "subject_id (subject_kind '{}') exceeds the {}-byte identifier bound; subject_id is an identifier "
          "channel, not free text \u2014 put descriptive values in classified `fields` instead",
          shown(r.name), r.bound);
    case K::SubjectIdControlCharacters:
      return fmt::format(
          "subject_id (subject_kind '{}') contains control characters; subject_id is a single-line identifier, "
          "not free-text or multi-line content",
          shown(r.name));
    case K::SubjectIdContradictsClass:
      return fmt::format(
          "subject_id (subject_kind '{}', classified {}) {} \u2014 the value contradicts the class its schema "
          "declared it under",
          shown(r.name), cls, to_string(r.violation));
    case K::UnknownField:
      return fmt::format("field '{}' is not in the source schema (unknown fields are rejected by default)",
                         shown(r.name));
    case K::FieldNotPersistable:
      return fmt::format("field '{}' is classified {} and cannot be persisted", shown(r.name), cls);
    case K::FieldContradictsClass:
      return fmt::format(
          "field '{}' (classified {}) {} \u2014 the value contradicts the class its schema declared it under",
          shown(r.name), cls, to_string(r.violation));
  }
  return {};
}

std::optional<ValueViolation> check_value(FieldClass c, std::string_view value, std::size_t bound) {
  // Over-long values are refused before their characters are looked at.
  if (value.size() > bound) return ValueViolation{ValueViolation::Kind::ExceedsBound, bound};
  return judge_scan(c, scan(value));
}

Gate::Names::Names(const OrderedMap<FieldClass>& declared) {
  // The map's names are distinct, so each gets the next number.
  for (const auto& [name, field_class] : declared) {
    numbers_.add(name);
    classes_.push_back(field_class);
  }
}

const FieldClass* Gate::Names::find(std::string_view name) const {
  const std::uint32_t number = numbers_.find(name);
  return number == quencore_contracts::TextNumbers::NONE ? nullptr : &classes_[number];
}

Gate::Gate(const SourceSchema& schema)
    : schema_(schema),
      event_types_(schema.event_types),
      statuses_(schema.statuses),
      subject_kinds_(schema.subject_kinds),
      fields_(schema.fields) {}

std::optional<RejectReason> Gate::judge(const RawEvent& raw) const {
  using K = RejectReason::Kind;
  const bool approved = schema_.sensitive_approved;

  // The raw event type is never echoed: it may be anything, of any length.
  if (raw.event_type.empty()) return reject(K::MalformedEventType, "<empty>");
  if (raw.event_type.size() > IDENTIFIER_MAX_BYTES) return reject(K::MalformedEventType, "<too long>");

  const FieldClass* event_class = event_types_.find(raw.event_type);
  if (event_class == nullptr) return reject(K::UnknownEventType);
  if (!is_persistable(*event_class, approved)) return reject(K::EventTypeNotPersistable, {}, *event_class);

  const FieldClass* status_class = statuses_.find(raw.status);
  if (status_class == nullptr) return reject(K::UnknownStatus);
  if (!is_persistable(*status_class, approved)) return reject(K::StatusNotPersistable, {}, *status_class);

  const FieldClass* kind_class = subject_kinds_.find(raw.subject_kind);
  if (kind_class == nullptr) return reject(K::UnknownSubjectKind);
  if (!is_persistable(*kind_class, approved)) {
    return reject(K::SubjectKindNotPersistable, raw.subject_kind, *kind_class);
  }

  if (raw.subject_id.empty()) return reject(K::EmptySubjectId, raw.subject_kind);
  if (raw.subject_id.size() > IDENTIFIER_MAX_BYTES) {
    RejectReason r = reject(K::SubjectIdTooLong, raw.subject_kind);
    r.bound = IDENTIFIER_MAX_BYTES;
    return r;
  }
  const Scan subject_scan = scan(raw.subject_id);
  if (subject_scan.control) return reject(K::SubjectIdControlCharacters, raw.subject_kind);
  if (auto v = judge_scan(*kind_class, subject_scan)) {
    RejectReason r = reject(K::SubjectIdContradictsClass, raw.subject_kind, *kind_class);
    r.violation = *v;
    return r;
  }

  // The map iterates in ascending byte order, so the first faulty name in that order wins.
  for (const auto& [name, value] : raw.fields) {
    const FieldClass* field_class = fields_.find(name);
    if (field_class == nullptr) return reject(K::UnknownField, name);
    if (!is_persistable(*field_class, approved)) return reject(K::FieldNotPersistable, name, *field_class);
    if (auto v = check_value(*field_class, value, FIELD_VALUE_MAX_BYTES)) {
      RejectReason r = reject(K::FieldContradictsClass, name, *field_class);
      r.violation = *v;
      return r;
    }
  }

  return std::nullopt;
}

std::variant<VistrelEvent, RejectReason> Gate::classify(const RawEvent& raw,
                                                        const quencore_contracts::TenantId& tenant_id,
                                                        const quencore_contracts::WorkspaceId& workspace_id,
                                                        const quencore_contracts::Timestamp& received_at) const {
  if (auto reason = judge(raw)) return std::move(*reason);

  // Every check passed: only now is an identifier drawn. safe_metadata is the fields map
  // whole, since every entry of it was just accepted.
  VistrelEvent event;
  event.event_id = quenvistrel_contracts::EventId::generate();
  event.tenant_id = tenant_id;
  event.workspace_id = workspace_id;
  event.product_id = schema_.product_id;
  event.event_type = raw.event_type;
  event.severity = raw.severity;
  event.status = raw.status;
  event.subject_kind = raw.subject_kind;
  event.subject_id = raw.subject_id;
  event.occurred_at = raw.occurred_at;
  event.received_at = received_at;
  event.safe_metadata = raw.fields;
  return event;
}

std::optional<RejectReason> judge_event(const SourceSchema& schema, const RawEvent& raw) {
  return Gate(schema).judge(raw);
}

std::variant<VistrelEvent, RejectReason> classify(const SourceSchema& schema, const RawEvent& raw,
                                                  const quencore_contracts::TenantId& tenant_id,
                                                  const quencore_contracts::WorkspaceId& workspace_id,
                                                  const quencore_contracts::Timestamp& received_at) {
  return Gate(schema).classify(raw, tenant_id, workspace_id, received_at);
}

}  // namespace quenvistrel_classify
