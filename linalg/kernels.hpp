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
    /* Adds to the lower triangle of `gram` (n x n) that of a^T a, for the rows x n          */   \
    /* column-major `a` whose columns are `stride` doubles apart. */                              \
    void linalg_gram_rows_##level(const double* a, std::ptrdiff_t stride, std::ptrdiff_t rows,    \
                                  std::ptrdiff_t n, double* gram);                                \
    /* Adds a^T b to `right_side` (n entries), `a` as for linalg_gram_rows_, `b` rows long. */    \
    void linalg_right_side_rows_##level(const double* a, std::ptrdiff_t stride,                   \
                                        std::ptrdiff_t rows, std::ptrdiff_t n, const double* b,   \
                                        double* right_side);                                      \
    /* Solution x of G x = right_side through LDL^T of the lower triangle of G = `gram`, which */ \
    /* it overwrites. */                                                                          \
    void linalg_ldlt_solve_##level(std::ptrdiff_t n, double* gram, const double* right_side,      \
                                   double* x);

extern "C" {
LINALG_KERNEL_ENTRY_POINTS(baseline)
LINALG_KERNEL_ENTRY_POINTS(x86_64_v3)
LINALG_KERNEL_ENTRY_POINTS(x86_64_v4)
}
