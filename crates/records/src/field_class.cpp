#include "quenvistrel_contracts/field_class.hpp"

#include <array>

#include "quencore_contracts/echo.hpp"

namespace quenvistrel_contracts {

namespace {

struct Names {
  std::string_view display;
  std::string_view wire;
};

// Indexed by the enumerator; the order is also the order of the accepted-names list.
constexpr std::array<Names, 9> kNames{{
    {"Public", "public"},
    {"OperationalMetadata", "operational_metadata"},
    {"SecurityMetadata", "security_metadata"},
    {"PseudonymousIdentifier", "pseudonymous_identifier"},
    {"TenantIdentifier", "tenant_identifier"},
    {"SensitiveMetadata", "sensitive_metadata"},
    {"Secret", "secret"},
    {"Content", "content"},
    {"Unknown", "unknown"},
}};

}  // namespace

bool is_persistable(FieldClass c, bool sensitive_approved) {
  switch (c) {
    case FieldClass::Public:
    case FieldClass::OperationalMetadata:
    case FieldClass::SecurityMetadata:
    case FieldClass::PseudonymousIdentifier:
    case FieldClass::TenantIdentifier:
      return true;
    case FieldClass::SensitiveMetadata:
      return sensitive_approved;
    case FieldClass::Secret:
    case FieldClass::Content:
    case FieldClass::Unknown:
      return false;
  }
  return false;
}

bool is_identifier(FieldClass c) {
  return c == FieldClass::PseudonymousIdentifier || c == FieldClass::TenantIdentifier;
}

std::string_view display_name(FieldClass c) { return kNames[static_cast<std::size_t>(c)].display; }

std::string_view wire_name(FieldClass c) { return kNames[static_cast<std::size_t>(c)].wire; }

std::expected<FieldClass, std::string> field_class_from_wire(std::string_view text) {
  for (std::size_t i = 0; i < kNames.size(); ++i) {
    if (kNames[i].wire == text) {
      return static_cast<FieldClass>(i);
    }
  }
  std::string message = "unknown variant `";
  message.append(quencore_contracts::echo_input(text)).append(
      "`, expected one of `public`, `operational_metadata`, `security_metadata`, "
      "`pseudonymous_identifier`, `tenant_identifier`, `sensitive_metadata`, `secret`, "
      "`content`, `unknown`");
  return std::unexpected(std::move(message));
}

}  // namespace quenvistrel_contracts
