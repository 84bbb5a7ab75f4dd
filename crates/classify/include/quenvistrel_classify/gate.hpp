#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "quencore_contracts/ids.hpp"
#include "quencore_contracts/text_numbers.hpp"
#include "quencore_contracts/time.hpp"
#include "quenvistrel_classify/raw_records.hpp"
#include "quenvistrel_contracts/records.hpp"

namespace quenvistrel_classify {

inline constexpr std::size_t IDENTIFIER_MAX_BYTES = 200;
inline constexpr std::size_t FIELD_VALUE_MAX_BYTES = 1024;

// Why a value contradicts its declared class.
struct ValueViolation {
  enum class Kind { ExceedsBound, ControlCharacters, NotOpaqueToken };
  Kind kind;
  std::size_t bound = 0;  // ExceedsBound only

  friend bool operator==(const ValueViolation&, const ValueViolation&) = default;
};
[[nodiscard]] std::string to_string(const ValueViolation& v);

// The gate's single reason for refusing a raw event.
struct RejectReason {
  enum class Kind {
    MalformedEventType,
    UnknownEventType,
    EventTypeNotPersistable,
    UnknownStatus,
    StatusNotPersistable,
    UnknownSubjectKind,
    SubjectKindNotPersistable,
    EmptySubjectId,
    SubjectIdTooLong,
    SubjectIdControlCharacters,
    SubjectIdContradictsClass,
    UnknownField,
    FieldNotPersistable,
    FieldContradictsClass,
  };
  Kind kind;
  // The shown text (MalformedEventType), the raw subject kind or the field name.
  std::string name;
  FieldClass field_class = FieldClass::Unknown;
  std::size_t bound = 0;
  ValueViolation violation{ValueViolation::Kind::ExceedsBound};

  friend bool operator==(const RejectReason&, const RejectReason&) = default;
};
// The display text printed by the commands.
[[nodiscard]] std::string to_string(const RejectReason& r);

[[nodiscard]] std::optional<ValueViolation> check_value(FieldClass c, std::string_view value, std::size_t bound);

// The gate for one schema, with the schema's names hashed once for judging many events. It
// refers to `schema`, which must outlive it.
class Gate {
 public:
  explicit Gate(const SourceSchema& schema);

  // The first failing check's reason, or nothing when the gate accepts the event: the verdict
  // of classify without building the event.
  [[nodiscard]] std::optional<RejectReason> judge(const RawEvent& raw) const;

  // Accepts the event whole, as a new VistrelEvent with a fresh EventId, or refuses it with
  // the first failing check's reason.
  [[nodiscard]] std::variant<quenvistrel_contracts::VistrelEvent, RejectReason> classify(
      const RawEvent& raw, const quencore_contracts::TenantId& tenant_id,
      const quencore_contracts::WorkspaceId& workspace_id, const quencore_contracts::Timestamp& received_at) const;

 private:
  // One of the schema's name lists: the class of each name, by the name's number.
  class Names {
   public:
    explicit Names(const OrderedMap<FieldClass>& declared);
    [[nodiscard]] const FieldClass* find(std::string_view name) const;

   private:
    quencore_contracts::TextNumbers numbers_;
    std::vector<FieldClass> classes_;
  };

  const SourceSchema& schema_;
  Names event_types_;
  Names statuses_;
  Names subject_kinds_;
  Names fields_;
};

// One event through a gate built for it alone.
[[nodiscard]] std::optional<RejectReason> judge_event(const SourceSchema& schema, const RawEvent& raw);
[[nodiscard]] std::variant<quenvistrel_contracts::VistrelEvent, RejectReason> classify(
    const SourceSchema& schema, const RawEvent& raw, const quencore_contracts::TenantId& tenant_id,
    const quencore_contracts::WorkspaceId& workspace_id, const quencore_contracts::Timestamp& received_at);

}  // namespace quenvistrel_classify
