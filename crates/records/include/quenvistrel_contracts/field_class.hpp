#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace quenvistrel_contracts {

// The data class a source schema assigns to every name it declares; it decides whether a
// value may be stored and which checks its value must pass.
enum class FieldClass : std::uint8_t {
  Public,
  OperationalMetadata,
  SecurityMetadata,
  PseudonymousIdentifier,
  TenantIdentifier,
  SensitiveMetadata,
  Secret,
  Content,
  Unknown,
};

[[nodiscard]] bool is_persistable(FieldClass c, bool sensitive_approved);
[[nodiscard]] bool is_identifier(FieldClass c);
// "Public", "OperationalMetadata", ...: the form rejection texts insert.
[[nodiscard]] std::string_view display_name(FieldClass c);
// "public", "operational_metadata", ...
[[nodiscard]] std::string_view wire_name(FieldClass c);
// Exact, case-sensitive match of a wire name; the error is
// "unknown variant `{text}`, expected one of `public`, ..., `unknown`".
[[nodiscard]] std::expected<FieldClass, std::string> field_class_from_wire(std::string_view text);

}  // namespace quenvistrel_contracts
