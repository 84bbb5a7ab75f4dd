#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <string>

namespace quencore_contracts {

// Fills `out` with bytes from the operating system's entropy source. Bytes are fetched in
// blocks of 64 KiB and handed out from a per-process pool, so a million identifiers cost
// about 250 system calls instead of a million. The error is the system's own text.
[[nodiscard]] std::expected<void, std::string> random_bytes(std::span<std::byte> out);

}  // namespace quencore_contracts
