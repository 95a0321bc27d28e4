"""The numerical kernels at every size class and on every argument path.

On x86-64 the module carries its kernels once per instruction-set level and picks one from
the CPU; a build with -C cmake.define.INV_LEVEL=<level> pins the highest, and .ci/run runs
this file with test_numerics.py against each such build, so every level is tested on a CPU
that has it.
Sizes straddle the points where the inverse switches between code with sizes known at
compile time, factors kept in cache and blocked code, and where the products switch kernels.
"""

import math
import warnings

import numpy as np
import pytest

import inv

# Cases that CI also runs under valgrind (pyproject.toml), each for the path it is the
# smallest of, as the x86-64-v3 level (valgrind's CPU) takes them.
VALGRIND = pytest.mark.valgrind
INV_SIZES = [1, 2, 3, 4,
             pytest.param(5, marks=VALGRIND),  # sizes known at compile time, scalar code, odd
             6,  # scalar code up to 5 with Clang, 7 on SSE2, 8 with AVX
             7, 8, pytest.param(9, marks=VALGRIND),  # sizes known at compile time, vector code
             15, 16,
             pytest.param(17, marks=VALGRIND),  # factors in cache, the smallest: rows padded, a panel of 1
             31, 32, 33, 63, 64,
             pytest.param(65, marks=VALGRIND),  # factors in cache: several panels and tiles of each step
             100, 127, 128, 129, 160,
             # blocked: two LU panels, halved L^-1, several row blocks of the solve
             pytest.param(161, marks=VALGRIND),
             pytest.param(191, marks=VALGRIND),  # blocked: triangles left below a leaf
             192, 193, 224, 225,  # factors in cache with 512-bit vectors up to 224
             pytest.param(257, marks=VALGRIND),  # products on several blocks of A
             # factors in cache on Intel's AVX-512 processors up to 384 (elsewhere blocked, as 300)
             pytest.param(384, marks=pytest.mark.slow), pytest.param(385, marks=pytest.mark.slow),
             512, 520]
LSTSQ_SHAPES = [(1, 1), (3, 2), (5, 3),
                pytest.param(10, 3, marks=VALGRIND),  # small: dot products, a^T b at the baseline
                (40, 7), (17, 16),
                pytest.param(100, 17, marks=VALGRIND),  # small: row panels
                pytest.param(1000, 10, marks=VALGRIND),  # dot products with b, two passes of rows
                pytest.param(300, 40, marks=VALGRIND),  # row panels with b, two panels
                (400, 33), (501, 63), (500, 64), (2000, 120), (700, 127),
                # the packed product on several blocks and depths, the blocked LDL^T
                pytest.param(700, 128, marks=VALGRIND),
                (700, 130), (191, 160), (193, 161), (600, 192), (2000, 300),
                pytest.param(800, 769, marks=pytest.mark.slow)]  # past the AVX-512 row block of a^T a


@pytest.mark.parametrize("n", INV_SIZES)
def test_inverse_matches_numpy(n):
    rng = np.random.default_rng(n)
    a = rng.standard_normal((n, n)) + 2 * math.sqrt(n) * np.eye(n)
    result = inv.inv(a)
    np.testing.assert_allclose(result, np.linalg.inv(a), rtol=1e-11, atol=1e-13)
    np.testing.assert_allclose(result @ a, np.eye(n), atol=1e-12)


# 320: the products' depth blocks on the inverse's operands, under valgrind too.
@pytest.mark.parametrize("n", [130, pytest.param(320, marks=VALGRIND), 520, pytest.param(1100, marks=pytest.mark.slow)])
def test_inverse_with_row_exchanges_matches_numpy(n):
    """Plain Gaussian matrices: nearly every column takes its pivot from another row, so the
    blocked LU's exchanges reach every column to the left and right of each panel. 1100 runs
    the products' row, column and depth blocks and the back substitution's blocks more than
    once on every level."""
    a = np.random.default_rng(n).standard_normal((n, n))
    reference = np.linalg.inv(a)
    error = np.abs(inv.inv(a) - reference).max() / np.abs(reference).max()
    assert error < 1e-15 * np.linalg.norm(a, 1) * np.linalg.norm(reference, 1)


@pytest.mark.parametrize(("m", "n"), LSTSQ_SHAPES)
def test_lstsq_matches_numpy(m, n):
    rng = np.random.default_rng(m * n)
    a = rng.standard_normal((m, n))
    b = rng.standard_normal(m)
    np.testing.assert_allclose(inv.lstsq(a, b), np.linalg.lstsq(a, b, rcond=None)[0], rtol=1e-9, atol=1e-12)


# 400: blocked on every processor (300 keeps its factors in cache on Intel's AVX-512 ones).
BLOCKED_EVERYWHERE = pytest.param(400, marks=pytest.mark.slow)


@pytest.mark.parametrize("n", [4, 16, 17, 64, 65, 128, 160, 161, 300, BLOCKED_EVERYWHERE])
def test_inverse_pivots_every_row(n):
    """A permuted matrix needs a row exchange at each step; its inverse is exact."""
    rng = np.random.default_rng(n)
    permutation = np.eye(n)[rng.permutation(n)]
    scale = 2.0 ** rng.integers(-3, 4, n)
    a = permutation * scale[:, None]
    np.testing.assert_array_equal(inv.inv(a), (permutation / scale[:, None]).T)


@pytest.mark.parametrize("n", [2, 3, 16, 17, 64, 65, 100, 160, 161, 300, BLOCKED_EVERYWHERE])
def test_last_zero_pivot_spreads_to_every_row_above(n):
    """Every back-substitution term takes part, zero coefficients included: 0 * inf is NaN."""
    a = np.diag(np.r_[np.full(n - 1, 2.0), 0.0])
    expected = np.full((n, n), np.nan)
    expected[-1, -1] = np.inf
    np.testing.assert_array_equal(inv.inv(a), expected)


@pytest.mark.parametrize(("n", "k"), [(5, 2), (16, 0), (17, 8), (64, 0), (64, 40), (65, 64), (130, 0), (160, 159),
                                    (161, 100), (200, 150), (256, 255),
                                    pytest.param(400, 399, marks=pytest.mark.slow)])
def test_zero_pivot_inside_makes_every_row_above_non_finite(n, k):
    """Rows above the zero pivot meet its infinity through zero coefficients of U: NaN."""
    a = np.diag(np.full(n, 2.0))
    a[k, k] = 0.0
    expected = np.diag(np.full(n, 0.5))
    expected[: k + 1] = np.nan
    expected[k, k] = np.inf
    np.testing.assert_array_equal(inv.inv(a), expected)


def pivoted_inverse(a, last_among_equals=False):
    """The inverse by the kernels' rules, unblocked: column k's pivot is the entry of largest
    magnitude at or below the diagonal, the topmost among equals (or the last, to compare), a
    NaN passed over unless it is the diagonal entry; a zero pivot exchanges and divides
    nothing; then X = U^-1 L^-1 P, every term of both substitutions taking part and each row
    multiplied by the reciprocal of its pivot.

    Also says whether every step was exact: every non-zero pivot a power of two and every
    finite value a multiple of 2^-10 below 2^10, so that any product of two values and any sum
    of a few thousand products, in whatever order a kernel forms them, is exact too.
    """
    w = np.array(a, float)
    n = len(w)
    order = np.arange(n)
    exact = True
    with np.errstate(all="ignore"):
        for k in range(n):
            column = np.abs(w[k:, k])
            largest = column[0] if np.isnan(column[0]) else np.nanmax(column)
            if largest != 0:
                ties = np.flatnonzero(column == largest) if largest == largest else [0]
                p = k + ties[-1 if last_among_equals else 0]
                w[[k, p]] = w[[p, k]]
                order[[k, p]] = order[[p, k]]
                exact &= np.frexp(w[k, k])[0] in (-0.5, 0.5)
                w[k + 1:, k] /= w[k, k]
            w[k + 1:, k + 1:] -= np.outer(w[k + 1:, k], w[k, k + 1:])
        x = np.eye(n)[order]
        for p in range(1, n):
            x[p] -= (w[p, :p, None] * x[:p]).sum(axis=0)
        values = np.r_[w.ravel(), x.ravel()]
        for i in reversed(range(n)):
            x[i] -= (w[i, i + 1:, None] * x[i + 1:]).sum(axis=0)
            x[i] *= 1.0 / w[i, i]
    values = np.r_[values, x[np.isfinite(x)]]
    return x, exact and bool(np.all((values * 1024 % 1 == 0) & (np.abs(values) < 1024)))


def tie_heavy_singular(rng, n, largest_block):
    """A singular matrix of entries -1, 0 and 1: square blocks of up to `largest_block` rows on
    the diagonal, one of them singular, and the rows shuffled, so that rows tied for a pivot
    lie far apart. A block of at most three rows eliminates with power-of-two pivots in any
    row order unless its determinant is 3 or -3; such blocks are drawn again."""
    sizes = []
    while sum(sizes) < n:
        sizes.append(min(int(rng.integers(1, largest_block + 1)), n - sum(sizes)))
    starts = np.cumsum([0] + sizes)
    # Integers: with no -0.0 to start from, no sum makes one, so every zero pivot is +0.0.
    a = np.zeros((n, n), int)
    for start, end in zip(starts[:-1], starts[1:]):
        block = rng.integers(-1, 2, (end - start, end - start))
        while end - start == 3 and abs(round(np.linalg.det(block))) == 3:
            block = rng.integers(-1, 2, (3, 3))
        a[start:end, start:end] = block
    singular = rng.integers(len(sizes))
    start, end = starts[singular], starts[singular + 1]
    if end - start == 1:
        a[start, start] = 0
    else:
        i, j = rng.choice(np.arange(start, end), 2, replace=False)
        a[:, j] = rng.choice([-1, 1]) * a[:, i]
    return a[rng.permutation(n)].astype(float)


def non_finite(x):
    """0 where x is finite, 1 at +inf, -1 at -inf, 2 at NaN."""
    return np.select([np.isnan(x), np.isinf(x)], [2.0, np.sign(x)], 0.0)


@pytest.mark.parametrize("n", [2, 3, 4, 5, 6, 7, 8, 16, 17, 40, 64, 65, 100, 160, 161, 300,
                               BLOCKED_EVERYWHERE])
def test_pivot_ties_go_to_the_topmost_row(n):
    """Between pivot candidates of equal magnitude the topmost row wins, which singular input
    shows: where its infinities and NaNs fall, and their signs, depend on the rows chosen.
    Every case eliminates exactly, so the rule alone fixes them. In the large ones, up to sizes
    that reach the blocked factorisation, the tied rows lie far apart, and each case tells the
    rule from its opposite, the last row among equals; of the small ones, at least one must."""
    rng = np.random.default_rng(n)
    cases = []
    while len(cases) < (30 if n <= 8 else 2):
        a = tie_heavy_singular(rng, n, n if n <= 8 else 3)
        expected, exact = pivoted_inverse(a)
        opposite, opposite_exact = pivoted_inverse(a, last_among_equals=True)
        tells_apart = not np.array_equal(non_finite(expected), non_finite(opposite))
        if exact and opposite_exact and (n <= 8 or tells_apart):
            cases.append((a, expected, opposite))
    for a, expected, _ in cases:
        np.testing.assert_array_equal(non_finite(inv.inv(a)), non_finite(expected), err_msg=str(a))
    assert any(
        not np.array_equal(non_finite(expected), non_finite(opposite)) for _, expected, opposite in cases
    ), "the last row among equals gives the same pattern on every case: these cannot tell them apart"


# 17 under valgrind too: the cached path once a multiplier is not finite.
@pytest.mark.parametrize("n", [4, 16, pytest.param(17, marks=VALGRIND), 64, 65, 160, 161])
@pytest.mark.parametrize("value", [np.nan, np.inf, -np.inf])
def test_non_finite_entries_spread_by_the_rules(n, value):
    """A NaN or an infinity, on the diagonal or off it, reaches the same entries of the
    inverse, with the same signs, as through the unblocked elimination of pivoted_inverse(),
    in every size class."""
    a = np.random.default_rng(n).standard_normal((n, n)) + 2 * math.sqrt(n) * np.eye(n)
    for position in [(0, 0), (n // 2, n // 3), (n - 1, n - 1)]:
        b = a.copy()
        b[position] = value
        np.testing.assert_array_equal(non_finite(inv.inv(b)), non_finite(pivoted_inverse(b)[0]),
                                      err_msg=str(position))


@pytest.mark.parametrize(
    ("m", "n", "zero", "entry"),
    [(5, 3, 0, 0.0), (1000, 50, 7, 0.0), (800, 130, 129, 0.0), (800, 130, 129, 2.0**-511),
     (700, 200, 41, 2.0**-511)],
)
def test_lstsq_column_with_negligible_pivot_gets_zero(m, n, zero, entry):
    """A column that is zero, or whose lone entry 2^-511 makes its pivot exactly the smallest
    normal double (its row zero elsewhere), gets 0: only pivots above that bound are used."""
    rng = np.random.default_rng(n)
    a = rng.standard_normal((m, n))
    a[:, zero] = 0.0
    a[0] = 0.0
    a[0, zero] = entry
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


@pytest.mark.parametrize(
    ("m", "n", "seed"),
    # Tall, then wide: past a^T a's row blocks on the small problems' path (4 x 1000), and
    # past its row and column blocks on the large one (4 x 1100).
    # Under valgrind too: the blocked LDL^T's zero pivots, and the small problems' packed
    # route with the baseline's blocked LDL^T.
    [pytest.param(256, 130, 0, marks=VALGRIND), (256, 160, 1), (256, 200, 2), (256, 300, 3),
     pytest.param(4, 1000, 4, marks=VALGRIND), (4, 1100, 6)],
)
def test_lstsq_repeated_columns_exact(m, n, seed):
    """Orthogonal columns, each repeated at power-of-two scales (ties included), some zero.

    Every product, pivot and quotient is exact, so the rules alone fix the result: the copy
    of a column that is pivoted first takes the whole coefficient; its repeats, pivoted
    later, then have a pivot of exactly zero in the middle of the factorisation and get 0.
    """
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
        groups += [group % m] * copies
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


@pytest.mark.parametrize("n", [pytest.param(128, marks=VALGRIND), 150])  # Eigen's LDL^T takes over
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


@pytest.mark.parametrize(
    "shape",
    # Past the size from which a row-major argument's copy may bypass the cache (4 MB): 725 x 725,
    # and 20003 x 27, whose columns each start at another offset within a cache line.
    # 2000 x 10 and 300 x 100 take the dot products and the row panels, a's copy made a block of
    # rows at a time, past one block on every level that has the route; 1025 x 131 the packed
    # product, a's copy made a depth block at a time. 256 x 13 and 512 x 512
    # have columns a multiple of 2 KB apart, copied a whole cache line at a time.
    [pytest.param((2, 2), marks=VALGRIND), pytest.param((65, 65), marks=VALGRIND), (300, 7), (2000, 10),
     (3000, 60), (300, 100), (1025, 131), (5000, 20), (725, 725), pytest.param((20003, 27), marks=VALGRIND),
     (256, 13), (512, 512)],
)
def test_every_layout_gives_the_same_result(shape, monkeypatch):
    """The same bits whichever way the argument copy is made: by NumPy (byte-swapped,
    misaligned, a list) or by the module's own copy of native float64 arrays (C, Fortran,
    strided; in cache or, from 4 MB, bypassing it as INV_STREAMED_COPIES chooses), on every route
    to a^T a (dot products, row panels, the packed product), copied whole or a block of rows at
    a time as the route reads it."""
    rng = np.random.default_rng(shape[0])
    a = rng.standard_normal(shape)
    b = rng.standard_normal(shape[0])
    square = shape[0] == shape[1]
    inv_reference = inv.inv(np.asfortranarray(a)) if square else None
    reference = inv.lstsq(a.tolist(), b.tolist())
    for streamed in ["0", "1"]:
        monkeypatch.setenv("INV_STREAMED_COPIES", streamed)
        for name, arg in layouts(a):
            before = arg.copy()
            if square:
                np.testing.assert_array_equal(inv.inv(arg), inv_reference, err_msg=name)
            np.testing.assert_array_equal(inv.lstsq(arg, b), reference, err_msg=name)
            np.testing.assert_array_equal(inv.lstsq(arg, b.tolist()), reference, err_msg=name)
            np.testing.assert_array_equal(arg, before, err_msg=name)


class ChangesA:
    """A right-hand side whose conversion runs Python code that changes a."""

    def __init__(self, a, b):
        self.a, self.b = a, b

    def __array__(self, dtype=None, copy=None):
        self.a *= 2.0
        return self.b


@pytest.mark.parametrize("way", ["__array__", "warning"])
@pytest.mark.parametrize("shape", [pytest.param((40, 3), marks=VALGRIND), (20000, 50)])
def test_matrix_is_copied_before_the_right_hand_side_is_converted(shape, way, monkeypatch):
    """a is converted, and so copied, before b: what b's conversion does to a comes too late,
    be it through b's __array__ or through the handler of the warning that casting b raises."""
    rng = np.random.default_rng(1)
    a = rng.standard_normal(shape)
    b = rng.standard_normal(shape[0])
    original = a.copy()
    expected = inv.lstsq(original, b)
    with warnings.catch_warnings():
        warnings.simplefilter("always")
        if way == "__array__":
            result = inv.lstsq(a, ChangesA(a, b))
        else:
            monkeypatch.setattr(warnings, "showwarning", lambda *args, **kwargs: a.__imul__(2.0))
            result = inv.lstsq(a, b.astype(complex))
    np.testing.assert_array_equal(a, 2.0 * original)  # b's conversion did change a
    np.testing.assert_array_equal(result, expected)


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
