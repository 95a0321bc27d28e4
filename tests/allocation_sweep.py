"""Allocation-failure sweeps of `inv` and `lstsq`, run in a process of their own.

    python allocation_sweep.py CASE...       (with tests/failing_allocator.cpp preloaded)
    python allocation_sweep.py --address-space CASE...

The first fails the k-th allocation of one call, for k = 1, 2, ... until a call makes fewer
than k: the module's, NumPy's and the interpreter's allocations alike (PYTHONMALLOC=malloc
sends the interpreter's through malloc too). The second caps the address space at rising
amounts above what the process holds, through the call's peak. After every call:
  - it raised MemoryError or returned exactly the unconstrained result;
  - the arguments are unchanged, and the next unconstrained call is exact;
  - (first sweep) no block allocated during the call is still live once it is dropped: a
    growth that shows again on two more calls failed the same way is a leak.
Prints one line per case and exits non-zero at the first finding.
"""

import copy
import ctypes
import gc
import resource
import sys

import numpy as np

import inv


def matrix(m, n, order="C", seed=0):
    a = np.random.default_rng(seed).standard_normal((m, n))
    if m == n:
        a += 2 * np.sqrt(n) * np.eye(n)  # well conditioned: a wrong result shows
    return np.asarray(a, order=order)


def vector(m, seed=1):
    return np.random.default_rng(seed).standard_normal(m)


# Each case reaches a path of its own: the inverse in registers, in cache (up to 384 on Intel's
# AVX-512 processors) and blocked (from 1100 everywhere), each route of lstsq to a^T a (dot
# products, row panels and the packed product, a's copy made whole or a block of rows at a
# time as they read it; small and blocked LDL^T; the small problems' rounding), and the
# argument copies (NumPy's copy, the row-major copy, dtype conversion, nested lists, 1-D
# arguments).
CASES = {
    "inv 8 C": lambda: (inv.inv, matrix(8, 8)),
    "inv 64 F": lambda: (inv.inv, matrix(64, 64, "F")),
    "inv 65 F": lambda: (inv.inv, matrix(65, 65, "F")),
    "inv 300 C": lambda: (inv.inv, matrix(300, 300)),
    "inv 1100 F": lambda: (inv.inv, matrix(1100, 1100, "F")),
    "inv 2000 C": lambda: (inv.inv, matrix(2000, 2000)),
    "inv list": lambda: (inv.inv, matrix(5, 5).tolist()),
    "inv int64": lambda: (inv.inv, (matrix(90, 90) * 100).astype(np.int64)),
    "lstsq 40x7 C": lambda: (inv.lstsq, matrix(40, 7), vector(40)),
    "lstsq 4x600 F": lambda: (inv.lstsq, matrix(4, 600, "F"), vector(4)),
    "lstsq 1000x10 F": lambda: (inv.lstsq, matrix(1000, 10, "F"), vector(1000)),
    "lstsq 20000x50 C": lambda: (inv.lstsq, matrix(20000, 50), vector(20000)),
    "lstsq 300x100 C": lambda: (inv.lstsq, matrix(300, 100), vector(300)),
    "lstsq 10000x100 F": lambda: (inv.lstsq, matrix(10000, 100, "F"), vector(10000)),
    "lstsq 300x290 C": lambda: (inv.lstsq, matrix(300, 290), vector(300)),
    "lstsq 1025x131 C": lambda: (inv.lstsq, matrix(1025, 131), vector(1025)),
    "lstsq 3000x600 F": lambda: (inv.lstsq, matrix(3000, 600, "F"), vector(3000)),
    "lstsq 1-D": lambda: (inv.lstsq, vector(30).astype(np.float32), vector(30, 2)),
    "lstsq lists": lambda: (inv.lstsq, matrix(30, 2).tolist(), vector(30).tolist()),
    "lstsq float32": lambda: (inv.lstsq, matrix(500, 20).astype(np.float32), vector(500).astype(np.float32)),
}

# The large inverse in C order makes the same allocations as the one in Fortran order: the
# address space alone is swept on it. Both sweeps reach every large buffer.
EACH_ALLOCATION = [name for name in CASES if name != "inv 2000 C"]
ADDRESS_SPACE = ["inv 300 C", "inv 1100 F", "inv 2000 C", "lstsq 20000x50 C", "lstsq 3000x600 F"]
# Cases that take seconds per sweep.
SLOW = {"inv 1100 F", "inv 2000 C", "lstsq 3000x600 F"}


class Finding(Exception):
    pass


def same(x, y):
    if isinstance(x, np.ndarray):
        return isinstance(y, np.ndarray) and x.dtype == y.dtype and x.shape == y.shape and x.tobytes() == y.tobytes()
    return x == y


class Case:
    def __init__(self, name):
        self.name = name
        self.function, *self.arguments = CASES[name]()
        self.saved = [copy.deepcopy(x) for x in self.arguments]
        self.reference = self.function(*self.arguments)

    def check(self, outcome, when):
        where = f"{self.name}, {when}"
        if not (outcome is MemoryError or same(outcome, self.reference)):
            raise Finding(f"{where}: {outcome!r} is neither MemoryError nor the exact result")
        for before, now in zip(self.saved, self.arguments):
            if not same(before, now):
                raise Finding(f"{where}: an argument changed")
        if outcome is MemoryError and not same(self.function(*self.arguments), self.reference):
            raise Finding(f"{where}: the next call is not exact")


def call_failing(case, arm, disarm):
    """The case's call with `arm` run just before it and `disarm` after; MemoryError or the
    result. Any other exception goes on up."""
    try:
        arm()
        return case.function(*case.arguments)
    except MemoryError:
        return MemoryError
    finally:
        disarm()


def sweep_allocations(case):
    shim = ctypes.CDLL(None)  # the preloaded allocator's functions are global
    arm, disarm = shim.arm_allocation_failure, shim.disarm_allocation_failure
    arm.argtypes = [ctypes.c_long]
    injected = ctypes.c_int.in_dll(shim, "failure_injected")
    live = ctypes.c_long.in_dll(shim, "armed_blocks_live")
    sizes = (ctypes.c_size_t * 8)()

    def failed_call(k):
        """Whether the k-th allocation was reached, and the blocks the call left live."""
        outcome = call_failing(case, lambda: arm(k), disarm)
        case.check(outcome, f"allocation {k}")
        del outcome
        gc.collect()
        return bool(injected.value), live.value

    k = 1
    while True:
        reached, left = failed_call(k)
        if not reached:
            return k - 1
        # The first failure of a kind can fill a cache of the interpreter's; a leak shows
        # on every repeat.
        if left and all(failed_call(k)[1] for _ in range(2)):
            found = shim.live_armed_block_sizes(sizes, len(sizes))
            raise Finding(f"{case.name}, allocation {k}: {left} blocks allocated during the call are "
                          f"still live after it, of {list(sizes[:found])} bytes")
        k += 1


def mapped_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[0]) * resource.getpagesize()


def sweep_address_space(case, steps=30):
    """Caps on the address space from the process's size up through the call's peak: the
    smallest headroom, in steps of 1 MiB doubling, that lets the call through, times 1.25."""
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)

    def capped(headroom):
        return call_failing(
            case,
            lambda: resource.setrlimit(resource.RLIMIT_AS, (mapped_bytes() + headroom, hard)),
            lambda: resource.setrlimit(resource.RLIMIT_AS, (soft, hard)),
        )

    peak = 1 << 20
    while capped(peak) is MemoryError:
        peak *= 2
    failures = 0
    for step in range(steps):
        headroom = peak * 5 // 4 * step // steps
        outcome = capped(headroom)
        failures += outcome is MemoryError
        case.check(outcome, f"cap +{headroom >> 10} KiB")
    return failures


def caps_bind():
    """Whether a cap on the address space binds in this process: an emulator (qemu-user)
    accepts the cap and ignores it, since it would bind the emulator itself."""
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    try:
        resource.setrlimit(resource.RLIMIT_AS, (mapped_bytes() + (16 << 20), hard))
        bytearray(256 << 20)
    except MemoryError:
        return True
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    return False


def main(arguments):
    address_space = arguments[:1] == ["--address-space"]
    if address_space and not caps_bind():
        print("address-space caps do not bind in this process", flush=True)
        return 0
    for name in arguments[address_space:]:
        case = Case(name)
        try:
            if address_space:
                print(f"{name}: {sweep_address_space(case)} of 30 caps failed the call cleanly", flush=True)
            else:
                print(f"{name}: each of {sweep_allocations(case)} allocations failed in turn, cleanly", flush=True)
        except Finding as finding:
            print(f"finding: {finding}", flush=True)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
