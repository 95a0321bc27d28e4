"""Times the installed `inv` module side by side with NumPy and SciPy in one process.

    python bench/speed.py            # full run, a few minutes; writes bench/results/
    python bench/speed.py --quick    # smaller sizes and fewer repeats, for iteration

Headline numbers are single-threaded (threadpoolctl limits OpenBLAS to one thread, as our
module always runs on one); a second table shows NumPy and SciPy with their default threads.
Ratios are the other routine's time divided by ours: above 1 means we are faster.
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
import statistics  # noqa: E402
import time  # noqa: E402
from pathlib import Path  # noqa: E402

import numpy as np  # noqa: E402
import scipy.linalg  # noqa: E402
from threadpoolctl import threadpool_info, threadpool_limits  # noqa: E402

import inv as ours  # noqa: E402
import machine  # noqa: E402

RESULTS = Path(__file__).resolve().parent / "results"


def progress(text):
    sys.stderr.write("\r" + text.ljust(78)[:78])
    sys.stderr.flush()


def batch_size(fn, target=2e-3):
    """Calls per sample so that one sample lasts about `target` seconds."""
    start = time.perf_counter()
    fn()
    once = time.perf_counter() - start
    return max(1, int(target / max(once, 1e-7)))


def compare(fns, rounds, target):
    """Median seconds per call of each function, sampled in interleaved rounds.

    Every round times each function once (a batch of calls for fast ones), rotating the
    order, so that drift in the machine's load falls on all of them alike.
    """
    for fn in fns.values():  # warm-up: first-call costs and page cache
        fn()
    batches = {name: batch_size(fn, target) for name, fn in fns.items()}
    samples = {name: [] for name in fns}
    names = list(fns)
    for r in range(rounds):
        order = names[r % len(names):] + names[: r % len(names)]
        for name in order:
            fn, k = fns[name], batches[name]
            start = time.perf_counter()
            for _ in range(k):
                fn()
            samples[name].append((time.perf_counter() - start) / k)
    return {name: statistics.median(s) for name, s in samples.items()}


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


def run_inv(n, rounds, target):
    rng = np.random.default_rng(n)
    a = rng.standard_normal((n, n)) + n * np.eye(n) * 0.1
    return compare(
        {"ours": lambda: ours.inv(a), "numpy.linalg.inv": lambda: np.linalg.inv(a)},
        rounds,
        target,
    )


def run_lstsq(m, n, order, rounds, target):
    rng = np.random.default_rng(m + n)
    a = rng.standard_normal((m, n))
    if order == "F":
        a = np.asfortranarray(a)
    b = rng.standard_normal(m)
    return compare(
        {
            "ours": lambda: ours.lstsq(a, b),
            "normal eq": lambda: normal_equations(a, b),
            "numpy.linalg.lstsq": lambda: np.linalg.lstsq(a, b, rcond=None),
            "scipy gelsy": lambda: scipy.linalg.lstsq(
                a, b, lapack_driver="gelsy", check_finite=False
            ),
        },
        rounds,
        target,
    )


def fmt_time(t):
    if t < 1e-3:
        return f"{t * 1e6:.1f} us"
    if t < 1:
        return f"{t * 1e3:.2f} ms"
    return f"{t:.2f} s"


def table(rows, peak, headline):
    """Markdown rows: case, our time, GFLOP/s and share of peak, then each ratio."""
    lines = []
    inv_rows = [r for r in rows if r["kind"] == "inv"]
    ls_rows = [r for r in rows if r["kind"] == "lstsq"]
    if inv_rows:
        lines += [
            f"### inv ({headline})",
            "",
            "| n | ours | numpy.linalg.inv | ratio | ours GFLOP/s | % of peak |",
            "|---:|---:|---:|---:|---:|---:|",
        ]
        for r in inv_rows:
            t = r["times"]
            gf = r["flops"] / t["ours"] / 1e9
            lines.append(
                f"| {r['case']} | {fmt_time(t['ours'])} | {fmt_time(t['numpy.linalg.inv'])} "
                f"| {t['numpy.linalg.inv'] / t['ours']:.2f} | {gf:.2f} | {100 * gf / peak:.0f}% |"
            )
        lines.append("")
    if ls_rows:
        lines += [
            f"### lstsq ({headline})",
            "",
            "| m x n (order) | ours | normal eq | ratio | numpy lstsq | ratio | scipy gelsy "
            "| ratio | ours GFLOP/s | % of peak |",
            "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|",
        ]
        for r in ls_rows:
            t = r["times"]
            gf = r["flops"] / t["ours"] / 1e9
            cells = [r["case"], fmt_time(t["ours"])]
            for other in ("normal eq", "numpy.linalg.lstsq", "scipy gelsy"):
                cells += [fmt_time(t[other]), f"{t[other] / t['ours']:.2f}"]
            cells += [f"{gf:.2f}", f"{100 * gf / peak:.0f}%"]
            lines.append("| " + " | ".join(cells) + " |")
        lines.append("")
    return lines


def run_all(quick, rounds, target, label):
    cases = [("inv", n) for n in inv_cases(quick)] + [
        ("lstsq", c) for c in lstsq_cases(quick)
    ]
    rows = []
    for i, (kind, case) in enumerate(cases, 1):
        if kind == "inv":
            n = case
            name = f"{n}"
            progress(f"[{label} {i}/{len(cases)}] inv n={n}")
            big = n >= 1024
            times = run_inv(n, max(3, rounds // 2) if big else rounds, target)
            flops = inv_flops(n)
        else:
            m, n, order = case
            name = f"{m}x{n} ({order})"
            progress(f"[{label} {i}/{len(cases)}] lstsq {name}")
            times = run_lstsq(m, n, order, rounds, target)
            flops = lstsq_flops(m, n)
        rows.append({"kind": kind, "case": name, "times": times, "flops": flops})
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
    left.plot(ns, [r["times"]["numpy.linalg.inv"] / r["times"]["ours"] for r in inv_rows], "o-")
    left.axhline(1.0, color="grey", lw=0.8)
    left.set_xscale("log", base=2)
    left.set_xlabel("n")
    left.set_ylabel("numpy time / our time")
    left.set_title("inv(a), n x n, single thread")

    ls_rows = [r for r in single if r["kind"] == "lstsq"]
    x = np.arange(len(ls_rows))
    width = 0.27
    for k, other in enumerate(("normal eq", "numpy.linalg.lstsq", "scipy gelsy")):
        right.bar(
            x + (k - 1) * width,
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
    args = parser.parse_args()
    rounds = args.rounds or (5 if args.quick else 9)
    target = 1e-3 if args.quick else 3e-3

    header = [
        f"machine: {machine.description()}; "
        f"Python {platform.python_version()}, NumPy {np.__version__}, "
        f"SciPy {scipy.__version__}",
    ]
    with threadpool_limits(limits=1, user_api="blas"):
        blas = blas_description()
        for line in blas:
            print("BLAS:", line)
        progress("measuring single-threaded matrix-product peak")
        peak = matmul_peak(1024 if args.quick else 2048, 3 if args.quick else 5)
        progress("")
        print(f"\rsingle-threaded matmul peak: {peak:.1f} GFLOP/s")
        single = run_all(args.quick, rounds, target, "1 thread")
    out = header + ["BLAS (headline run): " + "; ".join(blas),
                    f"single-threaded float64 matmul peak: {peak:.1f} GFLOP/s", ""]
    out += table(single, peak, "NumPy/SciPy single-threaded")
    if not args.no_default_threads:
        multi = run_all(args.quick, max(3, rounds // 2), target, "default threads")
        out += table(multi, peak, "NumPy/SciPy default threads; ours single-threaded")
    text = "\n".join(out)
    print(text)
    if not args.quick or args.out != RESULTS:
        args.out.mkdir(parents=True, exist_ok=True)
        (args.out / "speed.md").write_text(
            "# Speed against NumPy and SciPy\n\nMade by `python bench/speed.py`. "
            "Ratio = their time / our time (above 1: we are faster).\n\n" + text + "\n"
        )
        plot(single, args.out / "speed.png")
        print(f"wrote {args.out / 'speed.md'} and {args.out / 'speed.png'}")


if __name__ == "__main__":
    main()
