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

// From this many columns on, a^T a is formed by Eigen's rank-k update; below it, that
// update spends more on packing and on its triangular blocks than on the products, and
// normal_matrix_rows forms the dot products of the columns directly, from register tiles.
constexpr std::ptrdiff_t min_rank_update_size = 64;

struct Kernels {
    // Inverse of the n x n column-major `a` into `inverse` (n x n), which also holds the
    // factors on the way.
    void (*inverse)(const double* a, std::ptrdiff_t n, double* inverse);
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

// Each level's table of entry points, defined by its copy of kernels.cpp.
#define LINALG_DECLARE_LEVEL(level) \
    namespace kernels_##level {     \
        extern const Kernels table; \
    }

}  // namespace linalg
