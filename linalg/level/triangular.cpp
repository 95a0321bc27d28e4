// The triangular operations of one instruction-set level: solves and multiplies with a unit
// lower or an upper triangle, from the left or the right. Each halves the triangle into two
// smaller ones and a product (product.cpp) until blocks of triangular_leaf rows remain, whose
// size is then known at compile time: their steps are unrolled and their rows stay in vector
// registers.
#include <algorithm>
#include <type_traits>
#include <utility>

#include "level.hpp"
#include "tiles.hpp"
#include "tuning.hpp"

namespace linalg {
namespace LINALG_LEVEL_NAMESPACE {

namespace {

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

// The skeleton of every operation below, on a triangle of n rows: a larger one is split at a
// multiple of triangular_leaf by halves(top, bottom); a leaf size runs
// leaf(std::integral_constant<int, n>()); a smaller block, which only the last of a halving
// can be, runs plain(), the operation's loops.
template <typename Leaf, typename Plain, typename Halves>
void by_halving(Index n, Leaf leaf, Plain plain, Halves halves) {
    if (n > triangular_leaf) {
        const Index top = round_up(n / 2, triangular_leaf);
        halves(top, n - top);
    } else if (!with_leaf_size(n, leaf)) {
        plain();
    }
}

}  // namespace

void solve_unit_lower(const Block& lower, const Block& b, ProductBuffers& buffers) {
    const Index n = lower.rows;
    by_halving(
        n, [&](auto rows) { solve_unit_lower_leaf<rows>(lower, b); },
        [&] {
            for (Index j = 0; j < b.cols; ++j) {
                for (Index k = 0; k < n; ++k) {
                    for (Index i = k + 1; i < n; ++i) {
                        b(i, j) -= lower(i, k) * b(k, j);
                    }
                }
            }
        },
        [&](Index top, Index bottom) {
            solve_unit_lower(lower.block(0, 0, top, top), b.top(top), buffers);
            multiply_add(-1.0, lower.block(top, 0, bottom, top), b.top(top), b.bottom(bottom),
                         buffers);
            solve_unit_lower(lower.block(top, top, bottom, bottom), b.bottom(bottom), buffers);
        });
}

void multiply_unit_lower_left(double alpha, const Block& lower, const Block& b,
                              ProductBuffers& buffers) {
    const Index n = lower.rows;
    by_halving(
        n, [&](auto rows) { multiply_unit_lower_left_leaf<rows>(alpha, lower, b); },
        [&] {
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
        },
        // [L11 0; L21 L22] [B1; B2] = [L11 B1; L21 B1 + L22 B2]: B2 first, while B1 is unchanged.
        [&](Index top, Index bottom) {
            multiply_unit_lower_left(alpha, lower.block(top, top, bottom, bottom), b.bottom(bottom),
                                     buffers);
            multiply_add(alpha, lower.block(top, 0, bottom, top), b.top(top), b.bottom(bottom),
                         buffers);
            multiply_unit_lower_left(alpha, lower.block(0, 0, top, top), b.top(top), buffers);
        });
}

void multiply_unit_lower_right(const Block& b, const Block& lower, ProductBuffers& buffers) {
    const Index n = lower.rows;
    by_halving(
        n, [&](auto cols) { multiply_unit_lower_right_leaf<cols>(b, lower); },
        [&] {
            for (Index l = 1; l < n; ++l) {
                for (Index k = 0; k < l; ++k) {
                    for (Index i = 0; i < b.rows; ++i) {
                        b(i, k) += b(i, l) * lower(l, k);
                    }
                }
            }
        },
        // [B1 B2] [L11 0; L21 L22] = [B1 L11 + B2 L21, B2 L22]: B1 first, while B2 is unchanged.
        [&](Index left, Index right) {
            multiply_unit_lower_right(b.left(left), lower.block(0, 0, left, left), buffers);
            multiply_add(1.0, b.right(right), lower.block(left, 0, right, left), b.left(left),
                         buffers);
            multiply_unit_lower_right(b.right(right), lower.block(left, left, right, right),
                                      buffers);
        });
}

void solve_upper(const Block& upper, const Block& b, ProductBuffers& buffers) {
    const Index n = upper.rows;
    by_halving(
        n, [&](auto rows) { solve_upper_leaf<rows>(upper, b); },
        [&] {
            for (Index j = 0; j < b.cols; ++j) {
                for (Index k = n - 1; k >= 0; --k) {
                    b(k, j) *= 1.0 / upper(k, k);
                    for (Index i = 0; i < k; ++i) {
                        b(i, j) -= upper(i, k) * b(k, j);
                    }
                }
            }
        },
        [&](Index top, Index bottom) {
            solve_upper(upper.block(top, top, bottom, bottom), b.bottom(bottom), buffers);
            multiply_add(-1.0, upper.block(0, top, top, bottom), b.bottom(bottom), b.top(top),
                         buffers);
            solve_upper(upper.block(0, 0, top, top), b.top(top), buffers);
        });
}

}  // namespace LINALG_LEVEL_NAMESPACE
}  // namespace linalg
