#include "quencore_contracts/text_kernels.hpp"

#include <string_view>

#include "quencore_contracts/utf8.hpp"

#if defined(QUEN_HAVE_SIMDJSON)
#include <simdjson.h>
#endif

namespace quencore_contracts::kernel {

bool valid_utf8_portable(const char* p, std::size_t n) {
  const std::string_view text(p, n);
  for (std::size_t i = 0; i < n;) {
    i = static_cast<std::size_t>(skip_plain(p + i, p + n) - p);
    if (i == n) break;
    const std::size_t len = utf8_sequence(text, i);
    if (len == 0 || len == UTF8_TRUNCATED) return false;
    i += len;
  }
  return true;
}

bool valid_utf8(const char* p, std::size_t n) {
#if defined(QUEN_HAVE_SIMDJSON)
  return simdjson::validate_utf8(p, n);
#else
  return valid_utf8_portable(p, n);
#endif
}

}  // namespace quencore_contracts::kernel
