// The two numerical functions: shapes checked, storage allocated, and the work handed to the
// instruction-set level that the CPU runs best (level_table.hpp).
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>

#include "copy.hpp"
#include "cpu.hpp"
#include "level_table.hpp"
#include "levels.hpp"
#include "linalg.hpp"
#include "memory.hpp"

namespace linalg {

LINALG_FOR_EACH_LEVEL(LINALG_DECLARE_LEVEL)

namespace {

struct Chosen {
    const char* name;
    const LevelTable* level;
    // The level for small problems: the one below where the chosen level says so.
    const LevelTable* small_problems;
};

// The highest level this build carries that the CPU runs, asked once. The baseline, the
// first level, always runs.
const Chosen& chosen() {
    static const Chosen best = [] {
        Chosen found = {nullptr, nullptr, nullptr};
#define LINALG_TRY_LEVEL(id)                                                              \
    if (cpu_runs_##id()) {                                                                \
        const LevelTable* below = found.level;                                            \
        const LevelTable* table = &kernels_##id::table;                                   \
        found = Chosen{#id, table, table->small_problems_below && below ? below : table}; \
    }
        LINALG_FOR_EACH_LEVEL(LINALG_TRY_LEVEL)
#undef LINALG_TRY_LEVEL
        return found;
    }();
    return best;
}

// Whether a large row-major argument is copied with stores that bypass the cache. On AMD's
// cores they let the copy of a 100000 x 50 C-order array run at the speed of a plain copy,
// where plain stores into its 50 column streams took twice as long (AMD EPYC Zen 4); on
// Intel's it is the other way round: with them that copy took 2.1-2.3 times a plain copy of
// the same bytes into fresh memory, with plain stores in cached tiles 1.0-1.1 times (Intel
// Xeon with AVX-512). The environment variable INV_STREAMED_COPIES, 1 or 0, overrides the
// choice; it is read at each such copy, a few megabytes' work, so that a test can set it.
bool streams_large_copies() {
    const char* setting = std::getenv("INV_STREAMED_COPIES");
    if (setting != nullptr && (std::strcmp(setting, "0") == 0 || std::strcmp(setting, "1") == 0)) {
        return setting[0] == '1';
    }
    static const bool by_maker = !cpu_made_by_intel();
    return by_maker;
}

// Whether `level` copies `source` with stores that bypass the cache.
bool bypasses_cache(const LevelTable& level, const MatrixView& source) {
    return source.rows * source.cols >= level.min_streamed_copy && streams_large_copies();
}

// Whether the CPU is Intel's, asked once: their caches differ from others' (level_table.hpp).
bool on_intel() {
    static const bool intel = cpu_made_by_intel();
    return intel;
}

// The depth of the blocks of `level`'s packed a^T a on this CPU.
std::ptrdiff_t normal_depth(const LevelTable& level) {
    return on_intel() ? level.normal_depth_block_on_intel : level.normal_depth_block;
}

// Least squares of up to this many entries of a (m n) count as small: their normal equations
// are formed by the level for small problems, and a^T b and the factorisation run at the
// baseline. Fused multiply-adds round a^T b and the factorisation differently, and on small
// ill-conditioned fits (NIST's Wampler2) that costs up to two of the digits that a build
// without them delivers; the baseline rounds as a plain build does, and there it costs
// microseconds.
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

const char* level() { return chosen().name; }

void copy_matrix(const MatrixView& source, double* target) {
    const LevelTable& level = *chosen().level;
    level.copy_matrix(source, target, bypasses_cache(level, source));
}

Eigen::MatrixXd inv(Eigen::MatrixXd a, const MatrixView* a_source) {
    // The factorisation takes rows == cols for granted and would read outside a
    // non-square matrix, so the shape is checked first.
    if (a.rows() != a.cols()) {
        throw std::invalid_argument("inv() needs a square matrix, got shape (" +
                                    std::to_string(a.rows()) + ", " + std::to_string(a.cols()) +
                                    ")");
    }
    const Chosen& best = chosen();
    const LevelTable* level =
        a.rows() <= best.level->max_tiny_inverse ? best.small_problems : best.level;
    level->invert(a.data(), a.rows(), a_source,
                  a_source != nullptr && bypasses_cache(*level, *a_source),
                  on_intel() ? level->max_cached_inverse_on_intel : level->max_cached_inverse);
    return a;
}

Eigen::VectorXd lstsq(Eigen::MatrixXd& a, Eigen::VectorXd& b, const MatrixView* a_source) {
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
    const Chosen& best = chosen();
    if (m * n <= max_small_least_squares_entries) {
        if (a_source != nullptr) {
            copy_matrix(*a_source, a.data());
        }
        const LevelTable& baseline = kernels_baseline::table;
        const LevelTable& small = *best.small_problems;
        small.normal_equations(a.data(), m, n, nullptr, normal_equations.data(),
                               normal_depth(small));
        baseline.right_side(a.data(), m, n, b.data(), right_side);
        baseline.ldlt_solve(n, normal_equations.data(), right_side, x.data());
    } else {
        const LevelTable& level = *best.level;
        if (a_source != nullptr) {
            level.copy_and_normal_equations(*a_source, bypasses_cache(level, *a_source), a.data(),
                                            b.data(), normal_equations.data(), normal_depth(level));
        } else {
            level.normal_equations(a.data(), m, n, b.data(), normal_equations.data(),
                                   normal_depth(level));
        }
        level.ldlt_solve(n, normal_equations.data(), right_side, x.data());
    }
    return x;
}

}  // namespace linalg
