// The numerical kernels behind inv() and lstsq(), as one table per instruction-set level.
//
// kernels.cpp is compiled once per level (see CMakeLists.txt), and each copy defines one
// function, linalg_kernels_<level>(), that returns its table. Where several levels are built,
// each is a shared library of its own that exports nothing else, so code compiled for one
// level never calls code compiled for another. The entries take plain pointers: no Eigen
// object crosses between levels, because Eigen's allocation alignment differs between them.
#pragma once

#include <cstddef>

// From this many columns on, a^T a is formed by Eigen's rank-k update; below it, that
// update spends more on packing and on its triangular blocks than on the products, and
// normal_matrix_rows forms the dot products of the columns directly, from register tiles.
constexpr std::ptrdiff_t min_rank_update_size = 64;

struct linalg_kernels {
    // Inverse of the n x n column-major `a` into `inverse`; `lu` (n x n, `lu_stride` doubles
    // between columns) receives the factors.
    void (*inverse)(const double* a, std::ptrdiff_t n, double* lu, std::ptrdiff_t lu_stride,
                    double* inverse);
    // Adds to the lower triangle of `normal_matrix` (n x n) that of a^T a, for the rows x n
    // column-major `a` whose columns are `stride` doubles apart.
    void (*normal_matrix_rows)(const double* a, std::ptrdiff_t stride, std::ptrdiff_t rows,
                               std::ptrdiff_t n, double* normal_matrix);
    // Adds a^T b to `right_side` (n entries), `a` as for normal_matrix_rows, `b` rows long.
    void (*right_side_rows)(const double* a, std::ptrdiff_t stride, std::ptrdiff_t rows,
                            std::ptrdiff_t n, const double* b, double* right_side);
    // Solution x of G x = right_side through LDL^T of the lower triangle of G =
    // `normal_matrix`, which it overwrites.
    void (*ldlt_solve)(std::ptrdiff_t n, double* normal_matrix, const double* right_side,
                       double* x);
};

#if defined(LINALG_LEVEL_SHARED)
#define LINALG_LEVEL_EXPORT __attribute__((visibility("default")))
#else
#define LINALG_LEVEL_EXPORT
#endif

#define LINALG_DECLARE_LEVEL(level) \
    extern "C" LINALG_LEVEL_EXPORT const linalg_kernels* linalg_kernels_##level();
