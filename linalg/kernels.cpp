// The numerical kernels behind inv() and lstsq(). This file is compiled once per
// instruction-set level, with LINALG_LEVEL naming the level and Eigen renamed for it; see
// kernels.hpp. Standard-library templates that the compiler might emit out of line would be
// shared between the levels under one name, so the code below keeps to Eigen's types.
#include "kernels.hpp"

#include <Eigen/Cholesky>
#include <Eigen/Core>
#include <Eigen/LU>
#include <algorithm>
#include <cmath>
#include <limits>

#ifndef LINALG_LEVEL
#error "LINALG_LEVEL must name the instruction-set level this copy is built for"
#endif

#define LINALG_CONCAT_(a, b) a##b
#define LINALG_CONCAT(a, b) LINALG_CONCAT_(a, b)
#define LINALG_LEVEL_NAMESPACE LINALG_CONCAT(kernels_, LINALG_LEVEL)

namespace linalg {
namespace LINALG_LEVEL_NAMESPACE {

namespace {

using Matrix = Eigen::Map<Eigen::MatrixXd>;
using ConstMatrix = Eigen::Map<const Eigen::MatrixXd>;
using Vector = Eigen::Map<Eigen::VectorXd>;
using ConstVector = Eigen::Map<const Eigen::VectorXd>;
using StridedMatrix = Eigen::Map<Eigen::MatrixXd, 0, Eigen::OuterStride<>>;
using StridedConstMatrix = Eigen::Map<const Eigen::MatrixXd, 0, Eigen::OuterStride<>>;

using Packet = Eigen::internal::packet_traits<double>::type;
constexpr std::ptrdiff_t packet_size = Eigen::internal::packet_traits<double>::size;

// Up to this size the inverse runs through unblocked_inverse(), whose loops run along whole
// contiguous rows; Eigen's general path spends more on its set-up and its narrow blocks than
// on the arithmetic there. Those loops also run over zeros, which pays with vectors of four
// or more doubles; with two (SSE2, NEON) it stops paying beyond n = 8.
constexpr std::ptrdiff_t max_unblocked_inverse_size = packet_size >= 4 ? 64 : 8;
// From this size on, the inverse is formed from the factors by the blocked steps below rather
// than by PartialPivLU::inverse(); below it the difference is lost in the call's overhead.
constexpr std::ptrdiff_t min_blocked_inverse_size = 128;
// L^-1 is formed by halving down to blocks of at most this size, which are solved directly.
constexpr std::ptrdiff_t max_lower_inverse_leaf = 64;
// From this size on the normal equations are factorised by blocked_ldlt_solve().
constexpr std::ptrdiff_t min_blocked_ldlt_size = 128;
// Columns per panel of the blocked LDL^T.
constexpr std::ptrdiff_t ldlt_panel = 32;

// Adds to the lower triangle of the n x n column-major `g` the dot products, over `rows`
// rows, of columns i0 .. i0+I-1 of `a` with columns j0 .. j0+J-1. The I x J sums stay in
// registers (3 x 4 of them fit the 16 vector registers of SSE2 and AVX2 with the loads) while
// the rows stream by a packet at a time.
template <int I, int J>
void add_normal_tile(const double* a, std::ptrdiff_t stride, std::ptrdiff_t rows, std::ptrdiff_t i0,
                     std::ptrdiff_t j0, std::ptrdiff_t n, double* g) {
    using namespace Eigen::internal;
    const double* left[I];
    const double* right[J];
    Packet sums[I][J];
    for (int i = 0; i < I; ++i) {
        left[i] = a + (i0 + i) * stride;
        for (int j = 0; j < J; ++j) {
            sums[i][j] = pset1<Packet>(0.0);
        }
    }
    for (int j = 0; j < J; ++j) {
        right[j] = a + (j0 + j) * stride;
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
            if (i0 + i < j0 + j) {
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

// a^T a's lower triangle added to g, as tiles of 3 x 4 column pairs.
void add_normal_tiles(const double* a, std::ptrdiff_t stride, std::ptrdiff_t rows, std::ptrdiff_t n,
                      double* g) {
    constexpr int tile_rows = 3;
    constexpr int tile_cols = 4;
    std::ptrdiff_t j0 = 0;
    for (; j0 + tile_cols <= n; j0 += tile_cols) {
        std::ptrdiff_t i0 = j0 / tile_rows * tile_rows;  // the first tile reaching row j0
        for (; i0 + tile_rows <= n; i0 += tile_rows) {
            add_normal_tile<tile_rows, tile_cols>(a, stride, rows, i0, j0, n, g);
        }
        for (; i0 < n; ++i0) {
            add_normal_tile<1, tile_cols>(a, stride, rows, i0, j0, n, g);
        }
    }
    for (; j0 < n; ++j0) {
        for (std::ptrdiff_t i0 = j0; i0 < n; ++i0) {
            add_normal_tile<1, 1>(a, stride, rows, i0, j0, n, g);
        }
    }
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

// The steps of PartialPivLU and its inverse() written out for small n, with the same rules:
// column k's pivot is the first entry of largest magnitude at or below the diagonal; a
// pivot that is exactly zero exchanges nothing and divides nothing, and elimination goes
// on; the back substitution lets every term take part and multiplies by the reciprocal of
// the diagonal entry, so zero pivots give the same infinities and NaNs.
void unblocked_inverse(const double* a, std::ptrdiff_t n, double* w, std::ptrdiff_t width,
                       double* inverse) {
    // The factors are kept row-major in w (rows `width` apart): row exchanges and every
    // update below then run along contiguous rows, which the compiler vectorises whole.
    int position_of[max_unblocked_inverse_size];  // final position of each row of a
    int row_at[max_unblocked_inverse_size];       // row of a now at each position
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        for (std::ptrdiff_t j = 0; j < n; ++j) {
            w[i * width + j] = a[i + j * n];
        }
        row_at[i] = static_cast<int>(i);
    }
    for (std::ptrdiff_t k = 0; k < n; ++k) {
        std::ptrdiff_t pivot_row = k;
        double biggest = std::abs(w[k * width + k]);
        for (std::ptrdiff_t i = k + 1; i < n; ++i) {
            if (std::abs(w[i * width + k]) > biggest) {
                biggest = std::abs(w[i * width + k]);
                pivot_row = i;
            }
        }
        double* pivot_row_data = w + k * width;
        if (biggest != 0.0) {
            if (pivot_row != k) {
                std::swap_ranges(pivot_row_data, pivot_row_data + n, w + pivot_row * width);
                std::swap(row_at[k], row_at[pivot_row]);
            }
            const double pivot = pivot_row_data[k];
            for (std::ptrdiff_t i = k + 1; i < n; ++i) {
                w[i * width + k] /= pivot;
            }
        }
        for (std::ptrdiff_t i = k + 1; i < n; ++i) {
            double* row = w + i * width;
            const double multiplier = row[k];
            for (std::ptrdiff_t j = k + 1; j < n; ++j) {
                row[j] -= multiplier * pivot_row_data[j];
            }
        }
    }
    for (std::ptrdiff_t k = 0; k < n; ++k) {
        position_of[row_at[k]] = static_cast<int>(k);
    }
    // X = U^-1 L^-1 P, formed row-major in the result's storage and transposed in place at
    // the end. Row p of L^-1 P: P's columns are unit vectors, so row p starts as the unit
    // vector of the column whose row of a moved to p, less L's multipliers times the rows
    // above it.
    double* x = inverse;
    std::fill(x, x + n * n, 0.0);
    for (std::ptrdiff_t j = 0; j < n; ++j) {
        x[position_of[j] * n + j] = 1.0;
    }
    for (std::ptrdiff_t p = 1; p < n; ++p) {
        double* row = x + p * n;
        for (std::ptrdiff_t q = 0; q < p; ++q) {
            const double multiplier = w[p * width + q];
            const double* above = x + q * n;
            for (std::ptrdiff_t j = 0; j < n; ++j) {
                row[j] -= multiplier * above[j];
            }
        }
    }
    // Back substitution, every term taking part, then the reciprocal of the pivot.
    for (std::ptrdiff_t i = n - 1; i >= 0; --i) {
        double* row = x + i * n;
        for (std::ptrdiff_t q = i + 1; q < n; ++q) {
            const double coefficient = w[i * width + q];
            const double* below = x + q * n;
            for (std::ptrdiff_t j = 0; j < n; ++j) {
                row[j] -= coefficient * below[j];
            }
        }
        const double reciprocal = 1.0 / w[i * width + i];
        for (std::ptrdiff_t j = 0; j < n; ++j) {
            row[j] *= reciprocal;
        }
    }
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        for (std::ptrdiff_t j = i + 1; j < n; ++j) {
            std::swap(x[i * n + j], x[j * n + i]);
        }
    }
}

using LowerRef = Eigen::Ref<const Eigen::MatrixXd, 0, Eigen::OuterStride<>>;
using BlockRef = Eigen::Ref<Eigen::MatrixXd, 0, Eigen::OuterStride<>>;

// x = L^-1 for the unit lower triangle L of `lower` (x is m x m, zero above its diagonal).
// Halving, [L11 0; L21 L22]^-1 = [X11 0; -X22 L21 X11  X22], so that most of the work is
// two triangular-times-full products instead of substitution against narrow panels.
// `scratch` holds at least (m/2 + 16) x m/2.
void invert_unit_lower(const LowerRef& lower, BlockRef x, BlockRef scratch) {
    const Eigen::Index m = lower.rows();
    if (m <= max_lower_inverse_leaf) {
        x.setIdentity();
        lower.triangularView<Eigen::UnitLower>().solveInPlace(x);
        return;
    }
    const Eigen::Index top = m / 2 / 16 * 16;  // whole blocks of the product kernels
    const Eigen::Index bottom = m - top;
    invert_unit_lower(lower.topLeftCorner(top, top), x.topLeftCorner(top, top), scratch);
    invert_unit_lower(lower.bottomRightCorner(bottom, bottom), x.bottomRightCorner(bottom, bottom),
                      scratch);
    x.topRightCorner(top, bottom).setZero();
    auto product = scratch.topLeftCorner(bottom, top);
    product.noalias() = lower.bottomLeftCorner(bottom, top) *
                        x.topLeftCorner(top, top).triangularView<Eigen::UnitLower>();
    x.bottomLeftCorner(bottom, top).noalias() =
        x.bottomRightCorner(bottom, bottom).triangularView<Eigen::UnitLower>() * product;
    x.bottomLeftCorner(bottom, top) *= -1.0;
}

void invert(const double* a, std::ptrdiff_t n, double* lu, std::ptrdiff_t lu_stride,
            double* inverse) {
    if (n <= max_unblocked_inverse_size) {
        unblocked_inverse(a, n, lu, lu_stride, inverse);
        return;
    }
    StridedMatrix factors(lu, n, n, Eigen::OuterStride<>(lu_stride));
    factors = ConstMatrix(a, n, n);
    // Factorising in the caller's buffer saves PartialPivLU a copy of its own.
    const Eigen::PartialPivLU<Eigen::Ref<Eigen::MatrixXd>> decomposition(factors);
    Matrix result(inverse, n, n);
    if (n < min_blocked_inverse_size) {
        // The steps of a.inverse() for a run-time-sized matrix.
        result = decomposition.inverse();
        return;
    }
    // Forward substitution L Y = P I. Column j of P I is the unit vector e_p(j), where
    // p = P's indices, so column j of Y is column p(j) of L^-1: L^-1 is formed on its own
    // (a third of the work of substituting against the whole identity), then its columns
    // are moved to their places.
    Eigen::MatrixXd scratch(n / 2 + 16, n / 2);
    invert_unit_lower(decomposition.matrixLU(), result, scratch);
    // Eigen moves the columns to their places in place.
    result.applyOnTheRight(decomposition.permutationP());
    // Back substitution U X = Y over all of Y, every term taking part, as a.inverse() does.
    decomposition.matrixLU().triangularView<Eigen::Upper>().solveInPlace(result);
}

void normal_matrix_rows(const double* a, std::ptrdiff_t stride, std::ptrdiff_t rows,
                        std::ptrdiff_t n, double* normal_matrix) {
    if (n < min_rank_update_size) {
        add_normal_tiles(a, stride, rows, n, normal_matrix);
        return;
    }
    // LDLT reads only the lower triangle, so a symmetric rank-k update forms just that half.
    Matrix(normal_matrix, n, n)
        .selfadjointView<Eigen::Lower>()
        .rankUpdate(StridedConstMatrix(a, rows, n, Eigen::OuterStride<>(stride)).transpose());
}

void right_side_rows(const double* a, std::ptrdiff_t stride, std::ptrdiff_t rows, std::ptrdiff_t n,
                     const double* b, double* right_side) {
    Vector(right_side, n).noalias() +=
        StridedConstMatrix(a, rows, n, Eigen::OuterStride<>(stride)).transpose() *
        ConstVector(b, rows);
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
const Kernels table = {invert, normal_matrix_rows, right_side_rows, ldlt_solve};

}  // namespace LINALG_LEVEL_NAMESPACE
}  // namespace linalg
