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

#if defined(QUEN_HAVE_SIMDJSON)
namespace {

// The best of simdjson's kernels this processor runs, chosen once. Chosen here rather than
// through simdjson's own choice, which an environment variable can point at a kernel the
// processor lacks.
const simdjson::implementation* utf8_kernel() {
  static const simdjson::implementation* const chosen = [] {
    const simdjson::implementation* best = nullptr;
    for (const simdjson::implementation* candidate : simdjson::get_available_implementations()) {
      if (best == nullptr && candidate->supported_by_runtime_system()) best = candidate;
    }
    return best;
  }();
  return chosen;
}

}  // namespace
#endif

bool valid_utf8(const char* p, std::size_t n) {
#if defined(QUEN_HAVE_SIMDJSON)
  // The list always ends with a portable kernel every processor runs; a build without one
  // still answers.
  const simdjson::implementation* kernel = utf8_kernel();
  return kernel != nullptr ? kernel->validate_utf8(p, n) : valid_utf8_portable(p, n);
#else
  return valid_utf8_portable(p, n);
#endif
}

}  // namespace quencore_contracts::kernel
