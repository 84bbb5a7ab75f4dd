#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

#include "quencore_contracts/uuid.hpp"
#include "quencore_error/core_error.hpp"

namespace quencore_contracts {

inline constexpr std::size_t SLUG_MAX_BYTES = 64;

// A short lower-case ASCII name (product identifiers), valid by construction.
class Slug {
 public:
  // An empty placeholder that readers overwrite before a record is handed out; it is not a
  // valid slug and is never observable outside a reader.
  Slug() = default;

  [[nodiscard]] static std::expected<void, quencore_error::CoreError> validate(std::string_view text);
  [[nodiscard]] static std::expected<Slug, quencore_error::CoreError> try_from(std::string text);

  [[nodiscard]] const std::string& str() const { return text_; }

  friend bool operator==(const Slug&, const Slug&) = default;
  friend auto operator<=>(const Slug&, const Slug&) = default;

 private:
  explicit Slug(std::string text) : text_(std::move(text)) {}
  std::string text_;
};

// An opaque identifier wrapping one UUID; `Tag` keeps identifier kinds apart and names the
// kind in errors (Tag::kind, e.g. "TenantId").
template <class Tag>
class UuidIdentifier {
 public:
  UuidIdentifier() = default;  // the nil UUID; readers overwrite it
  explicit UuidIdentifier(const Uuid& uuid) : uuid_(uuid) {}

  // A fresh random version-4 identifier (the identifier's `new`; `new` is reserved in C++).
  [[nodiscard]] static UuidIdentifier generate() { return UuidIdentifier(Uuid::generate_v4()); }

  // UUID text in any accepted form; the error reads "invalid {kind} identifier: {reason}".
  [[nodiscard]] static std::expected<UuidIdentifier, quencore_error::CoreError> from_str(
      std::string_view text) {
    auto uuid = Uuid::parse(text);
    if (!uuid) {
      return std::unexpected(quencore_error::CoreError::invalid_identifier(Tag::kind, std::move(uuid.error())));
    }
    return UuidIdentifier(*uuid);
  }

  [[nodiscard]] const Uuid& uuid() const { return uuid_; }
  [[nodiscard]] std::string to_string() const { return uuid_.to_string(); }
  void append_to(std::string& out) const { uuid_.append_to(out); }

  friend bool operator==(const UuidIdentifier&, const UuidIdentifier&) = default;
  friend auto operator<=>(const UuidIdentifier&, const UuidIdentifier&) = default;

 private:
  Uuid uuid_{};
};

struct TenantTag {
  static constexpr std::string_view kind = "TenantId";
};
struct WorkspaceTag {
  static constexpr std::string_view kind = "WorkspaceId";
};
using TenantId = UuidIdentifier<TenantTag>;
using WorkspaceId = UuidIdentifier<WorkspaceTag>;

}  // namespace quencore_contracts
