"""Generated calls of `inv` and `lstsq`, and the rule every call must obey.

A call either returns a new float64 array of the documented shape, equal bit for bit to the
result for a plain float64 copy of the same values, or raises TypeError, ValueError or
MemoryError, exactly as predicted from what NumPy makes of the arguments. In every case the
arguments keep their contents and their reference counts.

The generators draw every choice from a `Source`, so the same code serves a seeded random
fuzzer, atheris (bytes from the fuzzing engine) and tests.
"""

import array
import decimal
import fractions
import gc
import random
import struct
import sys
import warnings

import numpy as np

import inv

# Every element count at or above this needs 2**62 bytes or more as float64: impossible on any
# 64-bit machine, so such an argument must give MemoryError, never an attempt to fill it.
IMPOSSIBLE_ELEMENTS = 2**59
IMPOSSIBLE_SHAPES = [(2**59,), (2**30, 2**29), (2**31, 2**31), (1, 2**59), (2**60, 1), (2**20, 2**20, 2**20)]
NUMERIC_DTYPES = ["?", "i1", "u1", "i2", "u2", "i4", "u4", "i8", "u8", "f2", "f4", "f8", "g", "c8", "c16", "G"]
OTHER_DTYPES = [
    "O",
    "U4",
    "S4",
    "M8[D]",
    "M8[ns]",
    "m8[s]",
    "m8[ns]",
    "V8",
    [("x", "<f8"), ("y", "<i2")],
    [("x", ">f4")],
    ("f8", (2,)),  # a sub-array dtype: NumPy turns it into an extra axis
]
EDGE_FLOATS = [0.0, -0.0, 1.0, -1.0, np.nan, np.inf, -np.inf, 1e308, -1e-308, 5e-324, 2.0**-511, 1e300]
NUMERIC_TEXT = ["1", "-2.5", "nan", "inf", "1e3", " 7 ", "x", "", "1j", "0x10"]


class Finding(AssertionError):
    """A call broke the rule."""


def fresh(number):
    """A new float object of the same value, so its reference count is the caller's alone."""
    return struct.unpack("<d", struct.pack("<d", number))[0]


class Source:
    """Choices from a seeded random generator."""

    def __init__(self, seed):
        self.rng = random.Random(seed)

    def integer(self, low, high):
        return self.rng.randint(low, high)

    def pick(self, options):
        return options[self.integer(0, len(options) - 1)]

    def chance(self, one_in):
        return self.integer(1, one_in) == 1

    def number(self):
        if self.chance(3):
            return fresh(self.pick(EDGE_FLOATS))
        return self.rng.uniform(-10.0, 10.0)


class BytesSource(Source):
    """Choices read from a fuzzing engine's bytes (atheris' FuzzedDataProvider)."""

    def __init__(self, provider):
        self.provider = provider

    def integer(self, low, high):
        return self.provider.ConsumeIntInRange(low, high)

    def number(self):
        if self.chance(3):
            return fresh(self.pick(EDGE_FLOATS))
        return self.provider.ConsumeRegularFloat()


# --- objects that misbehave when NumPy looks at them ---------------------------------------


class Hostile(Exception):
    pass


class ArrayRaises:
    def __init__(self, error):
        self.error = error

    def __array__(self, dtype=None, copy=None):
        raise self.error("no array today")


class ArrayReturns:
    """`__array__` hands back something that may not be an array at all."""

    def __init__(self, value):
        self.value = value

    def __array__(self, dtype=None, copy=None):
        return self.value


class LenRaises:
    def __len__(self):
        raise Hostile("no length")

    def __getitem__(self, index):
        return 1.0


class GetitemRaises:
    def __len__(self):
        return 2

    def __getitem__(self, index):
        raise Hostile("no item")


class ReprRaises:
    """Converts fine through `__array__`; only its `repr` (used in error messages) raises."""

    def __init__(self, value):
        self.value = value

    def __array__(self, dtype=None, copy=None):
        return self.value

    def __repr__(self):
        raise Hostile("no repr")


class ReprStd:
    def __repr__(self):
        return "std::vector<double>"


class FloatRaises:
    """An element that refuses to become a float."""

    def __float__(self):
        raise Hostile("no float")


class ArrayInterface:
    """Exposes another array's memory through `__array_interface__`, keeping it alive."""

    def __init__(self, owner, typestr=None):
        self.owner = owner
        interface = dict(owner.__array_interface__)
        if typestr is not None:
            interface["typestr"] = typestr
        self.__array_interface__ = interface


# --- generators ---------------------------------------------------------------------------


def dtype(source):
    chosen = source.pick(NUMERIC_DTYPES + OTHER_DTYPES)
    result = np.dtype(chosen)
    if result.isnative and result.itemsize > 1 and result.kind in "biufcmM" and source.chance(3):
        result = result.newbyteorder()
    return result


def shape(source):
    ndim = source.pick([0, 1, 1, 2, 2, 2, 2, 3])
    return tuple(source.pick([0, 1, 1, 2, 2, 3, 3, 4, 5]) for _ in range(ndim))


def element(source):
    kind = source.integer(0, 11)
    if kind < 5:
        return source.number()
    return source.pick(
        [
            lambda: source.integer(-(2**70), 2**70),
            lambda: 10**400,
            lambda: complex(source.number(), source.number()),
            lambda: True,
            lambda: None,
            lambda: source.pick(NUMERIC_TEXT),
            lambda: fractions.Fraction(source.integer(-9, 9), source.integer(1, 9)),
            lambda: decimal.Decimal(source.pick(["1.5", "NaN", "-Infinity", "1e-400"])),
            lambda: FloatRaises(),
            lambda: [source.number()],
        ]
    )()


def filled_array(source, array_dtype, array_shape):
    count = int(np.prod(array_shape, dtype=np.int64))
    if array_dtype.kind == "O":
        values = np.empty(count, dtype=object)
        for i in range(count):
            values[i] = element(source)
        return values.reshape(array_shape)
    if array_dtype.kind in "US":
        return np.array([source.pick(NUMERIC_TEXT) for _ in range(count)], dtype=array_dtype).reshape(array_shape)
    if array_dtype.kind in "VmM" or array_dtype.fields is not None or array_dtype.subdtype is not None:
        values = np.zeros(array_shape, dtype=array_dtype)  # a sub-array dtype adds axes here
        raw = values.reshape(-1).view(np.uint8)
        raw[:] = [source.integer(0, 255) for _ in range(raw.size)]
        return values
    floats = np.array([source.number() for _ in range(count)], dtype=np.float64)
    if array_dtype.kind == "c":
        floats = floats.astype(np.complex128)
        floats.imag = [source.number() for _ in range(count)]
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return floats.astype(array_dtype).reshape(array_shape)


def unaligned(values):
    """The same values in memory that starts one byte past an aligned address."""
    raw = np.zeros(values.nbytes + 1, dtype=np.uint8)
    moved = raw[1:].view(values.dtype).reshape(values.shape)
    moved[...] = values
    return moved


def strided(values):
    """The same values in every second element of a larger array (negative steps too)."""
    if values.ndim == 0:
        return values
    wide = np.zeros(tuple(2 * n for n in values.shape), dtype=values.dtype)
    index = tuple(slice(None, None, 2) for _ in values.shape)
    wide[index] = values
    view = wide[index]
    return view[::-1] if values.shape[0] > 1 else view


def readonly(values):
    values = values.copy()
    values.flags.writeable = False
    return values


def masked(values):
    return np.ma.array(values, mask=np.zeros(values.shape, dtype=bool) | (values.size % 2 == 1))


def buffer_view(values):
    try:
        return memoryview(values)
    except (ValueError, TypeError, BufferError):
        return values


LAYOUTS = [
    ("c", np.ascontiguousarray),
    ("fortran", np.asfortranarray),
    ("transposed", lambda v: v.T),
    ("strided", strided),
    ("reversed", lambda v: v[tuple(slice(None, None, -1) for _ in v.shape)]),
    ("readonly", readonly),
    ("unaligned", unaligned),
    ("matrix", lambda v: np.matrix(v) if v.ndim == 2 else v),
    ("masked", masked),
    ("memoryview", buffer_view),
    ("list", lambda v: v.tolist()),
    ("tuple", lambda v: tuple(v.tolist()) if v.ndim else v.tolist()),
    ("broadcast", lambda v: np.broadcast_to(v, (2,) + v.shape) if v.ndim < 2 else v),
]


def generated_array(source):
    values = filled_array(source, dtype(source), shape(source))
    return laid_out(values, source.pick(LAYOUTS)[1])


def laid_out(values, layout):
    """`values` passed through `layout`, or as they are where NumPy refuses the combination."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # np.matrix's PendingDeprecationWarning, for one
        try:
            return layout(values)
        except (ValueError, TypeError):
            return values


def nested(value, depth):
    for _ in range(depth):
        value = [value]
    return value


def looped():
    """A list that contains itself."""
    items = [1.0]
    items.append(items)
    return items


def odd_object(source):
    values = generated_array(source)
    make = source.pick(
        [
            lambda: np.broadcast_to(np.zeros((), dtype=dtype(source)), source.pick(IMPOSSIBLE_SHAPES)),
            lambda: np.empty((0, source.pick([2**31, 2**32, 2**40]))),  # n * n is out of reach
            lambda: [[source.number() for _ in range(source.integer(0, 3))] for _ in range(source.integer(1, 3))],
            lambda: [[source.number(), [source.number()]], [source.number(), source.number()]],
            lambda: nested(source.number(), source.integer(20, 200)),  # deeper than NumPy allows
            lambda: looped(),
            lambda: ArrayRaises(source.pick([ValueError, TypeError, RuntimeError, MemoryError, Hostile])),
            lambda: ArrayReturns(source.pick([values, [1.0, 2.0], None, "x", np.ones((2, 2, 2))])),
            lambda: LenRaises(),
            lambda: GetitemRaises(),
            lambda: ReprRaises(values),
            lambda: ReprStd(),
            lambda: ArrayInterface(np.arange(4.0).reshape(2, 2)),
            lambda: ArrayInterface(np.arange(4.0).reshape(2, 2), typestr=source.pick(["<f4", "|V3", "zz", ">i8"])),
            lambda: array.array(source.pick("bBhHiIlLqQfd"), [source.integer(0, 9) for _ in range(source.integer(0, 4))]),
            lambda: memoryview(bytearray(source.integer(0, 16))),
            lambda: memoryview(np.arange(12.0)).cast("B").cast("d", (3, 4)),
            lambda: memoryview(np.arange(12.0).reshape(3, 4))[::2],
            lambda: bytes(source.integer(0, 4)),
            lambda: source.pick([None, 1, 2.5, 3j, True, "ab", {"a": 1}, {1.0}, object(), (x for x in [1.0])]),
        ]
    )
    try:
        return make()
    except (ValueError, TypeError):  # a combination NumPy itself refuses to build
        return values


def argument(source):
    return odd_object(source) if source.chance(4) else generated_array(source)


def call(source):
    """A generated call: the function's name, positional arguments and keyword arguments."""
    name = source.pick(["inv", "lstsq"])
    wanted = 1 if name == "inv" else 2
    count = wanted if not source.chance(10) else source.integer(0, 3)
    args = [argument(source) for _ in range(count)]
    if name == "inv" and count == 1 and source.chance(2):
        args = [square_matrix(source)]
    if name == "lstsq" and count == 2 and source.chance(2):
        args = matching_lstsq(source)
    kwargs = {}
    if source.chance(15):
        kwargs[source.pick(["a", "b", "arg0", "arg1", "x"])] = argument(source)
    return name, tuple(args), kwargs


def square_matrix(source):
    """A square matrix of a numeric type in some layout, so that most such calls reach the numerics."""
    n = source.pick([0, 1, 2, 3, 4, 6])
    values = filled_array(source, np.dtype(source.pick(NUMERIC_DTYPES)), (n, n))
    return laid_out(values, source.pick(LAYOUTS)[1])


def matching_lstsq(source):
    """An (a, b) pair whose row counts agree, so that most such calls reach the numerics."""
    rows = source.pick([0, 1, 2, 3, 5])
    a = filled_array(source, np.dtype(source.pick(NUMERIC_DTYPES)), (rows, source.pick([0, 1, 2, 3])))
    b = filled_array(source, np.dtype("f8"), (rows,) if source.chance(2) else (rows, 1))
    return [laid_out(a, source.pick(LAYOUTS)[1]), laid_out(b, source.pick(LAYOUTS)[1])]


# --- the rule -----------------------------------------------------------------------------


def fingerprint(value, depth=0):
    """Everything about a caller's object that a call could change, as comparable data."""
    if isinstance(value, np.ndarray):
        owner = value
        while isinstance(owner.base, np.ndarray):
            owner = owner.base
        memory = owner.base if owner.base is not None else owner
        raw = bytes(memoryview(memory).cast("B")) if not isinstance(memory, np.ndarray) else owner.tobytes("A")
        mask = fingerprint(np.ma.getmaskarray(value), depth + 1) if isinstance(value, np.ma.MaskedArray) else None
        return ("array", type(value), value.dtype, value.shape, value.strides, value.flags.writeable, raw, mask)
    if isinstance(value, (list, tuple)) and depth < 4:
        return (type(value), len(value), tuple(fingerprint(item, depth + 1) for item in value))
    if isinstance(value, memoryview):
        return ("memoryview", value.format, value.shape, value.tobytes())
    if isinstance(value, (bytearray, array.array)):
        return (type(value), bytes(value))
    if isinstance(value, float):
        return ("float", struct.pack("<d", value))
    if isinstance(value, ArrayInterface):
        return ("interface", fingerprint(value.owner, depth + 1))
    if isinstance(value, (ReprRaises, ArrayReturns)):
        return (type(value), fingerprint(value.value, depth + 1))
    return ("object", id(value))


def element_count(value):
    return int(np.prod(value.shape, dtype=object))


def converted(value, kind):
    """What the module's conversion should make of one argument: ("ok", float64 copy),
    ("MemoryError", None) or ("TypeError", None). NumPy's errors reject the argument, except
    MemoryError, which the call raises."""
    try:
        source_array = np.asarray(value)
    except MemoryError:
        return "MemoryError", None
    except Exception:
        return "TypeError", None
    if source_array.ndim not in (1, 2):
        return "TypeError", None
    if kind == "vector" and source_array.ndim == 2 and source_array.shape[1] != 1 and source_array.shape != (1, 1):
        return "TypeError", None
    if kind == "matrix":
        target_shape = source_array.shape if source_array.ndim == 2 else (source_array.shape[0], 1)
    else:
        target_shape = (source_array.size,)
    if element_count(source_array) >= IMPOSSIBLE_ELEMENTS:
        return "MemoryError", None
    copy = np.empty(source_array.shape, dtype=np.float64)
    try:
        np.copyto(copy, source_array, casting="unsafe")
    except MemoryError:
        return "MemoryError", None
    except Exception:
        return "TypeError", None
    return "ok", np.asfortranarray(copy.reshape(target_shape, order="C"))


def expected_outcome(name, args, kwargs):
    """("ok", reference result) or (exception name, None) for a call, predicted from NumPy."""
    wanted = ["matrix"] if name == "inv" else ["matrix", "vector"]
    if len(args) != len(wanted) or kwargs:
        return "TypeError", None
    outcomes = [converted(value, kind) for value, kind in zip(args, wanted)]
    for verdict, _ in outcomes:
        if verdict == "MemoryError":
            return "MemoryError", None
    if any(verdict != "ok" for verdict, _ in outcomes):
        return "TypeError", None
    copies = [copy for _, copy in outcomes]
    if name == "inv":
        if copies[0].shape[0] != copies[0].shape[1]:
            return "ValueError", None
    else:
        if copies[1].shape[0] != copies[0].shape[0]:
            return "ValueError", None
        if copies[0].shape[1] ** 2 >= IMPOSSIBLE_ELEMENTS:
            return "MemoryError", None
    return "ok", getattr(inv, name)(*copies)


def same_bits(one, other):
    return one.shape == other.shape and np.ascontiguousarray(one).tobytes() == np.ascontiguousarray(other).tobytes()


# Instances the interpreter shares and whose reference counts move with unrelated work.
SHARED_TYPES = (type(None), bool, int, str, bytes, np.bool_)


def check_call(name, args, kwargs):
    """Make the call, hold it to the rule and return the outcome's name; raise Finding if not."""
    function = getattr(inv, name)
    # A garbage collection during the call could drop references that cyclic garbage held to
    # an argument; holding collection off makes the counts move only by the call's doing.
    collecting = gc.isenabled()
    gc.disable()
    try:
        return _checked_call(name, function, args, kwargs)
    finally:
        if collecting:
            gc.enable()


def _checked_call(name, function, args, kwargs):
    prints = [fingerprint(value) for value in args] + [fingerprint(value) for value in kwargs.values()]
    counts = [sys.getrefcount(value) for value in args if type(value) not in SHARED_TYPES]
    with warnings.catch_warnings(record=True), np.errstate(all="ignore"):
        warnings.simplefilter("always")
        try:
            result = function(*args, **kwargs)
            outcome = "ok"
        except (TypeError, ValueError, MemoryError) as error:
            result, outcome = None, type(error).__name__
        except Exception as error:
            raise Finding(f"{name} raised {type(error).__name__}: {error}") from error
        after = [sys.getrefcount(value) for value in args if type(value) not in SHARED_TYPES]
        expected, reference = expected_outcome(name, args, kwargs)
    if after != counts:
        raise Finding(f"{name} changed argument reference counts {counts} -> {after}")
    if [fingerprint(value) for value in args] + [fingerprint(value) for value in kwargs.values()] != prints:
        raise Finding(f"{name} changed an argument")
    if outcome != expected:
        raise Finding(f"{name} gave {outcome}, expected {expected}")
    if outcome == "ok":
        if type(result) is not np.ndarray or result.dtype != np.float64 or not result.dtype.isnative:
            raise Finding(f"{name} returned {type(result).__name__} of {getattr(result, 'dtype', None)}")
        if not result.flags.writeable or not result.flags.f_contiguous:
            raise Finding(f"{name} returned an array with flags {result.flags}")
        if not same_bits(result, reference):
            raise Finding(f"{name} returned {result!r}, a float64 copy of the arguments gives {reference!r}")
    return outcome
