"""The numerical kernels at every size class and on every argument path.

On x86-64 the module carries its kernels once per instruction-set level and picks one from
the CPU; a build with -C cmake.define.INV_LEVEL=<level> pins the highest, and .ci/run runs
this file with test_numerics.py against each such build, so every level is tested on a CPU
that has it.
Sizes straddle the points where the factorisations switch between unblocked and blocked
code and where the products switch kernels.
"""

import math

import numpy as np
import pytest

import inv

INV_SIZES = [1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 32, 33, 63, 64, 65, 100, 127, 128, 129, 150,
             191, 192, 193, 257, 512, 520]
LSTSQ_SHAPES = [(1, 1), (3, 2), (5, 3), (10, 3), (40, 7), (17, 16), (100, 17), (1000, 10), (300, 40),
                (400, 33), (501, 63), (500, 64), (2000, 120), (700, 127), (700, 128), (700, 130), (191, 160), (193, 161),
                (600, 192), (2000, 300)]


@pytest.mark.parametrize("n", INV_SIZES)
def test_inverse_matches_numpy(n):
    rng = np.random.default_rng(n)
    a = rng.standard_normal((n, n)) + 2 * math.sqrt(n) * np.eye(n)
    result = inv.inv(a)
    np.testing.assert_allclose(result, np.linalg.inv(a), rtol=1e-11, atol=1e-13)
    np.testing.assert_allclose(result @ a, np.eye(n), atol=1e-12)


@pytest.mark.parametrize(("m", "n"), LSTSQ_SHAPES)
def test_lstsq_matches_numpy(m, n):
    rng = np.random.default_rng(m * n)
    a = rng.standard_normal((m, n))
    b = rng.standard_normal(m)
    np.testing.assert_allclose(inv.lstsq(a, b), np.linalg.lstsq(a, b, rcond=None)[0], rtol=1e-9, atol=1e-12)


@pytest.mark.parametrize("n", [4, 17, 64, 128, 200, 300])
def test_inverse_pivots_every_row(n):
    """A permuted matrix needs a row exchange at each step; its inverse is exact."""
    rng = np.random.default_rng(n)
    permutation = np.eye(n)[rng.permutation(n)]
    scale = 2.0 ** rng.integers(-3, 4, n)
    a = permutation * scale[:, None]
    np.testing.assert_array_equal(inv.inv(a), (permutation / scale[:, None]).T)


@pytest.mark.parametrize("n", [2, 3, 17, 100, 300])
def test_last_zero_pivot_spreads_to_every_row_above(n):
    """Every back-substitution term takes part, zero coefficients included: 0 * inf is NaN."""
    a = np.diag(np.r_[np.full(n - 1, 2.0), 0.0])
    expected = np.full((n, n), np.nan)
    expected[-1, -1] = np.inf
    np.testing.assert_array_equal(inv.inv(a), expected)


@pytest.mark.parametrize(("n", "k"), [(5, 2), (64, 40), (130, 0), (130, 64), (200, 150), (256, 255)])
def test_zero_pivot_inside_makes_every_row_above_non_finite(n, k):
    """Rows above the zero pivot meet its infinity through zero coefficients of U: NaN."""
    a = np.diag(np.full(n, 2.0))
    a[k, k] = 0.0
    expected = np.diag(np.full(n, 0.5))
    expected[: k + 1] = np.nan
    expected[k, k] = np.inf
    np.testing.assert_array_equal(inv.inv(a), expected)


@pytest.mark.parametrize(("m", "n", "zero"), [(5, 3, 0), (1000, 50, 7), (800, 130, 129)])
def test_lstsq_zero_column_gets_zero(m, n, zero):
    rng = np.random.default_rng(n)
    a = rng.standard_normal((m, n))
    a[:, zero] = 0.0
    b = rng.standard_normal(m)
    result = inv.lstsq(a, b)
    assert result[zero] == 0.0
    reduced = np.delete(a, zero, axis=1)
    np.testing.assert_allclose(
        np.delete(result, zero), np.linalg.lstsq(reduced, b, rcond=None)[0], rtol=1e-9
    )


def hadamard(m):
    h = np.ones((1, 1))
    while h.shape[0] < m:
        h = np.block([[h, h], [h, -h]])
    return h


def pivot_order(diagonal):
    """Columns in the order the factorisation takes them: largest unreduced diagonal entry
    among the positions not yet taken, the lowest position on ties, by successive swaps."""
    diagonal = np.abs(np.asarray(diagonal, float))
    order = np.arange(diagonal.size)
    for k in range(diagonal.size):
        biggest = k + int(np.argmax(diagonal[k:]))
        diagonal[[k, biggest]] = diagonal[[biggest, k]]
        order[[k, biggest]] = order[[biggest, k]]
    return order


@pytest.mark.parametrize(("n", "seed"), [(130, 0), (160, 1), (200, 2), (300, 3)])
def test_lstsq_repeated_columns_exact(n, seed):
    """Orthogonal columns, each repeated at power-of-two scales (ties included), some zero.

    Every product, pivot and quotient is exact, so the rules alone fix the result: the copy
    of a column that is pivoted first takes the whole coefficient; its repeats, pivoted
    later, then have a pivot of exactly zero in the middle of the factorisation and get 0.
    """
    m = 256
    rng = np.random.default_rng(seed)
    base = hadamard(m)[:, rng.permutation(m)]
    b = rng.integers(-5, 6, m).astype(float)
    groups, scales = [], []
    group = 0
    while len(scales) < n:
        copies = min(int(rng.integers(1, 4)), n - len(scales))
        scale = rng.choice([1.0, 2.0, 4.0, 8.0], copies) * rng.choice([-1.0, 1.0], copies)
        if rng.random() < 0.1:
            scale[:] = 0.0
        groups += [group] * copies
        scales += list(scale)
        group += 1
    order = rng.permutation(n)
    groups, scales = np.array(groups)[order], np.array(scales)[order]
    a = base[:, groups] * scales
    expected = np.zeros(n)
    for column in pivot_order((a * a).sum(axis=0)):
        group = groups[column]
        if scales[column] != 0 and not expected[groups == group].any():
            expected[column] = base[:, group] @ b / (m * scales[column])
    np.testing.assert_array_equal(inv.lstsq(a, b), expected)


@pytest.mark.parametrize("n", [128, 150])
def test_lstsq_zero_matrix_above_blocking_size(n):
    np.testing.assert_array_equal(inv.lstsq(np.zeros((10, n)), np.ones(10)), np.zeros(n))


def layouts(a):
    """The same values in each memory layout the argument copy treats differently."""
    yield "C", np.ascontiguousarray(a)
    yield "F", np.asfortranarray(a)
    wide = np.zeros((a.shape[0], 2 * a.shape[1]))
    wide[:, ::2] = a
    yield "strided", wide[:, ::2]
    yield "byte-swapped", a.astype(">f8")
    raw = np.zeros(a.size * 8 + 1, np.uint8)
    misaligned = np.frombuffer(raw.data, np.float64, a.size, offset=1).reshape(a.shape)
    misaligned[...] = a
    yield "misaligned", misaligned
    readonly = np.ascontiguousarray(a).copy()
    readonly.flags.writeable = False
    yield "read-only", readonly


@pytest.mark.parametrize("shape", [(2, 2), (65, 65), (300, 7), (1025, 131)])
def test_every_layout_gives_the_same_result(shape):
    rng = np.random.default_rng(shape[0])
    a = rng.standard_normal(shape)
    b = rng.standard_normal(shape[0])
    if shape[0] == shape[1]:
        reference = inv.inv(np.asfortranarray(a))
        for name, arg in layouts(a):
            before = arg.copy()
            np.testing.assert_array_equal(inv.inv(arg), reference, err_msg=name)
            np.testing.assert_array_equal(arg, before, err_msg=name)
    reference = inv.lstsq(np.asfortranarray(a), b)
    for name, arg in layouts(a):
        np.testing.assert_array_equal(inv.lstsq(arg, b), reference, err_msg=name)


@pytest.mark.parametrize("n", [700, 1200])
def test_large_buffers_are_usable_and_fresh(n):
    """Buffers above the huge-page threshold: results right, arguments untouched."""
    a = np.random.default_rng(1).standard_normal((n, n)) + 2 * math.sqrt(n) * np.eye(n)
    before = a.copy()
    result = inv.inv(a)
    np.testing.assert_allclose(result @ a, np.eye(n), atol=1e-11)
    np.testing.assert_array_equal(a, before)
    assert result.flags.f_contiguous and not result.flags.owndata
    tall = np.random.default_rng(2).standard_normal((40000, 20))
    b = tall @ np.arange(20.0)
    np.testing.assert_allclose(inv.lstsq(tall, b), np.arange(20.0), atol=1e-11)
