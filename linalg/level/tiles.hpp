// The register tiles of one level, the innermost loops of every product (included by
// product.cpp and least_squares.cpp), and the transposing copy that lays operands out for
// them. Eigen's packet primitives give the vector code of every level (SSE2, AVX2 with FMA,
// AVX-512, NEON) from one source.
#pragma once

#include <algorithm>
#include <type_traits>

#include "level.hpp"
#include "tuning.hpp"

namespace linalg {
namespace LINALG_LEVEL_NAMESPACE {

constexpr Index round_up(Index value, Index step) { return (value + step - 1) / step * step; }

// The product's tile: adds alpha times the product of two slivers to C (ldc apart), the first
// Packets * packet_size rows of the A sliver times the first Cols columns of the B sliver,
// whose steps are a_step and b_step doubles apart (tile_rows and tile_cols when packed) and
// whose columns are b_column_step apart (1 when packed). One vector load of A per packet of
// rows, aligned, and one broadcast of B per column. The tiles at C's last rows and columns
// take fewer packets and columns. With Overwrite, C gets the product alone.
template <int Packets, int Cols, bool Overwrite = false>
EIGEN_ALWAYS_INLINE void add_tile(Index depth, const double* a, Index a_step, const double* b,
                                  Index b_step, double alpha, double* c, Index ldc,
                                  Index b_column_step = 1) {
    using namespace Eigen::internal;
    // The loops over the sums are unrolled whole (Cols <= tile_cols, Packets <= tile_packets),
    // or GCC keeps the sums in memory outside the loop over the depth.
    Packet sums[Packets][Cols];
    LINALG_UNROLL(tile_cols)
    for (int j = 0; j < Cols; ++j) {
        LINALG_UNROLL(tile_packets)
        for (int i = 0; i < Packets; ++i) {
            sums[i][j] = pset1<Packet>(0.0);
        }
    }
    LINALG_UNROLL(tile_unroll)
    for (Index p = 0; p < depth; ++p) {
        Packet column[Packets];
        for (int i = 0; i < Packets; ++i) {
            column[i] = pload<Packet>(a + i * packet_size);
        }
        for (int j = 0; j < Cols; ++j) {
            const Packet scale = pset1<Packet>(b[j * b_column_step]);
            for (int i = 0; i < Packets; ++i) {
                sums[i][j] = pmadd(column[i], scale, sums[i][j]);
            }
        }
        a += a_step;
        b += b_step;
    }
    const Packet factor = pset1<Packet>(alpha);
    LINALG_UNROLL(tile_cols)
    for (int j = 0; j < Cols; ++j) {
        LINALG_UNROLL(tile_packets)
        for (int i = 0; i < Packets; ++i) {
            double* target = c + i * packet_size + j * ldc;
            pstoreu(target, Overwrite ? pmul(sums[i][j], factor)
                                      : pmadd(sums[i][j], factor, ploadu<Packet>(target)));
        }
    }
}

// Calls f(std::integral_constant<int, cols>()) for 1 <= cols <= tile_cols. A tile's f is
// declared LINALG_INLINE_LAMBDA: a call per tile, with GCC's choice not to inline f, cost 4% of
// a product of 512 or 2048 and 3-4% of the cached inverse from n = 64 on (AVX-512, Intel Xeon).
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
                   Index b_step, double alpha, double* c, Index ldc, Index cols,
                   Index b_column_step = 1) {
    if (Packets > 1 && rows <= (Packets - 1) * packet_size) {
        add_tile_rows<(Packets > 1 ? Packets - 1 : 1)>(rows, depth, a, a_step, b, b_step, alpha, c,
                                                       ldc, cols, b_column_step);
        return;
    }
    with_cols(cols, [&](auto width) LINALG_INLINE_LAMBDA {
        if (rows == Packets * packet_size) {
            add_tile<Packets, width>(depth, a, a_step, b, b_step, alpha, c, ldc, b_column_step);
            return;
        }
        constexpr int height = Packets * packet_size;
        alignas(64) double tile[height * width];
        add_tile<Packets, width, true>(depth, a, a_step, b, b_step, 1.0, tile, height,
                                       b_column_step);
        for (int j = 0; j < width; ++j) {
            for (int i = 0; i < height; ++i) {
                if (i < rows) {
                    c[i + j * ldc] += alpha * tile[i + j * height];
                }
            }
        }
    });
}

// The dot products' tile: adds to G the dot products, over `rows` rows, of the columns
// i0 .. i0+I-1 with the columns j0 .. j0+J-1 (column(j) gives the first entry of column j),
// where they are on or below G's diagonal or in its column n. The I x J sums stay in
// registers while the rows stream by a packet at a time: no copy, no broadcasts.
template <int I, int J, typename Column>
void add_dot_product_tile(Column column, Index rows, Index i0, Index j0, Index n, double* g) {
    using namespace Eigen::internal;
    const double* left[I];
    const double* right[J];
    Packet sums[I][J];  // in registers: the loops over them are unrolled whole, as in add_tile()
    LINALG_UNROLL(dot_tile_rows)
    for (int i = 0; i < I; ++i) {
        left[i] = column(i0 + i);
        LINALG_UNROLL(dot_tile_cols)
        for (int j = 0; j < J; ++j) {
            sums[i][j] = pset1<Packet>(0.0);
        }
    }
    for (int j = 0; j < J; ++j) {
        right[j] = column(j0 + j);
    }
    Index r = 0;
    LINALG_UNROLL(tile_unroll)
    for (; r + packet_size <= rows; r += packet_size) {
        Packet x[I];
        for (int i = 0; i < I; ++i) {
            x[i] = ploadu<Packet>(left[i] + r);
        }
        for (int j = 0; j < J; ++j) {
            const Packet y = ploadu<Packet>(right[j] + r);
            for (int i = 0; i < I; ++i) {
                sums[i][j] = pmadd(x[i], y, sums[i][j]);
            }
        }
    }
    LINALG_UNROLL(dot_tile_rows)
    for (int i = 0; i < I; ++i) {
        LINALG_UNROLL(dot_tile_cols)
        for (int j = 0; j < J; ++j) {
            if (i0 + i < j0 + j && j0 + j < n) {
                continue;  // above the diagonal
            }
            double sum = predux(sums[i][j]);
            for (Index q = r; q < rows; ++q) {
                sum += left[i][q] * right[j][q];
            }
            g[(i0 + i) + (j0 + j) * n] += sum;
        }
    }
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

}  // namespace LINALG_LEVEL_NAMESPACE
}  // namespace linalg
