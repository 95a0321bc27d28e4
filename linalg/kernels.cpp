// The kernels behind lstsq() and the table of every entry point. This file is compiled once per
// instruction-set level, with LINALG_LEVEL_NAMESPACE naming the level's namespace and Eigen renamed
// for it; see kernels.hpp. Standard-library templates that the compiler might emit out of line
// would be shared between the levels under one name, so the code below keeps to Eigen's types.
#include "kernels.hpp"

#include <Eigen/Cholesky>
#include <Eigen/Core>
#include <algorithm>
#include <cmath>
#include <limits>

#include "level.hpp"

namespace linalg {
namespace LINALG_LEVEL_NAMESPACE {

namespace {

using Matrix = Eigen::Map<Eigen::MatrixXd>;
using ConstMatrix = Eigen::Map<const Eigen::MatrixXd>;
using Vector = Eigen::Map<Eigen::VectorXd>;
using ConstVector = Eigen::Map<const Eigen::VectorXd>;
// From this size on the normal equations are factorised by blocked_ldlt_solve().
constexpr std::ptrdiff_t min_blocked_ldlt_size = 128;
// Columns per panel of the blocked LDL^T.
constexpr std::ptrdiff_t ldlt_panel = 32;

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
    Eigen::MatrixXd weighted(n, ldlt_panel);
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
            auto panel_weighted = weighted.topLeftCorner(rest, width);
            panel_weighted = panel * factors.diagonal().segment(k0, width).asDiagonal();
            factors.bottomRightCorner(rest, rest).triangularView<Eigen::Lower>() -=
                panel * panel_weighted.transpose();
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

// Adds to G the dot products, over `rows` rows, of columns i0 .. i0+I-1 of [a b] with
// columns j0 .. j0+J-1, where they are on or below G's diagonal or in its column n (a^T b).
// The I x J sums stay in registers (3 x 4 of them fit 16 vector registers with the loads)
// while the rows stream by a packet at a time: no copy of a, no broadcasts.
template <int I, int J, typename Column>
void add_dot_product_tile(Column column, std::ptrdiff_t rows, std::ptrdiff_t i0, std::ptrdiff_t j0,
                          std::ptrdiff_t n, double* g) {
    using namespace Eigen::internal;
    const double* left[I];
    const double* right[J];
    Packet sums[I][J];
    for (int i = 0; i < I; ++i) {
        left[i] = column(i0 + i);
        for (int j = 0; j < J; ++j) {
            sums[i][j] = pset1<Packet>(0.0);
        }
    }
    for (int j = 0; j < J; ++j) {
        right[j] = column(j0 + j);
    }
    std::ptrdiff_t r = 0;
    for (; r + packet_size <= rows; r += packet_size) {
        Packet x[I];
        for (int i = 0; i < I; ++i) {
            x[i] = ploadu<Packet>(left[i] + r);
        }
        for (int j = 0; j < J; ++j) {
            const Packet y = ploadu<Packet>(right[j] + r);
            for (int i = 0; i < I; ++i) {
                sums[i][j] = pmadd(x[i], y, sums[i][j]);
            }
        }
    }
    for (int i = 0; i < I; ++i) {
        for (int j = 0; j < J; ++j) {
            if (i0 + i < j0 + j && j0 + j < n) {
                continue;  // above the diagonal
            }
            double sum = predux(sums[i][j]);
            for (std::ptrdiff_t q = r; q < rows; ++q) {
                sum += left[i][q] * right[j][q];
            }
            g[(i0 + i) + (j0 + j) * n] += sum;
        }
    }
}

// G's lower triangle (and, given b, its column n) from tiles of dot products of columns,
// over `rows` rows of a (columns `stride` apart).
void add_dot_product_tiles(const double* a, std::ptrdiff_t stride, std::ptrdiff_t rows,
                           std::ptrdiff_t n, const double* b, double* g) {
    const auto column = [&](std::ptrdiff_t j) { return j < n ? a + j * stride : b; };
    constexpr int tile_rows = 3;
    constexpr int tile_cols = 4;
    std::ptrdiff_t j0 = 0;
    for (; j0 + tile_cols <= n; j0 += tile_cols) {
        std::ptrdiff_t i0 = j0 / tile_rows * tile_rows;  // the first tile reaching row j0
        for (; i0 + tile_rows <= n; i0 += tile_rows) {
            add_dot_product_tile<tile_rows, tile_cols>(column, rows, i0, j0, n, g);
        }
        for (; i0 < n; ++i0) {
            add_dot_product_tile<1, tile_cols>(column, rows, i0, j0, n, g);
        }
    }
    for (; j0 < n; ++j0) {
        for (std::ptrdiff_t i0 = j0; i0 < n; ++i0) {
            add_dot_product_tile<1, 1>(column, rows, i0, j0, n, g);
        }
    }
    if (b != nullptr) {
        std::ptrdiff_t i0 = 0;
        for (; i0 + tile_rows <= n; i0 += tile_rows) {
            add_dot_product_tile<tile_rows, 1>(column, rows, i0, n, n, g);
        }
        for (; i0 < n; ++i0) {
            add_dot_product_tile<1, 1>(column, rows, i0, n, n, g);
        }
    }
}

// With fused multiply-adds (or 32 vector registers) and cheap broadcasts, the products of
// packed panels win from a few columns on; up to max_dot_product_columns (b included) the
// tiles of dot products need no copy of a. Without them (SSE2) the dot products win up to 64
// columns, and Eigen's rank-k update beyond.
constexpr bool packed_normal_products = fused_multiply_add || wide_register_file;
constexpr std::ptrdiff_t max_dot_product_columns = packed_normal_products ? 16 : 64;
// Rows of a per pass of the dot products: each tile rereads its columns, which stay in cache.
constexpr std::ptrdiff_t dot_product_rows = 512;

void normal_equations(const double* a, std::ptrdiff_t m, std::ptrdiff_t n, const double* b,
                      double* normal) {
    const std::ptrdiff_t columns = b != nullptr ? n + 1 : n;
    if (columns <= max_dot_product_columns) {
        for (std::ptrdiff_t r0 = 0; r0 < m; r0 += dot_product_rows) {
            add_dot_product_tiles(a + r0, m, std::min(dot_product_rows, m - r0), n,
                                  b != nullptr ? b + r0 : nullptr, normal);
        }
        return;
    }
    if (packed_normal_products) {
        ProductBuffers buffers;
        multiply_normal(Block{const_cast<double*>(a), m, n, m}, b, Block{normal, n, columns, n},
                        buffers);
        return;
    }
    // A panel of rows at a time: Eigen's rank-k update runs fastest on about 200 rows, and
    // a^T b then reads each panel while it is still in cache.
    constexpr std::ptrdiff_t panel = 192;
    for (std::ptrdiff_t r0 = 0; r0 < m; r0 += panel) {
        const std::ptrdiff_t rows = std::min(panel, m - r0);
        const Eigen::Map<const Eigen::MatrixXd, 0, Eigen::OuterStride<>> block(
            a + r0, rows, n, Eigen::OuterStride<>(m));
        Matrix(normal, n, n).selfadjointView<Eigen::Lower>().rankUpdate(block.transpose());
        if (b != nullptr) {
            Vector(normal + n * n, n).noalias() += block.transpose() * ConstVector(b + r0, rows);
        }
    }
}

void right_side(const double* a, std::ptrdiff_t m, std::ptrdiff_t n, const double* b,
                double* right_side) {
    Vector(right_side, n).noalias() += ConstMatrix(a, m, n).transpose() * ConstVector(b, m);
}

void ldlt_solve(std::ptrdiff_t n, double* normal_matrix, const double* right_side, double* x) {
    Matrix matrix(normal_matrix, n, n);
    const ConstVector rhs(right_side, n);
    Vector solution(x, n);
    if (n < min_blocked_ldlt_size || !blocked_ldlt_solve(matrix, rhs, solution)) {
        const Eigen::LDLT<Eigen::Ref<Eigen::MatrixXd>, Eigen::Lower> decomposition(matrix);
        solution = decomposition.solve(rhs);
    }
}

}  // namespace

extern const Kernels table;  // a const at namespace scope is otherwise internal to this file
const Kernels table = {packet_size, invert, normal_equations, right_side, ldlt_solve};

}  // namespace LINALG_LEVEL_NAMESPACE
}  // namespace linalg
