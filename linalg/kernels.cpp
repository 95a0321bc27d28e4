// The numerical kernels behind inv() and lstsq(). This file is compiled once per
// instruction-set level, with LINALG_LEVEL naming the level; see kernels.hpp.
#include "kernels.hpp"

#include <Eigen/Cholesky>
#include <Eigen/Core>
#include <Eigen/LU>

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

}  // namespace

extern "C" {

void LINALG_ENTRY(linalg_inverse_)(const double* a, std::ptrdiff_t n, double* lu, double* inverse) {
    Matrix factors(lu, n, n);
    factors = ConstMatrix(a, n, n);
    // Factorising in the caller's buffer saves PartialPivLU a copy of its own; the steps
    // are those of a.inverse() for a run-time-sized matrix.
    const Eigen::PartialPivLU<Eigen::Ref<Eigen::MatrixXd>> decomposition(factors);
    Matrix(inverse, n, n) = decomposition.inverse();
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
