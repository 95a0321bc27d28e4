// The allocator of the allocation-failure sweep (allocation_sweep.py), preloaded into the
// sweep's Python process with LD_PRELOAD. Every allocation still goes to the allocator that
// comes next (the C library's, or a sanitizer's); once armed with k, the k-th allocation from
// then on fails, once: null from malloc and its kin, std::bad_alloc from operator new, which
// is replaced too so that no runtime's own operator new passes it by. It counts the
// allocations since it was armed and keeps the addresses of the blocks allocated since, so
// the sweep can tell how many allocations a call makes and whether a failed call left any
// block behind.
#include <dlfcn.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>

#define EXPORTED extern "C" __attribute__((visibility("default")))

extern "C" {
// Since the last arm_allocation_failure(): whether the armed allocation was reached (and
// failed), and how many of the blocks allocated are still live.
__attribute__((visibility("default"))) std::atomic<int> failure_injected{0};
__attribute__((visibility("default"))) std::atomic<long> armed_blocks_live{0};
}

namespace {

// The allocation to fail, counted from the arming (1 = the next), or 0 when disarmed.
std::atomic<long> failing_allocation{0};
std::atomic<long> allocations_since_armed{0};

using Malloc = void* (*)(size_t);
using Calloc = void* (*)(size_t, size_t);
using Realloc = void* (*)(void*, size_t);
using Free = void (*)(void*);
using Memalign = void* (*)(size_t, size_t);
using PosixMemalign = int (*)(void**, size_t, size_t);

Malloc next_malloc;
Calloc next_calloc;
Realloc next_realloc;
Free next_free;
Memalign next_memalign;
Memalign next_aligned_alloc;
PosixMemalign next_posix_memalign;

// dlsym allocates before the next allocator is known: from this.
alignas(64) char bootstrap[1 << 14];
std::atomic<size_t> bootstrap_used{0};

bool from_bootstrap(const void* p) {
    return p >= static_cast<const void*>(bootstrap) &&
           p < static_cast<const void*>(bootstrap + sizeof bootstrap);
}

void* bootstrap_allocate(size_t size) {
    const size_t rounded = (size + 63) & ~size_t{63};
    const size_t offset = bootstrap_used.fetch_add(rounded);
    return offset + rounded <= sizeof bootstrap ? bootstrap + offset : nullptr;
}

bool resolving = false;

void resolve() {
    if (next_free != nullptr || resolving) {
        return;
    }
    resolving = true;
    next_malloc = reinterpret_cast<Malloc>(dlsym(RTLD_NEXT, "malloc"));
    next_calloc = reinterpret_cast<Calloc>(dlsym(RTLD_NEXT, "calloc"));
    next_realloc = reinterpret_cast<Realloc>(dlsym(RTLD_NEXT, "realloc"));
    next_memalign = reinterpret_cast<Memalign>(dlsym(RTLD_NEXT, "memalign"));
    next_aligned_alloc = reinterpret_cast<Memalign>(dlsym(RTLD_NEXT, "aligned_alloc"));
    next_posix_memalign = reinterpret_cast<PosixMemalign>(dlsym(RTLD_NEXT, "posix_memalign"));
    next_free = reinterpret_cast<Free>(dlsym(RTLD_NEXT, "free"));
    resolving = false;
}

// The blocks allocated while armed: an open-addressing set of their addresses. A slot that
// free() empties is marked as removed, so that later lookups probe on past it.
constexpr size_t slots = size_t{1} << 16;
std::atomic<void*> armed_blocks[slots];
std::atomic<size_t> armed_sizes[slots];
void* const removed = reinterpret_cast<void*>(1);

size_t slot_of(const void* p) {
    return static_cast<size_t>((reinterpret_cast<uintptr_t>(p) >> 4) * 0x9E3779B97F4A7C15u >> 48);
}

void* remembered(void* p, size_t size) {
    if (p == nullptr || failing_allocation.load() <= 0) {
        return p;
    }
    for (size_t i = slot_of(p), probes = 0; probes < slots; i = (i + 1) % slots, ++probes) {
        void* expected = nullptr;
        if (armed_blocks[i].compare_exchange_strong(expected, p)) {
            armed_sizes[i].store(size);
            armed_blocks_live.fetch_add(1);
            break;
        }
    }
    return p;
}

void forget(void* p) {
    if (armed_blocks_live.load() == 0) {
        return;
    }
    for (size_t i = slot_of(p), probes = 0; probes < slots; i = (i + 1) % slots, ++probes) {
        void* const held = armed_blocks[i].load();
        if (held == nullptr) {
            return;
        }
        if (held == p) {
            armed_blocks[i].store(removed);
            armed_blocks_live.fetch_sub(1);
            return;
        }
    }
}

}  // namespace

// Called as the armed allocation fails: a place for a debugger's breakpoint.
EXPORTED __attribute__((noinline)) void allocation_failing() { __asm__ volatile(""); }

namespace {

// Whether this allocation is the one to fail.
bool fails() {
    const long failing = failing_allocation.load();
    if (failing <= 0 || allocations_since_armed.fetch_add(1) + 1 != failing) {
        return false;
    }
    failure_injected.store(1);
    allocation_failing();
    return true;
}

}  // namespace

// From now on the k-th allocation fails (k > 0), once, and the blocks allocated are kept.
EXPORTED void arm_allocation_failure(long k) {
    for (size_t i = 0; i < slots; ++i) {
        armed_blocks[i].store(nullptr);
    }
    armed_blocks_live.store(0);
    allocations_since_armed.store(0);
    failure_injected.store(0);
    failing_allocation.store(k);
}

EXPORTED void disarm_allocation_failure() { failing_allocation.store(0); }

// Writes the sizes of up to `capacity` kept blocks that are still live; returns how many.
EXPORTED size_t live_armed_block_sizes(size_t* sizes, size_t capacity) {
    size_t found = 0;
    for (size_t i = 0; i < slots && found < capacity; ++i) {
        void* const held = armed_blocks[i].load();
        if (held != nullptr && held != removed) {
            sizes[found++] = armed_sizes[i].load();
        }
    }
    return found;
}

extern "C" {

void* malloc(size_t size) {
    resolve();
    if (next_malloc == nullptr) {
        return bootstrap_allocate(size);
    }
    return fails() ? nullptr : remembered(next_malloc(size), size);
}

void* calloc(size_t count, size_t size) {
    resolve();
    if (next_calloc == nullptr) {
        return bootstrap_allocate(count * size);  // static storage: zero, and never reused
    }
    return fails() ? nullptr : remembered(next_calloc(count, size), count * size);
}

void free(void* p) {
    if (p == nullptr || from_bootstrap(p)) {
        return;
    }
    resolve();
    forget(p);
    next_free(p);
}

void* realloc(void* p, size_t size) {
    resolve();
    if (p == nullptr) {
        return malloc(size);
    }
    if (from_bootstrap(p)) {
        void* moved = malloc(size);
        if (moved != nullptr) {
            std::memcpy(moved, p, size);
        }
        return moved;
    }
    if (fails()) {
        return nullptr;  // the old block stays, as it does when realloc fails
    }
    void* moved = next_realloc(p, size);
    if (moved != p && (moved != nullptr || size == 0)) {
        forget(p);
        remembered(moved, size);
    }
    return moved;
}

void* memalign(size_t alignment, size_t size) {
    resolve();
    return fails() ? nullptr : remembered(next_memalign(alignment, size), size);
}

void* aligned_alloc(size_t alignment, size_t size) {
    resolve();
    return fails() ? nullptr : remembered(next_aligned_alloc(alignment, size), size);
}

int posix_memalign(void** result, size_t alignment, size_t size) {
    resolve();
    if (fails()) {
        return ENOMEM;
    }
    const int status = next_posix_memalign(result, alignment, size);
    if (status == 0) {
        remembered(*result, size);
    }
    return status;
}

}  // extern "C"

void* operator new(size_t size) {
    void* p = malloc(size == 0 ? 1 : size);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}
void* operator new[](size_t size) { return operator new(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    return malloc(size == 0 ? 1 : size);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
    return malloc(size == 0 ? 1 : size);
}
void* operator new(size_t size, std::align_val_t alignment) {
    void* p = nullptr;
    if (posix_memalign(&p, static_cast<size_t>(alignment), size == 0 ? 1 : size) != 0) {
        throw std::bad_alloc();
    }
    return p;
}
void* operator new[](size_t size, std::align_val_t alignment) {
    return operator new(size, alignment);
}
void operator delete(void* p) noexcept { free(p); }
void operator delete[](void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }
void operator delete[](void* p, size_t) noexcept { free(p); }
void operator delete(void* p, std::align_val_t) noexcept { free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { free(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { free(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { free(p); }
