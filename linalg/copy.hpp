// Data movement for the argument copies: from a matrix where its owner keeps it into fresh
// column-major storage.
#pragma once

#include <cstddef>

namespace linalg {

// A matrix of doubles where its owner keeps it: element (i, j) at
// data[i * row_step + j * column_step], the steps in doubles and of either sign.
struct MatrixView {
    const double* data;
    std::ptrdiff_t rows;
    std::ptrdiff_t cols;
    std::ptrdiff_t row_step;
    std::ptrdiff_t column_step;
};

// Copies `source` into the column-major `target` (source.rows x source.cols), with the level
// the CPU runs best.
void copy_matrix(const MatrixView& source, double* target);

}  // namespace linalg
