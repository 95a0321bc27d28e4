// The inverse of matrices small enough to live in registers, with sizes known at compile
// time. Two files compile it: scalar_inverse.cpp for the smallest sizes, without the
// compiler's auto-vectoriser, and inverse.cpp for the others. Its templates are in an unnamed
// namespace, so that each file keeps instances of its own: the linker would otherwise keep
// one copy of a size for both, compiled either way.
#pragma once

#include <cmath>
#include <utility>

#include "level.hpp"

namespace linalg {
namespace LINALG_LEVEL_NAMESPACE {
namespace {

// The inverse of the N x N matrix `source` into the column-major `a` (which may be the source
// itself), for N <= max_tiny_inverse: the steps of cached_inverse() (inverse.cpp), unblocked, with
// every loop's length known at compile time, so that they unroll and the factors and the
// inverse stay in registers; every term of L^-1 takes part.
template <int N>
void tiny_inverse(const MatrixView& source, double* a) {
    double w[N][N];  // L and U, row-major
    double x[N][N];  // L^-1, then U^-1 L^-1
    int row_at[N];
    // Row by row from a row-major source, column by column from any other.
    const double* entries = source.data;
    if (source.column_step == 1) {
        for (int i = 0; i < N; ++i) {
            for (int j = 0; j < N; ++j) {
                w[i][j] = entries[i * source.row_step + j];
            }
        }
    } else {
        for (int j = 0; j < N; ++j) {
            for (int i = 0; i < N; ++i) {
                w[i][j] = entries[i * source.row_step + j * source.column_step];
            }
        }
    }
    for (int i = 0; i < N; ++i) {
        row_at[i] = i;
    }
    for (int k = 0; k < N; ++k) {
        int pivot_row = k;
        double biggest = std::abs(w[k][k]);
        for (int i = k + 1; i < N; ++i) {
            if (std::abs(w[i][k]) > biggest) {
                biggest = std::abs(w[i][k]);
                pivot_row = i;
            }
        }
        if (biggest != 0.0) {
            if (pivot_row != k) {
                for (int j = 0; j < N; ++j) {
                    std::swap(w[k][j], w[pivot_row][j]);
                }
                std::swap(row_at[k], row_at[pivot_row]);
            }
            for (int i = k + 1; i < N; ++i) {
                w[i][k] /= w[k][k];
            }
        }
        for (int i = k + 1; i < N; ++i) {
            for (int j = k + 1; j < N; ++j) {
                w[i][j] -= w[i][k] * w[k][j];
            }
        }
    }
    for (int p = 0; p < N; ++p) {
        for (int j = 0; j < N; ++j) {
            x[p][j] = p == j ? 1.0 : 0.0;
        }
        for (int q = 0; q < p; ++q) {
            for (int j = 0; j < N; ++j) {
                x[p][j] -= w[p][q] * x[q][j];
            }
        }
    }
    for (int i = N - 1; i >= 0; --i) {
        for (int q = i + 1; q < N; ++q) {
            for (int j = 0; j < N; ++j) {
                x[i][j] -= w[i][q] * x[q][j];
            }
        }
        const double reciprocal = 1.0 / w[i][i];
        for (int j = 0; j < N; ++j) {
            x[i][j] *= reciprocal;
        }
    }
    for (int i = 0; i < N; ++i) {
        for (int p = 0; p < N; ++p) {
            a[i + row_at[p] * N] = x[i][p];
        }
    }
}

// tiny_inverse<n>(source, a) for Smallest <= n <= N.
template <int N, int Smallest>
void tiny_inverse(const MatrixView& source, double* a, Index n) {
    if (n == N) {
        tiny_inverse<N>(source, a);
    } else if (N > Smallest) {
        tiny_inverse<(N > Smallest ? N - 1 : N), Smallest>(source, a, n);
    }
}

}  // namespace
}  // namespace LINALG_LEVEL_NAMESPACE
}  // namespace linalg
