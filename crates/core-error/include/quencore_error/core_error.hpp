#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quencore_error {

// The error value of the shared core libraries: a closed set of kinds, each with a fixed
// one-line display text that is the whole user-facing message.
class CoreError {
 public:
  enum class Kind : std::uint8_t {
    InvalidIdentifier,
    UnsupportedVersion,
    CanonicalSerialization,
    SignatureInvalid,
    UnknownAlgorithm,
    Expired,
    NotYetValid,
    EncryptionFailed,
    DecryptionFailed,
    Validation,
    UnknownProduct,
  };

  // `kind` names the identifier type ("Slug", "TenantId"); it is a fixed text of the raiser.
  [[nodiscard]] static CoreError invalid_identifier(std::string_view kind, std::string reason);
  [[nodiscard]] static CoreError unsupported_version(std::string requested, std::string min,
                                                     std::string max);
  [[nodiscard]] static CoreError canonical_serialization(std::string text);
  [[nodiscard]] static CoreError signature_invalid();
  [[nodiscard]] static CoreError unknown_algorithm(std::string text);
  [[nodiscard]] static CoreError expired(std::string expired_at);
  [[nodiscard]] static CoreError not_yet_valid(std::string not_before);
  [[nodiscard]] static CoreError encryption_failed();
  [[nodiscard]] static CoreError decryption_failed();
  [[nodiscard]] static CoreError validation(std::string text);
  [[nodiscard]] static CoreError unknown_product(std::string text);

  [[nodiscard]] Kind kind() const { return kind_; }
  // The display text, e.g. "invalid Slug identifier: must not be empty".
  [[nodiscard]] const std::string& message() const { return message_; }

  friend bool operator==(const CoreError&, const CoreError&) = default;

 private:
  CoreError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

  Kind kind_;
  std::string message_;
};

}  // namespace quencore_error
