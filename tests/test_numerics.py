"""Values of the inverse and the least-squares solve: exact where every step is exact, and the
defining identities on generated input. The comparisons with NumPy at every size class are in
test_kernels.py."""

import numpy as np
import pytest
from hypothesis import assume, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import inv

nan, inf = np.nan, np.inf


@pytest.mark.parametrize(
    "a, expected",
    [
        (np.eye(3), np.eye(3)),
        ([[2.0]], [[0.5]]),
        ([[0.0]], [[inf]]),
        pytest.param([2.0], [[0.5]], marks=pytest.mark.valgrind),
        pytest.param([[0.0, 2.0], [4.0, 0.0]], [[0.0, 0.25], [0.5, 0.0]], marks=pytest.mark.valgrind),
        # second pivot exactly zero
        ([[1.0, 2.0], [2.0, 4.0]], [[-inf, inf], [inf, -inf]]),
        # a zero pivot in the last column poisons every row above it
        ([[2.0, 0.0], [0.0, 0.0]], [[nan, nan], [nan, inf]]),
        # ties in the pivot search keep the topmost row: no exchange, exact result
        ([[1.0, 1.0], [-1.0, 1.0]], [[0.5, -0.5], [0.5, 0.5]]),
        pytest.param(np.zeros((0, 0)), np.zeros((0, 0)), marks=pytest.mark.valgrind),
        (np.diag([2.0, 4.0, 8.0, 0.5]), np.diag([0.5, 0.25, 0.125, 2.0])),
    ],
)
def test_inverse_exact_cases(a, expected):
    np.testing.assert_array_equal(inv.inv(a), expected)


def test_zero_pivot_in_a_middle_column_leaves_later_rows_finite():
    a = np.array([[1.0, 0.0, 1.0], [0.0, 0.0, 1.0], [0.0, 0.0, 2.0]])
    np.testing.assert_array_equal(inv.inv(a), [[nan, nan, nan], [nan, inf, -inf], [0.0, 0.0, 0.5]])


@pytest.mark.valgrind
@pytest.mark.parametrize(
    "a, b, expected",
    [
        ([[1.0, 0.0], [0.0, 1.0], [1.0, 1.0]], [1.0, 2.0, 3.0], [1.0, 2.0]),
        ([[1.0], [1.0]], [1.0, 3.0], [2.0]),
        ([1.0, 1.0], [1.0, 3.0], [2.0]),
        (np.zeros((3, 0)), [1.0, 2.0, 3.0], np.zeros(0)),
        (np.zeros((0, 3)), np.zeros(0), [0.0, 0.0, 0.0]),
        (np.zeros((3, 2)), [4.0, -1.0, 9.0], [0.0, 0.0]),
        (np.zeros((4, 3)), [1.0, 2.0, 3.0, 4.0], [0.0, 0.0, 0.0]),
        # rank one, tied pivots: the first column is eliminated first
        ([[1.0, 1.0], [1.0, 1.0]], [1.0, 1.0], [1.0, 0.0]),
        # rank one, the longer second column is eliminated first
        ([[1.0, 2.0], [2.0, 4.0], [3.0, 6.0]], [1.0, 2.0, 3.0], [0.0, 0.5]),
        ([[1.0, 0.0], [2.0, 0.0]], [1.0, 2.0], [1.0, 0.0]),
        ([[0.0, 1.0], [0.0, 2.0]], [1.0, 2.0], [0.0, 1.0]),
        ([[0.0], [0.0]], [5.0, 7.0], [0.0]),
        # a zero pivot followed by a usable one
        ([[1.0, 1.0, 0.0], [0.0, 0.0, 1.0], [1.0, 1.0, 1.0]], [1.0, 2.0, 3.0], [1.0, 0.0, 2.0]),
        # pivots at, just above and below the smallest normal double
        ([[2.0**-511]], [2.0**-511], [0.0]),
        ([[1.5e-154]], [1.5e-154], [1.0]),
        ([[1e-154]], [1e-154], [0.0]),
        ([[nan]], [1.0], [0.0]),
    ],
)
def test_lstsq_exact_cases(a, b, expected):
    np.testing.assert_array_equal(inv.lstsq(a, b), expected)


@pytest.mark.parametrize("position, value", [(0, nan), (1, inf), (2, -inf)])
def test_lstsq_does_not_swallow_non_finite_right_hand_sides(position, value):
    b = np.ones(3)
    b[position] = value
    assert not np.isfinite(inv.lstsq(np.eye(3), b)[position])


@pytest.mark.valgrind
@pytest.mark.parametrize("shape", [(2, 3), (3, 2), (0, 3), (3, 0), (5, 1)])
def test_inverse_of_non_square_matrix_is_a_value_error(shape):
    rows, cols = shape
    with pytest.raises(ValueError, match=rf"^inv\(\) needs a square matrix, got shape \({rows}, {cols}\)$"):
        inv.inv(np.ones(shape))


def test_one_dimensional_argument_longer_than_one_is_a_column():
    with pytest.raises(ValueError, match=r"shape \(3, 1\)"):
        inv.inv([1.0, 2.0, 3.0])


@pytest.mark.valgrind
@pytest.mark.parametrize("rows, entries", [(3, 2), (2, 3), (0, 1), (1, 0)])
def test_lstsq_with_mismatched_lengths_is_a_value_error(rows, entries):
    message = rf"^lstsq\(\) needs one entry of b per row of a, got a with {rows} rows and b with {entries} entries$"
    with pytest.raises(ValueError, match=message):
        inv.lstsq(np.ones((rows, 2)), np.ones(entries))


finite = st.floats(-100, 100, allow_nan=False, allow_infinity=False)


@settings(max_examples=100, deadline=None)
@given(st.integers(1, 12).flatmap(lambda n: hnp.arrays(np.float64, (n, n), elements=finite)))
def test_inverse_times_matrix_is_identity(values):
    n = values.shape[0]
    a = values + (np.abs(values).sum(axis=1).max() + 1.0) * np.eye(n)  # diagonally dominant
    np.testing.assert_allclose(a @ inv.inv(a), np.eye(n), atol=1e-12)


@st.composite
def least_squares_problems(draw):
    if draw(st.booleans()):
        # Any shape, wide ones included, nudged away from exact rank deficiency.
        a = draw(
            hnp.arrays(
                np.float64,
                hnp.array_shapes(min_dims=2, max_dims=2, min_side=1, max_side=8),
                elements=st.floats(-4, 4, allow_nan=False, allow_subnormal=False),
            )
        )
        rng = np.random.default_rng(a.size)
        a = a + rng.standard_normal(a.shape)
        assume(np.linalg.cond(a) <= 1e5)
        return a, rng.standard_normal(a.shape[0])
    # Tall, with entries up to 100 on top of a dominant square block: full column rank.
    n = draw(st.integers(1, 5))
    a = draw(hnp.arrays(np.float64, (n + 3, n), elements=finite))
    a = a + np.vstack([10.0 * (np.abs(a).max() + 1.0) * np.eye(n), np.zeros((3, n))])
    return a, draw(hnp.arrays(np.float64, n + 3, elements=finite))


@settings(max_examples=120, deadline=None)
@given(least_squares_problems())
def test_lstsq_residual_is_orthogonal_to_the_columns(problem):
    """The solution satisfies the normal equations: a.T @ (a @ x - b) vanishes up to rounding."""
    a, b = problem
    x = inv.lstsq(a, b)
    assert x.shape == (a.shape[1],)
    scale = np.abs(a).max() ** 2 * (np.abs(x).max() + np.abs(b).max() + 1.0)
    np.testing.assert_allclose(a.T @ (a @ x - b), 0.0, atol=1e-11 * scale)
