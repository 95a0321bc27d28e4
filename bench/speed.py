"""Times the installed `inv` module side by side with NumPy, SciPy, MKL and JAX in one process.

    python bench/speed.py            # full run, a few minutes; writes bench/results/
    python bench/speed.py --quick    # smaller sizes and fewer repeats, for iteration
    python bench/speed.py --quick --rounds 2 --only "inv 64" "lstsq 1000x10"   # some cases
    python bench/speed.py --levels x86-64-v3=DIR ... --steps build/steps/steps   # see below

Headline numbers are single-threaded, as our module always runs on one core: threadpoolctl
limits OpenBLAS to one thread, MKL (pip's `mkl`, called through ctypes) runs its sequential
layer and JAX (`jax.jit`, float64) has its thread pools pinned to one CPU. MKL and JAX are
optional: without them their columns are left out, with a note. A second table shows NumPy
and SciPy with their default threads.

inv runs beside numpy.linalg.inv, SciPy's and MKL's getrf + getri (on a fresh copy, made
outside the timer, that they overwrite) and JAX's inv; lstsq beside the normal equations
(a^T a x = a^T b by Cholesky) through NumPy/SciPy, MKL and JAX, numpy.linalg.lstsq and SciPy's
gelsy. Before timing, every routine's result is checked against NumPy's; while timing, its
CPU time over wall time is recorded, which is above 1 when it kept more than one core busy
(shown for the single-threaded run).
Ratios are the other routine's time divided by ours: above 1 means we are faster.

--levels NAME=DIR times builds of the module pinned to lower instruction-set levels (made
with `pip install --no-deps --target DIR . -C cmake.define.INV_LEVEL=NAME`), loaded by path,
beside the installed one on every case: the level the dispatcher picks should be no slower.
--steps takes the program built from bench/steps and sets its step profile of lstsq on
100000 x 50 beside the same steps done with NumPy and SciPy.
"""

import os
import sys

# These two variables, preset on some machines for old OpenBLAS builds, make a current NumPy
# pick a slower kernel. OpenBLAS reads them when NumPy loads it, so they must be gone before
# the import: the script restarts itself once without them.
_OPENBLAS_PRESETS = ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")
if any(name in os.environ for name in _OPENBLAS_PRESETS):
    clean = {k: v for k, v in os.environ.items() if k not in _OPENBLAS_PRESETS}
    os.execve(sys.executable, [sys.executable, *sys.argv], clean)

import argparse  # noqa: E402
import platform  # noqa: E402
import subprocess  # noqa: E402
import statistics  # noqa: E402
import time  # noqa: E402
from pathlib import Path  # noqa: E402

import numpy as np  # noqa: E402
import scipy.linalg  # noqa: E402
from threadpoolctl import threadpool_info, threadpool_limits  # noqa: E402

import inv as ours  # noqa: E402
import machine  # noqa: E402
import peers  # noqa: E402

RESULTS = Path(__file__).resolve().parent / "results"


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


def matmul_peak(n, rounds):
    """Single-threaded float64 matrix-product rate in GFLOP/s (best of `rounds`)."""
    rng = np.random.default_rng(0)
    a, b = rng.standard_normal((n, n)), rng.standard_normal((n, n))
    a @ b
    best = min(_timed(lambda: a @ b) for _ in range(rounds))
    return 2 * n**3 / best / 1e9


def _timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


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


def inv_flops(n):
    return 2.0 * n**3  # LU (2/3 n^3) plus inverse from the factors (4/3 n^3)


def lstsq_flops(m, n):
    # Symmetric a^T a (m n^2), a^T b (2 m n), Cholesky-type factorisation (n^3 / 3).
    return m * n * n + 2.0 * m * n + n**3 / 3.0


def normal_equations(a, b):
    g = a.T @ a
    factor = scipy.linalg.cho_factor(g, lower=True, check_finite=False)
    return scipy.linalg.cho_solve(factor, a.T @ b, check_finite=False)


# Columns of the tables, in order; a peer whose library is missing has none.
INV_PEERS = ("numpy.linalg.inv", "scipy getrf+getri", "MKL getrf+getri", "JAX inv")
LSTSQ_PEERS = ("NumPy/SciPy normal eq", "MKL normal eq", "JAX normal eq", "numpy.linalg.lstsq",
               "scipy gelsy")


def run_inv(n, rounds, target, mkl=None, jax=None, load=None):
    rng = np.random.default_rng(n)
    a = rng.standard_normal((n, n)) + n * np.eye(n) * 0.1
    fns = {
        "ours": lambda: ours.inv(a),
        "numpy.linalg.inv": lambda: np.linalg.inv(a),
        "scipy getrf+getri": (
            lambda: np.array(a, order="F"),  # in place only on Fortran order
            lambda x: scipy.linalg.inv(x, overwrite_a=True, check_finite=False),
        ),
    }
    if mkl:
        fns["MKL getrf+getri"] = mkl.inv(a)
    if jax:
        fns["JAX inv"] = jax.inv(a)
    check(fns, np.linalg.inv(a), f"inv n={n}", 1e-8)
    return compare(fns, rounds, target, load)


def run_lstsq(m, n, order, rounds, target, mkl=None, jax=None, load=None):
    rng = np.random.default_rng(m + n)
    a = rng.standard_normal((m, n))
    if order == "F":
        a = np.asfortranarray(a)
    b = rng.standard_normal(m)
    fns = {
        "ours": lambda: ours.lstsq(a, b),
        "NumPy/SciPy normal eq": lambda: normal_equations(a, b),
        "numpy.linalg.lstsq": lambda: np.linalg.lstsq(a, b, rcond=None),
        "scipy gelsy": lambda: scipy.linalg.lstsq(
            a, b, lapack_driver="gelsy", check_finite=False
        ),
    }
    if mkl:
        fns["MKL normal eq"] = mkl.normal_equations(a, b)
    if jax:
        fns["JAX normal eq"] = jax.normal_equations(a, b)
    expected = np.linalg.lstsq(a, b, rcond=None)[0]
    check(fns, expected, f"lstsq {m}x{n} ({order})", 1e-8)
    return compare(fns, rounds, target, load)


def fmt_time(t):
    if t < 1e-3:
        return f"{t * 1e6:.1f} us"
    if t < 1:
        return f"{t * 1e3:.2f} ms"
    return f"{t:.2f} s"


def present(rows, names):
    """The peers among `names` that ran in these rows."""
    return [name for name in names if any(name in r["times"] for r in rows)]


def busy_line(rows, names):
    """Each routine's highest CPU time over wall time across the cases, with its case."""
    cells = []
    for name in names:
        ratio, case = max((r["load"][name], r["case"]) for r in rows if name in r["load"])
        mark = " **more than one core**" if ratio > 1.2 else ""
        cells.append(f"{name} {ratio:.2f} ({case}){mark}")
    return "CPU time / wall time, highest over the cases: " + "; ".join(cells)


def section(title, first, rows, names, peak, busy):
    peers = present(rows, names)
    lines = [
        f"### {title}",
        "",
        f"| {first} | ours | " + " | ".join(f"{p} | ratio" for p in peers)
        + " | ours GFLOP/s | % of peak |",
        "|---|" + "---:|" * (3 + 2 * len(peers)),
    ]
    for r in rows:
        t = r["times"]
        gf = r["flops"] / t["ours"] / 1e9
        cells = [r["case"], fmt_time(t["ours"])]
        for p in peers:
            cells += [fmt_time(t[p]), f"{t[p] / t['ours']:.2f}"] if p in t else ["", ""]
        cells += [f"{gf:.2f}", f"{100 * gf / peak:.0f}%"]
        lines.append("| " + " | ".join(cells) + " |")
    return lines + (["", busy_line(rows, ["ours", *peers])] if busy else []) + [""]


def table(rows, peak, headline, busy=True):
    """Markdown: per case our time, each peer's time and ratio, our GFLOP/s and share of
    peak; below each table, unless `busy` is false, how many cores each routine kept busy.

    That figure is the whole process's CPU time, so it means something only while no
    thread pool idles on its own: with their default threads, OpenBLAS's workers spin for a
    while after each call, and that time falls on whatever runs next, ours included."""
    lines = []
    inv_rows = [r for r in rows if r["kind"] == "inv"]
    ls_rows = [r for r in rows if r["kind"] == "lstsq"]
    if inv_rows:
        lines += section(f"inv ({headline})", "n", inv_rows, INV_PEERS, peak, busy)
    if ls_rows:
        lines += section(f"lstsq ({headline})", "m x n (order)", ls_rows, LSTSQ_PEERS, peak,
                         busy)
    return lines


def case_name(kind, case):
    return f"{case}" if kind == "inv" else "{}x{} ({})".format(*case)


def run_all(quick, rounds, target, label, only=None, mkl=None, jax=None):
    cases = [("inv", n) for n in inv_cases(quick)] + [
        ("lstsq", c) for c in lstsq_cases(quick)
    ]
    if only:
        cases = [c for c in cases if any(f"{c[0]} {case_name(*c)}".startswith(o) for o in only)]
    rows = []
    for i, (kind, case) in enumerate(cases, 1):
        name = case_name(kind, case)
        progress(f"[{label} {i}/{len(cases)}] {kind} {name}")
        load = {}
        if kind == "inv":
            n = case
            big = n >= 1024
            times = run_inv(n, max(3, rounds // 2) if big else rounds, target, mkl, jax, load)
            flops = inv_flops(n)
        else:
            m, n, order = case
            times = run_lstsq(m, n, order, rounds, target, mkl, jax, load)
            flops = lstsq_flops(m, n)
        rows.append({"kind": kind, "case": name, "times": times, "flops": flops, "load": load})
    progress("")
    sys.stderr.write("\r")
    return rows


def level_table(levels, quick, rounds, target, only=None):
    """Each pinned build beside the installed module: its time over the installed one's."""
    from strd import load_module

    builds = {"installed": ours, **{name: load_module(folder) for name, folder in levels}}
    names = list(builds)
    lines = [
        "### Instruction-set levels side by side (ratio = level's time / installed module's)",
        "",
        f"The installed module runs level `{dispatched_level()}`.",
        "",
        "| case | " + " | ".join(names) + " | " + " | ".join(f"{n} / installed" for n in names[1:]) + " |",
        "|---|" + "---:|" * (2 * len(names) - 1),
    ]
    rng = np.random.default_rng(0)
    cases = [("inv", n) for n in inv_cases(quick)] + [("lstsq", c) for c in lstsq_cases(quick)]
    for kind, case in cases:
        name = f"{kind} {case_name(kind, case)}"
        if only and not any(name.startswith(o) for o in only):
            continue
        progress(f"[levels] {name}")
        if kind == "inv":
            a = rng.standard_normal((case, case)) + case * 0.1 * np.eye(case)
            fns = {k: (lambda m=m: m.inv(a)) for k, m in builds.items()}
        else:
            m_, n_, order = case
            a = rng.standard_normal((m_, n_))
            a = np.asfortranarray(a) if order == "F" else a
            b = rng.standard_normal(m_)
            fns = {k: (lambda m=m: m.lstsq(a, b)) for k, m in builds.items()}
        times = compare(fns, rounds, target)
        lines.append(f"| {name} | " + " | ".join(fmt_time(times[n]) for n in names) + " | "
                     + " | ".join(f"{times[n] / times['installed']:.2f}" for n in names[1:]) + " |")
    progress("")
    return lines + [""]


def dispatched_level():
    """The highest instruction-set level this CPU runs (.ci/cpu-levels): the one a build that
    carries every level dispatches to."""
    script = Path(__file__).resolve().parents[1] / ".ci" / "cpu-levels"
    try:
        return subprocess.run([str(script)], capture_output=True, text=True,
                              check=True).stdout.split()[-1]
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def step_profile(steps_program, m=100000, n=50, runs=10):
    """lstsq's steps (bench/steps) beside NumPy's and SciPy's same steps, in one minute."""
    rng = np.random.default_rng(0)
    a = rng.standard_normal((m, n))
    b = rng.standard_normal(m)
    af = np.asfortranarray(a)
    g = af.T @ af

    def best(fn):
        fn()
        times = []
        for _ in range(runs):
            start = time.perf_counter()
            fn()
            times.append(time.perf_counter() - start)
        return min(times) * 1e3

    theirs = {
        "copy, C order (transposing)": best(lambda: np.array(a, order="F")),
        "copy, F order": best(lambda: np.array(af, order="F")),
        "a^T a": best(lambda: af.T @ af),
        "a^T b": best(lambda: af.T @ b),
        "factorisation and solve": best(lambda: scipy.linalg.cho_solve(
            scipy.linalg.cho_factor(g, lower=True, check_finite=False), af.T[:, :1].ravel(),
            check_finite=False)),
    }
    output = subprocess.run([str(steps_program), str(m), str(n), str(runs)], capture_output=True,
                            text=True, check=True).stdout.splitlines()
    mine = {}
    for line in output[1:]:
        label, value = line.rsplit(None, 1)
        mine[label] = float(value)
    ours_for = {
        "copy, C order (transposing)": mine["copy, C order (transposing)"],
        "copy, F order": mine["copy, F order"],
        "a^T a": mine["a^T a alone"],
        "a^T b": mine["a^T b alone"],
        "factorisation and solve": mine["LDL^T solve"],
    }
    level = output[0].split(",")[0]  # "level <name>"
    lines = [
        f"### lstsq step by step, {m} x {n} (ms, best of {runs}; ours at {level})",
        "",
        "| step | ours | NumPy/SciPy (`np.array(a, order='F')`, `a.T @ a`, `a.T @ b`, "
        "`cho_factor` + `cho_solve`) |",
        "|---|---:|---:|",
    ]
    for step, value in theirs.items():
        lines.append(f"| {step} | {ours_for[step]:.2f} | {value:.2f} |")
    lines.append(f"| ours: a^T a and a^T b in one pass | {mine['a^T a and a^T b, one pass']:.2f} | |")
    return lines + [""]


def blas_description():
    lines = []
    for info in threadpool_info():
        if info.get("user_api") == "blas":
            lines.append(
                f"{info.get('internal_api')} {info.get('version')} "
                f"kernel={info.get('architecture')} threads={info.get('num_threads')} "
                f"({Path(info.get('filepath', '')).name})"
            )
    return lines


def plot(single, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (left, right) = plt.subplots(1, 2, figsize=(12, 4.5))
    inv_rows = [r for r in single if r["kind"] == "inv"]
    ns = [int(r["case"]) for r in inv_rows]
    for other in present(inv_rows, INV_PEERS):
        left.plot(ns, [r["times"][other] / r["times"]["ours"] for r in inv_rows], "o-",
                  label=other)
    left.axhline(1.0, color="grey", lw=0.8)
    left.set_xscale("log", base=2)
    left.set_xlabel("n")
    left.set_ylabel("their time / our time")
    left.set_title("inv(a), n x n, single thread")
    left.legend(fontsize=8)

    ls_rows = [r for r in single if r["kind"] == "lstsq"]
    x = np.arange(len(ls_rows))
    others = present(ls_rows, LSTSQ_PEERS)
    width = 0.8 / max(1, len(others))
    for k, other in enumerate(others):
        right.bar(
            x + (k - (len(others) - 1) / 2) * width,
            [r["times"][other] / r["times"]["ours"] for r in ls_rows],
            width,
            label=other,
        )
    right.axhline(1.0, color="grey", lw=0.8)
    right.set_yscale("log")
    right.set_xticks(x, [r["case"] for r in ls_rows], rotation=30, ha="right")
    right.set_ylabel("their time / our time")
    right.set_title("lstsq(a, b), single thread")
    right.legend(fontsize=8)
    fig.suptitle(machine.description(), fontsize=9)  # the figures hold for this machine only
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small sizes, few repeats")
    parser.add_argument("--rounds", type=int, help="interleaved rounds per case")
    parser.add_argument("--no-default-threads", action="store_true",
                        help="skip the reference table with default threads")
    parser.add_argument("--out", type=Path, default=RESULTS, help="folder for speed.md/png")
    parser.add_argument("--only", nargs="+", metavar="CASE",
                        help='cases whose name starts so, e.g. "inv 64" "lstsq 1000x10"')
    parser.add_argument("--levels", nargs="+", metavar="NAME=DIR", default=[],
                        help="builds pinned to lower levels, timed beside the installed one")
    parser.add_argument("--steps", type=Path, help="the program built from bench/steps")
    args = parser.parse_args()
    rounds = args.rounds or (5 if args.quick else 9)
    target = 1e-3 if args.quick else 3e-3

    # MKL's layers are chosen before threadpoolctl inspects the library; JAX starts its
    # threads while pinned to one CPU.
    mkl, mkl_note = peers.load_mkl()
    jax, jax_note = peers.load_jax()
    header = [
        f"machine: {machine.description()}; "
        f"Python {platform.python_version()}, NumPy {np.__version__}, "
        f"SciPy {scipy.__version__}",
        mkl_note,
        jax_note,
    ]
    print(mkl_note, jax_note, sep="\n")
    size, repeats = (1024, 3) if args.quick else (2048, 5)
    with threadpool_limits(limits=1, user_api="blas"):
        blas = blas_description()
        for line in blas:
            print("BLAS:", line)
        progress("measuring single-threaded matrix-product peak")
        peaks = {"OpenBLAS": matmul_peak(size, repeats)}
        if mkl:
            peaks["MKL"] = mkl.matmul_peak(size, repeats)
        progress("")
        rates = ", ".join(f"{k} {v:.1f} GFLOP/s" for k, v in peaks.items())
        peak_line = f"single-threaded float64 matmul peak (n={size}): {rates}"
        if len(peaks) > 1:
            peak_line += "; % of peak is of the higher"
        print("\r" + peak_line)
        peak = max(peaks.values())
        single = run_all(args.quick, rounds, target, "1 thread", args.only, mkl, jax)
    out = header + ["BLAS (headline run): " + "; ".join(blas), peak_line, ""]
    out += table(single, peak, "all single-threaded")
    if not args.no_default_threads:  # NumPy and SciPy only: MKL and JAX stay on one core
        multi = run_all(args.quick, max(3, rounds // 2), target, "default threads", args.only)
        out += table(multi, peak, "NumPy/SciPy default threads; ours single-threaded", busy=False)
    with threadpool_limits(limits=1, user_api="blas"):
        if args.levels:
            out += level_table([level.split("=", 1) for level in args.levels], args.quick,
                               rounds, target, args.only)
        if args.steps:
            out += step_profile(args.steps)
    text = "\n".join(out)
    print(text)
    if (not args.quick and not args.only) or args.out != RESULTS:
        args.out.mkdir(parents=True, exist_ok=True)
        (args.out / "speed.md").write_text(
            "# Speed against NumPy, SciPy, MKL and JAX\n\nMade by `python bench/speed.py`. "
            "Ratio = their time / our time (above 1: we are faster).\n\n" + text + "\n"
        )
        plot(single, args.out / "speed.png")
        print(f"wrote {args.out / 'speed.md'} and {args.out / 'speed.png'}")


if __name__ == "__main__":
    main()
