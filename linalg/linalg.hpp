// The module's two numerical functions: plain functions from dense matrices to a new
// dense result. Nothing here knows about Python.
#pragma once

#include <Eigen/Core>

#include "copy.hpp"

namespace linalg {

// Inverse of the square matrix `a`, through LU with partial (row) pivoting, formed in a's
// own storage, which the result then holds: a caller that passes its matrix with std::move
// needs no second buffer.
// A singular matrix is not detected: zero pivots show as infinities and NaNs in the result.
// Throws std::invalid_argument when `a` is not square, before any factorisation runs.
// Given `a_source`, `a` has its shape and storage but not yet its values: inv copies them
// from a_source as copy_matrix() would, or reads them from it where it lays a out again, and
// the result is the same.
Eigen::MatrixXd inv(Eigen::MatrixXd a, const MatrixView* a_source = nullptr);

// Least-squares solution x of a x ~ b through the normal equations (a^T a) x = a^T b,
// factorised with a diagonally pivoted LDL^T over the lower triangle of a^T a.
// For a rank-deficient `a` this is one particular solution, not the minimum-norm one.
// Throws std::invalid_argument when b's length differs from a's row count, before any
// computation.
// Given `a_source`, `a` has its shape and storage but not yet its values: lstsq copies them
// from a_source as copy_matrix() would, on its way through them, and the result is the same.
Eigen::VectorXd lstsq(Eigen::MatrixXd& a, Eigen::VectorXd& b, const MatrixView* a_source = nullptr);

// Name of the instruction-set level whose kernels run on this CPU ("baseline", "x86_64_v3",
// "x86_64_v4"): the highest that the build carries and the CPU runs.
const char* level();

}  // namespace linalg
