// The level's table for the dispatcher (level_table.hpp), each member set by name.
#include "level.hpp"
#include "level_table.hpp"
#include "tuning.hpp"

namespace linalg {
namespace LINALG_LEVEL_NAMESPACE {

namespace {

constexpr LevelTable make_table() {
    LevelTable table{};
    table.copy_matrix = copy_matrix;
    table.invert = invert;
    table.normal_equations = normal_equations;
    table.copy_and_normal_equations = copy_and_normal_equations;
    table.right_side = right_side;
    table.ldlt_solve = ldlt_solve;
    table.max_tiny_inverse = max_tiny_inverse;
    table.max_cached_inverse_on_intel = max_cached_inverse_on_intel;
    table.max_cached_inverse = max_cached_inverse;
    table.normal_depth_block_on_intel = normal_depth_block_on_intel;
    table.normal_depth_block = normal_depth_block;
    table.min_streamed_copy = min_streamed_copy;
    // Measured on AVX-512 Xeons: the x86-64-v3 code is 4-11% faster on inverses with sizes
    // known at compile time (n = 8 to 12), and 4-21% on least squares of up to 4096 entries
    // at 10 x 3, 100 x 10, 60 x 60 and 1000 x 4 (7-12% slower at 400 x 10 and 200 x 20).
    // Taller least squares of few columns no longer go down: with its 5 x 5 tiles of dot
    // products the AVX-512 level is 10-18% faster there (1000 x 10 to 100000 x 15).
    table.small_problems_below = wide_vectors;
    return table;
}

}  // namespace

extern const LevelTable table;  // a const at namespace scope is otherwise internal to this file
const LevelTable table = make_table();

}  // namespace LINALG_LEVEL_NAMESPACE
}  // namespace linalg
