// Data movement for the argument copies that the module makes.
#pragma once

#include <cstddef>

namespace linalg {

// Copies the rows x cols row-major matrix at `source` into the column-major `target`.
// NumPy's own copy reads a row-major source with a stride of one whole row between
// successive reads, which for tall arrays runs at a fraction of memory speed; this one works
// in tiles of 512 rows by 32 columns, two rows by two columns at a time. Within a tile the
// source is read row after row, which the hardware prefetches, while the 32 columns being
// written stay in the first-level cache.
void copy_row_major(const double* source, std::ptrdiff_t rows, std::ptrdiff_t cols, double* target);

}  // namespace linalg
