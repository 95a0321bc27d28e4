#include "linalg.hpp"

#include <algorithm>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>

#include "kernels.hpp"
#include "memory.hpp"

namespace linalg {

namespace {

// Which copy of the kernels runs. A build can pin one copy so that the tests exercise it
// whatever the CPU offers; otherwise the CPU's features decide, on every call (the check
// reads a table that the runtime fills at load time).
struct Kernels {
    decltype(&linalg_inverse_baseline) inverse;
    decltype(&linalg_gram_rows_baseline) gram_rows;
    decltype(&linalg_right_side_rows_baseline) right_side_rows;
    decltype(&linalg_ldlt_solve_baseline) ldlt_solve;
};

#define LINALG_KERNELS(level)                                                             \
    Kernels {                                                                             \
        linalg_inverse_##level, linalg_gram_rows_##level, linalg_right_side_rows_##level, \
            linalg_ldlt_solve_##level                                                     \
    }

const Kernels baseline_kernels = LINALG_KERNELS(baseline);
const Kernels x86_64_v3_kernels = LINALG_KERNELS(x86_64_v3);
const Kernels x86_64_v4_kernels = LINALG_KERNELS(x86_64_v4);

const Kernels& kernels() {
#if defined(LINALG_FORCE_BASELINE)
    return baseline_kernels;
#elif defined(LINALG_FORCE_X86_64_V3)
    return x86_64_v3_kernels;
#elif defined(LINALG_FORCE_X86_64_V4)
    return x86_64_v4_kernels;
#else
    __builtin_cpu_init();
    if (__builtin_cpu_supports("x86-64-v4")) {
        return x86_64_v4_kernels;
    }
    if (__builtin_cpu_supports("x86-64-v3")) {
        return x86_64_v3_kernels;
    }
    return baseline_kernels;
#endif
}

// A buffer for n x n doubles with no elements filled in yet. Its size is checked before any
// other storage of the call is taken, as Eigen checks a product's size before forming it.
Eigen::MatrixXd square_buffer(Eigen::Index n, Eigen::Index stride) {
    if (n != 0 && stride > std::numeric_limits<Eigen::Index>::max() / n) {
        throw std::bad_alloc();
    }
    Eigen::MatrixXd buffer(stride, n);
    advise_huge_pages(buffer.data(), buffer.size());
    return buffer;
}

Eigen::MatrixXd square_buffer(Eigen::Index n) { return square_buffer(n, n); }

// Columns a multiple of 512 bytes apart map onto the same few cache sets, and the
// factorisation, which walks along rows, then keeps evicting its own data (at n = 1024 it
// runs a third slower). One cache line of padding per column breaks the pattern.
Eigen::Index factor_stride(Eigen::Index n) { return n % 64 == 0 && n != 0 ? n + 8 : n; }

}  // namespace

Eigen::MatrixXd inv(Eigen::MatrixXd& a) {
    // The factorisation takes rows == cols for granted and would read outside a
    // non-square matrix, so the shape is checked first.
    if (a.rows() != a.cols()) {
        throw std::invalid_argument("inv() needs a square matrix, got shape (" +
                                    std::to_string(a.rows()) + ", " + std::to_string(a.cols()) +
                                    ")");
    }
    const Eigen::Index n = a.rows();
    Eigen::MatrixXd inverse = square_buffer(n);
    const Eigen::Index stride = factor_stride(n);
    Eigen::MatrixXd factors = square_buffer(n, stride);
    kernels().inverse(a.data(), n, factors.data(), stride, inverse.data());
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
    Eigen::MatrixXd normal_matrix = square_buffer(n);
    Eigen::VectorXd right_side = Eigen::VectorXd::Zero(n);
    Eigen::VectorXd x(n);
    const Kernels& chosen = kernels();
    // Fused multiply-adds round a^T b and the factorisation differently, and on
    // ill-conditioned fits (NIST's Wampler2) that cost up to two of the digits that a build
    // without them delivers. Below this size both are cheap next to forming a^T a, so they
    // run in the baseline copy, whose rounding is that of a plain build.
    constexpr Eigen::Index small_factorisation = 128;
    const Kernels& careful = n <= small_factorisation ? baseline_kernels : chosen;
    // a^T a and a^T b are formed a panel of rows at a time: Eigen's rank-k update runs about a
    // quarter faster on a few hundred rows than on all of them at once, and a^T b then reads
    // each panel while it is still in cache instead of streaming all of a once more.
    constexpr Eigen::Index panel = 192;
    normal_matrix.setZero();
    for (Eigen::Index r0 = 0; n > 0 && r0 < m; r0 += panel) {
        const Eigen::Index rows = std::min(panel, m - r0);
        chosen.gram_rows(a.data() + r0, m, rows, n, normal_matrix.data());
        careful.right_side_rows(a.data() + r0, m, rows, n, b.data() + r0, right_side.data());
    }
    careful.ldlt_solve(n, normal_matrix.data(), right_side.data(), x.data());
    return x;
}

}  // namespace linalg
