// The packed product C += alpha op(A) B and the triangular operations built on it, for one
// instruction-set level. The product follows the usual layered scheme: a panel of B (depth x
// up to `column_block` columns) is packed into slivers `tile_cols` wide, a block of op(A)
// (up to `row_block` rows) into slivers `tile_rows` high, and a register tile of
// tile_rows x tile_cols sums runs over the depth with one vector load of A per packet of
// rows and one broadcast of B per column. Eigen's packet primitives give the vector code of
// every level (SSE2, AVX2 with FMA, AVX-512, NEON) from one source.
#include <algorithm>
#include <type_traits>
#include <utility>

#include "level.hpp"
#include "memory.hpp"

namespace linalg {
namespace LINALG_LEVEL_NAMESPACE {

namespace {

// Register tile: the sums, one packet of A per row packet and one broadcast of B must fit the
// vector registers (32 with AVX-512 and NEON, 16 otherwise; without FMA one more for the
// product).
constexpr int tile_packets = wide_register_file || fused_multiply_add ? 3 : 2;
constexpr int tile_cols = wide_register_file ? 8 : 4;
constexpr int tile_rows = tile_packets * packet_size;

// Cache blocking: a sliver of B (depth_block x tile_cols) stays in the first-level cache while
// the slivers of A (tile_rows x depth_block) stream past it from the second-level cache,
// which holds the packed block of A (row_block x depth_block). With AVX-512 an A sliver of
// 256 steps would fill the first-level cache by itself and push the B sliver out, so the depth
// is halved there and the rows doubled (768 KB of A: such processors have 1-2 MB of
// second-level cache); otherwise 256 steps and 192 KB.
constexpr Index depth_block = packet_size >= 8 ? 128 : 256;
constexpr Index row_block = tile_rows * (packet_size >= 8 ? 32 : 8);
constexpr Index column_block = 4096;

Index round_up(Index value, Index step) { return (value + step - 1) / step * step; }

// Up to this many columns the normal equations are formed from row-major panels of this many
// rows (multiply_normal); with more, by the packed product.
constexpr Index max_panel_normal_size = 128;
constexpr Index panel_normal_rows = 256;

// Adds alpha times the product of the slivers to C (ldc apart): the first
// Packets * packet_size rows of the A sliver times the first Cols columns of the B sliver,
// whose steps are a_step and b_step doubles apart (tile_rows and tile_cols when packed). The
// tiles at C's last rows and columns take fewer packets and columns. With Overwrite, C gets
// the product alone.
template <int Packets, int Cols, bool Overwrite = false>
EIGEN_ALWAYS_INLINE void add_tile(Index depth, const double* a, Index a_step, const double* b,
                                  Index b_step, double alpha, double* c, Index ldc) {
    using namespace Eigen::internal;
    Packet sums[Packets][Cols];
    for (int j = 0; j < Cols; ++j) {
        for (int i = 0; i < Packets; ++i) {
            sums[i][j] = pset1<Packet>(0.0);
        }
    }
    // One step at a time: unrolled further, GCC no longer keeps the sums in registers.
    for (Index p = 0; p < depth; ++p) {
        Packet column[Packets];
        for (int i = 0; i < Packets; ++i) {
            column[i] = pload<Packet>(a + i * packet_size);
        }
        for (int j = 0; j < Cols; ++j) {
            const Packet scale = pset1<Packet>(b[j]);
            for (int i = 0; i < Packets; ++i) {
                sums[i][j] = pmadd(column[i], scale, sums[i][j]);
            }
        }
        a += a_step;
        b += b_step;
    }
    const Packet factor = pset1<Packet>(alpha);
    for (int j = 0; j < Cols; ++j) {
        for (int i = 0; i < Packets; ++i) {
            double* target = c + i * packet_size + j * ldc;
            pstoreu(target, Overwrite ? pmul(sums[i][j], factor)
                                      : pmadd(sums[i][j], factor, ploadu<Packet>(target)));
        }
    }
}

// Calls f(std::integral_constant<int, cols>()) for 1 <= cols <= tile_cols.
template <int Cols = tile_cols, typename F>
EIGEN_ALWAYS_INLINE void with_cols(Index cols, F&& f) {
    if (cols == Cols || Cols == 1) {
        f(std::integral_constant<int, Cols>());
    } else {
        with_cols<(Cols > 1 ? Cols - 1 : 1)>(cols, f);
    }
}

// add_tile() for `rows` x `cols` of C: whole packets of rows directly, the rest through a tile
// in memory.
template <int Packets = tile_packets>
void add_tile_rows(Index rows, Index depth, const double* a, Index a_step, const double* b,
                   Index b_step, double alpha, double* c, Index ldc, Index cols) {
    if (Packets > 1 && rows <= (Packets - 1) * packet_size) {
        add_tile_rows<(Packets > 1 ? Packets - 1 : 1)>(rows, depth, a, a_step, b, b_step, alpha, c,
                                                       ldc, cols);
        return;
    }
    with_cols(cols, [&](auto width) {
        if (rows == Packets * packet_size) {
            add_tile<Packets, width>(depth, a, a_step, b, b_step, alpha, c, ldc);
            return;
        }
        constexpr int height = Packets * packet_size;
        alignas(64) double tile[height * width];
        add_tile<Packets, width, true>(depth, a, a_step, b, b_step, 1.0, tile, height);
        for (int j = 0; j < width; ++j) {
            for (int i = 0; i < height; ++i) {
                if (i < rows) {
                    c[i + j * ldc] += alpha * tile[i + j * height];
                }
            }
        }
    });
}

// Writes `count` columns, column(c)[0 .. depth-1] for c < count, across `target`:
// target[p * step + c] = column(c)[p], and zeros from column `count` up to the next multiple
// of the packet size. Packets of columns go through transposes of packet_size x packet_size
// blocks, so that reads and writes are whole vectors.
template <typename Column>
void interleave(Column column, Index count, Index depth, double* target, Index step) {
    using namespace Eigen::internal;
    for (Index c0 = 0; c0 < count; c0 += packet_size) {
        const Index width = std::min<Index>(packet_size, count - c0);
        Index p = 0;
        for (; p + packet_size <= depth; p += packet_size) {
            PacketBlock<Packet, packet_size> block;
            for (int c = 0; c < packet_size; ++c) {
                block.packet[c] =
                    c < width ? ploadu<Packet>(column(c0 + c) + p) : pset1<Packet>(0.0);
            }
            ptranspose(block);
            for (int t = 0; t < packet_size; ++t) {
                pstoreu(target + (p + t) * step + c0, block.packet[t]);
            }
        }
        for (; p < depth; ++p) {
            for (int c = 0; c < packet_size; ++c) {
                target[p * step + c0 + c] = c < width ? column(c0 + c)[p] : 0.0;
            }
        }
    }
}

// Zeros the columns from `first` (a multiple of the packet size) to `last` of `target`,
// laid out as interleave() writes them.
void zero_columns(Index first, Index last, Index depth, double* target, Index step) {
    for (Index p = 0; p < depth; ++p) {
        for (Index c = first; c < last; c += packet_size) {
            Eigen::internal::pstoreu(target + p * step + c, Eigen::internal::pset1<Packet>(0.0));
        }
    }
}

// Packs rows [0, rows) x depth [0, depth) of op(A) into slivers of tile_rows rows, each stored
// depth-major, padded with zeros to whole slivers.
void pack_left(const Block& a, bool transposed, Index row0, Index rows, Index depth0, Index depth,
               double* packed) {
    for (Index i0 = 0; i0 < rows; i0 += tile_rows) {
        const Index height = std::min<Index>(tile_rows, rows - i0);
        double* sliver = packed + i0 * depth;
        if (transposed) {
            // Row i of A^T is column i of A.
            interleave([&](Index i) { return &a(depth0, row0 + i0 + i); }, height, depth, sliver,
                       tile_rows);
            zero_columns(round_up(height, packet_size), tile_rows, depth, sliver, tile_rows);
            continue;
        }
        const double* source = &a(row0 + i0, depth0);
        if (height == tile_rows) {
            for (Index p = 0; p < depth; ++p) {
                for (int q = 0; q < tile_packets; ++q) {
                    Eigen::internal::pstore(
                        sliver + p * tile_rows + q * packet_size,
                        Eigen::internal::ploadu<Packet>(source + p * a.stride + q * packet_size));
                }
            }
        } else {
            for (Index p = 0; p < depth; ++p) {
                for (Index i = 0; i < tile_rows; ++i) {
                    sliver[p * tile_rows + i] = i < height ? source[p * a.stride + i] : 0.0;
                }
            }
        }
    }
}

// Packs depth [0, depth) x columns [0, cols) of B into slivers of tile_cols columns, each
// stored depth-major, padded with zeros. Column j is read from column(j).
template <typename Column>
void pack_right(Column column, Index cols, Index depth0, Index depth, double* packed) {
    for (Index j0 = 0; j0 < cols; j0 += tile_cols) {
        const Index width = std::min<Index>(tile_cols, cols - j0);
        double* sliver = packed + j0 * depth;
        interleave([&](Index j) { return column(j0 + j) + depth0; }, width, depth, sliver,
                   tile_cols);
        zero_columns(round_up(width, packet_size), tile_cols, depth, sliver, tile_cols);
    }
}

// C += alpha op(A) B over the packed operands, skipping the tiles for which skip(i, j) (the
// tile's first row and column in C) holds.
template <typename Column, typename Skip>
void multiply_packed(double alpha, const Block& a, bool transposed, Column b_column, Index depth,
                     const Block& c, ProductBuffers& buffers, Skip skip) {
    const Index m = c.rows;
    const Index n = c.cols;
    if (m == 0 || n == 0 || depth == 0) {
        return;
    }
    const Index widest = std::min(round_up(n, tile_cols), column_block);
    const Index deepest = std::min(depth, depth_block);
    double* packed_b = buffers.packed_right(widest * deepest);
    double* packed_a = buffers.packed_left(std::min(round_up(m, tile_rows), row_block) * deepest);
    for (Index jc = 0; jc < n; jc += column_block) {
        const Index nc = std::min(column_block, n - jc);
        for (Index pc = 0; pc < depth; pc += depth_block) {
            const Index kc = std::min(depth_block, depth - pc);
            pack_right([&](Index j) { return b_column(jc + j); }, nc, pc, kc, packed_b);
            for (Index ic = 0; ic < m; ic += row_block) {
                const Index mc = std::min(row_block, m - ic);
                pack_left(a, transposed, ic, mc, pc, kc, packed_a);
                for (Index jr = 0; jr < nc; jr += tile_cols) {
                    const Index cols = std::min<Index>(tile_cols, nc - jr);
                    for (Index ir = 0; ir < mc; ir += tile_rows) {
                        if (skip(ic + ir, jc + jr)) {
                            continue;
                        }
                        const Index rows = std::min<Index>(tile_rows, mc - ir);
                        add_tile_rows(rows, kc, packed_a + ir * kc, tile_rows, packed_b + jr * kc,
                                      tile_cols, alpha, &c(ic + ir, jc + jr), c.stride, cols);
                    }
                }
            }
        }
    }
}

// The triangular operations halve at multiples of `triangular_leaf` rows down to blocks of
// that size, whose size is then known at compile time: their steps are unrolled and their
// rows stay in vector registers. Only the last block of a halving can be smaller.
constexpr Index triangular_leaf = wide_register_file ? 16 : 8;

// Where a triangular block of more than triangular_leaf rows splits.
Index split(Index n) { return round_up(n / 2, triangular_leaf); }

// Calls f(std::integral_constant<int, I>()) for I = 0 .. N-1, unrolled.
template <typename F, int... I>
EIGEN_ALWAYS_INLINE void unrolled(F&& f, std::integer_sequence<int, I...>) {
    const int sequence[] = {0, (f(std::integral_constant<int, I>()), 0)...};
    static_cast<void>(sequence);
}
template <int N, typename F>
EIGEN_ALWAYS_INLINE void unrolled(F&& f) {
    unrolled(f, std::make_integer_sequence<int, N>());
}

// Runs leaf(rows) on the Rows rows of b (a multiple of the packet size) a packet of columns
// at a time, rows[i] holding row i of those columns. The leaves of the left-side triangular
// operations then work on whole rows: every step updates independent vectors, where a
// column at a time would wait on each entry in turn.
template <int Rows, typename Leaf>
EIGEN_ALWAYS_INLINE void for_each_column_packet(const Block& b, Leaf leaf) {
    using namespace Eigen::internal;
    static_assert(Rows % packet_size == 0, "whole packets of rows");
    for (Index j0 = 0; j0 < b.cols; j0 += packet_size) {
        Packet rows[Rows];
        if (j0 + packet_size <= b.cols) {
            unrolled<Rows / packet_size>([&](auto q) {
                PacketBlock<Packet, packet_size> block;
                unrolled<packet_size>(
                    [&](auto c) { block.packet[c] = ploadu<Packet>(&b(q * packet_size, j0 + c)); });
                ptranspose(block);
                unrolled<packet_size>([&](auto t) { rows[q * packet_size + t] = block.packet[t]; });
            });
            leaf(rows);
            unrolled<Rows / packet_size>([&](auto q) {
                PacketBlock<Packet, packet_size> block;
                unrolled<packet_size>([&](auto t) { block.packet[t] = rows[q * packet_size + t]; });
                ptranspose(block);
                unrolled<packet_size>(
                    [&](auto c) { pstoreu(&b(q * packet_size, j0 + c), block.packet[c]); });
            });
        } else {
            // The last columns, fewer than a packet: through a buffer padded with zeros.
            const Index count = b.cols - j0;
            alignas(64) double across[Rows][packet_size] = {};
            for (int i = 0; i < Rows; ++i) {
                for (int c = 0; c < packet_size; ++c) {
                    if (c < count) {
                        across[i][c] = b(i, j0 + c);
                    }
                }
            }
            unrolled<Rows>([&](auto i) { rows[i] = pload<Packet>(across[i]); });
            leaf(rows);
            unrolled<Rows>([&](auto i) { pstore(across[i], rows[i]); });
            for (int i = 0; i < Rows; ++i) {
                for (int c = 0; c < packet_size; ++c) {
                    if (c < count) {
                        b(i, j0 + c) = across[i][c];
                    }
                }
            }
        }
    }
}

Packet broadcast(double value) { return Eigen::internal::pset1<Packet>(value); }

// Calls leaf(std::integral_constant<int, n>()) and returns true if n is a leaf size: a power
// of two from the packet size up to triangular_leaf. Smaller blocks, left at most once at
// the end of a halving, run as plain loops.
template <typename Leaf>
bool with_leaf_size(Index n, Leaf leaf) {
    constexpr int half = std::max<int>(triangular_leaf / 2, packet_size);
    constexpr int quarter = std::max<int>(triangular_leaf / 4, packet_size);
    if (n == triangular_leaf) {
        leaf(std::integral_constant<int, triangular_leaf>());
    } else if (n == half) {
        leaf(std::integral_constant<int, half>());
    } else if (n == quarter) {
        leaf(std::integral_constant<int, quarter>());
    } else {
        return false;
    }
    return true;
}

// The leaves, for a block of exactly Rows rows.
template <int Rows>
void solve_unit_lower_leaf(const Block& lower, const Block& b) {
    using namespace Eigen::internal;
    for_each_column_packet<Rows>(b, [&](Packet* rows) {
        unrolled<Rows>([&](auto k) {
            const Packet negated = pnegate(rows[k]);
            unrolled<Rows>([&](auto i) {
                if (i > k) {
                    rows[i] = pmadd(broadcast(lower(i, k)), negated, rows[i]);
                }
            });
        });
    });
}

template <int Rows>
void solve_upper_leaf(const Block& upper, const Block& b) {
    using namespace Eigen::internal;
    alignas(64) double reciprocal[Rows];
    for (Index i = 0; i < Rows; ++i) {
        reciprocal[i] = 1.0 / upper(i, i);
    }
    for_each_column_packet<Rows>(b, [&](Packet* rows) {
        unrolled<Rows>([&](auto step) {
            constexpr int k = Rows - 1 - decltype(step)::value;
            rows[k] = pmul(rows[k], pset1<Packet>(reciprocal[k]));
            const Packet negated = pnegate(rows[k]);
            unrolled<k>([&](auto i) { rows[i] = pmadd(broadcast(upper(i, k)), negated, rows[i]); });
        });
    });
}

template <int Rows>
void multiply_unit_lower_left_leaf(double alpha, const Block& lower, const Block& b) {
    using namespace Eigen::internal;
    // Row k adds to the rows below it from the last k up, so that it is still unchanged.
    for_each_column_packet<Rows>(b, [&](Packet* rows) {
        unrolled<Rows>([&](auto step) {
            constexpr int k = Rows - 1 - decltype(step)::value;
            unrolled<Rows>([&](auto i) {
                if (i > k) {
                    rows[i] = pmadd(broadcast(lower(i, k)), rows[k], rows[i]);
                }
            });
        });
        unrolled<Rows>([&](auto i) { rows[i] = pmul(broadcast(alpha), rows[i]); });
    });
}

template <int Cols>
void multiply_unit_lower_right_leaf(const Block& b, const Block& lower) {
    using namespace Eigen::internal;
    // Column k of B L is B's column k plus the later columns times L's column k; column l adds
    // to the columns before it while it is still unchanged. A packet of rows at a time.
    Index i0 = 0;
    for (; i0 + packet_size <= b.rows; i0 += packet_size) {
        Packet columns[Cols];
        unrolled<Cols>([&](auto k) { columns[k] = ploadu<Packet>(&b(i0, k)); });
        unrolled<Cols>([&](auto l) {
            unrolled<Cols>([&](auto k) {
                if (k < l) {
                    columns[k] = pmadd(broadcast(lower(l, k)), columns[l], columns[k]);
                }
            });
        });
        unrolled<Cols>([&](auto k) { pstoreu(&b(i0, k), columns[k]); });
    }
    for (Index l = 1; l < Cols; ++l) {
        for (Index k = 0; k < l; ++k) {
            for (Index i = i0; i < b.rows; ++i) {
                b(i, k) += b(i, l) * lower(l, k);
            }
        }
    }
}

}  // namespace

double* ProductBuffers::packed_left(Index size) { return at_least(left_, size); }

double* ProductBuffers::packed_right(Index size) { return at_least(right_, size); }

double* ProductBuffers::at_least(Eigen::VectorXd& buffer, Index size) {
    if (buffer.size() < size) {
        // Eigen's resize() frees the old block before it allocates the new one, and keeps
        // the freed pointer if that allocation throws; the larger block is allocated first.
        Eigen::VectorXd larger(size);
        advise_huge_pages(larger.data(), larger.size());
        buffer.swap(larger);
    }
    return buffer.data();
}

void multiply_add(double alpha, const Block& a, bool transposed, const Block& b, const Block& c,
                  ProductBuffers& buffers) {
    multiply_packed(
        alpha, a, transposed, [&](Index j) { return &b(0, j); }, b.rows, c, buffers,
        [](Index, Index) { return false; });
}

void multiply_normal(const Block& a, const double* extra, const Block& g, ProductBuffers& buffers) {
    const Index k = a.rows;
    const Index n = a.cols;
    const Index columns = extra != nullptr ? n + 1 : n;
    if (k == 0 || n == 0) {
        return;
    }
    if (n > max_panel_normal_size) {
        multiply_packed(
            1.0, a, true, [&](Index j) { return j < n ? &a(0, j) : extra; }, k, g.left(columns),
            buffers,
            // Tiles wholly above G's diagonal; column n, A^T extra, is formed whole.
            [n](Index i, Index j) { return i + tile_rows <= j && j + tile_cols <= n; });
        return;
    }
    // Few columns: a panel of rows of [A extra] is copied once, row-major (rows `width`
    // doubles apart), and every tile reads both of its operands from it while it is in cache.
    // The tiles run along the columns of G's upper triangle, rows as vectors: only the
    // diagonal tile of each band of columns reaches below the diagonal. The upper triangle is
    // mirrored into the lower one at the end.
    const Index width = round_up(columns, packet_size);
    const Index panel_rows = std::min(k, panel_normal_rows);
    double* panel = buffers.packed_left(panel_rows * width);
    const auto column = [&](Index j) { return j < n ? &a(0, j) : extra; };
    for (Index p0 = 0; p0 < k; p0 += panel_normal_rows) {
        const Index depth = std::min(panel_normal_rows, k - p0);
        interleave([&](Index j) { return column(j) + p0; }, columns, depth, panel, width);
        for (Index j0 = 0; j0 < columns; j0 += tile_cols) {
            const Index cols = std::min<Index>(tile_cols, columns - j0);
            const Index rows = std::min(j0 + cols, n);  // G(i, j) for i <= j, all of A^T extra
            for (Index i0 = 0; i0 < rows; i0 += tile_rows) {
                add_tile_rows(std::min<Index>(tile_rows, rows - i0), depth, panel + i0, width,
                              panel + j0, width, 1.0, &g(i0, j0), g.stride, cols);
            }
        }
    }
    for (Index j = 0; j < n; ++j) {
        for (Index i = j + 1; i < n; ++i) {
            g(i, j) = g(j, i);
        }
    }
}

void solve_unit_lower(const Block& lower, const Block& b, ProductBuffers& buffers) {
    const Index n = lower.rows;
    if (n <= triangular_leaf) {
        if (!with_leaf_size(n, [&](auto rows) { solve_unit_lower_leaf<rows>(lower, b); })) {
            for (Index j = 0; j < b.cols; ++j) {
                for (Index k = 0; k < n; ++k) {
                    for (Index i = k + 1; i < n; ++i) {
                        b(i, j) -= lower(i, k) * b(k, j);
                    }
                }
            }
        }
        return;
    }
    const Index top = split(n);
    const Index bottom = n - top;
    solve_unit_lower(lower.block(0, 0, top, top), b.top(top), buffers);
    multiply_add(-1.0, lower.block(top, 0, bottom, top), false, b.top(top), b.bottom(bottom),
                 buffers);
    solve_unit_lower(lower.block(top, top, bottom, bottom), b.bottom(bottom), buffers);
}

void multiply_unit_lower_left(double alpha, const Block& lower, const Block& b,
                              ProductBuffers& buffers) {
    const Index n = lower.rows;
    if (n <= triangular_leaf) {
        if (!with_leaf_size(
                n, [&](auto rows) { multiply_unit_lower_left_leaf<rows>(alpha, lower, b); })) {
            for (Index j = 0; j < b.cols; ++j) {
                for (Index k = n - 2; k >= 0; --k) {
                    for (Index i = k + 1; i < n; ++i) {
                        b(i, j) += lower(i, k) * b(k, j);
                    }
                }
                for (Index i = 0; i < n; ++i) {
                    b(i, j) *= alpha;
                }
            }
        }
        return;
    }
    // [L11 0; L21 L22] [B1; B2] = [L11 B1; L21 B1 + L22 B2]: B2 first, while B1 is unchanged.
    const Index top = split(n);
    const Index bottom = n - top;
    multiply_unit_lower_left(alpha, lower.block(top, top, bottom, bottom), b.bottom(bottom),
                             buffers);
    multiply_add(alpha, lower.block(top, 0, bottom, top), false, b.top(top), b.bottom(bottom),
                 buffers);
    multiply_unit_lower_left(alpha, lower.block(0, 0, top, top), b.top(top), buffers);
}

void multiply_unit_lower_right(const Block& b, const Block& lower, ProductBuffers& buffers) {
    const Index n = lower.rows;
    if (n <= triangular_leaf) {
        if (!with_leaf_size(n,
                            [&](auto cols) { multiply_unit_lower_right_leaf<cols>(b, lower); })) {
            for (Index l = 1; l < n; ++l) {
                for (Index k = 0; k < l; ++k) {
                    for (Index i = 0; i < b.rows; ++i) {
                        b(i, k) += b(i, l) * lower(l, k);
                    }
                }
            }
        }
        return;
    }
    // [B1 B2] [L11 0; L21 L22] = [B1 L11 + B2 L21, B2 L22]: B1 first, while B2 is unchanged.
    const Index left = split(n);
    const Index right = n - left;
    multiply_unit_lower_right(b.left(left), lower.block(0, 0, left, left), buffers);
    multiply_add(1.0, b.right(right), false, lower.block(left, 0, right, left), b.left(left),
                 buffers);
    multiply_unit_lower_right(b.right(right), lower.block(left, left, right, right), buffers);
}

void solve_upper(const Block& upper, const Block& b, ProductBuffers& buffers) {
    const Index n = upper.rows;
    if (n <= triangular_leaf) {
        if (!with_leaf_size(n, [&](auto rows) { solve_upper_leaf<rows>(upper, b); })) {
            for (Index j = 0; j < b.cols; ++j) {
                for (Index k = n - 1; k >= 0; --k) {
                    b(k, j) *= 1.0 / upper(k, k);
                    for (Index i = 0; i < k; ++i) {
                        b(i, j) -= upper(i, k) * b(k, j);
                    }
                }
            }
        }
        return;
    }
    const Index top = split(n);
    const Index bottom = n - top;
    solve_upper(upper.block(top, top, bottom, bottom), b.bottom(bottom), buffers);
    multiply_add(-1.0, upper.block(0, top, top, bottom), false, b.bottom(bottom), b.top(top),
                 buffers);
    solve_upper(upper.block(0, 0, top, top), b.top(top), buffers);
}

}  // namespace LINALG_LEVEL_NAMESPACE
}  // namespace linalg
