// What the files of one instruction-set level share. Every file in linalg/level/ is compiled
// once per level (linalg/CMakeLists.txt), with LINALG_LEVEL_NAMESPACE naming the level's own
// namespace and Eigen's namespace renamed for it, so that every function and template
// instance a level makes carries the level's name and the linker cannot merge it with
// another level's. Standard-library templates that a compiler emits out of line would be
// shared between the levels under one name, so the level's code keeps to Eigen's types and
// to the standard library's inline helpers.
#pragma once

#include <Eigen/Core>
#include <cstddef>

#include "copy.hpp"

#ifndef LINALG_LEVEL_NAMESPACE
#error "LINALG_LEVEL_NAMESPACE must name the namespace of the level this copy is built for"
#endif

// LINALG_UNROLL(times) asks the compiler to unroll the loop that follows `times` times (a
// constant expression); LINALG_INLINE_LAMBDA, written after a lambda's parameters, to inline
// the lambda wherever it is called, as EIGEN_ALWAYS_INLINE does a function. GCC and Clang take
// both hints; other compilers go without them.
#if defined(__GNUC__)
#define LINALG_PRAGMA(text) _Pragma(#text)
#define LINALG_UNROLL(times) LINALG_PRAGMA(GCC unroll times)
#define LINALG_INLINE_LAMBDA __attribute__((always_inline))
#else
#define LINALG_UNROLL(times)
#define LINALG_INLINE_LAMBDA
#endif

namespace linalg {
namespace LINALG_LEVEL_NAMESPACE {

using Index = std::ptrdiff_t;

// What the level's vector unit offers; the kernels choose their shapes by it (tuning.hpp).
using Packet = Eigen::internal::packet_traits<double>::type;
constexpr int packet_size = Eigen::internal::packet_traits<double>::size;  // doubles per vector
constexpr bool wide_vectors = packet_size >= 8;                            // AVX-512
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

// Buffers for the packed operands of the products (product.cpp). One per top-level call,
// handed down, and sized once, for the largest product of the call: at most `rows` x `cols`
// with `depth` steps. Where op(A) is one packed block, its blocks are `one_block_depth` steps
// deep (0: the level's depth_block).
class ProductBuffers {
   public:
    ProductBuffers(Index rows, Index cols, Index depth, Index one_block_depth = 0);
    double* packed_left(Index size);
    double* packed_right(Index size);
    Index one_block_depth() const { return one_block_depth_; }

   private:
    static double* at_least(Eigen::VectorXd& buffer, Index size);
    Index one_block_depth_;
    Eigen::VectorXd left_;
    Eigen::VectorXd right_;
};

// product.cpp: the packed product.
// C += alpha A B, where C is m x n, A m x k and B k x n.
void multiply_add(double alpha, const Block& a, const Block& b, const Block& c,
                  ProductBuffers& buffers);
// The same on and below C's diagonal: the packets of rows of C's tiles that lie wholly above
// it are not formed (the tiles that the diagonal crosses write some entries above it too).
void multiply_add_lower(double alpha, const Block& a, const Block& b, const Block& c,
                        ProductBuffers& buffers);
// Adds A^T A to the lower triangle of G (A is k x n, G n x n; as multiply_add_lower() forms
// it) and, given `extra` (k entries), A^T extra to column n of G, which then has
// n + 1 columns: both from one pass over A. Given `unfilled`, A's rows are first copied from
// it (copy_rows()), a depth block of them just before the product reads them.
void add_normal_product(const Block& a, const double* extra, const Block& g,
                        ProductBuffers& buffers, const MatrixView* unfilled = nullptr,
                        bool bypass_cache = false);

// triangular.cpp: triangular operations on the product, for square triangles.
// B <- L^-1 B for the unit lower triangle L.
void solve_unit_lower(const Block& lower, const Block& b, ProductBuffers& buffers);
// B <- U^-1 B for the upper triangle U (diagonal included): back substitution in which every
// term takes part, zero coefficients included, each row then multiplied by the reciprocal of
// U's diagonal entry.
void solve_upper(const Block& upper, const Block& b, ProductBuffers& buffers);
// B <- alpha L B and B <- B L for the unit lower triangle L.
void multiply_unit_lower_left(double alpha, const Block& lower, const Block& b,
                              ProductBuffers& buffers);
void multiply_unit_lower_right(const Block& b, const Block& lower, ProductBuffers& buffers);

// inverse.cpp: the inverse of the n x n column-major `a`, in place, through LU with partial
// pivoting; given `source`, a's values are still to be copied from it (LevelTable::invert).
// Beyond max_cached (max_cached_inverse or, on Intel's processors, max_cached_inverse_on_intel)
// it runs three steps, declared here for bench/steps to time one by one:
void invert(double* a, Index n, const MatrixView* source, bool bypass_cache, Index max_cached);
// P a = L U in place (L's unit diagonal implied); pivots[k] is the row exchanged with row k.
void factorise(const Block& a, Index* pivots, ProductBuffers& buffers);
// L's strict lower triangle replaced by L^-1's.
void invert_unit_lower(const Block& a, ProductBuffers& buffers);
// X = U^-1 L^-1 P from U and L^-1, in place.
void invert_from_factors(const Block& a, const Index* pivots, ProductBuffers& buffers);

// scalar_inverse.cpp: the inverse of the n x n `source` into the column-major `a` (which may
// be the source itself), for 0 < n <= max_scalar_tiny_inverse, as invert() gives it.
void scalar_tiny_inverse(const MatrixView& source, double* a, Index n);

// copy.cpp: `source` into the column-major `target` (source.rows x source.cols); a row-major
// source with stores that bypass the cache where `bypass_cache` says so.
void copy_matrix(const MatrixView& source, double* target, bool bypass_cache);
// As copy_matrix(), for rows first_row .. first_row + rows - 1 of `source` only, into a
// column-major `target` whose columns are target_stride apart.
void copy_rows(const MatrixView& source, Index first_row, Index rows, double* target,
               Index target_stride, bool bypass_cache);

// least_squares.cpp: the normal equations and their solution.
// Adds to the lower triangle of `normal` (n x n, column-major) that of a^T a, for the m x n
// column-major `a`; given `b` (m entries), also a^T b to column n of `normal`, which then
// has n + 1 columns.
// `normal_depth` is the depth of the packed product's blocks (normal_depth_block, or
// normal_depth_block_on_intel on Intel's processors).
void normal_equations(const double* a, Index m, Index n, const double* b, double* normal,
                      Index normal_depth);
// As copy_matrix(source, a, bypass_cache) followed by normal_equations(a, ...), with the same
// bits, a being source.rows x source.cols. Where the source's rows are contiguous, a^T a is
// formed a block of rows at a time (dot products, row panels, the packed product's depth
// blocks), each block copied just before it is read, so that the copy's rows are read while
// in cache.
void copy_and_normal_equations(const MatrixView& source, bool bypass_cache, double* a,
                               const double* b, double* normal, Index normal_depth);
// Adds a^T b to `right_side` (n entries), for `a` as above and `b` (m entries).
void right_side(const double* a, Index m, Index n, const double* b, double* right_side);
// Solution x of G x = right_side through LDL^T of the lower triangle of G = `normal_matrix`,
// which it overwrites.
void ldlt_solve(Index n, double* normal_matrix, const double* right_side, double* x);

}  // namespace LINALG_LEVEL_NAMESPACE
}  // namespace linalg
