// Times the steps of lstsq(a, b) one by one, with the kernels of the level the CPU runs: the
// argument copy (as the module makes it, for a C-order and an F-order source), a^T a and
// a^T b in their one pass, each alone, and the LDL^T solve; then the whole numerical call, the
// argument copy into fresh storage included, which it fills as it goes. The copy and the
// whole call are timed again with the copy's storage already touched: the difference is what
// fresh pages cost, which the kernel zeroes on first touch. Best of several runs, in ms,
// printed as one JSON object.
//     steps M N [RUNS]
#include <Eigen/Core>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "copy.hpp"
#include "cpu.hpp"
#include "level_table.hpp"
#include "levels.hpp"
#include "linalg.hpp"
#include "memory.hpp"

namespace linalg {
LINALG_FOR_EACH_LEVEL(LINALG_DECLARE_LEVEL)
}

namespace {

const linalg::LevelTable& chosen_level() {
    const char* name = linalg::level();
#define LINALG_MATCH_LEVEL(level)              \
    if (std::strcmp(name, #level) == 0) {      \
        return linalg::kernels_##level::table; \
    }
    LINALG_FOR_EACH_LEVEL(LINALG_MATCH_LEVEL)
#undef LINALG_MATCH_LEVEL
    return linalg::kernels_baseline::table;
}

double seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Best time of `runs` calls of step(), in milliseconds.
template <typename Step>
double best_of(int runs, Step step) {
    double best = 1e300;
    for (int r = 0; r < runs; ++r) {
        const double start = seconds();
        step();
        best = std::min(best, seconds() - start);
    }
    return best * 1e3;
}

// Fresh storage, advised as the module advises an argument copy; freed by the caller.
double* fresh(std::ptrdiff_t count) {
    auto* data = static_cast<double*>(std::malloc(sizeof(double) * static_cast<size_t>(count)));
    linalg::advise_huge_pages(data, count);
    return data;
}

// Reads one entry of a page of `data` and frees it: without a reader the compiler may drop
// the copy into storage that is freed unread.
volatile double sink;
void consume(double* data, std::ptrdiff_t count) {
    double sum = 0.0;
    for (std::ptrdiff_t i = 0; i < count; i += 512) {
        sum += data[i];
    }
    sink = sum;
    std::free(data);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s M N [RUNS]\n", argv[0]);
        return 2;
    }
    const std::ptrdiff_t m = std::atol(argv[1]);
    const std::ptrdiff_t n = std::atol(argv[2]);
    const int runs = argc > 3 ? std::atoi(argv[3]) : 10;
    std::mt19937_64 random(0);
    std::normal_distribution<double> normal;
    std::vector<double> rows(static_cast<size_t>(m * n));  // C order, as NumPy makes it
    Eigen::VectorXd b(m);
    for (double& value : rows) {
        value = normal(random);
    }
    for (Eigen::Index i = 0; i < m; ++i) {
        b(i) = normal(random);
    }
    const linalg::MatrixView c_order{rows.data(), m, n, n, 1};
    Eigen::MatrixXd columns(m, n);  // F order: the argument copy's layout
    linalg::copy_matrix(c_order, columns.data());
    const linalg::MatrixView f_order{columns.data(), m, n, 1, m};
    const double* a = columns.data();
    const linalg::LevelTable& kernels = chosen_level();
    // The depth the module takes for a^T a on this CPU.
    const std::ptrdiff_t normal_depth = linalg::cpu_made_by_intel()
                                            ? kernels.normal_depth_block_on_intel
                                            : kernels.normal_depth_block;
    std::vector<double> normal_equations(static_cast<size_t>(n * (n + 1)));
    std::vector<double> x(static_cast<size_t>(n));
    const auto zeroed = [&] { std::fill(normal_equations.begin(), normal_equations.end(), 0.0); };

    // The argument copy into fresh storage, as the module makes it.
    const auto copy = [&](const linalg::MatrixView& source) {
        double* target = fresh(m * n);
        linalg::copy_matrix(source, target);
        consume(target, m * n);
    };
    // The whole numerical call as the module makes it for a native float64 array: the
    // argument copy's storage fresh, filled by lstsq on its way through a.
    const auto whole_call = [&](const linalg::MatrixView& source) {
        Eigen::MatrixXd copy_of_a(m, n);
        linalg::advise_huge_pages(copy_of_a.data(), copy_of_a.size());
        sink = linalg::lstsq(copy_of_a, b, &source)(0);
    };
    const double copy_c = best_of(runs, [&] { copy(c_order); });
    const double copy_f = best_of(runs, [&] { copy(f_order); });
    const double both = best_of(runs, [&] {
        zeroed();
        kernels.normal_equations(a, m, n, b.data(), normal_equations.data(), normal_depth);
    });
    const double gram = best_of(runs, [&] {
        zeroed();
        kernels.normal_equations(a, m, n, nullptr, normal_equations.data(), normal_depth);
    });
    const double right = best_of(runs, [&] {
        zeroed();
        kernels.right_side(a, m, n, b.data(), normal_equations.data() + n * n);
    });
    zeroed();
    kernels.normal_equations(a, m, n, b.data(), normal_equations.data(), normal_depth);
    const std::vector<double> formed = normal_equations;
    const double solve = best_of(runs, [&] {
        normal_equations = formed;
        kernels.ldlt_solve(n, normal_equations.data(), formed.data() + n * n, x.data());
    });
    const double call_c = best_of(runs, [&] { whole_call(c_order); });
    const double call_f = best_of(runs, [&] { whole_call(f_order); });
    Eigen::MatrixXd touched(m, n);
    const auto copy_touched = [&](const linalg::MatrixView& source) {
        linalg::copy_matrix(source, touched.data());
        sink = touched(m - 1, n - 1);
    };
    const auto call_touched = [&](const linalg::MatrixView& source) {
        sink = linalg::lstsq(touched, b, &source)(0);
    };
    copy_touched(f_order);
    const double copy_c_touched = best_of(runs, [&] { copy_touched(c_order); });
    const double copy_f_touched = best_of(runs, [&] { copy_touched(f_order); });
    const double call_c_touched = best_of(runs, [&] { call_touched(c_order); });
    const double call_f_touched = best_of(runs, [&] { call_touched(f_order); });
    std::printf(
        "{\"level\": \"%s\", \"m\": %td, \"n\": %td, \"runs\": %d, \"milliseconds\": {"
        "\"copy, C order (transposing)\": %.4f, \"copy, F order\": %.4f, "
        "\"a^T a and a^T b, one pass\": %.4f, \"a^T a alone\": %.4f, \"a^T b alone\": %.4f, "
        "\"LDL^T solve\": %.4f, \"whole call, C order\": %.4f, \"whole call, F order\": %.4f, "
        "\"copy, C order, storage touched\": %.4f, \"copy, F order, storage touched\": %.4f, "
        "\"whole call, C order, storage touched\": %.4f, "
        "\"whole call, F order, storage touched\": %.4f}}\n",
        linalg::level(), m, n, runs, copy_c, copy_f, both, gram, right, solve, call_c, call_f,
        copy_c_touched, copy_f_touched, call_c_touched, call_f_touched);
    return 0;
}
