"""The steps of lstsq and inv one by one, beside the peers' same steps, in one minute.

    cmake -S bench/steps -B build/steps -DCMAKE_PREFIX_PATH="<site-packages>;<venv>"
    cmake --build build/steps
    python bench/steps.py build/steps [--lstsq 100000 50] [--inverse 256 1024 2048]

The programs of bench/steps time our steps in C++ and print them as JSON: lstsq's argument
copy, a^T a and a^T b and the LDL^T solve with the kernels of the level the CPU runs; inv's
LU, L^-1 and back substitution with a copy of the level's code built for this CPU, beside
MKL's dgetrf and dgetri where MKL was found when they were built. NumPy's and SciPy's steps
of lstsq (on one thread) are timed here beside them.
"""

import harness  # noqa: F401 - first: it may restart the interpreter before NumPy loads

import argparse  # noqa: E402
import json  # noqa: E402
import subprocess  # noqa: E402
import time  # noqa: E402
from pathlib import Path  # noqa: E402

import numpy as np  # noqa: E402
import scipy.linalg  # noqa: E402
from threadpoolctl import threadpool_limits  # noqa: E402

import machine  # noqa: E402
import peers  # noqa: E402


def run(program, *arguments):
    return json.loads(subprocess.run([str(program), *map(str, arguments)], capture_output=True,
                                     text=True, check=True).stdout)


def best_of(fn, runs):
    """Best time of `runs` calls, in milliseconds, after one call to warm up."""
    fn()
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times) * 1e3


def traffic(m, n):
    """Memory traffic of one call on an m x n matrix in MB, counted from the algorithm (this
    machine's counters are not readable): ours reads a where its owner keeps it, writes the
    argument copy with stores that bypass the cache, and reads the copy back once for a^T a
    and a^T b; the peers read a in place, once for a^T a and once for a^T b."""
    size = 8 * m * n / 1e6
    return {"ours": f"{3 * size:.0f}", "the peers": f"{2 * size:.0f}"}


def lstsq_steps(programs, m, n, mkl, runs=10):
    rng = np.random.default_rng(0)
    a = rng.standard_normal((m, n))
    b = rng.standard_normal(m)
    af = np.asfortranarray(a)
    g = af.T @ af
    rhs = af.T @ b
    with threadpool_limits(limits=1, user_api="blas"):
        numpy_steps = {
            "copy, C order (transposing)": lambda: np.array(a, order="F"),
            "copy, F order": lambda: np.array(af, order="F"),
            "a^T a": lambda: af.T @ af,
            "a^T b": lambda: af.T @ b,
            "factorisation and solve": lambda: scipy.linalg.cho_solve(
                scipy.linalg.cho_factor(g, lower=True, check_finite=False), rhs,
                check_finite=False),
        }
        theirs = {step: best_of(fn, runs) for step, fn in numpy_steps.items()}
        numpy_calls = {order: best_of(lambda: np.linalg.solve(x.T @ x, x.T @ b), runs)
                       for order, x in (("C", a), ("F", af))}
        mkl_steps = mkl.normal_equation_steps(af, b) if mkl else {}
        theirs_mkl = {step: best_of(fn, runs) for step, fn in mkl_steps.items()}
    mine = run(programs / "steps", m, n, runs)
    ours = mine["milliseconds"]
    ours_for = {
        "copy, C order (transposing)": ours["copy, C order (transposing)"],
        "copy, F order": ours["copy, F order"],
        "a^T a": ours["a^T a alone"],
        "a^T b": ours["a^T b alone"],
        "factorisation and solve": ours["LDL^T solve"],
    }
    lines = [
        f"### lstsq step by step, {m} x {n} (ms, best of {runs}; ours at {mine['level']}, "
        "every routine on one core)",
        "",
        "| step | ours | NumPy/SciPy (`np.array(a, order='F')`, `a.T @ a`, `a.T @ b`, "
        "`cho_factor` + `cho_solve`) | MKL (dsyrk, dgemv, dpotrf + dpotrs) |",
        "|---|---:|---:|---:|",
    ]
    for step, value in theirs.items():
        mkl_value = f"{theirs_mkl[step]:.2f}" if step in theirs_mkl else ""
        lines.append(f"| {step} | {ours_for[step]:.2f} | {value:.2f} | {mkl_value} |")
    lines.append(f"| ours: a^T a and a^T b in one pass | {ours['a^T a and a^T b, one pass']:.2f} | | |")
    for order in ("C", "F"):
        lines.append(f"| ours: the whole call, copy of a {order}-order array included "
                     f"| {ours[f'whole call, {order} order']:.2f} | | |")
    for order in ("C", "F"):
        lines.append(f"| ours: copy, {order} order, into storage already touched "
                     f"| {ours[f'copy, {order} order, storage touched']:.2f} | | |")
    for order in ("C", "F"):
        lines.append(f"| ours: the whole call, {order} order, copy's storage already touched "
                     f"| {ours[f'whole call, {order} order, storage touched']:.2f} | | |")
    for order, value in numpy_calls.items():
        lines.append(f"| NumPy's whole normal equations, `solve(a.T @ a, a.T @ b)`, {order} order "
                     f"| | {value:.2f} | |")
    lines += ["", "Memory traffic of one call in MB, counted from the algorithm: "
              + "; ".join(f"{who} {value}" for who, value in traffic(m, n).items()) + "."]
    return lines + [""]


def inverse_steps(programs, sizes, runs=5):
    lines = [
        f"### inv step by step (ms, best of {runs}; ours with a copy of the level's code built "
        "for this CPU)",
        "",
        "| n | LU | MKL dgetrf | L^-1 + back substitution | MKL dgetri | kernel, MKL / ours |",
        "|---:|---:|---:|---:|---:|---:|",
    ]
    for n in sizes:
        steps = run(programs / "inverse_steps", n, runs)["milliseconds"]
        rest = steps["L^-1"] + steps["back substitution"]
        if "MKL dgetrf" in steps:
            mkl = [steps["MKL dgetrf"], steps["MKL dgetri"]]
            ratio = f"{sum(mkl) / (steps['LU'] + rest):.2f}"
        else:
            mkl, ratio = [float("nan")] * 2, ""
        lines.append(f"| {n} | {steps['LU']:.3f} | {mkl[0]:.3f} | {rest:.3f} | {mkl[1]:.3f} "
                     f"| {ratio} |")
    return lines + [""]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("programs", type=Path, help="the build folder of bench/steps")
    parser.add_argument("--lstsq", nargs=2, type=int, default=[100000, 50], metavar=("M", "N"))
    parser.add_argument("--inverse", nargs="+", type=int, default=[256, 1024, 2048], metavar="N")
    args = parser.parse_args()
    mkl, note = peers.load_mkl()
    print(f"machine: {machine.description()}\n{note}\n")
    print("\n".join(lstsq_steps(args.programs, *args.lstsq, mkl)))
    print("\n".join(inverse_steps(args.programs, args.inverse)))


if __name__ == "__main__":
    main()
