// Counts and sizes worked out in 64 bits (rows, bytes of a file) as the
// system's size_t, for memory: on a 32-bit system one that does not fit is
// memory the process cannot have, and fails as an allocation does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>

namespace jet {

inline std::size_t sizeInMemory(uint64_t n) {
    if constexpr (sizeof(std::size_t) < sizeof(uint64_t)) {
        if (n > std::numeric_limits<std::size_t>::max()) throw std::bad_alloc();
    }
    return static_cast<std::size_t>(n);
}

}  // namespace jet
