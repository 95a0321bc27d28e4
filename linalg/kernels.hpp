// The numerical kernels behind inv() and lstsq(), as one table per instruction-set level.
//
// kernels.cpp is compiled once per level (see CMakeLists.txt), every copy linked into the one
// module. Each copy keeps its code apart by name: its own functions live in the namespace
// linalg::kernels_<level>, and Eigen's namespace is renamed to linalg_eigen_<level> for it,
// so every template instance a level makes carries the level's name and the linker cannot
// merge one level's instance with another's. The entries take plain pointers: no Eigen
// object crosses between levels, because every level has an Eigen of its own.
#pragma once

#include <cstddef>

namespace linalg {

struct Kernels {
    // Doubles per vector register of the level: 2 (SSE2, NEON), 4 (AVX2) or 8 (AVX-512).
    std::ptrdiff_t vector_doubles;
    // Inverse of the n x n column-major `a` into `inverse` (n x n), which also holds the
    // factors on the way.
    void (*inverse)(const double* a, std::ptrdiff_t n, double* inverse);
    // Adds to the lower triangle of `normal` (n x n, column-major) that of a^T a, for the
    // m x n column-major `a`; given `b` (m entries), also a^T b to column n of `normal`, which
    // then has n + 1 columns.
    void (*normal_equations)(const double* a, std::ptrdiff_t m, std::ptrdiff_t n, const double* b,
                             double* normal);
    // Adds a^T b to `right_side` (n entries), for `a` as above and `b` (m entries).
    void (*right_side)(const double* a, std::ptrdiff_t m, std::ptrdiff_t n, const double* b,
                       double* right_side);
    // Solution x of G x = right_side through LDL^T of the lower triangle of G =
    // `normal_matrix`, which it overwrites.
    void (*ldlt_solve)(std::ptrdiff_t n, double* normal_matrix, const double* right_side,
                       double* x);
};

// Each level's table of entry points, defined by its copy of kernels.cpp.
#define LINALG_DECLARE_LEVEL(level) \
    namespace kernels_##level {     \
        extern const Kernels table; \
    }

}  // namespace linalg
