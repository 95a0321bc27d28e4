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
    table.max_dot_product_columns = max_dot_product_columns;
    table.min_streamed_copy = min_streamed_copy;
    // Measured on AVX-512 Xeons: the x86-64-v3 code is 4-11% faster on inverses with sizes
    // known at compile time (n = 8 to 12) and 5-15% on least squares of up to 4096 entries; on
    // an AMD EPYC with AVX-512, 2-12% on least squares of up to 16 columns.
    table.small_problems_below = wide_vectors;
    return table;
}

}  // namespace

extern const LevelTable table;  // a const at namespace scope is otherwise internal to this file
const LevelTable table = make_table();

}  // namespace LINALG_LEVEL_NAMESPACE
}  // namespace linalg
