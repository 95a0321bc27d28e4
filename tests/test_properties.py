"""Property-based tests: arrays of every kind NumPy has, in every layout, hold to the same rule
as the fuzzer's calls (see arguments.py beside this file), and wrong argument lists are
rejected. The numerical identities are in test_numerics.py."""

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as npst

import arguments  # the fuzzers' generators and rule, beside this file
import inv

SETTINGS = settings(max_examples=250, deadline=None, suppress_health_check=[HealthCheck.too_slow])

any_dtype = st.one_of(
    npst.boolean_dtypes(),
    npst.integer_dtypes(endianness="?"),
    npst.unsigned_integer_dtypes(endianness="?"),
    npst.floating_dtypes(endianness="?"),
    npst.complex_number_dtypes(endianness="?"),
    npst.datetime64_dtypes(endianness="?"),
    npst.timedelta64_dtypes(endianness="?"),
    npst.byte_string_dtypes(max_len=3),
    npst.unicode_string_dtypes(max_len=3),
    npst.array_dtypes(allow_subarrays=True, max_size=2),
)
shapes = npst.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=4)
layouts = st.sampled_from(arguments.LAYOUTS)


@st.composite
def caller_arrays(draw, shape=shapes):
    values = draw(npst.arrays(dtype=any_dtype, shape=shape))
    return arguments.laid_out(values, draw(layouts)[1])


object_arrays = npst.arrays(
    dtype=np.dtype(object),
    shape=shapes,
    elements=st.one_of(st.floats(), st.integers(), st.none(), st.text(max_size=3), st.complex_numbers()),
)
square = st.integers(0, 5).map(lambda n: (n, n))


@SETTINGS
@given(st.one_of(caller_arrays(), object_arrays, caller_arrays(shape=square)))
def test_inv_holds_to_the_rule_for_any_array(value):
    arguments.check_call("inv", (value,), {})


@SETTINGS
@given(
    st.integers(0, 5).flatmap(
        lambda rows: st.tuples(
            caller_arrays(shape=st.tuples(st.just(rows), st.integers(0, 4))),
            caller_arrays(shape=st.sampled_from([(rows,), (rows, 1)])),
        )
    )
    | st.tuples(caller_arrays(), st.one_of(caller_arrays(), object_arrays))
)
def test_lstsq_holds_to_the_rule_for_any_pair(pair):
    arguments.check_call("lstsq", pair, {})


finite = st.floats(-100, 100, allow_nan=False, allow_infinity=False)


@pytest.mark.parametrize("name", ["inv", "lstsq"])
@given(st.data())
@SETTINGS
def test_wrong_argument_counts_and_keywords_give_type_error(name, data):
    count = data.draw(st.integers(0, 4))
    keywords = data.draw(st.dictionaries(st.sampled_from(["a", "b", "arg0", "arg1", "x"]), finite, max_size=2))
    wanted = 1 if name == "inv" else 2
    if count == wanted and not keywords:
        count += 1
    values = tuple(np.eye(2) for _ in range(count))
    with pytest.raises(TypeError, match="incompatible function arguments"):
        getattr(inv, name)(*values, **keywords)
