// The packed product C += alpha op(A) B of one instruction-set level, in the usual layers: a
// panel of B (depth x up to column_block columns) is packed into slivers tile_cols wide, a
// block of op(A) (up to row_block rows) into slivers tile_rows high, and the register tile
// (tiles.hpp) runs over the depth of each pair of slivers. Where op(A) is a single block, each
// sliver of B meets it once: the register tile then reads B where it is, or where B's columns
// are not evenly spaced packs it one sliver at a time. The blocks and tiles are the level's
// (tuning.hpp); the edges of C are handled in one place, add_tile_rows().
#include <algorithm>

#include "level.hpp"
#include "memory.hpp"
#include "tiles.hpp"
#include "tuning.hpp"

namespace linalg {
namespace LINALG_LEVEL_NAMESPACE {

namespace {

// Whether op(A) of `rows` rows is packed as a single block; B is then read in place, or packed
// a sliver at a time (multiply_packed()).
constexpr bool one_block_of_a(Index rows) { return rows <= row_block; }

// The depth of the packed blocks of a product whose op(A) has `rows` rows.
Index block_depth(Index rows, const ProductBuffers& buffers) {
    return one_block_of_a(rows) ? buffers.one_block_depth() : depth_block;
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

// The leading rows of C's tile at row i and column j that lie wholly above C's diagonal: whole
// packets of rows, all of them for a tile wholly above it.
Index rows_above_diagonal(Index i, Index j) {
    return std::min<Index>(tile_rows, std::max<Index>(0, (j - i) / packet_size * packet_size));
}

struct NothingToFill {
    void operator()(Index, Index, const double*) const {}
};

// C += alpha op(A) B over the packed operands, leaving out the leading rows_not_formed(i, j)
// rows (whole packets) of each tile, i and j being its first row and column in C. B's column
// j starts at b_column(j); given b_stride > 0, b_column(j) is b_column(0) + j b_stride. With
// `b_is_a`, B's first columns are A's rows (op(A) = A^T, B = A, as in A^T A): where op(A) is
// one block and tile_rows is a multiple of tile_cols (not with NEON's 6 x 8 tiles), the
// slivers of those columns are read from op(A)'s packed slivers, each within one of them,
// instead of being packed again. fill(p0, depth, nullptr) runs before depths p0 .. p0+depth-1
// of the operands are first read; where op(A) is one block, fill(p0, depth, packed) runs
// again once they are packed from A, before B is read, `packed` holding op(A)'s slivers.
template <typename Column, typename RowsNotFormed, typename Fill = NothingToFill>
void multiply_packed(double alpha, const Block& a, bool transposed, Column b_column, Index b_stride,
                     Index depth, const Block& c, ProductBuffers& buffers,
                     RowsNotFormed rows_not_formed, bool b_is_a = false, Fill fill = Fill()) {
    constexpr bool slivers_of_b_in_a = tile_rows % tile_cols == 0;
    const Index m = c.rows;
    const Index n = c.cols;
    if (m == 0 || n == 0 || depth == 0) {
        return;
    }
    const Index blocks_deep = block_depth(m, buffers);
    const Index deepest = std::min(depth, blocks_deep);
    double* packed_a = buffers.packed_left(std::min(round_up(m, tile_rows), row_block) * deepest);
    const auto add_tiles = [&](Index ic, Index mc, Index jc, Index jr, Index kc,
                               const double* sliver, Index sliver_step = tile_cols,
                               Index sliver_column_step = 1) {
        const Index cols = std::min<Index>(tile_cols, n - jc - jr);
        for (Index ir = 0; ir < mc; ir += tile_rows) {
            const Index skipped = rows_not_formed(ic + ir, jc + jr);
            const Index rows = std::min<Index>(tile_rows, mc - ir) - skipped;
            if (rows <= 0) {
                continue;
            }
            add_tile_rows(rows, kc, packed_a + ir * kc + skipped, tile_rows, sliver, sliver_step,
                          alpha, &c(ic + ir + skipped, jc + jr), c.stride, cols,
                          sliver_column_step);
        }
    };
    if (one_block_of_a(m)) {
        // One block of A: each sliver of B meets it once, so it is read where it is (a copy
        // cost more than it saved: the inverse 1.02-1.065x faster from n = 400 to 2048 without
        // it, AVX-512, Intel Xeon), or packed just before its tiles into scratch of one sliver.
        double* sliver = b_stride > 0 ? nullptr : buffers.packed_right(tile_cols * deepest);
        for (Index pc = 0; pc < depth; pc += blocks_deep) {
            const Index kc = std::min(blocks_deep, depth - pc);
            fill(pc, kc, nullptr);
            pack_left(a, transposed, 0, m, pc, kc, packed_a);
            fill(pc, kc, packed_a);
            for (Index jr = 0; jr < n; jr += tile_cols) {
                if (b_is_a && slivers_of_b_in_a && jr + tile_cols <= m) {
                    const double* rows_of_a = packed_a + jr / tile_rows * tile_rows * kc;
                    add_tiles(0, m, 0, jr, kc, rows_of_a + jr % tile_rows, tile_rows);
                    continue;
                }
                if (b_stride > 0) {
                    add_tiles(0, m, 0, jr, kc, b_column(jr) + pc, 1, b_stride);
                    continue;
                }
                pack_right([&](Index j) { return b_column(jr + j); },
                           std::min<Index>(tile_cols, n - jr), pc, kc, sliver);
                add_tiles(0, m, 0, jr, kc, sliver);
            }
        }
        return;
    }
    const Index widest = std::min(round_up(n, tile_cols), column_block);
    double* packed_b = buffers.packed_right(widest * deepest);
    for (Index jc = 0; jc < n; jc += column_block) {
        const Index nc = std::min(column_block, n - jc);
        for (Index pc = 0; pc < depth; pc += depth_block) {
            const Index kc = std::min(depth_block, depth - pc);
            if (jc == 0) {
                fill(pc, kc, nullptr);
            }
            pack_right([&](Index j) { return b_column(jc + j); }, nc, pc, kc, packed_b);
            for (Index ic = 0; ic < m; ic += row_block) {
                const Index mc = std::min(row_block, m - ic);
                pack_left(a, transposed, ic, mc, pc, kc, packed_a);
                for (Index jr = 0; jr < nc; jr += tile_cols) {
                    add_tiles(ic, mc, jc, jr, kc, packed_b + jr * kc);
                }
            }
        }
    }
}

}  // namespace

ProductBuffers::ProductBuffers(Index rows, Index cols, Index depth, Index one_block_depth)
    : one_block_depth_(one_block_depth > 0 ? one_block_depth : depth_block) {
    const Index deepest = std::min(depth, block_depth(rows, *this));
    at_least(left_, std::min(round_up(rows, tile_rows), row_block) * deepest);
    const Index widest =
        one_block_of_a(rows) ? tile_cols : std::min(round_up(cols, tile_cols), column_block);
    at_least(right_, widest * deepest);
}

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

void multiply_add(double alpha, const Block& a, const Block& b, const Block& c,
                  ProductBuffers& buffers) {
    multiply_packed(
        alpha, a, false, [&](Index j) { return &b(0, j); }, b.stride, b.rows, c, buffers,
        [](Index, Index) { return Index{0}; });
}

void multiply_add_lower(double alpha, const Block& a, const Block& b, const Block& c,
                        ProductBuffers& buffers) {
    multiply_packed(
        alpha, a, false, [&](Index j) { return &b(0, j); }, b.stride, b.rows, c, buffers,
        rows_above_diagonal);
}

void add_normal_product(const Block& a, const double* extra, const Block& g,
                        ProductBuffers& buffers, const MatrixView* unfilled, bool bypass_cache) {
    const Index n = a.cols;
    const Index columns = extra != nullptr ? n + 1 : n;
    // A^T is packed from a source whose rows are contiguous, which holds it column-major and
    // is read in cache right after its rows were copied, rather than from the copy, whose
    // columns can fall into few sets of the cache.
    const bool from_source = unfilled != nullptr && unfilled->column_step == 1;
    const Block transpose =
        from_source ? Block{const_cast<double*>(unfilled->data), n, a.rows, unfilled->row_step} : a;
    // A depth block of a's rows is copied from A^T's packed slivers where A^T is one block
    // packed from the source (the source is then read once, and the slivers are in cache:
    // lstsq 1.02-1.05x at 1000 x 200 to 20000 x 600, C order, Intel Xeon), or else from the
    // source before A^T is packed.
    const bool from_slivers = from_source && one_block_of_a(n);
    multiply_packed(
        1.0, transpose, !from_source, [&](Index j) { return j < n ? &a(0, j) : extra; }, 0, a.rows,
        g.left(columns), buffers,
        // Column n, A^T extra, is formed whole.
        [n](Index i, Index j) { return j + tile_cols <= n ? rows_above_diagonal(i, j) : 0; }, true,
        [&](Index r0, Index rows, const double* packed) {
            if (unfilled == nullptr) {
                return;
            }
            if (!from_slivers && packed == nullptr) {
                copy_rows(*unfilled, r0, rows, a.data + r0, a.stride, bypass_cache);
            } else if (from_slivers && packed != nullptr) {
                for (Index i0 = 0; i0 < n; i0 += tile_rows) {
                    // a's columns i0 .. i0+tile_rows-1, row-major, its rows tile_rows apart
                    const MatrixView sliver{packed + i0 * rows, rows,
                                            std::min<Index>(tile_rows, n - i0), tile_rows, 1};
                    copy_rows(sliver, 0, rows, &a(r0, i0), a.stride, bypass_cache);
                }
            }
        });
}

}  // namespace LINALG_LEVEL_NAMESPACE
}  // namespace linalg
