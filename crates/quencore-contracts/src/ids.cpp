#include "quencore_contracts/ids.hpp"

#include <string>

namespace quencore_contracts {

namespace {

bool is_slug_byte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
}

quencore_error::CoreError slug_error(std::string reason) {
  return quencore_error::CoreError::invalid_identifier("Slug", std::move(reason));
}

}  // namespace

std::expected<void, quencore_error::CoreError> Slug::validate(std::string_view text) {
  if (text.empty()) {
    return std::unexpected(slug_error("must not be empty"));
  }
  if (text.size() > SLUG_MAX_BYTES) {
    return std::unexpected(slug_error("must be at most 64 bytes, got " + std::to_string(text.size())));
  }
  for (const char c : text) {
    if (!is_slug_byte(c)) {
      return std::unexpected(slug_error("may contain only lowercase ASCII letters, digits and hyphens"));
    }
  }
  if (text.front() == '-' || text.back() == '-') {
    return std::unexpected(slug_error("must not start or end with a hyphen"));
  }
  if (text.find("--") != std::string_view::npos) {
    return std::unexpected(slug_error("must not contain consecutive hyphens"));
  }
  return {};
}

std::expected<Slug, quencore_error::CoreError> Slug::try_from(std::string text) {
  if (auto valid = validate(text); !valid) {
    return std::unexpected(std::move(valid.error()));
  }
  return Slug(std::move(text));
}

}  // namespace quencore_contracts
