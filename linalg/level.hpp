// The parts of one instruction-set level's kernels (products.cpp, inverse.cpp, kernels.cpp):
// a packed, register-blocked product C += alpha op(A) B, the triangular operations built on
// it, and the inverse. Compiled into each level's copy (the namespace is the level's own;
// see kernels.hpp), so every level runs its own vector code.
#pragma once

#include <Eigen/Core>
#include <cstddef>

#ifndef LINALG_LEVEL_NAMESPACE
#error "LINALG_LEVEL_NAMESPACE must name the namespace of the level this copy is built for"
#endif

namespace linalg {
namespace LINALG_LEVEL_NAMESPACE {

using Index = std::ptrdiff_t;

// What the level's vector unit offers, as the kernels choose their shapes by it.
using Packet = Eigen::internal::packet_traits<double>::type;
constexpr int packet_size = Eigen::internal::packet_traits<double>::size;  // doubles per vector
constexpr bool wide_register_file = EIGEN_ARCH_DEFAULT_NUMBER_OF_REGISTERS >= 32;
#if defined(EIGEN_VECTORIZE_FMA)
constexpr bool fused_multiply_add = true;
#else
constexpr bool fused_multiply_add = false;
#endif

// A column-major block of a matrix: element (i, j) at data[i + j * stride].
struct Block {
    double* data;
    Index rows;
    Index cols;
    Index stride;

    double& operator()(Index i, Index j) const { return data[i + j * stride]; }
    Block block(Index i, Index j, Index r, Index c) const {
        return Block{data + i + j * stride, r, c, stride};
    }
    Block top(Index r) const { return block(0, 0, r, cols); }
    Block bottom(Index r) const { return block(rows - r, 0, r, cols); }
    Block left(Index c) const { return block(0, 0, rows, c); }
    Block right(Index c) const { return block(0, cols - c, rows, c); }
};

// Buffers for the packed operands of the products. One per top-level call, handed down, so
// that the recursive factorisations allocate them once.
class ProductBuffers {
   public:
    double* packed_left(Index size);
    double* packed_right(Index size);

   private:
    static double* at_least(Eigen::VectorXd& buffer, Index size);
    Eigen::VectorXd left_;
    Eigen::VectorXd right_;
};

// C += alpha op(A) B, where op(A) is A, or A^T when `transposed` (then A is k x m). C is
// m x n, B is k x n.
void multiply_add(double alpha, const Block& a, bool transposed, const Block& b, const Block& c,
                  ProductBuffers& buffers);

// The products of the normal equations: adds A^T A to the lower triangle of G (A is k x n,
// G n x n; the tiles wholly above G's diagonal are not formed) and, given `extra` (k
// entries), A^T extra to column n of G (which then has n + 1 columns): both from one pass
// over A.
void multiply_normal(const Block& a, const double* extra, const Block& g, ProductBuffers& buffers);

// B <- L^-1 B for the unit lower triangle L (square).
void solve_unit_lower(const Block& lower, const Block& b, ProductBuffers& buffers);

// B <- U^-1 B for the upper triangle U (square, diagonal included): back substitution in
// which every term takes part, zero coefficients included, each row then multiplied by the
// reciprocal of U's diagonal entry.
void solve_upper(const Block& upper, const Block& b, ProductBuffers& buffers);

// B <- alpha L B and B <- B L for the unit lower triangle L (square).
void multiply_unit_lower_left(double alpha, const Block& lower, const Block& b,
                              ProductBuffers& buffers);
void multiply_unit_lower_right(const Block& b, const Block& lower, ProductBuffers& buffers);

// The inverse of the n x n column-major `a` into `inverse` (n x n), through LU with partial
// pivoting; see inverse.cpp. Beyond the unblocked sizes it runs three steps in the result's
// storage, declared here for bench/steps to time one by one:
void invert(const double* a, Index n, double* inverse);
// P a = L U in place (L's unit diagonal implied); pivots[k] is the row exchanged with row k.
void factorise(const Block& a, Index* pivots, ProductBuffers& buffers);
// L's strict lower triangle replaced by L^-1's.
void invert_unit_lower(const Block& a, ProductBuffers& buffers);
// X = U^-1 L^-1 P from U and L^-1, in place.
void invert_from_factors(const Block& a, const Index* pivots, ProductBuffers& buffers);

}  // namespace LINALG_LEVEL_NAMESPACE
}  // namespace linalg
