"""Running out of memory anywhere in a call gives MemoryError or the exact result, never a
crash, a leak, a changed argument or a wrong next call: each allocation of a call is failed
in turn (tests/allocation_sweep.py, with tests/failing_allocator.cpp preloaded), and the
address space is capped at rising amounts through the call's peak."""

import os
import pathlib
import shutil
import subprocess
import sys

import pytest

from allocation_sweep import ADDRESS_SPACE, EACH_ALLOCATION, SLOW

HERE = pathlib.Path(__file__).resolve().parent
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


@pytest.fixture(scope="session")
def failing_allocator(tmp_path_factory):
    """The preloadable allocator, compiled with the C++ compiler that CXX names (a cross
    compiler under emulation) or c++."""
    compiler = os.environ.get("CXX", "c++")
    if not sys.platform.startswith("linux") or shutil.which(compiler) is None:
        pytest.skip("the allocation sweep preloads an allocator: Linux with a C++ compiler")
    library = tmp_path_factory.mktemp("allocator") / "failing_allocator.so"
    # Frame pointers let a sanitizer's leak reports see past it; the sanitizer runtime that
    # a sanitizer run preloads into every process is kept out of the compiler.
    environment = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}
    subprocess.run([compiler, "-O2", "-fno-omit-frame-pointer", "-shared", "-fPIC", "-o", str(library),
                    str(HERE / "failing_allocator.cpp"), "-ldl"], check=True, env=environment)
    return str(library)


def sweep(*arguments, env):
    done = subprocess.run([sys.executable, str(HERE / "allocation_sweep.py"), *arguments],
                          env={**os.environ, **env}, capture_output=True, text=True, timeout=900)
    assert done.returncode == 0, f"exit status {done.returncode}\n{done.stdout}{done.stderr}"
    return done.stdout


def cases(names):
    return [pytest.param(name, marks=pytest.mark.slow) if name in SLOW else name for name in names]


@pytest.mark.parametrize("case", cases(EACH_ALLOCATION))
def test_each_allocation_failed_in_turn(case, failing_allocator):
    preload = " ".join(filter(None, [failing_allocator, os.environ.get("LD_PRELOAD")]))
    # Under AddressSanitizer the failing allocator must come before the sanitizer's, which
    # then serves it; LeakSanitizer checks the process on exit as well, and needs a frame
    # more than the allocator to tell the interpreter's blocks (reliability/lsan.supp).
    asan = os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0:malloc_context_size=4"
    output = sweep(case, env={"LD_PRELOAD": preload, "PYTHONMALLOC": "malloc", "ASAN_OPTIONS": asan})
    assert "allocations failed in turn, cleanly" in output


@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer maps terabytes of shadow memory")
@pytest.mark.parametrize("case", cases(ADDRESS_SPACE))
def test_address_space_capped_through_the_peak(case):
    # A fixed mmap threshold keeps glibc from serving a call from memory freed by the one
    # before: each call maps what it needs afresh, and so meets the cap.
    output = sweep("--address-space", case, env={"MALLOC_MMAP_THRESHOLD_": "65536"})
    if "caps do not bind" in output:
        pytest.skip(output.strip())
    assert " 0 of 30 caps" not in output, output
