// Entry points of the numerical kernels, built once per x86-64 instruction-set level.
//
// kernels.cpp is compiled three times (baseline x86-64, x86-64-v3 with AVX2 and FMA,
// x86-64-v4 with AVX-512), each copy with its own suffix on these names. Every other symbol
// of a copy, Eigen's template instantiations included, is made local to that copy when it
// is built (see CMakeLists.txt), so code compiled for one level never calls code compiled
// for another. The entry points take plain pointers: no Eigen object crosses between
// levels, because Eigen's allocation alignment differs between them.
#pragma once

#include <cstddef>

#define LINALG_KERNEL_ENTRY_POINTS(level)                                                         \
    /* Inverse of the n x n column-major `a` into `inverse`; `lu` (n x n, `lu_stride` doubles */  \
    /* between columns) receives the factors. */                                                  \
    void linalg_inverse_##level(const double* a, std::ptrdiff_t n, double* lu,                    \
                                std::ptrdiff_t lu_stride, double* inverse);                       \
    /* Lower triangle of a^T a into `gram` (n x n). */                                            \
    void linalg_gram_##level(const double* a, std::ptrdiff_t m, std::ptrdiff_t n, double* gram);  \
    /* Solution x of (a^T a) x = a^T b through LDL^T of the lower triangle of `gram`, which it */ \
    /* overwrites with the factors. */                                                            \
    void linalg_ldlt_solve_##level(const double* a, std::ptrdiff_t m, std::ptrdiff_t n,           \
                                   const double* b, double* gram, double* x);

extern "C" {
LINALG_KERNEL_ENTRY_POINTS(baseline)
LINALG_KERNEL_ENTRY_POINTS(x86_64_v3)
LINALG_KERNEL_ENTRY_POINTS(x86_64_v4)
}
