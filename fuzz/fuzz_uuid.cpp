// UUID text. Properties:
//  - on success the text has one of the four accepted lengths, the written form is the
//    36-character lower-case hyphenated text, and it reads back as the same UUID; the
//    32-digit, braced and "urn:uuid:" spellings of that UUID read as the same value;
//  - TenantId::from_str accepts exactly what Uuid::parse accepts, with the same value, and
//    its error is "invalid TenantId identifier: " followed by the parser's reason;
//  - the parser's reason is valid UTF-8 whatever the input.

#include <cctype>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "quencore_contracts/ids.hpp"
#include "quencore_contracts/uuid.hpp"

using quencore_contracts::TenantId;
using quencore_contracts::Uuid;
using quencore_contracts::WorkspaceId;

namespace {

bool canonical(std::string_view s) {
  if (s.size() != 36) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
    if (hyphen ? s[i] != '-' : !((s[i] >= '0' && s[i] <= '9') || (s[i] >= 'a' && s[i] <= 'f'))) return false;
  }
  return true;
}

// The 16 bytes spelled by the hexadecimal digits of an accepted text, in order.
Uuid digits_of(std::string_view s) {
  if (s.starts_with("urn:uuid:")) s.remove_prefix(9);
  Uuid u;
  std::size_t n = 0;
  for (const char c : s) {
    if (n == 32) break;
    const int v = std::isxdigit(static_cast<unsigned char>(c)) == 0 ? -1
                  : c <= '9'                                       ? c - '0'
                                                                   : (std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
    if (v < 0) continue;
    u.bytes[n / 2] = static_cast<std::uint8_t>(n % 2 == 0 ? v << 4 : u.bytes[n / 2] | v);
    ++n;
  }
  return u;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = quen_fuzz::as_text(data, size);
  const auto parsed = Uuid::parse(input);
  const auto tenant = TenantId::from_str(input);
  const auto workspace = WorkspaceId::from_str(input);
  QUEN_FUZZ_CHECK(parsed.has_value() == tenant.has_value(), input);
  QUEN_FUZZ_CHECK(parsed.has_value() == workspace.has_value(), input);

  if (!parsed) {
    QUEN_FUZZ_CHECK(!parsed.error().empty(), input);
    QUEN_FUZZ_CHECK(quen_fuzz::is_valid_utf8(parsed.error()), parsed.error());
    QUEN_FUZZ_CHECK(tenant.error().message() == "invalid TenantId identifier: " + parsed.error(),
                    tenant.error().message());
    QUEN_FUZZ_CHECK(workspace.error().message() == "invalid WorkspaceId identifier: " + parsed.error(),
                    workspace.error().message());
    return 0;
  }

  const Uuid u = *parsed;
  QUEN_FUZZ_CHECK(size == 32 || size == 36 || size == 38 || size == 45, input);
  if (size == 38) QUEN_FUZZ_CHECK(input.front() == '{' && input.back() == '}', input);
  if (size == 45) QUEN_FUZZ_CHECK(input.starts_with("urn:uuid:"), input);
  QUEN_FUZZ_CHECK(digits_of(input) == u, input);

  const std::string text = u.to_string();
  QUEN_FUZZ_CHECK(canonical(text), text);
  std::string appended = "x";
  u.append_to(appended);
  QUEN_FUZZ_CHECK(appended == "x" + text, appended);
  QUEN_FUZZ_CHECK(tenant->uuid() == u && tenant->to_string() == text, input);
  QUEN_FUZZ_CHECK(workspace->uuid() == u, input);

  std::string bare;
  for (const char c : text) {
    if (c != '-') bare += c;
  }
  for (const std::string& form : {text, bare, "{" + text + "}", "urn:uuid:" + text}) {
    const auto back = Uuid::parse(form);
    QUEN_FUZZ_CHECK(back.has_value() && *back == u, form);
  }
  return 0;
}
