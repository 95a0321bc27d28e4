"""Optional peers for bench/speed.py: the vendors' LAPACK called through ctypes, Intel MKL (the
vendor library on Intel processors) and AMD's AOCL (BLIS and libflame, on AMD processors),
and JAX under `jax.jit`. Each loader returns `(peer, note)`; the peer is None when its
library is missing, and the note says in one line what was loaded or why not.

Every peer runs on one core, as `inv` does: MKL with its sequential threading layer, AOCL with
one BLIS and OpenMP thread, JAX with its thread pools started while the process is pinned to
one CPU.
"""

import ctypes
import ctypes.util
import glob
import importlib.metadata
import os
import site
import sys
import time
from ctypes import byref, c_double, c_int, c_size_t, c_void_p
from importlib.util import find_spec

import numpy as np

# From MKL's mkl_service.h: the values for MKL_Set_Interface_Layer / MKL_Set_Threading_Layer.
MKL_INTERFACE_LP64 = 0  # 32-bit integers, so pivots and sizes are C ints
MKL_THREADING_SEQUENTIAL = 1


def _mkl_library():
    """Path of MKL's single dynamic library: the venv's lib/ (pip's `mkl`), else the system's."""
    found = sorted(glob.glob(os.path.join(sys.prefix, "lib", "libmkl_rt.so*")))
    return found[0] if found else ctypes.util.find_library("mkl_rt")


def load_mkl():
    path = _mkl_library()
    if path is None:
        return None, "MKL: libmkl_rt not found (pip install mkl); its peers are skipped"
    lib = ctypes.CDLL(path)
    # Both layers must be chosen before any other MKL call, which would fix the defaults.
    if lib.MKL_Set_Interface_Layer(MKL_INTERFACE_LP64) != MKL_INTERFACE_LP64:
        raise RuntimeError(f"{path}: the LP64 interface layer was refused")
    if lib.MKL_Set_Threading_Layer(MKL_THREADING_SEQUENTIAL) != MKL_THREADING_SEQUENTIAL:
        raise RuntimeError(f"{path}: the sequential threading layer was refused")
    text = ctypes.create_string_buffer(256)
    lib.MKL_Get_Version_String(text, len(text))
    version = text.value.decode().split(" for ")[0]
    return Lapack("MKL", [lib]), f"MKL: {version} (sequential, {os.path.basename(path)})"


# The libraries of pip's `aoclda` that its LAPACK needs, in the order they load: each
# resolves symbols of the ones before it.
AOCL_LIBRARIES = ("libomp", "libaoclutils", "libblis-mt", "libflame")


def load_aocl():
    folders = [os.path.join(d, "aoclda.libs") for d in site.getsitepackages()]
    folder = next((f for f in folders if os.path.isdir(f)), None)
    if folder is None:
        return None, "AOCL: aoclda.libs not found (pip install --no-deps aoclda); its peers are skipped"
    # Read when the libraries load: one thread each, as every peer runs.
    os.environ["BLIS_NUM_THREADS"] = "1"
    os.environ["OMP_NUM_THREADS"] = "1"
    libs = []
    for name in AOCL_LIBRARIES:
        path = sorted(glob.glob(os.path.join(folder, f"{name}-*.so*")))[0]
        libs.append(ctypes.CDLL(path, mode=ctypes.RTLD_GLOBAL))
    version_of = libs[2].bli_info_get_version_str
    version_of.restype = ctypes.c_char_p
    peer = Lapack("AOCL", [libs[3], libs[2]])
    note = (f"AOCL: aoclda {importlib.metadata.version('aoclda')}, BLIS "
            f"{version_of().decode()} and libflame, one thread")
    return peer, note


def _check(routine, info):
    if info.value != 0:
        raise RuntimeError(f"{routine} failed with info={info.value}")


class Lapack:
    """A vendor's BLAS and LAPACK: Fortran entry points on column-major data, looked up in
    `libs` in turn. Every argument is a pointer; a character argument is followed, after all
    the others, by its hidden length. `name` labels the peer's columns."""

    def __init__(self, name, libs):
        self.name = name

        def routine(symbol, pointers, strings=0):
            fn = next(getattr(lib, symbol) for lib in libs if hasattr(lib, symbol))
            fn.argtypes = [c_void_p] * pointers + [c_size_t] * strings
            fn.restype = None
            return fn

        self.getrf = routine("dgetrf_", 6)
        self.getri = routine("dgetri_", 7)
        self.syrk = routine("dsyrk_", 10, 2)
        self.gemv = routine("dgemv_", 11, 1)
        self.potrf = routine("dpotrf_", 5, 1)
        self.potrs = routine("dpotrs_", 8, 1)
        self.gemm = routine("dgemm_", 13, 2)

    def inv(self, a):
        """(prepare, call): prepare() makes a Fortran-order copy of `a`, which call() turns into
        the inverse in place with dgetrf + dgetri. Pivots and workspace are allocated here."""
        n = a.shape[0]
        dim, info = c_int(n), c_int(0)
        ipiv = np.empty(n, np.int32)
        query, lwork = c_double(0.0), c_int(-1)
        scratch = np.empty((n, n), order="F")
        self.getri(byref(dim), scratch.ctypes.data, byref(dim), ipiv.ctypes.data,
                   byref(query), byref(lwork), byref(info))
        _check("dgetri workspace query", info)
        lwork = c_int(max(1, int(query.value)))
        work = np.empty(lwork.value)
        dim_p, info_p, lwork_p = byref(dim), byref(info), byref(lwork)
        ipiv_p, work_p = ipiv.ctypes.data, work.ctypes.data

        def prepare():  # the copy and its address, both outside the timer
            x = np.array(a, order="F")
            return x, x.ctypes.data

        def call(prepared):
            x, p = prepared
            self.getrf(dim_p, dim_p, p, dim_p, ipiv_p, info_p)
            _check("dgetrf", info)
            self.getri(dim_p, p, dim_p, ipiv_p, work_p, lwork_p, info_p)
            _check("dgetri", info)
            return x

        call.keep = (ipiv, work)  # the buffers live as long as the call
        return prepare, call

    def _normal_equations(self, a, b):
        """dsyrk (the lower half of G = a^T a), dgemv (r = a^T b) and dpotrf + dpotrs, each a
        function of no arguments over G and r allocated here. They read `a` in place in either
        order: a C-order m x n array is the column-major n x m matrix a^T."""
        m, n = a.shape
        if a.dtype != np.float64 or not (a.flags.f_contiguous or a.flags.c_contiguous):
            raise ValueError("a must be a contiguous float64 array")
        b = np.ascontiguousarray(b, dtype=np.float64)
        if b.shape != (m,):
            raise ValueError("b must be a vector of a's row count")
        if a.flags.f_contiguous:  # column-major m x n, G = A^T A, r = A^T b
            trans, rows, cols, lda = b"T", m, n, m
        else:  # column-major n x m holding a^T, G = A A^T, r = A b
            trans, rows, cols, lda = b"N", n, m, n
        g = np.empty((n, n), order="F")
        r = np.empty(n)
        n_, m_, rows_, cols_, lda_ = (byref(c_int(v)) for v in (n, m, rows, cols, lda))
        one, zero, inc = byref(c_double(1.0)), byref(c_double(0.0)), byref(c_int(1))
        info = c_int(0)
        info_p = byref(info)
        a_p, b_p, g_p, r_p = a.ctypes.data, b.ctypes.data, g.ctypes.data, r.ctypes.data

        def gram():
            self.syrk(b"L", trans, n_, m_, one, a_p, lda_, zero, g_p, n_, 1, 1)

        def right_side():
            self.gemv(trans, rows_, cols_, one, a_p, lda_, b_p, inc, zero, r_p, inc, 1)

        def solve():
            self.potrf(b"L", n_, g_p, n_, info_p, 1)
            _check("dpotrf", info)
            self.potrs(b"L", n_, inc, g_p, n_, r_p, n_, info_p, 1)
            _check("dpotrs", info)
            return r

        return gram, right_side, solve, (a, b, g, r)

    def normal_equations(self, a, b):
        """A call solving a^T a x = a^T b in place; returns x, in r itself, which the next call
        overwrites."""
        gram, right_side, solve, buffers = self._normal_equations(a, b)

        def call():
            gram()
            right_side()
            return solve()

        call.keep = buffers
        return call

    def normal_equation_steps(self, a, b):
        """The steps of normal_equations(), each a call: "a^T a", "a^T b", and "factorisation
        and solve", which first restores G and r (n^2 + n doubles) from their values after
        the first two steps, since it overwrites them."""
        gram, right_side, solve, buffers = self._normal_equations(a, b)
        _, _, g, r = buffers
        gram()
        right_side()
        formed = g.copy(), r.copy()

        def restored_solve():
            np.copyto(g, formed[0])
            np.copyto(r, formed[1])
            return solve()

        for step in (gram, right_side, restored_solve):
            step.keep = buffers
        return {"a^T a": gram, "a^T b": right_side, "factorisation and solve": restored_solve}

    def matmul_peak(self, n, rounds):
        """dgemm's float64 rate on n x n matrices in GFLOP/s (best of `rounds`), one core."""
        rng = np.random.default_rng(0)
        a, b = np.asfortranarray(rng.standard_normal((n, n))), np.asfortranarray(
            rng.standard_normal((n, n)))
        c = np.empty((n, n), order="F")
        dim, one, zero = c_int(n), c_double(1.0), c_double(0.0)
        d = byref(dim)

        def product():
            self.gemm(b"N", b"N", d, d, d, byref(one), a.ctypes.data, d, b.ctypes.data, d,
                      byref(zero), c.ctypes.data, d, 1, 1)

        product()
        if not np.allclose(c[:4, :4], a[:4] @ b[:, :4]):
            raise RuntimeError(f"{self.name} dgemm gives a wrong product")
        best = float("inf")
        for _ in range(rounds):
            start = time.perf_counter()
            product()
            best = min(best, time.perf_counter() - start)
        return 2 * n**3 / best / 1e9


def load_jax():
    if find_spec("jax") is None:
        return None, 'JAX: not installed (pip install "jax[cpu]"); its peers are skipped'
    # XLA starts its thread pools with the CPU client, one thread per CPU the process may use,
    # and the threads inherit the affinity of the thread that starts them. Pinning to one CPU
    # while JAX imports, starts its backend and compiles once keeps them all on that CPU; the
    # rest of the benchmark gets the whole mask back afterwards.
    pin = hasattr(os, "sched_setaffinity")
    if pin:
        saved = os.sched_getaffinity(0)
        cpu = min(saved)
        os.sched_setaffinity(0, {cpu})
    try:
        import jax
        import jax.numpy as jnp
        import jax.scipy.linalg

        jax.config.update("jax_enable_x64", True)
        peer = Jax(jax, jnp)
        peer.inv(np.eye(2))().block_until_ready()
    finally:
        if pin:
            os.sched_setaffinity(0, saved)
    where = f"pinned to CPU {cpu}" if pin else "not pinned: no sched_setaffinity here"
    return peer, f"JAX: {jax.__version__} on {jax.devices()[0].platform}, x64, {where}"


class Jax:
    def __init__(self, jax, jnp):
        self.jax = jax

        def normal_equations(a, b):
            factor = jax.scipy.linalg.cho_factor(a.T @ a, lower=True)
            return jax.scipy.linalg.cho_solve(factor, a.T @ b)

        self._inv = jax.jit(jnp.linalg.inv)
        self._normal_equations = jax.jit(normal_equations)

    def inv(self, a):
        """A call of the jitted inverse on `a`, already on the device; it waits for the result.
        The first call compiles for a's shape."""
        x = self.jax.device_put(a)
        return lambda: self._inv(x).block_until_ready()

    def normal_equations(self, a, b):
        """As inv: the normal equations through a Cholesky factorisation, jitted. The device
        copy has JAX's own layout, so a's order makes no difference here."""
        x, y = self.jax.device_put(a), self.jax.device_put(b)
        return lambda: self._normal_equations(x, y).block_until_ready()
