// The inverse through LU with partial pivoting, for one instruction-set level.
//
// Every size keeps the same rules. Column k's pivot is the first entry of largest magnitude
// at or below the diagonal in the column as updated so far (a later row replaces the choice
// only if strictly larger). A pivot that is exactly zero exchanges nothing and divides
// nothing, and elimination goes on. The inverse is X = U^-1 L^-1 P, and the back
// substitution lets every term take part (zero coefficients included) and multiplies by the
// reciprocal of U's diagonal entry, so zero pivots give the same infinities and NaNs.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "level.hpp"
#include "memory.hpp"
#include "tuning.hpp"

namespace linalg {
namespace LINALG_LEVEL_NAMESPACE {

namespace {

// The unblocked inverse, in place, for n <= max_unblocked_inverse.
void unblocked_inverse(double* a, Index n) {
    // The factors are kept row-major in w: row exchanges and every update below then run
    // along contiguous rows, which the compiler vectorises whole.
    constexpr Index width = max_unblocked_inverse;
    double w[max_unblocked_inverse * max_unblocked_inverse];
    int position_of[max_unblocked_inverse];  // final position of each row of a
    int row_at[max_unblocked_inverse];       // row of a now at each position
    for (Index i = 0; i < n; ++i) {
        for (Index j = 0; j < n; ++j) {
            w[i * width + j] = a[i + j * n];
        }
        row_at[i] = static_cast<int>(i);
    }
    for (Index k = 0; k < n; ++k) {
        Index pivot_row = k;
        double biggest = std::abs(w[k * width + k]);
        for (Index i = k + 1; i < n; ++i) {
            if (std::abs(w[i * width + k]) > biggest) {
                biggest = std::abs(w[i * width + k]);
                pivot_row = i;
            }
        }
        double* pivot_row_data = w + k * width;
        if (biggest != 0.0) {
            if (pivot_row != k) {
                double* other = w + pivot_row * width;
                for (Index j = 0; j < n; ++j) {
                    std::swap(pivot_row_data[j], other[j]);
                }
                std::swap(row_at[k], row_at[pivot_row]);
            }
            const double pivot = pivot_row_data[k];
            for (Index i = k + 1; i < n; ++i) {
                w[i * width + k] /= pivot;
            }
        }
        for (Index i = k + 1; i < n; ++i) {
            double* row = w + i * width;
            const double multiplier = row[k];
            for (Index j = k + 1; j < n; ++j) {
                row[j] -= multiplier * pivot_row_data[j];
            }
        }
    }
    for (Index k = 0; k < n; ++k) {
        position_of[row_at[k]] = static_cast<int>(k);
    }
    // X = U^-1 L^-1 P, formed row-major in a's storage (w holds all of a by now) and
    // transposed in place at the end. Row p of L^-1 P: P's columns are unit vectors, so row p
    // starts as the unit vector of the column whose row of a moved to p, less L's multipliers
    // times the rows above it.
    double* x = a;
    std::fill(x, x + n * n, 0.0);
    for (Index j = 0; j < n; ++j) {
        x[position_of[j] * n + j] = 1.0;
    }
    for (Index p = 1; p < n; ++p) {
        double* row = x + p * n;
        for (Index q = 0; q < p; ++q) {
            const double multiplier = w[p * width + q];
            const double* above = x + q * n;
            for (Index j = 0; j < n; ++j) {
                row[j] -= multiplier * above[j];
            }
        }
    }
    // Back substitution, every term taking part, then the reciprocal of the pivot.
    for (Index i = n - 1; i >= 0; --i) {
        double* row = x + i * n;
        for (Index q = i + 1; q < n; ++q) {
            const double coefficient = w[i * width + q];
            const double* below = x + q * n;
            for (Index j = 0; j < n; ++j) {
                row[j] -= coefficient * below[j];
            }
        }
        const double reciprocal = 1.0 / w[i * width + i];
        for (Index j = 0; j < n; ++j) {
            row[j] *= reciprocal;
        }
    }
    for (Index i = 0; i < n; ++i) {
        for (Index j = i + 1; j < n; ++j) {
            std::swap(x[i * n + j], x[j * n + i]);
        }
    }
}

// Exchanges rows k and pivots[k] of `block`, for k = 0 .. count-1 in turn (pivots relative to
// the block's first row): every exchange on a column while that column is in cache.
void exchange_rows(const Block& block, const Index* pivots, Index count) {
    for (Index j = 0; j < block.cols; ++j) {
        double* column = &block(0, j);
        for (Index k = 0; k < count; ++k) {
            const Index p = pivots[k];
            if (p != k) {
                std::swap(column[k], column[p]);
            }
        }
    }
}

// Position of the first entry of largest magnitude in x[0 .. n-1]: the entry that a scan
// from the top keeps, taking a later entry only if strictly larger in magnitude. So a NaN is
// never taken, unless it is x[0] (nothing compares larger than it). The largest magnitude is
// found a packet at a time, NaNs counting as zero, then its first position.
Index first_largest(const double* x, Index n) {
    using namespace Eigen::internal;
    if (std::isnan(x[0])) {
        return 0;
    }
    double largest = std::abs(x[0]);
    Index i = 1;
    if (n > 2 * packet_size) {
        Packet magnitudes = pset1<Packet>(largest);
        for (; i + packet_size <= n; i += packet_size) {
            const Packet v = ploadu<Packet>(x + i);
            magnitudes = pmax(magnitudes, pand(pabs(v), pcmp_eq(v, v)));
        }
        largest = predux_max(magnitudes);
    }
    for (; i < n; ++i) {
        largest = std::abs(x[i]) > largest ? std::abs(x[i]) : largest;
    }
    Index found = 0;
    while (std::abs(x[found]) != largest) {
        ++found;
    }
    return found;
}

// LU with partial pivoting of the panel (rows >= cols), in place, its row exchanges applied
// within the panel only; pivots[k] is the row exchanged with row k, relative to the panel.
void factorise_panel(const Block& panel, Index* pivots, ProductBuffers& buffers) {
    const Index m = panel.rows;
    const Index n = panel.cols;
    if (n <= lu_leaf) {
        for (Index k = 0; k < n; ++k) {
            double* column = &panel(0, k);
            Index pivot_row = k + first_largest(column + k, m - k);
            const double pivot = column[pivot_row];
            if (pivot == 0.0) {
                pivot_row = k;  // nothing to exchange, nothing to divide
            } else {
                if (pivot_row != k) {
                    for (Index j = 0; j < n; ++j) {
                        std::swap(panel(k, j), panel(pivot_row, j));
                    }
                }
                for (Index i = k + 1; i < m; ++i) {
                    column[i] /= pivot;
                }
            }
            pivots[k] = pivot_row;
            for (Index j = k + 1; j < n; ++j) {
                double* target = &panel(0, j);
                const double factor = target[k];
                for (Index i = k + 1; i < m; ++i) {
                    target[i] -= column[i] * factor;
                }
            }
        }
        return;
    }
    const Index left = n / 2;
    const Index right = n - left;
    factorise_panel(panel.left(left), pivots, buffers);
    exchange_rows(panel.right(right), pivots, left);
    solve_unit_lower(panel.block(0, 0, left, left), panel.block(0, left, left, right), buffers);
    multiply_add(-1.0, panel.block(left, 0, m - left, left), panel.block(0, left, left, right),
                 panel.block(left, left, m - left, right), buffers);
    factorise_panel(panel.block(left, left, m - left, right), pivots + left, buffers);
    exchange_rows(panel.block(left, 0, m - left, left), pivots + left, right);
    for (Index k = left; k < n; ++k) {
        pivots[k] += left;
    }
}

}  // namespace

// LU with partial pivoting of the square `a`, in place: right-looking, a panel of lu_panel
// columns at a time.
void factorise(const Block& a, Index* pivots, ProductBuffers& buffers) {
    const Index n = a.rows;
    for (Index k0 = 0; k0 < n; k0 += lu_panel) {
        const Index width = std::min(lu_panel, n - k0);
        const Index below = n - k0;
        const Index rest = n - k0 - width;
        factorise_panel(a.block(k0, k0, below, width), pivots + k0, buffers);
        exchange_rows(a.block(k0, 0, below, k0), pivots + k0, width);
        if (rest > 0) {
            const Block trailing = a.block(k0, k0 + width, below, rest);
            exchange_rows(trailing, pivots + k0, width);
            solve_unit_lower(a.block(k0, k0, width, width), trailing.top(width), buffers);
            multiply_add(-1.0, a.block(k0 + width, k0, rest, width), trailing.top(width),
                         trailing.bottom(rest), buffers);
        }
        for (Index k = k0; k < k0 + width; ++k) {
            pivots[k] += k0;
        }
    }
}

// Replaces the unit lower triangle L stored below the diagonal of `a` by that of L^-1, in
// place, by halving: [L11 0; L21 L22]^-1 = [X11 0; -X22 L21 X11  X22].
void invert_unit_lower(const Block& a, ProductBuffers& buffers) {
    const Index n = a.rows;
    if (n <= max_direct_lower_inverse) {
        // Column j of L^-1, from the last column back: -X22 times L's column j below the
        // diagonal, X22 being the columns already inverted.
        for (Index j = n - 2; j >= 0; --j) {
            double* column = &a(0, j);
            for (Index k = n - 1; k > j; --k) {
                // column[k] is still L's entry: the columns before k, which would change
                // it, come later.
                const double x = column[k];
                const double* inverse_column = &a(0, k);
                for (Index i = k + 1; i < n; ++i) {
                    column[i] += inverse_column[i] * x;
                }
            }
            for (Index i = j + 1; i < n; ++i) {
                column[i] = -column[i];
            }
        }
        return;
    }
    const Index top = n / 2;
    const Index bottom = n - top;
    invert_unit_lower(a.block(0, 0, top, top), buffers);
    invert_unit_lower(a.block(top, top, bottom, bottom), buffers);
    const Block lower_left = a.block(top, 0, bottom, top);
    multiply_unit_lower_right(lower_left, a.block(0, 0, top, top), buffers);
    multiply_unit_lower_left(-1.0, a.block(top, top, bottom, bottom), lower_left, buffers);
}

// X = U^-1 L^-1 P from the factors in `a` (L^-1 already below the diagonal), in place. Row
// blocks from the bottom up: a block's rows of L^-1 and of U move to `saved`, its rows of X
// are formed from them and the rows of X below, and overwrite them. Then the columns are
// exchanged as P orders them.
void invert_from_factors(const Block& a, const Index* pivots, ProductBuffers& buffers) {
    const Index n = a.rows;
    const Index height_limit = solve_rows(n);
    Eigen::MatrixXd saved_storage(std::min(n, height_limit), n);
    advise_huge_pages(saved_storage.data(), saved_storage.size());
    for (Index r1 = n; r1 > 0;) {
        const Index r0 = std::max<Index>(0, r1 - height_limit);
        const Index height = r1 - r0;
        const Block saved{saved_storage.data(), height, n, saved_storage.rows()};
        const Block rows = a.block(r0, 0, height, n);
        for (Index j = 0; j < n; ++j) {
            std::memcpy(&saved(0, j), &rows(0, j), sizeof(double) * static_cast<size_t>(height));
        }
        // The block's rows of L^-1: below the diagonal as saved, one on it, zero above.
        for (Index j = r0; j < n; ++j) {
            for (Index i = 0; i < height; ++i) {
                const Index row = r0 + i;
                rows(i, j) = row == j ? 1.0 : row < j ? 0.0 : saved(i, j);
            }
        }
        multiply_add(-1.0, saved.block(0, r1, height, n - r1), a.block(r1, 0, n - r1, n), rows,
                     buffers);
        for (Index j0 = 0; j0 < n; j0 += solve_columns) {
            solve_upper(saved.block(0, r0, height, height),
                        rows.block(0, j0, height, std::min(solve_columns, n - j0)), buffers);
        }
        r1 = r0;
    }
    for (Index k = n - 1; k >= 0; --k) {
        if (pivots[k] != k) {
            std::swap_ranges(&a(0, k), &a(0, k) + n, &a(0, pivots[k]));
        }
    }
}

void invert(double* a, Index n) {
    if (n <= max_unblocked_inverse) {
        unblocked_inverse(a, n);
        return;
    }
    const Block x{a, n, n, n};
    Eigen::Matrix<Index, Eigen::Dynamic, 1> pivots(n);
    // The tallest left operand of the products below: the trailing matrix of the LU's first
    // panel, or the lower half of L^-1 (the buffers grow should a product need more).
    ProductBuffers buffers(std::max(n - lu_panel, n - n / 2), n, n);
    factorise(x, pivots.data(), buffers);
    invert_unit_lower(x, buffers);
    invert_from_factors(x, pivots.data(), buffers);
}

}  // namespace LINALG_LEVEL_NAMESPACE
}  // namespace linalg
