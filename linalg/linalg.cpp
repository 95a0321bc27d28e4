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
};

// The highest level this build carries that the CPU runs, asked once.
const Level& fastest_level() {
    static const Level chosen = [] {
        Level best = {nullptr, nullptr};  // the baseline, the first level, always runs
#define LINALG_TRY_LEVEL(level)                        \
    if (cpu_runs_##level()) {                          \
        best = Level{#level, &kernels_##level::table}; \
    }
        LINALG_FOR_EACH_LEVEL(LINALG_TRY_LEVEL)
#undef LINALG_TRY_LEVEL
        return best;
    }();
    return chosen;
}

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
    fastest_level().kernels->inverse(a.data(), n, inverse.data());
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
    Eigen::MatrixXd normal_matrix = unfilled_matrix(n, n);
    Eigen::VectorXd right_side = Eigen::VectorXd::Zero(n);
    Eigen::VectorXd x(n);
    const Kernels& fastest = *fastest_level().kernels;
    // Fused multiply-adds round a^T b and the factorisation differently, and on
    // ill-conditioned fits (NIST's Wampler2) that cost up to two of the digits that a build
    // without them delivers. Below this size both are cheap next to forming a^T a, so they
    // run at the baseline level, whose rounding is that of a plain build.
    constexpr Eigen::Index max_plainly_rounded_size = 128;
    const Kernels& solving = n <= max_plainly_rounded_size ? kernels_baseline::table : fastest;
    // a^T a and a^T b are formed a panel of rows at a time: both kernels of a^T a run faster
    // on a few hundred rows than on all of them at once (Eigen's rank-k update on about 200,
    // the tiles on 512: 512 rows of 50 columns, 200 KB, stay in L2), and a^T b then reads
    // each panel while it is still in cache instead of streaming all of a once more.
    const Eigen::Index panel = n < min_rank_update_size ? 512 : 192;
    normal_matrix.setZero();
    for (Eigen::Index r0 = 0; n > 0 && r0 < m; r0 += panel) {
        const Eigen::Index rows = std::min(panel, m - r0);
        fastest.normal_matrix_rows(a.data() + r0, m, rows, n, normal_matrix.data());
        solving.right_side_rows(a.data() + r0, m, rows, n, b.data() + r0, right_side.data());
    }
    solving.ldlt_solve(n, normal_matrix.data(), right_side.data(), x.data());
    return x;
}

}  // namespace linalg
