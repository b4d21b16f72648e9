#include "platform/sim/byte_pool.h"

#include <mutex>
#include <new>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define POOL_PLAIN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define POOL_PLAIN 1
#endif

namespace sim {

#ifndef POOL_PLAIN
namespace {

constexpr std::size_t kStep = 8, kLargest = 64, kBlock = 64 << 10;

struct Pools {
    std::mutex lock;
    void *free[kLargest / kStep] = {}; // each a list through the chunks' first bytes
    char *block = nullptr;
    std::size_t left = 0;
};

Pools &ThePools() {
    static Pools *pools = new Pools; // never destroyed: arrays may outlive static objects
    return *pools;
}

// The free list for arrays of `bytes`, which hands out chunks of `size`; p.lock held.
void *&FreeList(Pools &p, std::size_t bytes, std::size_t &size) {
    size = (bytes + kStep - 1) / kStep * kStep;
    return p.free[size / kStep - 1];
}

} // namespace
#endif

void *PoolAllocate(std::size_t bytes) {
#ifdef POOL_PLAIN
    return ::operator new(bytes); // the sanitizer sees each array as its own
#else
    if (bytes > kLargest) return ::operator new(bytes);
    Pools &p = ThePools();
    std::lock_guard<std::mutex> hold(p.lock);
    std::size_t size;
    void *&head = FreeList(p, bytes, size);
    if (head) {
        void *chunk = head;
        head = *static_cast<void **>(chunk);
        return chunk;
    }
    if (p.left < size) {
        p.block = static_cast<char *>(::operator new(kBlock));
        p.left = kBlock;
    }
    void *chunk = p.block;
    p.block += size;
    p.left -= size;
    return chunk;
#endif
}

void PoolFree(void *chunk, std::size_t bytes) {
#ifdef POOL_PLAIN
    (void)bytes;
    ::operator delete(chunk);
#else
    if (bytes > kLargest) return ::operator delete(chunk);
    Pools &p = ThePools();
    std::lock_guard<std::mutex> hold(p.lock);
    std::size_t size;
    void *&head = FreeList(p, bytes, size);
    *static_cast<void **>(chunk) = head;
    head = chunk;
#endif
}

} // namespace sim
