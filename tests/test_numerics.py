"""Values of the inverse and the least-squares solve, exact where every step is exact."""

import numpy as np
import pytest
from hypothesis import given, settings
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
        ([2.0], [[0.5]]),
        ([[0.0, 2.0], [4.0, 0.0]], [[0.0, 0.25], [0.5, 0.0]]),
        # second pivot exactly zero
        ([[1.0, 2.0], [2.0, 4.0]], [[-inf, inf], [inf, -inf]]),
        # a zero pivot in the last column poisons every row above it
        ([[2.0, 0.0], [0.0, 0.0]], [[nan, nan], [nan, inf]]),
        # ties in the pivot search keep the topmost row: no exchange, exact result
        ([[1.0, 1.0], [-1.0, 1.0]], [[0.5, -0.5], [0.5, 0.5]]),
        (np.zeros((0, 0)), np.zeros((0, 0))),
        (np.diag([2.0, 4.0, 8.0, 0.5]), np.diag([0.5, 0.25, 0.125, 2.0])),
    ],
)
def test_inverse_exact_cases(a, expected):
    np.testing.assert_array_equal(inv.inv(a), expected)


def test_zero_pivot_in_a_middle_column_leaves_later_rows_finite():
    a = np.array([[1.0, 0.0, 1.0], [0.0, 0.0, 1.0], [0.0, 0.0, 2.0]])
    np.testing.assert_array_equal(inv.inv(a), [[nan, nan, nan], [nan, inf, -inf], [0.0, 0.0, 0.5]])


@pytest.mark.parametrize(
    "a, b, expected",
    [
        ([[1.0, 0.0], [0.0, 1.0], [1.0, 1.0]], [1.0, 2.0, 3.0], [1.0, 2.0]),
        ([[1.0], [1.0]], [1.0, 3.0], [2.0]),
        ([1.0, 1.0], [1.0, 3.0], [2.0]),
        (np.zeros((3, 0)), [1.0, 2.0, 3.0], np.zeros(0)),
        (np.zeros((0, 3)), np.zeros(0), [0.0, 0.0, 0.0]),
        (np.zeros((3, 2)), [4.0, -1.0, 9.0], [0.0, 0.0]),
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


@pytest.mark.parametrize("shape", [(2, 3), (3, 2), (0, 3), (3, 0), (5, 1)])
def test_inverse_of_non_square_matrix_is_a_value_error(shape):
    rows, cols = shape
    with pytest.raises(ValueError, match=rf"^inv\(\) needs a square matrix, got shape \({rows}, {cols}\)$"):
        inv.inv(np.ones(shape))


def test_one_dimensional_argument_longer_than_one_is_a_column():
    with pytest.raises(ValueError, match=r"shape \(3, 1\)"):
        inv.inv([1.0, 2.0, 3.0])


@pytest.mark.parametrize("rows, entries", [(3, 2), (2, 3), (0, 1), (1, 0)])
def test_lstsq_with_mismatched_lengths_is_a_value_error(rows, entries):
    message = rf"^lstsq\(\) needs one entry of b per row of a, got a with {rows} rows and b with {entries} entries$"
    with pytest.raises(ValueError, match=message):
        inv.lstsq(np.ones((rows, 2)), np.ones(entries))


@pytest.mark.parametrize("n", [1, 2, 3, 4, 5, 8, 17, 64, 150])
def test_inverse_matches_numpy_on_well_conditioned_matrices(n):
    rng = np.random.default_rng(n)
    a = rng.standard_normal((n, n)) + n * np.eye(n)
    result = inv.inv(a)
    np.testing.assert_allclose(result, np.linalg.inv(a), rtol=1e-10, atol=1e-13)
    np.testing.assert_allclose(result @ a, np.eye(n), atol=1e-12)


@pytest.mark.parametrize("m, n", [(1, 1), (5, 3), (40, 7), (300, 40), (2000, 120)])
def test_lstsq_matches_numpy_on_full_rank_systems(m, n):
    rng = np.random.default_rng(m * n)
    a = rng.standard_normal((m, n))
    b = rng.standard_normal(m)
    np.testing.assert_allclose(inv.lstsq(a, b), np.linalg.lstsq(a, b, rcond=None)[0], rtol=1e-9, atol=1e-12)


@settings(max_examples=60, deadline=None)
@given(
    hnp.arrays(
        np.float64,
        hnp.array_shapes(min_dims=2, max_dims=2, min_side=1, max_side=8),
        elements=st.floats(-4, 4, allow_nan=False, allow_subnormal=False),
    )
)
def test_lstsq_solves_the_normal_equations(a):
    rng = np.random.default_rng(a.size)
    a = a + rng.standard_normal(a.shape)  # nudges away from exact rank deficiency
    m, n = a.shape
    b = rng.standard_normal(m)
    if np.linalg.cond(a) > 1e5:
        return
    x = inv.lstsq(a, b)
    assert x.shape == (n,)
    np.testing.assert_allclose(a.T @ (a @ x), a.T @ b, atol=1e-8 * (1 + np.abs(a.T @ b).max()))


@settings(max_examples=60, deadline=None)
@given(st.integers(1, 12), st.integers(0, 2**32 - 1))
def test_inverse_times_matrix_is_identity(n, seed):
    a = np.random.default_rng(seed).standard_normal((n, n)) + 2 * n * np.eye(n)
    np.testing.assert_allclose(a @ inv.inv(a), np.eye(n), atol=1e-12)
