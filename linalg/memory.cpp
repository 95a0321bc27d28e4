#include "memory.hpp"

#if defined(__has_include)
#if __has_include(<sys/mman.h>) && __has_include(<unistd.h>)
#include <sys/mman.h>
#include <unistd.h>
#endif
#endif

#include <cstdint>

namespace linalg {

#if defined(MADV_HUGEPAGE)
void advise_huge_pages(double* data, std::ptrdiff_t count) {
    constexpr std::size_t threshold = std::size_t{4} << 20;
    const std::size_t bytes = static_cast<std::size_t>(count) * sizeof(double);
    static const long page_size = sysconf(_SC_PAGESIZE);
    if (data == nullptr || bytes < threshold || page_size <= 0) {
        return;
    }
    const auto page = static_cast<std::uintptr_t>(page_size);
    const auto start = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (start + page - 1) & ~(page - 1);
    const std::uintptr_t last = (start + bytes) & ~(page - 1);
    if (last > first) {
        madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
    }
}
#else
void advise_huge_pages(double* /* data */, std::ptrdiff_t /* count */) {}
#endif

}  // namespace linalg
