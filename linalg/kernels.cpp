// The numerical kernels behind inv() and lstsq(). This file is compiled once per
// instruction-set level, with LINALG_LEVEL naming the level; see kernels.hpp.
#include "kernels.hpp"

#include <Eigen/Cholesky>
#include <Eigen/Core>
#include <Eigen/LU>
#include <algorithm>
#include <vector>

#ifndef LINALG_LEVEL
#error "LINALG_LEVEL must name the instruction-set level this copy is built for"
#endif

#define LINALG_CONCAT_(a, b) a##b
#define LINALG_CONCAT(a, b) LINALG_CONCAT_(a, b)
#define LINALG_ENTRY(name) LINALG_CONCAT(name, LINALG_LEVEL)

namespace {

using Matrix = Eigen::Map<Eigen::MatrixXd>;
using ConstMatrix = Eigen::Map<const Eigen::MatrixXd>;
using Vector = Eigen::Map<Eigen::VectorXd>;
using ConstVector = Eigen::Map<const Eigen::VectorXd>;
using StridedMatrix = Eigen::Map<Eigen::MatrixXd, 0, Eigen::OuterStride<>>;

// From this size on, the inverse is formed from the factors by the blocked steps below rather
// than by PartialPivLU::inverse(); below it the difference is lost in the call's overhead.
constexpr std::ptrdiff_t blocked_inverse = 128;
// Columns of L^-1 formed per triangular solve.
constexpr std::ptrdiff_t inverse_panel = 64;

}  // namespace

extern "C" {

void LINALG_ENTRY(linalg_inverse_)(const double* a, std::ptrdiff_t n, double* lu,
                                   std::ptrdiff_t lu_stride, double* inverse) {
    StridedMatrix factors(lu, n, n, Eigen::OuterStride<>(lu_stride));
    factors = ConstMatrix(a, n, n);
    // Factorising in the caller's buffer saves PartialPivLU a copy of its own.
    const Eigen::PartialPivLU<Eigen::Ref<Eigen::MatrixXd>> decomposition(factors);
    Matrix result(inverse, n, n);
    if (n < blocked_inverse) {
        // The steps of a.inverse() for a run-time-sized matrix.
        result = decomposition.inverse();
        return;
    }
    // Forward substitution L Y = P I. Column j of P I is the unit vector e_p(j), where
    // p = P's indices, so column j of Y is column p(j) of L^-1, which is zero above its
    // diagonal: substituting through those rows only subtracts products with zeros. So
    // L^-1 is formed a block of columns at a time on the rows at and below the block
    // (a third of the work of substituting against the whole identity) and scattered.
    const auto& row_of = decomposition.permutationP().indices();
    std::vector<Eigen::Index> column_of(static_cast<std::size_t>(n));
    for (Eigen::Index j = 0; j < n; ++j) {
        column_of[static_cast<std::size_t>(row_of(j))] = j;
    }
    Eigen::MatrixXd panel(n, std::min<Eigen::Index>(n, inverse_panel));
    for (Eigen::Index c0 = 0; c0 < n; c0 += inverse_panel) {
        const Eigen::Index width = std::min<Eigen::Index>(inverse_panel, n - c0);
        auto block = panel.topLeftCorner(n - c0, width);
        block.setZero();
        block.topRows(width).setIdentity();
        decomposition.matrixLU()
            .bottomRightCorner(n - c0, n - c0)
            .triangularView<Eigen::UnitLower>()
            .solveInPlace(block);
        for (Eigen::Index c = c0; c < c0 + width; ++c) {
            auto column = result.col(column_of[static_cast<std::size_t>(c)]);
            column.head(c0).setZero();
            column.tail(n - c0) = block.col(c - c0);
        }
    }
    // Back substitution U X = Y over all of Y, every term taking part, as a.inverse() does.
    decomposition.matrixLU().triangularView<Eigen::Upper>().solveInPlace(result);
}

void LINALG_ENTRY(linalg_gram_)(const double* a, std::ptrdiff_t m, std::ptrdiff_t n, double* gram) {
    Matrix normal_matrix(gram, n, n);
    // LDLT reads only the lower triangle, so a symmetric rank-k update forms just that
    // half of a^T a, at half the cost of the full product.
    normal_matrix.setZero();
    normal_matrix.selfadjointView<Eigen::Lower>().rankUpdate(ConstMatrix(a, m, n).transpose());
}

void LINALG_ENTRY(linalg_ldlt_solve_)(const double* a, std::ptrdiff_t m, std::ptrdiff_t n,
                                      const double* b, double* gram, double* x) {
    Matrix normal_matrix(gram, n, n);
    const Eigen::LDLT<Eigen::Ref<Eigen::MatrixXd>, Eigen::Lower> decomposition(normal_matrix);
    Vector(x, n) = decomposition.solve(ConstMatrix(a, m, n).transpose() * ConstVector(b, m));
}

}  // extern "C"
