// The table that each instruction-set level offers the dispatcher (dispatch.cpp): its entry
// points and the facts about it that the dispatcher acts on. Each level's copy of
// linalg/level/ defines one, `linalg::kernels_<level>::table` (level/table.cpp), its members
// set by name. The entries take plain pointers: no Eigen object crosses between levels,
// because every level has an Eigen of its own.
#pragma once

#include <cstddef>

#include "copy.hpp"

namespace linalg {

struct LevelTable {
    // Copies `source` into the column-major `target` (source.rows x source.cols), a row-major
    // source with stores that bypass the cache where `bypass_cache` says so.
    void (*copy_matrix)(const MatrixView& source, double* target, bool bypass_cache);
    // Inverts the n x n column-major `a` in place, its factors kept in cache up to n =
    // max_cached (one of the two below). Given `source`, a's values are still to be copied
    // from it, as copy_matrix(*source, a, bypass_cache) would, and the result is the same;
    // where the inverse lays a out again anyway, it reads the source instead.
    void (*invert)(double* a, std::ptrdiff_t n, const MatrixView* source, bool bypass_cache,
                   std::ptrdiff_t max_cached);
    // Adds to the lower triangle of `normal` (n x n, column-major) that of a^T a, for the
    // m x n column-major `a`; given `b` (m entries), also a^T b to column n of `normal`, which
    // then has n + 1 columns.
    void (*normal_equations)(const double* a, std::ptrdiff_t m, std::ptrdiff_t n, const double* b,
                             double* normal, std::ptrdiff_t normal_depth);
    // As copy_matrix(source, a, bypass_cache) followed by normal_equations(a, ...), with the
    // same bits, a being source.rows x source.cols; where the route allows, the copy is made a
    // panel of rows at a time just before the panel is read.
    void (*copy_and_normal_equations)(const MatrixView& source, bool bypass_cache, double* a,
                                      const double* b, double* normal, std::ptrdiff_t normal_depth);
    // Adds a^T b to `right_side` (n entries), for `a` as above and `b` (m entries).
    void (*right_side)(const double* a, std::ptrdiff_t m, std::ptrdiff_t n, const double* b,
                       double* right_side);
    // Solution x of G x = right_side through LDL^T of the lower triangle of G =
    // `normal_matrix`, which it overwrites.
    void (*ldlt_solve)(std::ptrdiff_t n, double* normal_matrix, const double* right_side,
                       double* x);

    // Up to this size the inverse's loops have their lengths known at compile time.
    std::ptrdiff_t max_tiny_inverse;
    // Up to this size the inverse keeps its factors in cache, on Intel's processors and on
    // others.
    std::ptrdiff_t max_cached_inverse_on_intel;
    std::ptrdiff_t max_cached_inverse;
    // The depth of the blocks of a^T a's packed product (normal_depth above), on Intel's
    // processors and on others.
    std::ptrdiff_t normal_depth_block_on_intel;
    std::ptrdiff_t normal_depth_block;
    // From this many entries a row-major argument may be copied with stores that bypass the
    // cache.
    std::ptrdiff_t min_streamed_copy;
    // Whether small problems (inverses of sizes known at compile time, least squares of few
    // entries) run faster on the level below, as they do with 512-bit vectors: the level
    // below's 256-bit loops fit short rows and short sums better.
    bool small_problems_below;
};

// Each level's table, defined by its copy of linalg/level/.
#define LINALG_DECLARE_LEVEL(level)    \
    namespace kernels_##level {        \
        extern const LevelTable table; \
    }

}  // namespace linalg
