"""The module object, its two functions and the exact texts a caller sees."""

import pickle
import types

import numpy as np
import pytest

import inv

INV_SIGNATURE = "(arg0: numpy.ndarray[numpy.float64[m, n]]) -> numpy.ndarray[numpy.float64[m, n]]"
LSTSQ_SIGNATURE = (
    "(arg0: numpy.ndarray[numpy.float64[m, n]], arg1: numpy.ndarray[numpy.float64[m, 1]])"
    " -> numpy.ndarray[numpy.float64[m, 1]]"
)
SIGNATURES = {"inv": INV_SIGNATURE, "lstsq": LSTSQ_SIGNATURE}


def incompatible(name, invoked_with):
    return (
        f"{name}(): incompatible function arguments. The following argument types are supported:\n"
        f"    1. {SIGNATURES[name]}\n\nInvoked with: {invoked_with}"
    )


class ReprRaises:
    def __repr__(self):
        raise RuntimeError("no repr")


def test_module_identity():
    assert inv.__name__ == "code"
    assert inv.__doc__ == "auto-compiled c++ extension"
    standard = {"__doc__", "__file__", "__loader__", "__name__", "__package__", "__spec__"}
    assert set(vars(inv)) - standard == {"inv", "lstsq"}
    assert [name for name in vars(inv) if name in {"inv", "lstsq"}] == ["inv", "lstsq"]


@pytest.mark.parametrize("name", ["inv", "lstsq"])
def test_function_identity_and_docstring(name):
    function = getattr(inv, name)
    assert isinstance(function, types.BuiltinFunctionType)
    assert function.__name__ == name
    assert function.__module__ == "code"
    assert function.__doc__ == f"{name}{SIGNATURES[name]}\n"


@pytest.mark.parametrize("name", ["inv", "lstsq"])
def test_functions_cannot_be_pickled(name):
    # Their module name, "code", is not where pickle could find them again; README shows the
    # wrapper that a process pool needs (examples/process_pool.py runs it).
    with pytest.raises(TypeError, match=r"^cannot pickle 'PyCapsule' object$"):
        pickle.dumps(getattr(inv, name))


@pytest.mark.valgrind
@pytest.mark.parametrize(
    "name, args, kwargs, invoked_with",
    [
        ("inv", ("x",), {}, "'x'"),
        ("inv", (), {}, ""),
        ("inv", (np.eye(2), np.eye(2)), {}, "array([[1., 0.],\n       [0., 1.]]), array([[1., 0.],\n       [0., 1.]])"),
        ("inv", (), {"a": 1}, "kwargs: a=1"),
        ("inv", ([[1.0]],), {"a": [[1.0]]}, "[[1.0]]; kwargs: a=[[1.0]]"),
        ("inv", (None,), {}, "None"),
        ("inv", (ReprRaises(),), {}, "<repr raised Error>"),
        ("inv", (), {"k": ReprRaises()}, "kwargs: k=<repr raised Error>"),
        ("lstsq", (1,), {"b": 2}, "1; kwargs: b=2"),
        ("lstsq", (np.eye(2),), {}, "array([[1., 0.],\n       [0., 1.]])"),
        ("lstsq", ("a", "b"), {}, "'a', 'b'"),
        ("lstsq", ([1.0], [1.0], [1.0]), {}, "[1.0], [1.0], [1.0]"),
    ],
)
def test_incompatible_arguments_message(name, args, kwargs, invoked_with):
    with pytest.raises(TypeError) as info:
        getattr(inv, name)(*args, **kwargs)
    assert str(info.value) == incompatible(name, invoked_with)
    assert info.value.__cause__ is None


@pytest.mark.parametrize("args, kwargs", [(("std::x",), {}), ((), {"std::k": 1}), ((), {"k": "std::v"})])
def test_std_in_message_appends_the_conversion_note(args, kwargs):
    with pytest.raises(TypeError) as info:
        inv.inv(*args, **kwargs)
    message = str(info.value)
    assert "\n\nInvoked with: " in message
    tail = message.split("\n\nDid you forget to ", 1)
    assert len(tail) == 2 and "std::" in tail[0]
    assert "#include <pybind11/stl.h>" in tail[1]
