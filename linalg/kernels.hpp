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

#define LINALG_KERNEL_ENTRY_POINTS(level)                                                        \
    /* Inverse of the n x n column-major `a` into `inverse`; `lu` receives the factors. */       \
    void linalg_inverse_##level(const double* a, std::ptrdiff_t n, double* lu, double* inverse); \
    /* Least squares through the normal equations: `gram` (n x n) receives a^T a and then */     \
    /* its LDL^T factors; x (n entries) receives the solution. */                                \
    void linalg_normal_solve_##level(const double* a, std::ptrdiff_t m, std::ptrdiff_t n,        \
                                     const double* b, double* gram, double* x);

extern "C" {
LINALG_KERNEL_ENTRY_POINTS(baseline)
LINALG_KERNEL_ENTRY_POINTS(x86_64_v3)
LINALG_KERNEL_ENTRY_POINTS(x86_64_v4)
}
