// Every tuning constant of one instruction-set level, with its reason: the register tiles,
// the cache blocks and the sizes at which an algorithm switches. They follow from the level's
// vector unit (level.hpp), so each level gets its own values from this one place; the
// dispatcher reads the ones it needs from the level's table (table.cpp).
#pragma once

#include <algorithm>

#include "level.hpp"

namespace linalg {
namespace LINALG_LEVEL_NAMESPACE {

// --- The packed product (product.cpp, tiles.hpp) ---

// Register tile: the tile_rows x tile_cols sums, one packet of A per row packet and one
// broadcast of B must fit the vector registers (32 with AVX-512 and NEON, 16 otherwise;
// without FMA one more for the product).
constexpr int tile_packets = wide_register_file || fused_multiply_add ? 3 : 2;
constexpr int tile_cols = wide_register_file ? 8 : 4;
constexpr int tile_rows = tile_packets * packet_size;
// Steps per pass of the register tiles' loops (the product's over the depth, the dot
// products' over the rows): at one step a pass the product's tile spent a fifth of its time
// outside its multiply-adds (products of 1024 and 2048, AVX-512, Intel Xeon); four ran 1.06x
// faster, eight 1.03x; the dot products 1.02-1.04x faster with four.
constexpr int tile_unroll = 4;

// Cache blocks: a sliver of B (depth_block x tile_cols) stays in the first-level cache while
// the slivers of A (tile_rows x depth_block) stream past it from the second-level cache,
// which holds the packed block of A (row_block x depth_block). With AVX-512 an A sliver of
// 256 steps would fill the first-level cache by itself and push the B sliver out, so the depth
// is halved there and the rows doubled (768 KB of A: such processors have 1-2 MB of
// second-level cache); otherwise 256 steps and 192 KB. The packed panel of B
// (column_block x depth_block, 1-2 MB) stays in the last-level cache; a wider one ran no
// faster (measured on an AMD EPYC up to n = 2048) and took scratch of 0.25 n^2 at n = 2048.
constexpr Index depth_block = wide_vectors ? 128 : 256;
// A^T A with A^T as one block (n <= row_block columns of a) reads and writes all of G's lower
// triangle once per depth block, and G (up to 768^2 / 2 doubles) does not stay in the
// second-level cache beside the packed block; so on Intel's processors, whose second-level
// caches hold 2 MB, it takes blocks of 256 steps on every level. With AVX-512 (Intel Xeon),
// against 128: least squares 1.04x faster at 3000 x 600, 1.03 at 10000 x 300, 1.05 at 3000 x
// 450, 1.06 at 10000 x 400, 1.11 at 20000 x 600 (C order: the rows of a are copied a depth
// block at a time, just before the product reads them; F order 1.01x), 0.99 at 5000 x 200;
// 384 steps ran 0.91-0.98x of 256, and 256 held within the packed block of other products
// (160 steps at 600 columns) 0.97x. AMD's processors with AVX-512 have 1 MB, which such a
// packed block (1.2 MB at 600 columns) would overflow, and keep depth_block.
constexpr Index normal_depth_block_on_intel = std::max(depth_block, Index{256});
constexpr Index normal_depth_block = depth_block;
constexpr Index row_block = tile_rows * (wide_vectors ? 32 : 8);
constexpr Index column_block = 1024;

// --- Triangular operations (triangular.cpp) ---

// They halve at multiples of triangular_leaf rows down to blocks of that size, whose size is
// then known at compile time: their steps are unrolled and their rows stay in registers.
constexpr Index triangular_leaf = wide_register_file ? 16 : 8;

// --- The inverse (inverse.cpp) ---

// Up to this size the inverse's loops have their lengths known at compile time: 1.2-1.5x the
// cached path below from n = 9 to 16 with AVX2, 1.3-1.7x on the baseline level (AMD EPYC Zen 3).
constexpr int max_tiny_inverse = 16;
// Up to this size that code is compiled without the compiler's auto-vectoriser
// (scalar_inverse.cpp): GCC 12 packs so few entries into vectors badly. Kernel alone, Intel
// Xeon, AVX2 code: scalar 95 ns against 137 at n = 5, 147 against 178 at 6, 261 against 288
// at 8, 517 against 468 at 10; SSE2 code: 99 against 124 at 5, 278 against 268 at 8. Whole
// calls ran 1.05-1.10x faster from 5 to 8 with AVX2. Clang 14's vector code ran ahead of its
// scalar code from n = 6 on (149 ns against 167 at 6, 234 against 292 at 8, AVX2).
#if defined(__clang__)
constexpr int max_scalar_tiny_inverse = 5;
#else
constexpr int max_scalar_tiny_inverse = packet_size >= 4 ? 8 : 7;
#endif
static_assert(max_scalar_tiny_inverse < max_tiny_inverse, "sizes beyond it keep vector code");
// Up to this size the inverse keeps its factors and the inverse row-major in cache (2 n^2
// doubles) and updates them in place by register tiles; the blocked path packs its operands
// for the product first, which pays once the two no longer fit the second-level cache, so
// the size follows that cache: about 3/4 of it holds the two at the threshold. Measured on
// AVX2 (AMD EPYC Zen 3, 512 KB): 1.9x the blocked path at n = 96, 1.4x at 160, 0.85x at 176;
// on the baseline level 1.3x at 128. AVX-512 processors have 1-2 MB; 224 keeps the two within
// 0.8 MB. Intel's, with 2 MB, keep the cached path ahead much further, and the dispatcher
// takes max_cached_inverse_on_intel there: on a Xeon with 2 MB, 1.27x the blocked path at
// n = 256, 1.14x at 320, 1.13x at 384, 1.05x at 448, 0.92x at 512.
constexpr Index max_cached_inverse = wide_vectors ? 224 : 160;
constexpr Index max_cached_inverse_on_intel = wide_vectors ? 384 : max_cached_inverse;
constexpr Index largest_cached_inverse = std::max(max_cached_inverse, max_cached_inverse_on_intel);
// Columns per panel of the blocked LU: the trailing matrix is updated once per panel, by a
// product of that depth. A panel is factorised by halving down to lu_leaf columns, which are
// eliminated directly.
constexpr Index lu_panel = 128;
constexpr Index lu_leaf = 8;
// The cached inverse's LU updates the columns right of a group of lu_group columns once per
// group. With AVX-512 its register tiles ran at 46 GFLOP/s on products 8 deep, 70 on 32 deep
// (in the first-level cache, Intel Xeon), and groups of 32 over single panels ran 1.02x at
// n = 64, 1.08x at 128, 1.13x at 256, 1.14x at 384 (64: 1.01x faster than 32 from 256 on,
// 0.97x at 64). With AVX2 they ran 0.98-1.00x, so there a group is one panel.
constexpr Index lu_group = wide_vectors ? 32 : lu_leaf;
static_assert(lu_group % lu_leaf == 0, "a group is whole panels");
// Up to this size L^-1 is formed directly, beyond it by halving.
constexpr Index max_direct_lower_inverse = 32;
// Rows per block of the back substitution, which runs from the bottom block up: a fifth of
// the matrix, a multiple of 48 (whole slivers of the product and leaves of the triangular
// solve on every level) from 48 to solve_block. Each block reads all rows of X below it once,
// so taller blocks read less, but each needs scratch of its height times n, which in a small
// matrix costs more in fresh pages than the reads it saves (measured on an AMD EPYC: 64 rows
// fastest at n = 128 and 256, 128 at 512, 256 to 384 from 1024 on; a fifth, 48 to 192 rows
// up to n = 1024, ran as fast, and keeps a call of the AVX-512 level within 1.5 n^2 of heap
// at n = 256 and 512). Each block's own triangle is solved solve_columns columns at a time,
// which stay in the second-level cache.
constexpr Index solve_block = 384;
constexpr Index solve_rows(Index n) {
    return std::min(solve_block, std::max(Index{48}, n / 5 / 48 * 48));
}
constexpr Index solve_columns = 128;

// --- Argument copies (copy.cpp) ---

// A row-major source that stays in cache is copied in tiles of copy_tile_rows x
// copy_tile_cols, whose columns (128 KB) stay in cache while the rows stream in. A larger one
// goes 8 rows (one cache line of each target column) by stream_tile_cols columns at a time:
// the lines of so many columns written at once, each whole and bypassing the cache, ran at
// the speed of a plain copy (measured on an AMD EPYC with AVX-512; taller tiles, which write
// several lines of a column in a row, ran 1.5 times slower).
constexpr Index copy_tile_rows = 512;
constexpr Index copy_tile_cols = 32;
// Target columns a multiple of this many doubles (2 KB) apart share so few sets of the
// first-level cache that those tiles are written a whole line at a time instead (with vectors
// of 4 doubles or more; with 2 the two ways are the same). Measured on an Intel Xeon with
// AVX-512 (copies of a C-order source, in ms, two rows at a time against whole lines): 256 x
// 256 0.08 against 0.03, 512 x 512 0.41 against 0.22, 768 x 768 0.81 against 0.44, 1024 x 1024
// 1.75 against 1.04, 1280 x 1280 2.44 against 1.78, 512 x 2000 1.61 against 0.74; where the
// columns are not so aligned, whole lines ran slower or as fast (600 x 600 0.21 against 0.31,
// 1000 x 1000 0.62 against 0.83, 3000 x 600 1.21 against 1.76, 384 x 384 and 1152 x 1152 even).
constexpr Index copy_aliased_stride = 256;
constexpr Index stream_tile_cols = 64;
// From this many doubles on (4 MB), the copy of a row-major source may bypass the cache, where
// the dispatcher finds that it pays (dispatch.cpp: on AMD's processors, not on Intel's): it
// no longer fits the cache of one core, and a store into a line not in cache reads the line
// from memory first. Smaller copies stay in cache for the computation that reads them next.
constexpr Index min_streamed_copy = Index{1} << 19;

// --- Least squares (least_squares.cpp) ---

// With fused multiply-adds (or 32 vector registers) and cheap broadcasts, the products of
// packed panels win from a few columns on; up to max_dot_product_columns (b included) the
// tiles of dot products need no copy of a. Without them (SSE2) the dot products win up to
// 64 columns, and Eigen's rank-k update beyond. With AVX-512 the dot products' 5 x 5 tiles
// beat the row panels below up to 64 columns at every height (1.04-1.15x from 256 rows on;
// Intel Xeon), and up to 128 columns on a tall a, of at least min_tall_rows_per_column rows
// per column (1.06x at 10000 x 100 with a out of cache; 0.93-0.95x at 128 rows).
constexpr bool packed_normal_products = fused_multiply_add || wide_register_file;
constexpr Index max_dot_product_columns = wide_vectors ? 64 : packed_normal_products ? 16 : 64;
constexpr Index max_tall_dot_product_columns = wide_vectors ? 128 : max_dot_product_columns;
constexpr Index min_tall_rows_per_column = 4;
// Rows of a per pass of the dot products: each tile rereads its columns, which stay in cache.
constexpr Index dot_product_rows = 512;
// The dot-product tile: its sums and the loads of one step fit the vector registers: 3 x 4
// sums of 16 registers, 5 x 5 of 32 with AVX-512 (1.3x the 3 x 4 tile at 50 and 100
// columns; 4 x 6, 6 x 4 and 4 x 4 ran between the two).
constexpr int dot_tile_rows = wide_vectors ? 5 : 3;
constexpr int dot_tile_cols = wide_vectors ? 5 : 4;
// Up to this many columns the packed route forms a^T a from row-major panels of
// panel_normal_rows rows, copied once; with more, through the packed product.
constexpr Index max_panel_normal_columns = 128;
constexpr Index panel_normal_rows = 256;
// Eigen's rank-k update (the route without packed products) runs fastest on about 200 rows.
constexpr Index rank_update_rows = 192;
// From this size the normal equations are factorised by the blocked LDL^T, a panel of
// ldlt_panel columns at a time.
constexpr Index min_blocked_ldlt = 128;
constexpr Index ldlt_panel = 32;

}  // namespace LINALG_LEVEL_NAMESPACE
}  // namespace linalg
