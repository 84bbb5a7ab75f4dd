#pragma once

#include <sys/types.h>

#include <cstddef>

namespace quencore_contracts::detail {

// The system call that fills the pool, replaceable so that tests can make the entropy
// source fail; the default is getrandom(2). Returns the previous source and empties the
// pool, so that the next request goes to the new source.
using EntropySource = ssize_t (*)(void* buffer, std::size_t length, unsigned int flags);
EntropySource set_entropy_source(EntropySource source);

}  // namespace quencore_contracts::detail
