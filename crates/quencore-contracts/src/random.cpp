#include "quencore_contracts/random.hpp"

#include <sys/random.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "quencore_error/system_error.hpp"
#include "random_pool.hpp"

namespace quencore_contracts {

namespace {

constexpr std::size_t kPoolBytes = 64 * 1024;

ssize_t system_getrandom(void* buffer, std::size_t length, unsigned int flags) {
  return ::getrandom(buffer, length, flags);
}

// One pool per process: a block of system entropy handed out front to back. Bytes once
// handed out are wiped from the pool so that no copy of an identifier's randomness lingers.
struct Pool {
  std::mutex mutex;
  std::array<std::byte, kPoolBytes> bytes{};
  std::size_t next = kPoolBytes;  // index of the first unused byte; kPoolBytes = empty
  detail::EntropySource source = &system_getrandom;
  std::optional<std::string> failure;  // the first failed refill's text, kept for good

  // Fills the whole block, retrying interrupted calls and short reads.
  std::expected<void, std::string> refill() {
    std::size_t filled = 0;
    while (filled < kPoolBytes) {
      const ssize_t got = source(bytes.data() + filled, kPoolBytes - filled, 0);
      if (got < 0) {
        if (errno == EINTR) {
          continue;
        }
        return quencore_error::system_error(errno);
      }
      filled += static_cast<std::size_t>(got);
    }
    next = 0;
    return {};
  }
};

Pool& pool() {
  static Pool instance;
  return instance;
}

}  // namespace

std::optional<std::string> entropy_failure() {
  Pool& p = pool();
  std::lock_guard lock(p.mutex);
  return p.failure;
}

namespace detail {

void note_entropy_failure(const std::string& text) {
  Pool& p = pool();
  std::lock_guard lock(p.mutex);
  if (!p.failure) p.failure = "cannot obtain random bytes: " + text;
}

}  // namespace detail

std::expected<void, std::string> random_bytes(std::span<std::byte> out) {
  Pool& p = pool();
  std::lock_guard lock(p.mutex);
  while (!out.empty()) {
    if (p.next == kPoolBytes) {
      if (auto filled = p.refill(); !filled) {
        return filled;
      }
    }
    const std::size_t take = std::min(out.size(), kPoolBytes - p.next);
    std::memcpy(out.data(), p.bytes.data() + p.next, take);
    std::memset(p.bytes.data() + p.next, 0, take);
    p.next += take;
    out = out.subspan(take);
  }
  return {};
}

namespace detail {

EntropySource set_entropy_source(EntropySource source) {
  Pool& p = pool();
  std::lock_guard lock(p.mutex);
  const EntropySource previous = p.source;
  p.source = source != nullptr ? source : &system_getrandom;
  std::memset(p.bytes.data(), 0, kPoolBytes);
  p.next = kPoolBytes;
  p.failure.reset();
  return previous;
}

}  // namespace detail

}  // namespace quencore_contracts
