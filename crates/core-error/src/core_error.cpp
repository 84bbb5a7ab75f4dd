#include "quencore_error/core_error.hpp"

#include <utility>

namespace quencore_error {

namespace {

// Prefix and payload joined without fmt: these texts are built once per failure.
std::string join(std::string_view prefix, std::string_view payload) {
  std::string out;
  out.reserve(prefix.size() + payload.size());
  out.append(prefix);
  out.append(payload);
  return out;
}

}  // namespace

CoreError CoreError::invalid_identifier(std::string_view kind, std::string reason) {
  std::string text;
  text.reserve(8 + kind.size() + 13 + reason.size());
  text.append("invalid ").append(kind).append(" identifier: ").append(reason);
  return {Kind::InvalidIdentifier, std::move(text)};
}

CoreError CoreError::unsupported_version(std::string requested, std::string min, std::string max) {
  std::string text = join("unsupported contract version: ", requested);
  text.append(" (supported ").append(min).append("..=").append(max).append(")");
  return {Kind::UnsupportedVersion, std::move(text)};
}

CoreError CoreError::canonical_serialization(std::string text) {
  return {Kind::CanonicalSerialization, join("canonical serialization failed: ", text)};
}

CoreError CoreError::signature_invalid() {
  return {Kind::SignatureInvalid, "signature verification failed"};
}

CoreError CoreError::unknown_algorithm(std::string text) {
  return {Kind::UnknownAlgorithm, join("unknown or rejected algorithm: ", text)};
}

CoreError CoreError::expired(std::string expired_at) {
  return {Kind::Expired, join("envelope expired at ", expired_at)};
}

CoreError CoreError::not_yet_valid(std::string not_before) {
  return {Kind::NotYetValid, join("envelope is not yet valid until ", not_before)};
}

CoreError CoreError::encryption_failed() { return {Kind::EncryptionFailed, "encryption failed"}; }

CoreError CoreError::decryption_failed() { return {Kind::DecryptionFailed, "decryption failed"}; }

CoreError CoreError::validation(std::string text) {
  return {Kind::Validation, join("validation failed: ", text)};
}

CoreError CoreError::unknown_product(std::string text) {
  return {Kind::UnknownProduct, join("unknown product: ", text)};
}

}  // namespace quencore_error
