// Slugs. Properties: Slug::validate and Slug::try_from agree, an accepted slug keeps its
// text unchanged, and the verdict and reason are those of the five rules, checked in order.

#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "quencore_contracts/ids.hpp"

using quencore_contracts::Slug;
using quencore_error::CoreError;

namespace {

// The rules written out plainly: the reason of the first that fails, or empty.
std::string expected_reason(std::string_view s) {
  if (s.empty()) return "must not be empty";
  if (s.size() > 64) return "must be at most 64 bytes, got " + std::to_string(s.size());
  for (const char c : s) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
    if (!ok) return "may contain only lowercase ASCII letters, digits and hyphens";
  }
  if (s.front() == '-' || s.back() == '-') return "must not start or end with a hyphen";
  for (std::size_t i = 1; i < s.size(); ++i) {
    if (s[i] == '-' && s[i - 1] == '-') return "must not contain consecutive hyphens";
  }
  return {};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = quen_fuzz::as_text(data, size);
  const auto valid = Slug::validate(input);
  const auto slug = Slug::try_from(std::string(input));
  QUEN_FUZZ_CHECK(valid.has_value() == slug.has_value(), input);

  const std::string reason = expected_reason(input);
  if (valid) {
    QUEN_FUZZ_CHECK(reason.empty(), reason);
    QUEN_FUZZ_CHECK(slug->str() == input, slug->str());
    return 0;
  }
  QUEN_FUZZ_CHECK(valid.error() == slug.error(), slug.error().message());
  QUEN_FUZZ_CHECK(valid.error().kind() == CoreError::Kind::InvalidIdentifier, valid.error().message());
  QUEN_FUZZ_CHECK(!reason.empty(), input);
  QUEN_FUZZ_CHECK(valid.error().message() == "invalid Slug identifier: " + reason, valid.error().message());
  return 0;
}
