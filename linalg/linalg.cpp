#include "linalg.hpp"

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
enum class Level { baseline, x86_64_v3, x86_64_v4 };

Level level() {
#if defined(LINALG_FORCE_BASELINE)
    return Level::baseline;
#elif defined(LINALG_FORCE_X86_64_V3)
    return Level::x86_64_v3;
#elif defined(LINALG_FORCE_X86_64_V4)
    return Level::x86_64_v4;
#else
    __builtin_cpu_init();
    if (__builtin_cpu_supports("x86-64-v4")) {
        return Level::x86_64_v4;
    }
    if (__builtin_cpu_supports("x86-64-v3")) {
        return Level::x86_64_v3;
    }
    return Level::baseline;
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
    switch (level()) {
        case Level::x86_64_v4:
            linalg_inverse_x86_64_v4(a.data(), n, factors.data(), stride, inverse.data());
            break;
        case Level::x86_64_v3:
            linalg_inverse_x86_64_v3(a.data(), n, factors.data(), stride, inverse.data());
            break;
        case Level::baseline:
            linalg_inverse_baseline(a.data(), n, factors.data(), stride, inverse.data());
            break;
    }
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
    Eigen::VectorXd x(n);
    const Level chosen = level();
    switch (chosen) {
        case Level::x86_64_v4:
            linalg_gram_x86_64_v4(a.data(), m, n, normal_matrix.data());
            break;
        case Level::x86_64_v3:
            linalg_gram_x86_64_v3(a.data(), m, n, normal_matrix.data());
            break;
        case Level::baseline:
            linalg_gram_baseline(a.data(), m, n, normal_matrix.data());
            break;
    }
    // Fused multiply-adds round a^T b and the factorisation differently, and on
    // ill-conditioned fits (NIST's Wampler2) that cost up to two of the digits that a build
    // without them delivers. Below this size both are cheap next to forming a^T a, so they
    // run in the baseline copy, whose rounding is that of a plain build.
    constexpr Eigen::Index small_factorisation = 128;
    if (n <= small_factorisation || chosen == Level::baseline) {
        linalg_ldlt_solve_baseline(a.data(), m, n, b.data(), normal_matrix.data(), x.data());
    } else if (chosen == Level::x86_64_v4) {
        linalg_ldlt_solve_x86_64_v4(a.data(), m, n, b.data(), normal_matrix.data(), x.data());
    } else {
        linalg_ldlt_solve_x86_64_v3(a.data(), m, n, b.data(), normal_matrix.data(), x.data());
    }
    return x;
}

}  // namespace linalg
