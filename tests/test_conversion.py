"""How arguments become argument copies and how results come back as arrays."""

import numpy as np
import pytest

import inv

A = np.array([[4.0, 1.0, 2.0], [1.0, 5.0, 3.0], [2.0, 3.0, 6.0]])
A_INV = np.linalg.inv(A)
M = np.array([[1.0, 2.0], [3.0, 4.0], [5.0, 7.0], [2.0, 1.0]])
Y = np.array([1.0, 2.0, 2.0, 5.0])
X = np.linalg.lstsq(M, Y, rcond=None)[0]
ComplexWarning = getattr(np, "exceptions", np).ComplexWarning


def strided(values):
    """A view holding `values` in every second row and column of a larger array."""
    values = np.asarray(values)
    wide = np.zeros((2 * values.shape[0], 2 * values.shape[1]))
    wide[::2, ::2] = values
    return wide[::2, ::2]


def byteswapped(values):
    values = np.asarray(values)
    return values.astype(values.dtype.newbyteorder())


def readonly(values):
    values = np.array(values)
    values.flags.writeable = False
    return values


LAYOUTS = {
    "c": np.ascontiguousarray,
    "fortran": np.asfortranarray,
    "strided": strided,
    "readonly": readonly,
    "byteswapped": byteswapped,
    "list": lambda values: np.asarray(values).tolist(),
    "tuple": lambda values: tuple(map(tuple, np.asarray(values))),
    "reversed_view": lambda values: np.ascontiguousarray(np.asarray(values)[::-1, ::-1])[::-1, ::-1],
}


@pytest.mark.valgrind
@pytest.mark.parametrize("layout", LAYOUTS)
def test_layouts_give_the_same_result(layout):
    np.testing.assert_array_equal(inv.inv(LAYOUTS[layout](A)), inv.inv(A))
    np.testing.assert_allclose(inv.inv(A), A_INV, rtol=1e-13, atol=1e-16)
    np.testing.assert_array_equal(inv.lstsq(LAYOUTS[layout](M), Y), inv.lstsq(M, Y))
    np.testing.assert_allclose(inv.lstsq(M, Y), X, rtol=1e-12)


@pytest.mark.valgrind
@pytest.mark.parametrize(
    "dtype", [np.float64, np.float32, np.int64, np.int8, np.uint16, np.float16, np.longdouble, bool]
)
def test_element_types_are_cast_to_float64(dtype):
    values = np.array([[1, 0], [1, 1]]).astype(dtype)
    expected = inv.inv(values.astype(np.float64))
    result = inv.inv(values)
    assert result.dtype == np.float64
    np.testing.assert_array_equal(result, expected)
    np.testing.assert_array_equal(inv.lstsq(values, np.array([1, 1]).astype(dtype)), [1.0, 0.0])


@pytest.mark.valgrind
def test_complex_elements_give_their_real_part_with_numpy_warning():
    with pytest.warns(ComplexWarning):
        result = inv.inv(np.array([[2 + 5j]]))
    np.testing.assert_array_equal(result, [[0.5]])


@pytest.mark.valgrind
@pytest.mark.parametrize(
    "a, b",
    [
        ([1.0, 1.0], [1.0, 3.0]),  # 1-D a is a column
        ([[1.0], [1.0]], [[1.0], [3.0]]),  # (n, 1) b is a vector
        ([1.0, 1.0], np.array([[1.0], [3.0]], order="F")),
        (np.array([[1.0], [1.0]]), (1, 3)),
    ],
)
def test_one_and_two_dimensional_forms(a, b):
    result = inv.lstsq(a, b)
    assert result.shape == (1,)
    np.testing.assert_array_equal(result, [2.0])


@pytest.mark.valgrind
@pytest.mark.parametrize("a", [[2.0], [[2.0]], np.array([2.0], dtype=np.int32)])
@pytest.mark.parametrize("b", [[2.0], [[2.0]]])
def test_one_element_inputs_fit_both_kinds(a, b):
    np.testing.assert_array_equal(inv.inv(a), [[0.5]])
    np.testing.assert_array_equal(inv.lstsq(a, b), [1.0])


@pytest.mark.valgrind
@pytest.mark.parametrize(
    "argument",
    [
        1.5,
        np.float64(2.0),
        np.array(2.0),
        np.ones((2, 2, 2)),
        np.ones((1, 1, 1)),
        None,
        "x",
        b"ab",
        [[1.0, 2.0], [3.0]],
        [[1.0, "a"], [2.0, 3.0]],
        np.array([["a", "b"], ["c", "d"]]),
        np.zeros((2, 2), dtype=[("x", "f8"), ("y", "f8")]),
        {"a": 1},
        object(),
    ],
    ids=repr,
)
def test_unconvertible_arguments_are_rejected(argument):
    with pytest.raises(TypeError, match=r"^inv\(\): incompatible function arguments"):
        inv.inv(argument)
    with pytest.raises(TypeError, match=r"^lstsq\(\): incompatible function arguments"):
        inv.lstsq(argument, [1.0, 2.0])


class OutOfMemory:
    def __array__(self, dtype=None, copy=None):
        raise MemoryError("no memory for the array")


@pytest.mark.valgrind
@pytest.mark.parametrize("call", [lambda x: inv.inv(x), lambda x: inv.lstsq(x, [1.0]),
                                  lambda x: inv.lstsq([[1.0]], x)], ids=["inv", "lstsq a", "lstsq b"])
def test_running_out_of_memory_while_converting_is_no_type_error(call):
    with pytest.raises(MemoryError, match="^no memory for the array$"):
        call(OutOfMemory())


@pytest.mark.valgrind
@pytest.mark.parametrize("b", [np.ones((1, 2)), np.ones((2, 2)), [[1.0, 2.0]]])
def test_right_hand_side_must_be_a_column(b):
    with pytest.raises(TypeError, match=r"^lstsq\(\): incompatible"):
        inv.lstsq(np.ones((2, 2)), b)


class RecordsConversion:
    def __init__(self, values):
        self.values = np.asarray(values, dtype=float)
        self.conversions = 0

    def __array__(self, dtype=None, copy=None):
        self.conversions += 1
        return self.values


@pytest.mark.valgrind
def test_every_argument_is_converted_before_any_is_judged():
    b = RecordsConversion([1.0, 2.0])
    with pytest.raises(TypeError):
        inv.lstsq("not an array", b)
    assert b.conversions == 1
    np.testing.assert_array_equal(inv.lstsq(np.ones((2, 1)), b), [1.5])
    assert b.conversions == 2


@pytest.mark.parametrize("value, inverse", [(np.nan, np.nan), (np.inf, 0.0), (-np.inf, -0.0)])
def test_conversion_does_not_inspect_values(value, inverse):
    result = inv.inv([[value]])
    np.testing.assert_array_equal(result, [[inverse]])
    assert np.signbit(result[0, 0]) == np.signbit(inverse)


@pytest.mark.parametrize(
    "call",
    [
        lambda a, b: inv.inv(a),
        lambda a, b: inv.lstsq(a, b),
        lambda a, b: inv.lstsq(a, b[:2]),  # wrong length
        lambda a, b: inv.inv(a[:, :2]),  # not square
        lambda a, b: inv.lstsq(a, np.stack([b, b], axis=1)),  # rejected b
        lambda a, b: inv.inv(a, b),  # wrong count
    ],
)
@pytest.mark.valgrind
@pytest.mark.parametrize("make", [np.asfortranarray, strided, byteswapped])
def test_callers_arrays_are_never_written(call, make):
    a = make(A)
    b = np.array([1.0, -2.0, 0.5])
    a_before, b_before = a.tobytes(), b.tobytes()
    try:
        call(a, b)
    except (TypeError, ValueError):
        pass
    assert a.tobytes() == a_before and b.tobytes() == b_before


@pytest.mark.valgrind
def test_matrix_result_array():
    result = inv.inv(A)
    assert type(result) is np.ndarray
    assert result.shape == (3, 3) and result.dtype == np.float64
    assert result.dtype.isnative
    assert result.strides == (8, 24)
    assert result.flags.f_contiguous and not result.flags.c_contiguous
    assert result.flags.writeable and not result.flags.owndata
    assert result.ctypes.data % 64 == 0  # the argument copy it was made in starts a cache line
    assert type(result.base).__name__ == "PyCapsule"
    again = inv.inv(A)
    result[0, 0] = 123.0
    assert again[0, 0] != 123.0


@pytest.mark.valgrind
def test_vector_result_array():
    result = inv.lstsq(M, Y)
    assert type(result) is np.ndarray
    assert result.shape == (2,) and result.strides == (8,)
    assert result.flags.c_contiguous and result.flags.writeable and not result.flags.owndata
    assert result.ctypes.data % 64 == 0
    assert type(result.base).__name__ == "PyCapsule"
    assert inv.lstsq(M, Y) is not result


@pytest.mark.valgrind
def test_result_storage_outlives_the_array_through_views():
    view = inv.inv(A)[1:, :]
    expected = A_INV[1:, :]
    np.testing.assert_allclose(view, expected, rtol=1e-13, atol=1e-16)
    assert type(view.base.base).__name__ == "PyCapsule"


@pytest.mark.valgrind
@pytest.mark.parametrize(
    "call, shape",
    [
        (lambda: inv.inv(np.zeros((0, 0))), (0, 0)),
        (lambda: inv.lstsq(np.zeros((3, 0)), [1.0, 2.0, 3.0]), (0,)),
    ],
)
def test_empty_results_own_their_storage(call, shape):
    result = call()
    assert result.shape == shape and result.dtype == np.float64
    assert result.flags.owndata and result.base is None


IMPOSSIBLE = (2**30, 2**29)  # 2**62 bytes of float64: no 64-bit machine has that much


@pytest.mark.valgrind
@pytest.mark.parametrize(
    "call",
    [
        lambda: inv.inv(np.broadcast_to(1.0, IMPOSSIBLE)),
        lambda: inv.lstsq(np.broadcast_to(1.0, IMPOSSIBLE), [1.0]),
        lambda: inv.lstsq([[1.0]], np.broadcast_to(1.0, (2**59,))),
        # no rows, but n * n exceeds the signed 64-bit range
        lambda: inv.lstsq(np.empty((0, 2**32)), np.empty(0)),
    ],
    ids=["inv argument", "lstsq matrix", "lstsq vector", "lstsq normal matrix"],
)
def test_impossible_allocations_raise_memory_error(call):
    with pytest.raises(MemoryError, match="^std::bad_alloc$"):
        call()
