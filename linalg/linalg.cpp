#include "linalg.hpp"

#include <algorithm>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>

#include "cpu.hpp"
#include "kernels.hpp"
#include "levels.hpp"
#include "memory.hpp"

namespace linalg {

LINALG_FOR_EACH_LEVEL(LINALG_DECLARE_LEVEL)

namespace {

struct Level {
    const char* name;
    const Kernels* kernels;
    // The kernels for small problems: with 512-bit vectors, those of the level below, whose
    // 256-bit loops fit short rows better (measured on an AVX-512 Xeon, the x86-64-v3 copy is
    // 5-15% faster on unblocked inverses, n <= 64, and least squares up to 4096 entries);
    // otherwise the level's own.
    const Kernels* small_kernels;
};

// The highest level this build carries that the CPU runs, asked once.
const Level& fastest_level() {
    static const Level chosen = [] {
        Level best = {nullptr, nullptr, nullptr};  // the baseline, the first level, always runs
#define LINALG_TRY_LEVEL(level)                                                 \
    if (cpu_runs_##level()) {                                                   \
        const Kernels* below = best.kernels;                                    \
        best = Level{#level, &kernels_##level::table, &kernels_##level::table}; \
        if (below != nullptr && kernels_##level::table.vector_doubles >= 8) {   \
            best.small_kernels = below;                                         \
        }                                                                       \
    }
        LINALG_FOR_EACH_LEVEL(LINALG_TRY_LEVEL)
#undef LINALG_TRY_LEVEL
        return best;
    }();
    return chosen;
}

// Problems up to these sizes count as small (see Level::small_kernels).
constexpr Eigen::Index max_small_inverse_size = 64;
constexpr Eigen::Index max_small_least_squares_entries = 4096;

// Storage for a rows x cols matrix, its elements not yet filled in. The size is checked
// before any other storage of the call is taken, as Eigen checks a product's size before
// forming it.
Eigen::MatrixXd unfilled_matrix(Eigen::Index rows, Eigen::Index cols) {
    if (cols != 0 && rows > std::numeric_limits<Eigen::Index>::max() / cols) {
        throw std::bad_alloc();
    }
    Eigen::MatrixXd matrix(rows, cols);
    advise_huge_pages(matrix.data(), matrix.size());
    return matrix;
}

}  // namespace

const char* level() { return fastest_level().name; }

Eigen::MatrixXd inv(Eigen::MatrixXd& a) {
    // The factorisation takes rows == cols for granted and would read outside a
    // non-square matrix, so the shape is checked first.
    if (a.rows() != a.cols()) {
        throw std::invalid_argument("inv() needs a square matrix, got shape (" +
                                    std::to_string(a.rows()) + ", " + std::to_string(a.cols()) +
                                    ")");
    }
    const Eigen::Index n = a.rows();
    Eigen::MatrixXd inverse = unfilled_matrix(n, n);
    const Level& fastest = fastest_level();
    (n <= max_small_inverse_size ? fastest.small_kernels : fastest.kernels)
        ->inverse(a.data(), n, inverse.data());
    return inverse;
}

Eigen::VectorXd lstsq(Eigen::MatrixXd& a, Eigen::VectorXd& b) {
    // a^T b would read past the end of a short b.
    if (b.size() != a.rows()) {
        throw std::invalid_argument("lstsq() needs one entry of b per row of a, got a with " +
                                    std::to_string(a.rows()) + " rows and b with " +
                                    std::to_string(b.size()) + " entries");
    }
    const Eigen::Index m = a.rows();
    const Eigen::Index n = a.cols();
    // G = a^T a in the first n columns, a^T b in the last.
    Eigen::MatrixXd normal_equations = unfilled_matrix(n, n + 1);
    normal_equations.setZero();
    double* right_side = normal_equations.data() + n * n;
    Eigen::VectorXd x(n);
    const Level& fastest = fastest_level();
    // Fused multiply-adds round a^T b and the factorisation differently, and on small
    // ill-conditioned fits (NIST's Wampler2) that costs up to two of the digits that a build
    // without them delivers. For small problems both run at the baseline level, whose
    // rounding is that of a plain build: there they cost microseconds. Otherwise a^T b is
    // formed in the same pass over a as a^T a.
    if (m * n <= max_small_least_squares_entries) {
        fastest.small_kernels->normal_equations(a.data(), m, n, nullptr, normal_equations.data());
        kernels_baseline::table.right_side(a.data(), m, n, b.data(), right_side);
        kernels_baseline::table.ldlt_solve(n, normal_equations.data(), right_side, x.data());
    } else {
        fastest.kernels->normal_equations(a.data(), m, n, b.data(), normal_equations.data());
        fastest.kernels->ldlt_solve(n, normal_equations.data(), right_side, x.data());
    }
    return x;
}

}  // namespace linalg
