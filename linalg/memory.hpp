// Advice to the kernel on large buffers that the module allocates itself.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>

namespace linalg {

// Fresh memory costs one page fault per 4 KiB page on first touch; for a buffer of several
// MiB that can take longer than the arithmetic. Asking for transparent huge pages (granted
// where the system's policy is "madvise" or "always") cuts the faults 512-fold. Advice only:
// if it is refused, nothing changes. Like NumPy, only buffers of 4 MiB or more are advised,
// and only their whole pages, so no memory outside the buffer is touched.
static inline void advise_huge_pages(double* data, std::ptrdiff_t count) {
#ifdef MADV_HUGEPAGE
    constexpr std::size_t threshold = std::size_t{4} << 20;
    constexpr std::uintptr_t page = 4096;
    const std::size_t bytes = static_cast<std::size_t>(count) * sizeof(double);
    if (data == nullptr || bytes < threshold) {
        return;
    }
    const auto start = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (start + page - 1) & ~(page - 1);
    const std::uintptr_t last = (start + bytes) & ~(page - 1);
    if (last > first) {
        madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
    }
#else
    (void)data;
    (void)count;
#endif
}

}  // namespace linalg
