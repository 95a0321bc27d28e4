// Least squares of one instruction-set level: the normal equations a^T a and a^T b, by the
// route that suits the number of columns, and their solution through the pivoted LDL^T.
#include <Eigen/Cholesky>
#include <Eigen/Core>
#include <algorithm>
#include <cmath>
#include <limits>

#include "level.hpp"
#include "tiles.hpp"
#include "tuning.hpp"

namespace linalg {
namespace LINALG_LEVEL_NAMESPACE {

namespace {

using Matrix = Eigen::Map<Eigen::MatrixXd>;
using ConstMatrix = Eigen::Map<const Eigen::MatrixXd>;
using Vector = Eigen::Map<Eigen::VectorXd>;
using ConstVector = Eigen::Map<const Eigen::VectorXd>;

// The ways to form the normal equations: G's lower triangle and column n (a^T b) are added to.
enum class Route {
    dot_products,  // tiles of dot products of a's columns, no copy of a
    row_panels,    // row-major panels of a, copied once, and the product's register tiles
    packed,        // the packed product (product.cpp)
    rank_update,   // Eigen's rank-k update, a panel of rows at a time
};

// The one choice of route, by the shape of [a b].
Route route(Index rows, Index columns) {
    if (columns <= max_dot_product_columns ||
        (columns <= max_tall_dot_product_columns && rows >= min_tall_rows_per_column * columns)) {
        return Route::dot_products;
    }
    if (!packed_normal_products) {
        return Route::rank_update;
    }
    return columns <= max_panel_normal_columns ? Route::row_panels : Route::packed;
}

// G's lower triangle (and, given b, its column n) from tiles of dot products of columns,
// dot_product_rows rows of a at a time. Given `unfilled`, those rows of a are first copied from
// it into a, and so read back from cache.
void add_dot_products(double* a, Index m, Index n, const double* b, double* g,
                      const MatrixView* unfilled = nullptr, bool bypass_cache = false) {
    for (Index r0 = 0; r0 < m; r0 += dot_product_rows) {
        const Index rows = std::min(dot_product_rows, m - r0);
        if (unfilled != nullptr) {
            copy_rows(*unfilled, r0, rows, a + r0, m, bypass_cache);
        }
        const auto column = [&](Index j) { return j < n ? a + r0 + j * m : b + r0; };
        Index j0 = 0;
        for (; j0 + dot_tile_cols <= n; j0 += dot_tile_cols) {
            Index i0 = j0 / dot_tile_rows * dot_tile_rows;  // the first tile reaching row j0
            for (; i0 + dot_tile_rows <= n; i0 += dot_tile_rows) {
                add_dot_product_tile<dot_tile_rows, dot_tile_cols>(column, rows, i0, j0, n, g);
            }
            for (; i0 < n; ++i0) {
                add_dot_product_tile<1, dot_tile_cols>(column, rows, i0, j0, n, g);
            }
        }
        for (; j0 < n; ++j0) {
            for (Index i0 = j0; i0 < n; ++i0) {
                add_dot_product_tile<1, 1>(column, rows, i0, j0, n, g);
            }
        }
        if (b != nullptr) {
            Index i0 = 0;
            for (; i0 + dot_tile_rows <= n; i0 += dot_tile_rows) {
                add_dot_product_tile<dot_tile_rows, 1>(column, rows, i0, n, n, g);
            }
            for (; i0 < n; ++i0) {
                add_dot_product_tile<1, 1>(column, rows, i0, n, n, g);
            }
        }
    }
}

// G's lower triangle (and, given b, its column n) from row-major panels of [a b]. Given
// `unfilled`, each panel's rows of a are first copied from it into a, which then lays the
// panel out from the first- and second-level caches instead of from memory.
void add_row_panels(double* a, Index m, Index n, const double* b, double* g_data,
                    const MatrixView* unfilled = nullptr, bool bypass_cache = false) {
    const Index columns = b != nullptr ? n + 1 : n;
    const Block g{g_data, n, columns, n};
    // A panel of rows of [a b] is copied once, row-major (rows `width` doubles apart), and
    // every tile reads both of its operands from it while it is in cache.
    // The tiles run along the columns of G's upper triangle, rows as vectors: only the
    // diagonal tile of each band of columns reaches below the diagonal. The upper triangle is
    // mirrored into the lower one at the end.
    const Index width = round_up(columns, packet_size);
    Eigen::VectorXd panel_storage(std::min(m, panel_normal_rows) * width);
    double* panel = panel_storage.data();
    const auto column = [&](Index j) { return j < n ? a + j * m : b; };
    for (Index p0 = 0; p0 < m; p0 += panel_normal_rows) {
        const Index depth = std::min(panel_normal_rows, m - p0);
        if (unfilled != nullptr) {
            copy_rows(*unfilled, p0, depth, a + p0, m, bypass_cache);
        }
        interleave([&](Index j) { return column(j) + p0; }, columns, depth, panel, width);
        for (Index j0 = 0; j0 < columns; j0 += tile_cols) {
            const Index cols = std::min<Index>(tile_cols, columns - j0);
            const Index rows = std::min(j0 + cols, n);  // G(i, j) for i <= j, all of a^T b
            for (Index i0 = 0; i0 < rows; i0 += tile_rows) {
                add_tile_rows(std::min<Index>(tile_rows, rows - i0), depth, panel + i0, width,
                              panel + j0, width, 1.0, &g(i0, j0), g.stride, cols);
            }
        }
    }
    for (Index j = 0; j < n; ++j) {
        for (Index i = j + 1; i < n; ++i) {
            g(i, j) = g(j, i);
        }
    }
}

// G's lower triangle (and, given b, its column n) by Eigen's rank-k update, a panel of rows
// at a time; a^T b then reads each panel while it is still in cache.
void add_rank_updates(const double* a, Index m, Index n, const double* b, double* g) {
    for (Index r0 = 0; r0 < m; r0 += rank_update_rows) {
        const Index rows = std::min(rank_update_rows, m - r0);
        const Eigen::Map<const Eigen::MatrixXd, 0, Eigen::OuterStride<>> block(
            a + r0, rows, n, Eigen::OuterStride<>(m));
        Matrix(g, n, n).selfadjointView<Eigen::Lower>().rankUpdate(block.transpose());
        if (b != nullptr) {
            Vector(g + n * n, n).noalias() += block.transpose() * ConstVector(b + r0, rows);
        }
    }
}

// G's lower triangle and column n through the packed product (product.cpp), in blocks `depth`
// steps deep where a^T is one packed block; given `unfilled`, a's rows are copied from it a
// depth block at a time, as the product reads them.
void add_packed_normal_product(double* a, Index m, Index n, const double* b, double* g, Index depth,
                               const MatrixView* unfilled = nullptr, bool bypass_cache = false) {
    const Index columns = b != nullptr ? n + 1 : n;
    ProductBuffers buffers(n, columns, m, depth);
    add_normal_product(Block{a, m, n, m}, b, Block{g, n, columns, n}, buffers, unfilled,
                       bypass_cache);
}

// Eigen's LDLT, blocked. Eigen chooses the pivot of step k by comparing the diagonal entries
// at positions k..n-1 as moved by the earlier swaps but not yet reduced (ties: the lowest
// position), so its whole sequence of swaps follows from G's diagonal alone and can be
// applied first. The permuted matrix is then factorised without pivoting, a panel of
// columns at a time (left-looking inside the panel), the rest of the matrix updated once
// per panel with a matrix product. Every column keeps Eigen's rules: D[k] is usable when
// |D[k]| > 0; L's column k is the reduced column divided by D[k] if it is, undivided if not;
// updates subtract L(i,j) (L(k,j) D[j]), so an unusable pivot's column contributes products
// with zero. Returns false, leaving G as it was, where Eigen's own code must run: a step-0
// pivot that is not usable (Eigen then stops at once) or a NaN on the diagonal.
bool blocked_ldlt_solve(Matrix& normal_matrix, const ConstVector& right_side, Vector& solution) {
    const Eigen::Index n = normal_matrix.rows();
    Eigen::VectorXd diagonal = normal_matrix.diagonal();
    if (diagonal.hasNaN() || !(diagonal.cwiseAbs().maxCoeff() > 0.0)) {
        return false;
    }
    // The swaps, found with a tournament tree over the positions instead of a scan per step.
    // A node holds the position of the larger magnitude of its two children, the left one
    // on ties: the lowest position among equals, as Eigen's scan finds it. A position whose
    // pivot is fixed gets -1, below every magnitude. (No NaN gets here.)
    Eigen::Index leaves = 1;
    while (leaves < n) {
        leaves *= 2;
    }
    Eigen::VectorXd magnitude = Eigen::VectorXd::Constant(leaves, -1.0);
    magnitude.head(n) = diagonal.cwiseAbs();
    Eigen::Matrix<Eigen::Index, Eigen::Dynamic, 1> winner(2 * leaves);
    for (Eigen::Index i = 0; i < leaves; ++i) {
        winner(leaves + i) = i;
    }
    const auto play = [&](Eigen::Index node) {
        const Eigen::Index left = winner(2 * node);
        const Eigen::Index right = winner(2 * node + 1);
        winner(node) = magnitude(right) > magnitude(left) ? right : left;
    };
    for (Eigen::Index node = leaves - 1; node > 0; --node) {
        play(node);
    }
    const auto replay = [&](Eigen::Index position) {
        for (Eigen::Index node = (leaves + position) / 2; node > 0; node /= 2) {
            play(node);
        }
    };
    Eigen::Transpositions<Eigen::Dynamic> swaps(n);
    Eigen::Matrix<Eigen::Index, Eigen::Dynamic, 1> original =
        Eigen::Matrix<Eigen::Index, Eigen::Dynamic, 1>::LinSpaced(n, 0, n - 1);
    for (Eigen::Index k = 0; k < n; ++k) {
        const Eigen::Index biggest = winner(1);
        swaps.indices()(k) = static_cast<int>(biggest);
        std::swap(original(k), original(biggest));
        magnitude(biggest) = magnitude(k);
        magnitude(k) = -1.0;
        replay(biggest);
        replay(k);
    }

    // factors(i, j) = G(original[i], original[j]) on and below the diagonal, read from whole
    // columns of G once its upper triangle mirrors the lower one.
    constexpr Eigen::Index tile = 32;
    for (Eigen::Index j0 = 0; j0 < n; j0 += tile) {
        for (Eigen::Index i0 = j0; i0 < n; i0 += tile) {
            for (Eigen::Index i = i0; i < std::min(n, i0 + tile); ++i) {
                for (Eigen::Index j = j0; j < std::min(i, j0 + tile); ++j) {
                    normal_matrix(j, i) = normal_matrix(i, j);
                }
            }
        }
    }
    Eigen::MatrixXd factors(n, n);
    for (Eigen::Index j = 0; j < n; ++j) {
        const auto column = normal_matrix.col(original(j));
        for (Eigen::Index i = j; i < n; ++i) {
            factors(i, j) = column(original(i));
        }
    }

    Eigen::VectorXd scaled(ldlt_panel);
    // The panel's columns times D, transposed: the right operand of the update.
    Eigen::MatrixXd weighted(ldlt_panel, n);
    ProductBuffers buffers(n - ldlt_panel, n - ldlt_panel, ldlt_panel);
    for (Eigen::Index k0 = 0; k0 < n; k0 += ldlt_panel) {
        const Eigen::Index width = std::min<Eigen::Index>(ldlt_panel, n - k0);
        for (Eigen::Index k = k0; k < k0 + width; ++k) {
            const Eigen::Index done = k - k0;
            const Eigen::Index below = n - k - 1;
            if (done > 0) {
                scaled.head(done) = factors.diagonal().segment(k0, done).asDiagonal() *
                                    factors.row(k).segment(k0, done).transpose();
                factors(k, k) -= factors.row(k).segment(k0, done) * scaled.head(done);
                if (below > 0) {
                    factors.col(k).tail(below).noalias() -=
                        factors.block(k + 1, k0, below, done) * scaled.head(done);
                }
            }
            const double pivot = factors(k, k);
            if (below > 0 && std::abs(pivot) > 0.0) {
                factors.col(k).tail(below) /= pivot;
            }
        }
        const Eigen::Index rest = n - k0 - width;
        if (rest > 0) {
            const auto panel = factors.block(k0 + width, k0, rest, width);
            weighted.topLeftCorner(width, rest) =
                (panel * factors.diagonal().segment(k0, width).asDiagonal()).transpose();
            const Block trailing{factors.data(), n, n, n};
            multiply_add_lower(-1.0, trailing.block(k0 + width, k0, rest, width),
                               Block{weighted.data(), width, rest, ldlt_panel},
                               trailing.block(k0 + width, k0 + width, rest, rest), buffers);
        }
    }

    // Eigen's LDLT::solve() step for step on these factors.
    solution = swaps * right_side;
    factors.triangularView<Eigen::UnitLower>().solveInPlace(solution);
    const double tolerance = std::numeric_limits<double>::min();
    for (Eigen::Index i = 0; i < n; ++i) {
        const double pivot = factors(i, i);
        if (std::abs(pivot) > tolerance) {
            solution(i) /= pivot;
        } else {
            solution(i) = 0.0;
        }
    }
    factors.transpose().triangularView<Eigen::UnitUpper>().solveInPlace(solution);
    solution = swaps.transpose() * solution;
    return true;
}

}  // namespace

void normal_equations(const double* a, Index m, Index n, const double* b, double* normal,
                      Index normal_depth) {
    if (m == 0 || n == 0) {
        return;
    }
    switch (route(m, b != nullptr ? n + 1 : n)) {
        case Route::dot_products:
            add_dot_products(const_cast<double*>(a), m, n, b, normal);
            return;
        case Route::row_panels:
            add_row_panels(const_cast<double*>(a), m, n, b, normal);
            return;
        case Route::packed:
            add_packed_normal_product(const_cast<double*>(a), m, n, b, normal, normal_depth);
            return;
        case Route::rank_update:
            add_rank_updates(a, m, n, b, normal);
            return;
    }
}

void copy_and_normal_equations(const MatrixView& source, bool bypass_cache, double* a,
                               const double* b, double* normal, Index normal_depth) {
    const Index m = source.rows;
    const Index n = source.cols;
    // Only a transposing copy gains: a column-major source is copied whole by the C library
    // faster than a block of rows at a time (100000 x 50 in F order, a out of cache, Intel
    // Xeon with AVX-512: 1.06-1.1 times the whole copy and the pass after it with plain stores
    // per block, 1.2 with stores that bypass the cache; in C order the blocks take 0.93-0.95).
    if (m != 0 && n != 0 && source.column_step == 1) {
        switch (route(m, b != nullptr ? n + 1 : n)) {
            case Route::dot_products:
                add_dot_products(a, m, n, b, normal, &source, bypass_cache);
                return;
            case Route::row_panels:
                add_row_panels(a, m, n, b, normal, &source, bypass_cache);
                return;
            case Route::packed:
                // On a tall a, whose copy the product would otherwise read back out of cache;
                // not where the copy's columns share few sets of the cache (copy.cpp), whose
                // blocks then push the product's operands out (Intel Xeon, AVX-512: 1.04x
                // faster at 3000 x 600, 1.06-1.1x at 10000 x 300 and 20000 x 200; 0.97x at
                // 3072 x 600 and at 1000 x 800).
                if (m >= min_tall_rows_per_column * n && m % copy_aliased_stride != 0) {
                    add_packed_normal_product(a, m, n, b, normal, normal_depth, &source,
                                              bypass_cache);
                    return;
                }
                break;
            default:
                break;
        }
    }
    copy_matrix(source, a, bypass_cache);
    normal_equations(a, m, n, b, normal, normal_depth);
}

void right_side(const double* a, Index m, Index n, const double* b, double* right_side) {
    Vector(right_side, n).noalias() += ConstMatrix(a, m, n).transpose() * ConstVector(b, m);
}

void ldlt_solve(Index n, double* normal_matrix, const double* right_side, double* x) {
    Matrix matrix(normal_matrix, n, n);
    const ConstVector rhs(right_side, n);
    Vector solution(x, n);
    if (n < min_blocked_ldlt || !blocked_ldlt_solve(matrix, rhs, solution)) {
        const Eigen::LDLT<Eigen::Ref<Eigen::MatrixXd>, Eigen::Lower> decomposition(matrix);
        solution = decomposition.solve(rhs);
    }
}

}  // namespace LINALG_LEVEL_NAMESPACE
}  // namespace linalg
