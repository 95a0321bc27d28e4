"""Reference counts, result storage, concurrent calls, and the fuzz and soak scripts."""

import concurrent.futures
import ctypes
import importlib.metadata
import ctypes.util
import pathlib
import shutil
import subprocess
import sys

import numpy as np
import pytest

import inv

SCRIPTS = pathlib.Path(__file__).resolve().parents[1] / "reliability"
A = np.array([[4.0, 1.0, 2.0], [1.0, 5.0, 3.0], [2.0, 3.0, 6.0]])
B = np.array([1.0, -2.0, 0.5])


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda a, b: inv.inv(a), None),
        (lambda a, b: inv.lstsq(a, b), None),
        (lambda a, b: inv.inv(a[:2]), ValueError),
        (lambda a, b: inv.lstsq(a, b[:2]), ValueError),
        (lambda a, b: inv.lstsq(a, np.stack([b, b], axis=1)), TypeError),
        (lambda a, b: inv.lstsq("std::x", b), TypeError),
        (lambda a, b: inv.inv(a, b), TypeError),
        (lambda a, b: inv.inv(a, b=b), TypeError),
        (lambda a, b: inv.lstsq(a, np.broadcast_to(b[:1], (2**59,))), MemoryError),
        (lambda a, b: inv.lstsq([[1.0, "x"]], np.broadcast_to(b[:1], (2**59,))), MemoryError),
    ],
    ids=["inv", "lstsq", "not square", "short b", "two-column b", "rejected a", "two args",
         "keyword", "impossible b", "rejected a and impossible b"],
)
@pytest.mark.parametrize("layout", ["c", "fortran", "list"])
def test_calls_leave_argument_reference_counts_alone(call, error, layout):
    a = {"c": A.copy(), "fortran": np.asfortranarray(A), "list": A.tolist()}[layout]
    b = B.copy()
    before = sys.getrefcount(a), sys.getrefcount(b)
    for _ in range(50):
        try:
            call(a, b)
        except Exception as raised:  # noqa: BLE001 - the type is checked right here
            assert error is not None and type(raised) is error, raised
        else:
            assert error is None
    assert (sys.getrefcount(a), sys.getrefcount(b)) == before


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
        "keepcost")]


def _malloc_in_use():
    """Bytes the C library's malloc has handed out and not yet had back, or None where that
    cannot be read. The module's storage comes from malloc, which tracemalloc does not see."""
    libc = ctypes.CDLL(ctypes.util.find_library("c"))
    if not hasattr(libc, "mallinfo2"):
        return None
    libc.mallinfo2.restype = _MallInfo2
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


def _require_malloc_statistics():
    before = _malloc_in_use()
    probe = ctypes.create_string_buffer(8 << 20)  # 8 MiB through malloc
    after = _malloc_in_use()
    del probe
    if before is None or after - before < 8 << 20:
        pytest.skip("this process's malloc is not the C library's (a sanitizer's, for one)")


MIB = 1 << 20


@pytest.mark.parametrize("call", [lambda: inv.inv(A), lambda: inv.lstsq(A, B)], ids=["inv", "lstsq"])
def test_result_is_the_only_owner_of_its_capsule(call):
    result = call()
    capsule = result.base
    assert type(capsule).__name__ == "PyCapsule"
    view = result[1:]
    del result
    assert sys.getrefcount(capsule) == 3  # `capsule`, the call's argument and the view's base
    del view
    assert sys.getrefcount(capsule) == 2  # nothing else holds it: dropping it frees the storage


def test_dropped_result_frees_its_storage_and_a_view_keeps_it():
    _require_malloc_statistics()
    start = _malloc_in_use()
    result = inv.inv(np.eye(512) * 2.0)  # 2 MiB of storage
    assert _malloc_in_use() - start >= 2 * MIB
    view = result[::2, 1:]
    del result
    assert _malloc_in_use() - start >= 2 * MIB  # the view holds the capsule that owns the storage
    assert view[0, 0] == 0.0 and view[1, 1] == 0.5
    del view
    assert _malloc_in_use() - start < MIB


def test_threads_calling_both_functions_get_correct_results():
    rng = np.random.default_rng(3)
    tasks = []
    for i in range(400):
        n = 1 + i % 7
        if i % 2:
            tasks.append(("inv", (rng.standard_normal((n, n)) + n * np.eye(n),)))
        else:
            tasks.append(("lstsq", (rng.standard_normal((n + 3, n)), rng.standard_normal(n + 3))))
    expected = [getattr(inv, name)(*args) for name, args in tasks]
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # hand the interpreter lock over as often as possible
    try:
        with concurrent.futures.ThreadPoolExecutor(max_workers=8) as pool:
            results = list(pool.map(lambda task: getattr(inv, task[0])(*task[1]), tasks * 5))
    finally:
        sys.setswitchinterval(interval)
    for result, reference in zip(results, expected * 5):
        assert result.tobytes() == reference.tobytes()


def test_without_numpy_installed_every_call_raises_import_error(tmp_path):
    # The module's binaries alone in a folder (the module and the libraries it loads, in their
    # places relative to each other) and an interpreter without site-packages: NumPy is really
    # absent, not just hidden from the import system.
    binaries = [f for f in importlib.metadata.files("inv") if f.suffix in (".so", ".pyd", ".dll", ".dylib")]
    assert any(f.name == pathlib.Path(inv.__file__).name for f in binaries), binaries
    for binary in binaries:
        (tmp_path / binary).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy(binary.locate(), tmp_path / binary)
    code = """
import inv
try:
    import numpy
except ImportError:
    pass
else:
    raise SystemExit("NumPy is importable")
for round in range(3):
    for call in (lambda: inv.inv([[2.0]]), lambda: inv.lstsq([[1.0]], [1.0]), lambda: inv.lstsq("x", [1.0])):
        try:
            call()
        except ImportError as error:
            assert "numpy" in str(error), error
        else:
            raise SystemExit("a call without NumPy succeeded")
    for call in (lambda: inv.inv(), lambda: inv.inv(a=[[1.0]])):  # never reach conversion
        try:
            call()
        except TypeError:
            pass
print("ok")
"""
    done = subprocess.run(
        [sys.executable, "-S", "-c", code], cwd=tmp_path, capture_output=True, text=True, timeout=60
    )
    assert done.returncode == 0 and done.stdout == "ok\n", done.stdout + done.stderr


def _run_script(name, *arguments):
    return subprocess.run(
        [sys.executable, str(SCRIPTS / name), *arguments], capture_output=True, text=True, timeout=300
    )


def test_fuzzer_runs_clean():
    done = _run_script("fuzz.py", "--calls", "3000", "--seed", "11")
    assert done.returncode == 0, done.stdout + done.stderr
    assert "fuzz: 3000 calls" in done.stdout and "no finding" in done.stdout


def test_soak_runs_clean():
    done = _run_script("soak.py", "--calls", "2000", "--max-growth-mb", "16")
    assert done.returncode == 0, done.stdout + done.stderr
    assert "soak: 2000 calls" in done.stdout and "moved: none" in done.stdout
