// Advice to the operating system on large buffers that the module allocates itself.
#pragma once

#include <cstddef>

namespace linalg {

// Fresh memory costs one page fault per page on first touch; for a buffer of several MiB
// that can take longer than the arithmetic. Where the system has transparent huge pages
// (granted where its policy is "madvise" or "always"), asking for them cuts the faults by
// the ratio of the page sizes. Advice only: where it is refused or not offered, nothing
// changes. Like NumPy, only buffers of 4 MiB or more are advised, and only their whole
// pages, so no memory outside the buffer is touched.
void advise_huge_pages(double* data, std::ptrdiff_t count);

}  // namespace linalg
