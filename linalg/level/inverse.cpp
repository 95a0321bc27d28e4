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
#include "tiles.hpp"
#include "tiny_inverse.hpp"
#include "tuning.hpp"

namespace linalg {
namespace LINALG_LEVEL_NAMESPACE {

namespace {

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

// The search for the first entry of largest magnitude in a column: the entry that a scan from
// the top keeps, taking a later entry only if strictly larger in magnitude. So a NaN is never
// taken, unless it is the first entry (nothing compares larger than it). The entries come a
// packet at a time as they are computed, from the top, then one at a time; NaNs count as
// zero. Each lane keeps the first of its entries of largest magnitude and where it is (a
// position held exactly as a double); of the lanes that hold the largest magnitude, the one
// with the first position has the entry, unless an entry after the packets is larger.
class FirstLargest {
   public:
    void add(const Packet& values, Index first_position) {
        using namespace Eigen::internal;
        const Packet magnitudes = pand(pabs(values), pcmp_eq(values, values));
        const Packet larger = pcmp_lt(lane_largest_, magnitudes);
        lane_largest_ = pselect(larger, magnitudes, lane_largest_);
        lane_found_ =
            pselect(larger, plset<Packet>(static_cast<double>(first_position)), lane_found_);
        any_packet_ = true;
    }
    // Position of the entry in x[first .. m-1], x[first] being the first entry and the
    // packets added covering x[first .. rest-1].
    Index found(const double* x, Index first, Index rest, Index m) const {
        using namespace Eigen::internal;
        if (std::isnan(x[first])) {
            return first;
        }
        double largest = std::abs(x[first]);
        Index position = first;
        if (any_packet_) {
            largest = predux_max(lane_largest_);
            const Packet holds_largest = pcmp_eq(lane_largest_, pset1<Packet>(largest));
            position = static_cast<Index>(predux_min(
                pselect(holds_largest, lane_found_, pset1<Packet>(static_cast<double>(m)))));
        }
        for (Index i = std::max(rest, first + 1); i < m; ++i) {
            if (std::abs(x[i]) > largest) {
                largest = std::abs(x[i]);
                position = i;
            }
        }
        return position;
    }

   private:
    Packet lane_largest_ = Eigen::internal::pset1<Packet>(-1.0);  // below every magnitude
    Packet lane_found_ = Eigen::internal::pset1<Packet>(0.0);
    bool any_packet_ = false;
};

// Whether x[0 .. count-1] are all finite: a finite value times zero is zero, an infinity or a
// NaN times zero is a NaN, and so is every sum with a NaN in it. Four sums, so that the
// additions do not wait on each other.
bool all_finite(const double* x, Index count) {
    using namespace Eigen::internal;
    const Packet zero = pset1<Packet>(0.0);
    Packet sums[4] = {zero, zero, zero, zero};
    Index i = 0;
    for (; i + 4 * packet_size <= count; i += 4 * packet_size) {
        for (int r = 0; r < 4; ++r) {
            sums[r] = padd(sums[r], pmul(ploadu<Packet>(x + i + r * packet_size), zero));
        }
    }
    for (; i + packet_size <= count; i += packet_size) {
        sums[0] = padd(sums[0], pmul(ploadu<Packet>(x + i), zero));
    }
    double sum = predux(padd(padd(sums[0], sums[1]), padd(sums[2], sums[3])));
    for (; i < count; ++i) {
        sum += x[i] * 0.0;
    }
    return sum == 0.0;
}

// Writes the rows x cols matrix M, row-major at `source` (rows `source_stride` apart), into
// column-major storage: M(r, c) to column(c)[r]. Squares of a packet go through transposes.
template <typename Column>
void transpose_into(const double* source, Index source_stride, Index rows, Index cols,
                    Column column) {
    using namespace Eigen::internal;
    Index r0 = 0;
    for (; r0 + packet_size <= rows; r0 += packet_size) {
        Index c0 = 0;
        for (; c0 + packet_size <= cols; c0 += packet_size) {
            PacketBlock<Packet, packet_size> block;
            for (int i = 0; i < packet_size; ++i) {
                block.packet[i] = ploadu<Packet>(source + (r0 + i) * source_stride + c0);
            }
            ptranspose(block);
            for (int i = 0; i < packet_size; ++i) {
                pstoreu(column(c0 + i) + r0, block.packet[i]);
            }
        }
        for (; c0 < cols; ++c0) {
            for (Index i = r0; i < r0 + packet_size; ++i) {
                column(c0)[i] = source[i * source_stride + c0];
            }
        }
    }
    for (; r0 < rows; ++r0) {
        for (Index c = 0; c < cols; ++c) {
            column(c)[r0] = source[r0 * source_stride + c];
        }
    }
}

// Writes the n x n matrix `source` row by row, row i to row(i)[0 .. n-1].
template <typename Row>
void copy_rows_from(const MatrixView& source, Index n, Row row) {
    if (source.column_step == 1) {
        for (Index i = 0; i < n; ++i) {
            std::memcpy(row(i), source.data + i * source.row_step,
                        sizeof(double) * static_cast<size_t>(n));
        }
    } else if (source.row_step == 1) {
        transpose_into(source.data, source.column_step, n, n, row);
    } else {
        for (Index i = 0; i < n; ++i) {
            for (Index j = 0; j < n; ++j) {
                row(i)[j] = source.data[i * source.row_step + j * source.column_step];
            }
        }
    }
}

// LU with partial pivoting of the panel (rows >= cols), unblocked, in place, its row exchanges
// applied within the panel; pivots[k] is the row exchanged with row k. Left-looking: column k
// takes the updates of the steps before it only once it is reached, in their order, a block
// of rows held in registers meanwhile, so each update reads one multiplier and the column's
// rows are read and written once per step instead of once per update. Each column's
// multipliers are divided by its pivot as the next column reaches their rows, so the divisions
// overlap that column's updates instead of running alone.
void factorise_columns(const Block& panel, Index* pivots) {
    using namespace Eigen::internal;
    const Index m = panel.rows;
    const Index n = panel.cols;
    constexpr Index block_rows = 4 * packet_size;
    double* undivided = nullptr;  // the column before, its rows from k on still to divide
    double divisor = 1.0;
    const auto divide = [&](Index row, Index count) {
        if (undivided != nullptr) {
            for (Index r = row; r < row + count; r += packet_size) {
                pstoreu(undivided + r, pdiv(ploadu<Packet>(undivided + r), pset1<Packet>(divisor)));
            }
        }
    };
    for (Index k = 0; k < n; ++k) {
        double* column = &panel(0, k);
        for (Index q = 0; q < k; ++q) {  // U's column k, from the top
            for (Index i = q + 1; i < k; ++i) {
                column[i] -= panel(i, q) * column[q];
            }
        }
        FirstLargest search;
        Index i = k;
        for (; i + block_rows <= m; i += block_rows) {
            divide(i, block_rows);
            Packet rows[4];
            for (int r = 0; r < 4; ++r) {
                rows[r] = ploadu<Packet>(column + i + r * packet_size);
            }
            for (Index q = 0; q < k; ++q) {
                const Packet factor = pset1<Packet>(-column[q]);
                for (int r = 0; r < 4; ++r) {
                    rows[r] =
                        pmadd(factor, ploadu<Packet>(&panel(i + r * packet_size, q)), rows[r]);
                }
            }
            for (int r = 0; r < 4; ++r) {
                pstoreu(column + i + r * packet_size, rows[r]);
                search.add(rows[r], i + r * packet_size);
            }
        }
        for (; i + packet_size <= m; i += packet_size) {
            divide(i, packet_size);
            Packet rows = ploadu<Packet>(column + i);
            for (Index q = 0; q < k; ++q) {
                rows = pmadd(pset1<Packet>(-column[q]), ploadu<Packet>(&panel(i, q)), rows);
            }
            pstoreu(column + i, rows);
            search.add(rows, i);
        }
        const Index rest = i;
        for (; i < m; ++i) {
            if (undivided != nullptr) {
                undivided[i] /= divisor;
            }
            for (Index q = 0; q < k; ++q) {
                column[i] -= panel(i, q) * column[q];
            }
        }
        Index pivot_row = search.found(column, k, rest, m);
        const double pivot = column[pivot_row];
        if (pivot == 0.0) {
            pivot_row = k;  // nothing to exchange, nothing to divide
        } else if (pivot_row != k) {
            for (Index j = 0; j < n; ++j) {
                std::swap(panel(k, j), panel(pivot_row, j));
            }
        }
        undivided = pivot == 0.0 ? nullptr : column;
        divisor = pivot;
        pivots[k] = pivot_row;
    }
    if (undivided != nullptr) {
        for (Index r = n; r < m; ++r) {
            undivided[r] /= divisor;
        }
    }
}

// C -= S T, all three row-major: S(r, t) at s[r * s_stride + t] for the rows r < rows of C and
// t < depth, T(t, j) at t[t * t_stride + j] and C(r, j) at c[r * c_stride + j] for j < width, a
// multiple of the packet size; T's rows start on a packet. The product's register tiles run
// on C transposed, column-major: tile_cols rows of C by tile_rows columns at a time.
void subtract_product(Index rows, Index width, Index depth, const double* s, Index s_stride,
                      const double* t, Index t_stride, double* c, Index c_stride) {
    for (Index r0 = 0; r0 < rows; r0 += tile_cols) {
        const Index height = std::min<Index>(tile_cols, rows - r0);
        for (Index j0 = 0; j0 < width; j0 += tile_rows) {
            const Index packets = std::min<Index>(tile_packets, (width - j0) / packet_size);
            with_cols<tile_packets>(packets, [&](auto p) LINALG_INLINE_LAMBDA {
                with_cols(height, [&](auto r) LINALG_INLINE_LAMBDA {
                    add_tile<p, r>(depth, t + j0, t_stride, s + r0 * s_stride, 1, -1.0,
                                   c + r0 * c_stride + j0, c_stride, s_stride);
                });
            });
        }
    }
}

// The triangle of a block of Height rows (row i at rows + i * ld), in the packets of columns
// from .. to-1, with coefficients factors[i * ld + q]. Forward, row by row from the top, each
// row less the coefficients times the rows before it (a unit lower triangle); backward, from
// the bottom, each row less the coefficients times the rows after it, then times 1 / its
// diagonal coefficient. Each packet of the rows stays in registers while the triangle runs
// over it, instead of every update reading and writing a row; each entry takes the same
// operations in the same order as row after row would give it.
template <int Height, bool Backward>
EIGEN_ALWAYS_INLINE void solve_block_rows(double* rows, Index ld, const double* factors, Index from,
                                          Index to) {
    using namespace Eigen::internal;
    double negated[Height][Height];
    double reciprocals[Height];
    for (int i = 0; i < Height; ++i) {
        for (int q = 0; q < Height; ++q) {
            negated[i][q] = -factors[i * ld + q];
        }
        reciprocals[i] = Backward ? 1.0 / factors[i * ld + i] : 1.0;
    }
    for (Index c = from; c < to; c += packet_size) {
        Packet row[Height];
        for (int i = 0; i < Height; ++i) {
            row[i] = pload<Packet>(rows + i * ld + c);
        }
        if (Backward) {
            for (int i = Height - 1; i >= 0; --i) {
                for (int j = i + 1; j < Height; ++j) {
                    row[i] = pmadd(pset1<Packet>(negated[i][j]), row[j], row[i]);
                }
                row[i] = pmul(row[i], pset1<Packet>(reciprocals[i]));
            }
        } else {
            for (int i = 1; i < Height; ++i) {
                for (int q = 0; q < i; ++q) {
                    row[i] = pmadd(pset1<Packet>(negated[i][q]), row[q], row[i]);
                }
            }
        }
        for (int i = 0; i < Height; ++i) {
            pstore(rows + i * ld + c, row[i]);
        }
    }
}

template <bool Backward>
void solve_block_rows(Index height, double* rows, Index ld, const double* factors, Index from,
                      Index to) {
    with_cols<lu_leaf>(height, [&](auto h) LINALG_INLINE_LAMBDA {
        solve_block_rows<h, Backward>(rows, ld, factors, from, to);
    });
}

// The inverse of the n x n matrix `source` into the column-major `a`, for n <=
// largest_cached_inverse (source may be a itself). The factors, then the inverse, are kept
// row-major in cache, each row padded to whole packets (ld doubles): a row exchange and every
// update run along whole packets of rows, and the updates of several rows by several steps
// run as the product's register tiles, on their operands where they are. `w` (the copy of
// a, then L and U) and `x` (a panel of the LU, then L^-1, then U^-1 L^-1) hold n rows of ld
// doubles each and start on a packet; row_at (the row of a now at each position) holds n
// entries.
void cached_inverse(const MatrixView& source, double* a, Index n, double* w, double* x,
                    int* row_at) {
    const Index ld = round_up(n, packet_size);
    const auto in = [ld](double* matrix, Index i) { return matrix + i * ld; };
    copy_rows_from(source, n, [&](Index i) { return in(w, i); });
    for (Index i = 0; i < n; ++i) {
        std::fill(in(w, i) + n, in(w, i) + ld, 0.0);
        row_at[i] = static_cast<int>(i);
    }

    // Rows k0 .. k0+width-1 of U in the `reach` columns from `from` (a multiple of the packet
    // size): the panel's unit lower triangle solved on them.
    const auto solve_panel_rows = [&](Index k0, Index width, Index from, Index reach) {
        solve_block_rows<false>(width, in(w, k0), ld, in(w, k0) + k0, from, from + reach);
    };

    // P a = L U, a group of lu_group columns at a time, a panel of lu_leaf columns of it at a
    // time: the panel factorised column-major in x, where its columns are contiguous, then the
    // group's columns right of it updated (its rows solved, the rows below it less the product
    // by the register tiles). The columns right of the group take the group's updates at once,
    // a product lu_group deep.
    bool finite_factors = true;
    for (Index g0 = 0; g0 < n; g0 += lu_group) {
        const Index g1 = std::min(g0 + lu_group, n);
        const Index group_end = g1 < n ? g1 : ld;  // a multiple of the packet size
        for (Index k0 = g0; k0 < g1; k0 += lu_leaf) {
            const Index width = std::min(lu_leaf, n - k0);
            const Index m = n - k0;
            transpose_into(in(w, k0) + k0, ld, m, width, [&](Index c) { return x + c * m; });
            Index pivots[lu_leaf];
            factorise_columns(Block{x, m, width, m}, pivots);
            finite_factors = finite_factors && all_finite(x, m * width);
            for (Index k = 0; k < width; ++k) {
                if (pivots[k] != k) {
                    std::swap_ranges(in(w, k0 + k), in(w, k0 + k) + ld, in(w, k0 + pivots[k]));
                    std::swap(row_at[k0 + k], row_at[k0 + pivots[k]]);
                }
            }
            transpose_into(x, m, width, m, [&](Index r) { return in(w, k0 + r) + k0; });
            const Index right = k0 + width;  // a multiple of the packet size, or n
            if (right < n && right < group_end) {
                solve_panel_rows(k0, width, right, group_end - right);
                subtract_product(n - right, group_end - right, width, in(w, right) + k0, ld,
                                 in(w, k0) + right, ld, in(w, right) + right, ld);
            }
        }
        if (g1 < n) {
            // The group's rows of U right of it, a panel's rows at a time from the top, then
            // the rows below less the product of the group's L and those rows.
            for (Index k0 = g0; k0 < g1; k0 += lu_leaf) {
                if (k0 > g0) {
                    subtract_product(lu_leaf, ld - g1, k0 - g0, in(w, k0) + g0, ld, in(w, g0) + g1,
                                     ld, in(w, k0) + g1, ld);
                }
                solve_panel_rows(k0, lu_leaf, g1, ld - g1);
            }
            subtract_product(n - g1, ld - g1, g1 - g0, in(w, g1) + g0, ld, in(w, g0) + g1, ld,
                             in(w, g1) + g1, ld);
        }
    }

    // L^-1, a block of lu_leaf rows at a time from the top: each row starts as a row of the
    // identity, less L's multipliers times the rows above. Row q of L^-1 is zero right of its
    // diagonal, so a column that no row above reaches is passed over, which changes nothing
    // while every multiplier is finite (a zero times a finite multiplier is zero). Otherwise
    // every term takes part, as in the forward substitution on the identity; so it does when
    // any factor is not finite (the panels are checked whole, U's entries with L's).
    for (Index p0 = 0; p0 < n; p0 += lu_leaf) {
        const Index rows = std::min(lu_leaf, n - p0);
        for (Index r = p0; r < p0 + rows; ++r) {
            std::fill(in(x, r), in(x, r) + ld, 0.0);
            in(x, r)[r] = 1.0;
        }
        if (finite_factors) {
            for (Index j0 = 0; j0 < p0; j0 += tile_rows) {
                subtract_product(rows, std::min<Index>(tile_rows, round_up(p0, packet_size) - j0),
                                 p0 - j0, in(w, p0) + j0, ld, in(x, j0) + j0, ld, in(x, p0) + j0,
                                 ld);
            }
        } else if (p0 > 0) {
            subtract_product(rows, ld, p0, in(w, p0), ld, x, ld, in(x, p0), ld);
        }
        // Columns no row of the block reaches are passed over as above.
        solve_block_rows<false>(rows, in(x, p0), ld, in(w, p0) + p0, 0,
                                finite_factors ? round_up(p0 + rows - 1, packet_size) : ld);
    }

    // X = U^-1 L^-1 in place of L^-1, a block of rows at a time from the bottom: each row less
    // U's coefficients times the rows below, every term taking part, then times the
    // reciprocal of its pivot.
    for (Index i1 = n; i1 > 0;) {
        const Index i0 = i1 - std::min(lu_leaf, i1);
        if (i1 < n) {
            subtract_product(i1 - i0, ld, n - i1, in(w, i0) + i1, ld, in(x, i1), ld, in(x, i0), ld);
        }
        solve_block_rows<true>(i1 - i0, in(x, i0), ld, in(w, i0) + i0, 0, ld);
        i1 = i0;
    }

    // The inverse is X P: column p of X is column row_at[p] of the inverse.
    transpose_into(x, ld, n, n, [&](Index p) { return a + row_at[p] * n; });
}

// LU with partial pivoting of the panel (rows >= cols), in place, its row exchanges applied
// within the panel only; pivots[k] is the row exchanged with row k, relative to the panel.
void factorise_panel(const Block& panel, Index* pivots, ProductBuffers& buffers) {
    const Index m = panel.rows;
    const Index n = panel.cols;
    if (n <= lu_leaf) {
        factorise_columns(panel, pivots);
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

void invert(double* a, Index n, const MatrixView* source, bool bypass_cache, Index max_cached) {
    // The inverses that lay their factors out row-major read them from the source; the
    // blocked one works in a's own storage.
    const MatrixView from = source != nullptr ? *source : MatrixView{a, n, n, 1, n};
    if (n <= max_scalar_tiny_inverse) {
        if (n > 0) {
            scalar_tiny_inverse(from, a, n);
        }
        return;
    }
    if (n <= max_tiny_inverse) {
        tiny_inverse<max_tiny_inverse, max_scalar_tiny_inverse + 1>(from, a, n);
        return;
    }
    if (n <= std::min(max_cached, largest_cached_inverse)) {
        // On the heap: a thread's stack may be small.
        const Index ld = round_up(n, packet_size);
        Eigen::VectorXd factors_and_inverse(2 * ld * n);
        int row_at[largest_cached_inverse];
        cached_inverse(from, a, n, factors_and_inverse.data(), factors_and_inverse.data() + ld * n,
                       row_at);
        return;
    }
    if (source != nullptr) {
        copy_matrix(*source, a, bypass_cache);
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
