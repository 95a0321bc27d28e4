"""Times the installed `inv` module side by side with NumPy, SciPy, MKL, AOCL and JAX in one process.

    python bench/speed.py            # full run, a few minutes; writes bench/results/
    python bench/speed.py --quick    # smaller sizes and fewer repeats, for iteration
    python bench/speed.py --quick --rounds 2 --only "inv 64" "lstsq 1000x10"   # some cases

Headline numbers are single-threaded, as our module always runs on one core: threadpoolctl
limits OpenBLAS to one thread, MKL (pip's `mkl`, called through ctypes) runs its sequential
layer, AOCL (BLIS and libflame from pip's `aoclda`, through ctypes) one thread, and JAX
(`jax.jit`, float64) has its thread pools pinned to one CPU. MKL, AOCL and JAX are optional:
without them their columns are left out, with a note. The vendor library of the processor
is the peer to beat: MKL on Intel, AOCL on AMD. A second table shows NumPy
and SciPy with their default threads.

inv runs beside numpy.linalg.inv, SciPy's, MKL's and AOCL's getrf + getri (on a fresh copy,
made outside the timer, that they overwrite) and JAX's inv; lstsq beside the normal equations
(a^T a x = a^T b by Cholesky) through NumPy/SciPy, MKL, AOCL and JAX, numpy.linalg.lstsq and
SciPy's gelsy. Before timing, every routine's result is checked against NumPy's; while timing, its
CPU time over wall time is recorded, which is above 1 when it kept more than one core busy
(shown for the single-threaded run).
Ratios are the other routine's time divided by ours: above 1 means we are faster.

bench/builds.py times other builds of the module (each instruction-set level, or another
version) beside the installed one; bench/steps.py times the steps of inv and lstsq one by one
beside MKL's and NumPy's.
"""

import harness  # first: it may restart the interpreter before NumPy loads

import argparse  # noqa: E402
import platform  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402
from pathlib import Path  # noqa: E402

import numpy as np  # noqa: E402
import scipy.linalg  # noqa: E402
from threadpoolctl import threadpool_info, threadpool_limits  # noqa: E402

import inv as ours  # noqa: E402
import machine  # noqa: E402
import peers  # noqa: E402
from harness import compare, check, fmt_time, progress  # noqa: E402

RESULTS = Path(__file__).resolve().parent / "results"


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
VENDORS = ("MKL", "AOCL")
INV_PEERS = ("numpy.linalg.inv", "scipy getrf+getri", *(f"{v} getrf+getri" for v in VENDORS),
             "JAX inv")
LSTSQ_PEERS = ("NumPy/SciPy normal eq", *(f"{v} normal eq" for v in VENDORS), "JAX normal eq",
               "numpy.linalg.lstsq",
               "scipy gelsy")


def run_inv(n, rounds, target, vendors=(), jax=None, load=None):
    a = harness.inv_input(n)
    fns = {
        "ours": lambda: ours.inv(a),
        "numpy.linalg.inv": lambda: np.linalg.inv(a),
        "scipy getrf+getri": (
            lambda: np.array(a, order="F"),  # in place only on Fortran order
            lambda x: scipy.linalg.inv(x, overwrite_a=True, check_finite=False),
        ),
    }
    for vendor in vendors:
        fns[f"{vendor.name} getrf+getri"] = vendor.inv(a)
    if jax:
        fns["JAX inv"] = jax.inv(a)
    check(fns, np.linalg.inv(a), f"inv n={n}", 1e-8)
    return compare(fns, rounds, target, load)


def run_lstsq(m, n, order, rounds, target, vendors=(), jax=None, load=None):
    a, b = harness.lstsq_input(m, n, order)
    fns = {
        "ours": lambda: ours.lstsq(a, b),
        "NumPy/SciPy normal eq": lambda: normal_equations(a, b),
        "numpy.linalg.lstsq": lambda: np.linalg.lstsq(a, b, rcond=None),
        "scipy gelsy": lambda: scipy.linalg.lstsq(
            a, b, lapack_driver="gelsy", check_finite=False
        ),
    }
    for vendor in vendors:
        fns[f"{vendor.name} normal eq"] = vendor.normal_equations(a, b)
    if jax:
        fns["JAX normal eq"] = jax.normal_equations(a, b)
    expected = np.linalg.lstsq(a, b, rcond=None)[0]
    check(fns, expected, f"lstsq {m}x{n} ({order})", 1e-8)
    return compare(fns, rounds, target, load)


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


def run_all(quick, rounds, target, label, only=None, vendors=(), jax=None):
    cases = harness.cases(quick, only)
    rows = []
    for i, (name, kind, case) in enumerate(cases, 1):
        progress(f"[{label} {i}/{len(cases)}] {name}")
        load = {}
        if kind == "inv":
            n = case
            big = n >= 1024
            times = run_inv(n, max(3, rounds // 2) if big else rounds, target, vendors, jax, load)
            flops = inv_flops(n)
        else:
            m, n, order = case
            times = run_lstsq(m, n, order, rounds, target, vendors, jax, load)
            flops = lstsq_flops(m, n)
        rows.append({"kind": kind, "case": harness.case_name(kind, case), "times": times,
                     "flops": flops, "load": load})
    progress("")
    sys.stderr.write("\r")
    return rows


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
    args = parser.parse_args()
    rounds = args.rounds or (5 if args.quick else 9)
    target = 1e-3 if args.quick else 3e-3

    # MKL's layers are chosen before threadpoolctl inspects the library, AOCL's threads
    # before its libraries load; JAX starts its threads while pinned to one CPU.
    loaded = [peers.load_mkl(), peers.load_aocl()]
    vendors = [vendor for vendor, _ in loaded if vendor]
    jax, jax_note = peers.load_jax()
    notes = [note for _, note in loaded] + [jax_note]
    header = [
        f"machine: {machine.description()}; "
        f"Python {platform.python_version()}, NumPy {np.__version__}, "
        f"SciPy {scipy.__version__}",
        *notes,
    ]
    print(*notes, sep="\n")
    size, repeats = (1024, 3) if args.quick else (2048, 5)
    with threadpool_limits(limits=1, user_api="blas"):
        blas = blas_description()
        for line in blas:
            print("BLAS:", line)
        progress("measuring single-threaded matrix-product peak")
        peaks = {"OpenBLAS": matmul_peak(size, repeats)}
        for vendor in vendors:
            peaks[vendor.name] = vendor.matmul_peak(size, repeats)
        progress("")
        rates = ", ".join(f"{k} {v:.1f} GFLOP/s" for k, v in peaks.items())
        peak_line = f"single-threaded float64 matmul peak (n={size}): {rates}"
        if len(peaks) > 1:
            peak_line += "; % of peak is of the higher"
        print("\r" + peak_line)
        peak = max(peaks.values())
        single = run_all(args.quick, rounds, target, "1 thread", args.only, vendors, jax)
    out = header + ["BLAS (headline run): " + "; ".join(blas), peak_line, ""]
    out += table(single, peak, "all single-threaded")
    if not args.no_default_threads:  # NumPy and SciPy only: the vendors and JAX stay on one core
        multi = run_all(args.quick, max(3, rounds // 2), target, "default threads", args.only)
        out += table(multi, peak, "NumPy/SciPy default threads; ours single-threaded", busy=False)
    text = "\n".join(out)
    print(text)
    if (not args.quick and not args.only) or args.out != RESULTS:
        args.out.mkdir(parents=True, exist_ok=True)
        (args.out / "speed.md").write_text(
            "# Speed against NumPy, SciPy, MKL, AOCL and JAX\n\nMade by `python bench/speed.py`. "
            "Ratio = their time / our time (above 1: we are faster).\n\n" + text + "\n"
        )
        plot(single, args.out / "speed.png")
        print(f"wrote {args.out / 'speed.md'} and {args.out / 'speed.png'}")


if __name__ == "__main__":
    main()
