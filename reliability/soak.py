"""Leak soak: many calls mixing accepted calls, rejected calls (TypeError, ValueError) and
MemoryError paths, then checks that resident memory grew by less than a bound and that no
argument's reference count moved. Exits 1 if either check fails.

    python reliability/soak.py [--calls 100000] [--max-growth-mb 4]
"""

import argparse
import ctypes
import gc
import sys
import time

import numpy as np

import inv

IMPOSSIBLE = (2**30, 2**29)  # 2**62 bytes as float64: never obtainable


def under_address_sanitizer():
    """ASan keeps freed blocks in quarantine, so resident memory says nothing about leaks
    there; LeakSanitizer judges them at exit instead."""
    return hasattr(ctypes.CDLL(None), "__asan_init")


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


def workload():
    """(name, call, expected exception or None) for each kind of call in the mix."""
    rng = np.random.default_rng(5)
    square = rng.standard_normal((4, 4)) + 4 * np.eye(4)
    tall = rng.standard_normal((6, 3))
    rhs = rng.standard_normal(6)
    big = rng.standard_normal((96, 96)) + 96 * np.eye(96)  # a 72 KiB result, dropped at once
    arguments = {
        "square": square,
        "square_fortran_int": np.asfortranarray((square * 10).astype(np.int32)),
        "square_list": square.tolist(),
        "tall": tall,
        "tall_strided": np.repeat(tall, 2, axis=1)[:, ::2],
        "rhs": rhs,
        "rhs_column": rhs[:, None].copy(),
        "big": big,
        "text": "std::x",
        "cube": np.ones((2, 2, 2)),
        "ragged": [[1.0, 2.0], [3.0]],
        "wide_rhs": np.ones((6, 2)),
        "impossible": np.broadcast_to(1.0, IMPOSSIBLE),
        "impossible_vector": np.broadcast_to(1.0, (2**59,)),
        "no_rows_huge": np.empty((0, 2**32)),
        "empty": np.empty(0),
    }
    a = arguments
    calls = [
        ("inv", lambda: inv.inv(a["square"]), None),
        ("inv fortran int32", lambda: inv.inv(a["square_fortran_int"]), None),
        ("inv list", lambda: inv.inv(a["square_list"]), None),
        ("inv 96x96", lambda: inv.inv(a["big"]), None),
        ("inv kept view", lambda: inv.inv(a["square"])[1:, ::2].copy(), None),
        ("lstsq", lambda: inv.lstsq(a["tall"], a["rhs"]), None),
        ("lstsq strided column", lambda: inv.lstsq(a["tall_strided"], a["rhs_column"]), None),
        ("inv str", lambda: inv.inv(a["text"]), TypeError),
        ("inv 3-D", lambda: inv.inv(a["cube"]), TypeError),
        ("lstsq ragged", lambda: inv.lstsq(a["ragged"], a["rhs"]), TypeError),
        ("lstsq two-column b", lambda: inv.lstsq(a["tall"], a["wide_rhs"]), TypeError),
        ("inv two args", lambda: inv.inv(a["square"], a["square"]), TypeError),
        ("inv keyword", lambda: inv.inv(a=a["square"]), TypeError),
        ("inv not square", lambda: inv.inv(a["tall"]), ValueError),
        ("lstsq short b", lambda: inv.lstsq(a["tall"], a["rhs"][:4]), ValueError),
        ("inv impossible", lambda: inv.inv(a["impossible"]), MemoryError),
        ("lstsq impossible b", lambda: inv.lstsq(a["square"], a["impossible_vector"]), MemoryError),
        ("lstsq rejected a, impossible b", lambda: inv.lstsq(a["text"], a["impossible_vector"]), MemoryError),
        ("lstsq n*n out of range", lambda: inv.lstsq(a["no_rows_huge"], a["empty"]), MemoryError),
    ]
    return arguments, calls


def run(calls, count):
    for i in range(count):
        name, call, expected = calls[i % len(calls)]
        try:
            call()
        except Exception as error:
            if expected is None or type(error) is not expected:
                raise AssertionError(f"{name}: {type(error).__name__}: {error}") from error
        else:
            if expected is not None:
                raise AssertionError(f"{name}: no {expected.__name__}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--calls", type=int, default=100_000)
    parser.add_argument("--max-growth-mb", type=float, default=4.0)
    options = parser.parse_args()

    arguments, calls = workload()
    run(calls, 5 * len(calls) * 20)  # warm-up: NumPy's caches and the allocator's pools settle
    gc.collect()
    counts = {name: sys.getrefcount(value) for name, value in arguments.items()}
    before = resident_bytes()
    start = time.monotonic()
    run(calls, options.calls)
    elapsed = time.monotonic() - start
    gc.collect()
    growth = resident_bytes() - before
    moved = {name: (counts[name], sys.getrefcount(value)) for name, value in arguments.items()
             if sys.getrefcount(value) != counts[name]}

    print(f"soak: {options.calls} calls ({len(calls)} kinds: accepted, TypeError, ValueError, MemoryError) "
          f"in {elapsed:.1f} s; resident memory {before / 2**20:.1f} MiB -> "
          f"{(before + growth) / 2**20:.1f} MiB, growth {growth / 2**20:+.2f} MiB "
          f"(bound {options.max_growth_mb} MiB); argument reference counts moved: {moved or 'none'}")
    judged = not under_address_sanitizer()
    if not judged:
        print("soak: resident memory not judged under AddressSanitizer (its quarantine holds freed blocks)")
    if (judged and growth >= options.max_growth_mb * 2**20) or moved:
        print("soak: FAILED")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
