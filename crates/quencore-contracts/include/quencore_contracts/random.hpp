#pragma once

#include <sys/types.h>

#include <cstddef>
#include <expected>
#include <optional>
#include <span>
#include <string>

namespace quencore_contracts {

// Fills `out` with bytes from the operating system's entropy source. Bytes are fetched in
// blocks of 64 KiB and handed out from a per-process pool, so a million identifiers cost
// about 250 system calls instead of a million. The error is the system's own text.
[[nodiscard]] std::expected<void, std::string> random_bytes(std::span<std::byte> out);

// Identifiers are drawn deep inside operations that never fail, so Uuid::generate_v4 does not
// fail either: when the system gives no entropy it keeps the failure here and hands out
// identifiers that must never be kept. Whatever would keep them (a save) asks first and
// fails with this text: "cannot obtain random bytes: {system text}".
[[nodiscard]] std::optional<std::string> entropy_failure();

namespace detail {

// The system call that fills the pool, replaceable so that tests (of this library and of those
// that store identifiers) can make the entropy source fail; the default is getrandom(2).
// Returns the previous source, empties the pool so that the next request goes to the new
// source, and forgets a kept failure.
using EntropySource = ssize_t (*)(void* buffer, std::size_t length, unsigned int flags);
EntropySource set_entropy_source(EntropySource source);

}  // namespace detail

}  // namespace quencore_contracts
