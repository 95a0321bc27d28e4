#include "linalg.hpp"

#include <Eigen/Cholesky>
#include <Eigen/LU>
#include <stdexcept>
#include <string>

namespace linalg {

Eigen::MatrixXd inv(Eigen::MatrixXd &a) {
    // Eigen's inverse takes rows == cols for granted and would read outside a
    // non-square matrix, so the shape is checked first.
    if (a.rows() != a.cols()) {
        throw std::invalid_argument("inv() needs a square matrix, got shape (" +
                                    std::to_string(a.rows()) + ", " + std::to_string(a.cols()) +
                                    ")");
    }
    return a.inverse();
}

Eigen::VectorXd lstsq(Eigen::MatrixXd &a, Eigen::VectorXd &b) {
    // a^T b would read past the end of a short b.
    if (b.size() != a.rows()) {
        throw std::invalid_argument("lstsq() needs one entry of b per row of a, got a with " +
                                    std::to_string(a.rows()) + " rows and b with " +
                                    std::to_string(b.size()) + " entries");
    }
    return (a.transpose() * a).ldlt().solve(a.transpose() * b);
}

}  // namespace linalg
