"""What the benchmarks share: their cases and inputs, the timing of several functions side
by side in one process, and loading another build of the module by its path. Import it
before NumPy: on some machines it restarts the interpreter first (see below)."""

import os
import sys

# These two variables, preset on some machines for old OpenBLAS builds, make a current NumPy
# pick a slower kernel. OpenBLAS reads them when NumPy loads it, so they must be gone before
# the import: the script restarts itself once without them.
_OPENBLAS_PRESETS = ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")
if any(name in os.environ for name in _OPENBLAS_PRESETS):
    clean = {k: v for k, v in os.environ.items() if k not in _OPENBLAS_PRESETS}
    os.execve(sys.executable, [sys.executable, *sys.argv], clean)

import importlib.util  # noqa: E402
import statistics  # noqa: E402
import time  # noqa: E402
from pathlib import Path  # noqa: E402

import numpy as np  # noqa: E402


def progress(text):
    sys.stderr.write("\r" + text.ljust(78)[:78])
    sys.stderr.flush()


def timed_batch(fn, k):
    """Wall and CPU seconds of k calls. `fn` is a function of no arguments, or a pair
    (prepare, call): then the k inputs prepare() makes are ready before the clock starts."""
    if isinstance(fn, tuple):
        prepare, call = fn
        inputs = [prepare() for _ in range(k)]
    else:
        call, inputs = fn, None
    cpu, start = time.process_time(), time.perf_counter()
    if inputs is None:
        for _ in range(k):
            call()
    else:
        for x in inputs:
            call(x)
    wall = time.perf_counter() - start
    return wall, time.process_time() - cpu


def run_once(fn):
    if isinstance(fn, tuple):
        prepare, call = fn
        return call(prepare())
    return fn()


def batch_size(fn, target=2e-3):
    """Calls per sample so that one sample lasts about `target` seconds."""
    once, _ = timed_batch(fn, 1)
    return max(1, int(target / max(once, 1e-7)))


def compare(fns, rounds, target, load=None):
    """Median seconds per call of each function, sampled in interleaved rounds.

    Every round times each function once (a batch of calls for fast ones), rotating the
    order, so that drift in the machine's load falls on all of them alike. A function may be
    a (prepare, call) pair, as `timed_batch` takes. If `load` is a dict, it receives each
    function's process CPU time over wall time across its batches: about 1 for a routine
    on one core, more when other cores worked for it.
    """
    for fn in fns.values():  # warm-up: first-call costs and page cache
        run_once(fn)
    batches = {name: batch_size(fn, target) for name, fn in fns.items()}
    samples = {name: [] for name in fns}
    busy = {name: [0.0, 0.0] for name in fns}
    names = list(fns)
    for r in range(rounds):
        order = names[r % len(names):] + names[: r % len(names)]
        for name in order:
            k = batches[name]
            wall, cpu = timed_batch(fns[name], k)
            samples[name].append(wall / k)
            busy[name][0] += wall
            busy[name][1] += cpu
    if load is not None:
        load.update({name: cpu / wall for name, (wall, cpu) in busy.items()})
    return {name: statistics.median(s) for name, s in samples.items()}


def check(fns, expected, case, tol):
    """Stops the run unless every function's result matches `expected` (NumPy's) to `tol`
    relative to its largest entry. This also makes first-call costs, such as a
    compilation, before timing starts."""
    scale = np.abs(expected).max()
    for name, fn in fns.items():
        got = run_once(fn)
        got = np.asarray(got[0] if isinstance(got, tuple) else got)
        if got.shape != expected.shape or not np.allclose(got, expected, rtol=tol,
                                                          atol=tol * scale):
            error = np.abs(got - expected).max() if got.shape == expected.shape else got.shape
            raise SystemExit(f"{name} gives a wrong result for {case}: "
                             f"largest difference from NumPy {error} (allowed {tol * scale:.1e})")


def fmt_time(t):
    if t < 1e-3:
        return f"{t * 1e6:.1f} us"
    if t < 1:
        return f"{t * 1e3:.2f} ms"
    return f"{t:.2f} s"


# --- Cases: each has a name ("inv 64", "lstsq 1000x10 (C)") and seeded inputs.

def inv_cases(quick):
    top = 512 if quick else 2048
    n = 2
    while n <= top:
        yield n
        n *= 2


def lstsq_cases(quick):
    shapes = [(10, 3), (1000, 10), (10000, 100), (100000, 50), (3000, 600)]
    if quick:
        shapes = [(10, 3), (1000, 10), (10000, 100), (100000, 50)]
    for m, n in shapes:
        yield m, n, "C"
        if (m, n) == (100000, 50):
            yield m, n, "F"


def cases(quick, only=None):
    """(name, kind, case) of every case, or of those whose names start with one of `only`."""
    every = [("inv", n) for n in inv_cases(quick)] + [("lstsq", c) for c in lstsq_cases(quick)]
    named = [(f"{kind} {case_name(kind, case)}", kind, case) for kind, case in every]
    return [c for c in named if not only or any(c[0].startswith(o) for o in only)]


def case_name(kind, case):
    return f"{case}" if kind == "inv" else "{}x{} ({})".format(*case)


def inv_input(n):
    """A well-conditioned n x n matrix, the same for every build and peer."""
    rng = np.random.default_rng(n)
    return rng.standard_normal((n, n)) + n * np.eye(n) * 0.1


def lstsq_input(m, n, order):
    """a (m x n, in C or Fortran order) and b, the same for every build and peer."""
    rng = np.random.default_rng(m + n)
    a = rng.standard_normal((m, n))
    b = rng.standard_normal(m)
    return (np.asfortranarray(a) if order == "F" else a), b


def load_module(folder):
    """The `inv` module file in `folder`, loaded by its path beside any installed one."""
    path = next(Path(folder).glob("inv*.so"))
    location = importlib.util.spec_from_file_location("inv", path)
    module = importlib.util.module_from_spec(location)
    location.loader.exec_module(module)
    return module
