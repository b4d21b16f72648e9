// Registry data is held in many small byte arrays, a million in a large
// export. malloc would put a header before each and round it up to 16 bytes,
// 32 at least; these come from pools of 8-byte steps instead, and small
// arrays cost what they hold. One lock guards the pools: the signal thread
// of the simulator does not use them, but nothing need rely on that.
#pragma once

#include "platform/sim/win32_types.h"

#include <cstddef>
#include <vector>

namespace sim {

void *PoolAllocate(std::size_t bytes);
void PoolFree(void *p, std::size_t bytes);

template <class T> struct PoolAllocator {
    using value_type = T;
    PoolAllocator() = default;
    template <class U> PoolAllocator(const PoolAllocator<U> &) {}
    T *allocate(std::size_t n) { return static_cast<T *>(PoolAllocate(n * sizeof(T))); }
    void deallocate(T *p, std::size_t n) { PoolFree(p, n * sizeof(T)); }
    friend bool operator==(PoolAllocator, PoolAllocator) { return true; }
    friend bool operator!=(PoolAllocator, PoolAllocator) { return false; }
};

using Bytes = std::vector<BYTE, PoolAllocator<BYTE>>;

inline bool operator==(const Bytes &a, const std::vector<BYTE> &b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}
inline bool operator!=(const Bytes &a, const std::vector<BYTE> &b) {
    return !(a == b);
}

} // namespace sim
