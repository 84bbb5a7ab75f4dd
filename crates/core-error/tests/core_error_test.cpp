#include "quencore_error/core_error.hpp"

#include <gtest/gtest.h>

namespace {

using quencore_error::CoreError;
using Kind = CoreError::Kind;

struct Case {
  CoreError error;
  Kind kind;
  const char* text;
};

TEST(CoreError, EveryVariantDisplaysItsText) {
  const Case cases[] = {
      {CoreError::invalid_identifier("Slug", "must not be empty"), Kind::InvalidIdentifier,
       "invalid Slug identifier: must not be empty"},
      {CoreError::unsupported_version("3", "1", "2"), Kind::UnsupportedVersion,
       "unsupported contract version: 3 (supported 1..=2)"},
      {CoreError::canonical_serialization("bad map"), Kind::CanonicalSerialization,
       "canonical serialization failed: bad map"},
      {CoreError::signature_invalid(), Kind::SignatureInvalid, "signature verification failed"},
      {CoreError::unknown_algorithm("rot13"), Kind::UnknownAlgorithm,
       "unknown or rejected algorithm: rot13"},
      {CoreError::expired("2024-05-01T12:00:00Z"), Kind::Expired,
       "envelope expired at 2024-05-01T12:00:00Z"},
      {CoreError::not_yet_valid("2030-01-01T00:00:00Z"), Kind::NotYetValid,
       "envelope is not yet valid until 2030-01-01T00:00:00Z"},
      {CoreError::encryption_failed(), Kind::EncryptionFailed, "encryption failed"},
      {CoreError::decryption_failed(), Kind::DecryptionFailed, "decryption failed"},
      {CoreError::validation("x"), Kind::Validation, "validation failed: x"},
      {CoreError::unknown_product("acme"), Kind::UnknownProduct, "unknown product: acme"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.error.kind(), c.kind) << c.text;
    EXPECT_EQ(c.error.message(), c.text);
  }
}

TEST(CoreError, PayloadsAreInsertedUnchanged) {
  // Format-like braces and empty payloads travel as given.
  EXPECT_EQ(CoreError::validation("{input}: 100%").message(), "validation failed: {input}: 100%");
  EXPECT_EQ(CoreError::invalid_identifier("TenantId", "").message(), "invalid TenantId identifier: ");
}

}  // namespace
