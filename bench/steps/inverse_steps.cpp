// Times the steps of inv(a) one by one: the copy into the result's storage, the LU, L^-1 and
// the back substitution with the column exchanges; beside them, where MKL was found at
// configure time, its dgetrf and dgetri on the same matrix (sequential, in place). Best of
// several runs, in ms, printed as one JSON object. This program carries its own copy of the
// level's code, built with STEPS_FLAGS (see CMakeLists.txt), so that it can call each step.
//     inverse_steps N [RUNS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "level.hpp"
#include "memory.hpp"

#if defined(STEPS_WITH_MKL)
extern "C" {
void dgetrf_(const int*, const int*, double*, const int*, int*, int*);
void dgetri_(const int*, double*, const int*, const int*, double*, const int*, int*);
int MKL_Set_Threading_Layer(int);
int MKL_Set_Interface_Layer(int);
}
#endif

namespace {

using namespace linalg::LINALG_LEVEL_NAMESPACE;

double seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s N [RUNS]\n", argv[0]);
        return 2;
    }
    const int n = std::atoi(argv[1]);
    const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    const auto count = static_cast<size_t>(n) * static_cast<size_t>(n);
    std::mt19937_64 random(0);
    std::normal_distribution<double> normal;
    std::vector<double> a(count);
    for (int j = 0; j < n; ++j) {
        for (int i = 0; i < n; ++i) {
            a[static_cast<size_t>(i) + static_cast<size_t>(j) * static_cast<size_t>(n)] =
                normal(random) + (i == j ? 0.1 * n : 0.0);
        }
    }
    std::vector<double> x(count);
    std::vector<Index> pivots(static_cast<size_t>(n));
    double best[4] = {1e300, 1e300, 1e300, 1e300};
    for (int r = 0; r < runs; ++r) {
        ProductBuffers buffers(n, n, n);
        const Block block{x.data(), n, n, n};
        const double t0 = seconds();
        std::memcpy(x.data(), a.data(), sizeof(double) * count);
        const double t1 = seconds();
        factorise(block, pivots.data(), buffers);
        const double t2 = seconds();
        invert_unit_lower(block, buffers);
        const double t3 = seconds();
        invert_from_factors(block, pivots.data(), buffers);
        const double t4 = seconds();
        const double times[4] = {t1 - t0, t2 - t1, t3 - t2, t4 - t3};
        for (int k = 0; k < 4; ++k) {
            best[k] = std::min(best[k], times[k]);
        }
    }
    std::printf(
        "{\"n\": %d, \"runs\": %d, \"milliseconds\": {\"copy\": %.4f, \"LU\": %.4f, "
        "\"L^-1\": %.4f, \"back substitution\": %.4f",
        n, runs, best[0] * 1e3, best[1] * 1e3, best[2] * 1e3, best[3] * 1e3);
#if defined(STEPS_WITH_MKL)
    MKL_Set_Interface_Layer(0);  // LP64
    MKL_Set_Threading_Layer(1);  // sequential
    std::vector<int> ipiv(static_cast<size_t>(n));
    int info = 0;
    int work_size = -1;
    double query = 0.0;
    dgetri_(&n, x.data(), &n, ipiv.data(), &query, &work_size, &info);
    work_size = static_cast<int>(query);
    std::vector<double> work(static_cast<size_t>(work_size));
    double getrf = 1e300, getri = 1e300;
    for (int r = 0; r < runs; ++r) {
        std::memcpy(x.data(), a.data(), sizeof(double) * count);
        const double t0 = seconds();
        dgetrf_(&n, &n, x.data(), &n, ipiv.data(), &info);
        const double t1 = seconds();
        dgetri_(&n, x.data(), &n, ipiv.data(), work.data(), &work_size, &info);
        const double t2 = seconds();
        getrf = std::min(getrf, t1 - t0);
        getri = std::min(getri, t2 - t1);
    }
    std::printf(", \"MKL dgetrf\": %.4f, \"MKL dgetri\": %.4f", getrf * 1e3, getri * 1e3);
#endif
    std::printf("}}\n");
    return 0;
}
