// The argument copies of one instruction-set level: a matrix of doubles, where its owner keeps
// it and in any layout, into fresh column-major storage. NumPy's own copy reads a row-major
// source with a stride of one whole row between successive reads, which for tall arrays runs
// at a fraction of memory speed, and writes each line of the target through the cache.
#include <algorithm>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <immintrin.h>
#elif defined(__aarch64__) && defined(__ARM_NEON)
#include <arm_neon.h>
#endif

#include "copy.hpp"
#include "level.hpp"
#include "tuning.hpp"

namespace linalg {
namespace LINALG_LEVEL_NAMESPACE {

namespace {

// Writes the 8 doubles at `from` to the 64-byte aligned `target` with stores that bypass the
// cache, where the level has them: the copy is written once and read back later, and a store
// into a line that is not in cache would first read the line from memory.
inline void stream_line(double* target, const double* from) {
#if defined(__AVX512F__)
    _mm512_stream_pd(target, _mm512_loadu_pd(from));
#elif defined(__AVX__)
    _mm256_stream_pd(target, _mm256_loadu_pd(from));
    _mm256_stream_pd(target + 4, _mm256_loadu_pd(from + 4));
#elif defined(__SSE2__)
    for (int i = 0; i < 8; i += 2) {
        _mm_stream_pd(target + i, _mm_loadu_pd(from + i));
    }
#else
    std::memcpy(target, from, 8 * sizeof(double));
#endif
}

// The 2 x 2 block whose rows start at `upper` and `lower` (row-major) becomes the two column
// pairs at `left` and `right` (column-major), with one 16-byte load and store per row and
// column where the platform has them.
inline void transpose_pair(const double* upper, const double* lower, double* left, double* right) {
#if defined(__SSE2__)
    const __m128d first = _mm_loadu_pd(upper);
    const __m128d second = _mm_loadu_pd(lower);
    _mm_storeu_pd(left, _mm_unpacklo_pd(first, second));
    _mm_storeu_pd(right, _mm_unpackhi_pd(first, second));
#elif defined(__aarch64__) && defined(__ARM_NEON)
    const float64x2_t first = vld1q_f64(upper);
    const float64x2_t second = vld1q_f64(lower);
    vst1q_f64(left, vzip1q_f64(first, second));
    vst1q_f64(right, vzip2q_f64(first, second));
#else
    left[0] = upper[0];
    left[1] = lower[0];
    right[0] = upper[1];
    right[1] = lower[1];
#endif
}

// Rows whose entries are contiguous (rows `source_stride` doubles apart) into column-major
// storage too large for the cache. A store into a line that is not in cache reads the line
// from memory first, and with a column-major target every column is a stream of its own: so
// each line of the target is written whole, once its 8 rows have been read, with a store that
// bypasses the cache. The rows go by 8 at a time, across stream_tile_cols columns, into the second
// half of each column's window of 16 rows, the 8 rows before them in its first half; a column whose
// lines start at row p + 8q (its storage's alignment) takes each line from the window. Rows before
// a column's first whole line and after its last are stored as they are.
void stream_row_major(const double* source, Index source_stride, Index rows, Index cols,
                      double* target, Index target_stride) {
    constexpr Index line = 8;  // doubles per 64-byte cache line
    alignas(64) double window[stream_tile_cols][2 * line];
    Index phase[stream_tile_cols];
    Index written[stream_tile_cols];  // rows stored so far, from the top
    for (Index c0 = 0; c0 < cols; c0 += stream_tile_cols) {
        const Index width = std::min(stream_tile_cols, cols - c0);
        for (Index c = 0; c < width; ++c) {
            double* column = target + (c0 + c) * target_stride;
            const auto misalignment = reinterpret_cast<std::uintptr_t>(column) % 64;
            phase[c] = misalignment == 0 ? 0 : static_cast<Index>((64 - misalignment) / 8);
            written[c] = std::min(phase[c], rows);
            for (Index r = 0; r < written[c]; ++r) {
                column[r] = source[r * source_stride + c0 + c];
            }
        }
        for (Index r0 = 0; r0 + line <= rows; r0 += line) {
            const double* rows_of_block = source + r0 * source_stride + c0;
            for (Index c = 0; c < width; ++c) {
                std::memcpy(window[c], window[c] + line, sizeof(double) * line);
            }
            for (Index i = 0; i < line; ++i) {
                const double* row = rows_of_block + i * source_stride;
                // Clang makes these stores, 16 doubles apart, one scatter per vector of the
                // row; that made the whole copy 1.15-1.3 times slower than plain stores
                // (measured on an AMD EPYC with AVX-512). GCC keeps them plain.
#if defined(__clang__)
#pragma clang loop vectorize(disable)
#endif
                for (Index c = 0; c < width; ++c) {
                    window[c][line + i] = row[c];
                }
            }
            for (Index c = 0; c < width; ++c) {
                const Index p = phase[c];
                const Index start = p == 0 ? r0 : r0 - line + p;  // the line now complete
                if (start >= written[c]) {
                    stream_line(target + (c0 + c) * target_stride + start,
                                window[c] + (p == 0 ? line : p));
                    written[c] = start + line;
                }
            }
        }
        for (Index c = 0; c < width; ++c) {
            double* column = target + (c0 + c) * target_stride;
            for (Index r = written[c]; r < rows; ++r) {
                column[r] = source[r * source_stride + c0 + c];
            }
        }
    }
#if defined(__SSE2__)
    _mm_sfence();  // the streamed lines are in memory before anything reads the copy
#endif
}

// As stream_row_major(), for a copy that stays in cache: in tiles of copy_tile_rows x
// copy_tile_cols, two rows by two columns at a time. Within a tile the source is read row
// after row, which the hardware prefetches, while the columns being written stay in the
// first-level cache.
void copy_row_major(const double* source, Index source_stride, Index rows, Index cols,
                    double* target, Index target_stride) {
    for (Index r0 = 0; r0 < rows; r0 += copy_tile_rows) {
        const Index r1 = std::min(rows, r0 + copy_tile_rows);
        for (Index c0 = 0; c0 < cols; c0 += copy_tile_cols) {
            const Index c1 = std::min(cols, c0 + copy_tile_cols);
            Index r = r0;
            for (; r + 2 <= r1; r += 2) {
                const double* upper = source + r * source_stride;
                const double* lower = upper + source_stride;
                Index c = c0;
                for (; c + 2 <= c1; c += 2) {
                    transpose_pair(upper + c, lower + c, target + c * target_stride + r,
                                   target + (c + 1) * target_stride + r);
                }
                for (; c < c1; ++c) {
                    target[c * target_stride + r] = upper[c];
                    target[c * target_stride + r + 1] = lower[c];
                }
            }
            for (; r < r1; ++r) {
                for (Index c = c0; c < c1; ++c) {
                    target[c * target_stride + r] = source[r * source_stride + c];
                }
            }
        }
    }
}

// As copy_row_major(), for a target whose columns are a multiple of copy_aliased_stride
// apart. Their lines then fall in so few sets of the first-level cache that the tile's columns
// do not stay in it while two rows at a time fill each line in several visits; so each line is
// written whole at once here, from a square of a packet's rows by a packet's columns
// transposed in registers. It repeats copy_row_major()'s tiling on purpose: one template over
// both, the square copied by a lambda, left GCC 12 holding the pairs' pointers on the stack
// (lstsq in C order 1.05-1.12x slower, Intel Xeon).
void copy_row_major_by_lines(const double* source, Index source_stride, Index rows, Index cols,
                             double* target, Index target_stride) {
    using namespace Eigen::internal;
    for (Index r0 = 0; r0 < rows; r0 += copy_tile_rows) {
        const Index r1 = std::min(rows, r0 + copy_tile_rows);
        for (Index c0 = 0; c0 < cols; c0 += copy_tile_cols) {
            const Index c1 = std::min(cols, c0 + copy_tile_cols);
            Index r = r0;
            for (; r + packet_size <= r1; r += packet_size) {
                const double* block_rows = source + r * source_stride;
                Index c = c0;
                for (; c + packet_size <= c1; c += packet_size) {
                    PacketBlock<Packet, packet_size> block;
                    for (int i = 0; i < packet_size; ++i) {
                        block.packet[i] = ploadu<Packet>(block_rows + i * source_stride + c);
                    }
                    ptranspose(block);
                    for (int i = 0; i < packet_size; ++i) {
                        pstoreu(target + (c + i) * target_stride + r, block.packet[i]);
                    }
                }
                for (; c < c1; ++c) {
                    for (Index i = 0; i < packet_size; ++i) {
                        target[c * target_stride + r + i] = block_rows[i * source_stride + c];
                    }
                }
            }
            for (; r < r1; ++r) {
                for (Index c = c0; c < c1; ++c) {
                    target[c * target_stride + r] = source[r * source_stride + c];
                }
            }
        }
    }
}

}  // namespace

void copy_rows(const MatrixView& source, Index first_row, Index rows, double* target,
               Index target_stride, bool bypass_cache) {
    if (rows == 0 || source.cols == 0) {
        return;
    }
    const double* first = source.data + first_row * source.row_step;
    if (source.row_step == 1 && source.column_step == target_stride && rows == target_stride) {
        // Column-major already: one copy, which for a large matrix the C library makes with
        // stores that bypass the cache.
        std::memcpy(target, first, sizeof(double) * static_cast<size_t>(rows * source.cols));
    } else if (source.row_step == 1) {  // columns contiguous
        for (Index j = 0; j < source.cols; ++j) {
            std::memcpy(target + j * target_stride, first + j * source.column_step,
                        sizeof(double) * static_cast<size_t>(rows));
        }
    } else if (source.column_step == 1) {  // rows contiguous
        if (bypass_cache) {
            stream_row_major(first, source.row_step, rows, source.cols, target, target_stride);
        } else if (packet_size >= 4 && target_stride % copy_aliased_stride == 0) {
            copy_row_major_by_lines(first, source.row_step, rows, source.cols, target,
                                    target_stride);
        } else {
            copy_row_major(first, source.row_step, rows, source.cols, target, target_stride);
        }
    } else {
        for (Index j = 0; j < source.cols; ++j) {
            const double* column = first + j * source.column_step;
            for (Index i = 0; i < rows; ++i) {
                target[j * target_stride + i] = column[i * source.row_step];
            }
        }
    }
}

void copy_matrix(const MatrixView& source, double* target, bool bypass_cache) {
    copy_rows(source, 0, source.rows, target, source.rows, bypass_cache);
}

}  // namespace LINALG_LEVEL_NAMESPACE
}  // namespace linalg
