#include "copy.hpp"

#include <algorithm>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define LINALG_COPY_SSE2 1
#elif defined(__aarch64__) && defined(__ARM_NEON)
#include <arm_neon.h>
#define LINALG_COPY_NEON 1
#endif

namespace linalg {

namespace {

// The 2 x 2 block whose rows start at `upper` and `lower` (row-major) becomes the two
// column pairs at `left` and `right` (column-major), with one 16-byte load and store per row
// and column where the platform has them.
inline void transpose_pair(const double* upper, const double* lower, double* left, double* right) {
#if defined(LINALG_COPY_SSE2)
    const __m128d first = _mm_loadu_pd(upper);
    const __m128d second = _mm_loadu_pd(lower);
    _mm_storeu_pd(left, _mm_unpacklo_pd(first, second));
    _mm_storeu_pd(right, _mm_unpackhi_pd(first, second));
#elif defined(LINALG_COPY_NEON)
    const float64x2_t first = vld1q_f64(upper);
    const float64x2_t second = vld1q_f64(lower);
    vst1q_f64(left, vzip1q_f64(first, second));
    vst1q_f64(right, vzip2q_f64(first, second));
#else
    left[0] = upper[0];
    left[1] = lower[0];
    right[0] = upper[1];
    right[1] = lower[1];
#endif
}

}  // namespace

void copy_row_major(const double* source, std::ptrdiff_t rows, std::ptrdiff_t cols,
                    double* target) {
    constexpr std::ptrdiff_t tile_rows = 512;
    constexpr std::ptrdiff_t tile_cols = 32;
    for (std::ptrdiff_t r0 = 0; r0 < rows; r0 += tile_rows) {
        const std::ptrdiff_t r1 = std::min(rows, r0 + tile_rows);
        for (std::ptrdiff_t c0 = 0; c0 < cols; c0 += tile_cols) {
            const std::ptrdiff_t c1 = std::min(cols, c0 + tile_cols);
            std::ptrdiff_t r = r0;
            for (; r + 2 <= r1; r += 2) {
                const double* upper = source + r * cols;
                const double* lower = upper + cols;
                std::ptrdiff_t c = c0;
                for (; c + 2 <= c1; c += 2) {
                    transpose_pair(upper + c, lower + c, target + c * rows + r,
                                   target + (c + 1) * rows + r);
                }
                for (; c < c1; ++c) {
                    target[c * rows + r] = upper[c];
                    target[c * rows + r + 1] = lower[c];
                }
            }
            for (; r < r1; ++r) {
                for (std::ptrdiff_t c = c0; c < c1; ++c) {
                    target[c * rows + r] = source[r * cols + c];
                }
            }
        }
    }
}

}  // namespace linalg
