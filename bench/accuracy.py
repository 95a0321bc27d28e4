"""How many correct digits `inv.lstsq` and `inv.inv` deliver, beside NumPy's LAPACK routines.

Least squares: the NIST StRD linear least-squares datasets (bench/data/strd/), scored by the
log relative error against NIST's certified parameters. Inverse: Hilbert and Pascal matrices,
whose exact inverses SciPy computes in integer arithmetic.

    python bench/accuracy.py                                      # prints the tables
    python bench/accuracy.py --output bench/results/accuracy.md   # and writes them there
    python bench/accuracy.py --against x86-64-v3=DIR ...          # other builds beside it

--against takes other builds of the module (pinned to a level, or of other sources; see
bench/builds.py for how to make one), loaded by path, and adds a column of digits for each.

The digits depend on the CPU (the module picks its kernels from it), so the report names the
machine, and the tracked report changes only when asked to. Needs the installed module, NumPy
and SciPy. Never part of pass/fail.
"""

from __future__ import annotations

import argparse
import json
import math
import pathlib
import platform
import sys

import numpy as np
import scipy
import scipy.linalg

import harness
import inv
import machine

HERE = pathlib.Path(__file__).resolve().parent
DATA = HERE / "data" / "strd"

# The certified values carry 15 significant digits, so no score above 15 means anything.
MAX_DIGITS = 15.0

HILBERT_SIZES = [2, 4, 6, 8, 10, 11, 12, 13]
PASCAL_SIZES = [4, 8, 12, 14, 16, 18, 20]


def digits(estimate: np.ndarray, exact: np.ndarray) -> float:
    """Smallest log relative error over the entries of `estimate`, clipped to [0, 15]."""
    worst = MAX_DIGITS
    for value, reference in zip(np.ravel(estimate), np.ravel(exact)):
        if not math.isfinite(value):
            return 0.0
        error = abs(value - reference)
        if error == 0.0:
            continue
        scale = abs(reference) if reference != 0.0 else 1.0
        worst = min(worst, -math.log10(error / scale))
    return max(0.0, worst)


def normwise_digits(estimate: np.ndarray, exact: np.ndarray) -> float:
    """-log10 of the largest entry error relative to the largest exact entry, clipped to [0, 15]."""
    if not np.isfinite(estimate).all():
        return 0.0
    error = float(np.max(np.abs(estimate - exact)))
    if error == 0.0:
        return MAX_DIGITS
    return float(min(MAX_DIGITS, max(0.0, -math.log10(error / float(np.max(np.abs(exact)))))))


def design_matrix(dataset: dict) -> np.ndarray:
    """The columns NIST's model multiplies by its parameters, in the order of `certified`."""
    x = np.array(dataset["x"], dtype=np.float64)
    if dataset["kind"] == "polynomial":
        t = x[:, 0]
        first = 0 if dataset["intercept"] else 1
        return np.column_stack([t**power for power in range(first, dataset["degree"] + 1)])
    return np.column_stack([np.ones(len(x)), x])


def qr_scaled(a: np.ndarray, y: np.ndarray) -> np.ndarray:
    """Householder QR on columns scaled to unit length: the orthogonal method a user would pick."""
    scale = np.linalg.norm(a, axis=0)
    q, r = np.linalg.qr(a / scale)
    return scipy.linalg.solve_triangular(r, q.T @ y) / scale


def strd_rows(others: dict) -> list[dict]:
    rows = []
    for path in sorted(DATA.glob("*.json")):
        dataset = json.loads(path.read_text())
        a = design_matrix(dataset)
        y = np.array(dataset["y"], dtype=np.float64)
        certified = np.array(dataset["certified"], dtype=np.float64)
        assert a.shape == (dataset["n"], dataset["p"]), dataset["name"]
        ours = inv.lstsq(a, y)
        other_digits = {name: digits(module.lstsq(a, y), certified) for name, module in others.items()}
        numpy_solution = np.linalg.lstsq(a, y, rcond=None)[0]
        rows.append(
            {
                "name": dataset["name"],
                "difficulty": dataset["level_of_difficulty"],
                "shape": a.shape,
                "cond": float(np.linalg.cond(a)),
                "scaled_cond": float(np.linalg.cond(a / np.linalg.norm(a, axis=0))),
                "inv": digits(ours, certified),
                "others": other_digits,
                "numpy": digits(numpy_solution, certified),
                "qr": digits(qr_scaled(a, y), certified),
            }
        )
    order = {"Lower": 0, "Average": 1, "Higher": 2}
    return sorted(rows, key=lambda row: (order[row["difficulty"]], row["name"]))


def exact_inverse_rows(kind: str, sizes: list[int], others: dict) -> list[dict]:
    rows = []
    for n in sizes:
        if kind == "Hilbert":
            a = scipy.linalg.hilbert(n)
            exact_int = scipy.linalg.invhilbert(n, exact=True)
        else:
            a = scipy.linalg.pascal(n).astype(np.float64)
            exact_int = scipy.linalg.invpascal(n, exact=True)
        # Entries beyond 2**53 round on conversion, by far less than the errors measured here.
        exact = np.array(exact_int.tolist(), dtype=np.float64)
        cond = float(np.linalg.norm(a, np.inf) * np.linalg.norm(exact, np.inf))
        rows.append(
            {
                "matrix": f"{kind} {n}",
                "cond": cond,
                "inv": normwise_digits(inv.inv(a), exact),
                "others": {name: normwise_digits(module.inv(a), exact) for name, module in others.items()},
                "numpy": normwise_digits(np.linalg.inv(a), exact),
            }
        )
    return rows


def render(strd: list[dict], inverses: list[dict], others: list[str]) -> str:
    extra_heads = "".join(f" `{name}` |" for name in others)
    extra_rule = "---:|" * len(others)
    lines = [
        "# Accuracy",
        "",
        f"Produced by `python bench/accuracy.py` on {machine.description()}"
        f" (Python {platform.python_version()}, NumPy {np.__version__}, SciPy {scipy.__version__}).",
        "",
        "## Least squares on the NIST StRD datasets",
        "",
        "Correct digits: the smallest log relative error over a dataset's parameters against NIST's"
        " certified values, capped at 15, 0 when no digit is right. `cond` is the design matrix's"
        " 2-norm condition number, `scaled cond` the same after each column is scaled to unit"
        " length. `numpy.linalg.lstsq` runs with `rcond=None` (LAPACK's SVD solver `gelsd`)."
        " The last column is a reference, not part of the module: Householder QR"
        " (`numpy.linalg.qr`) on the scaled columns.",
        "",
        "| Dataset | NIST difficulty | Shape | cond | scaled cond | `inv.lstsq` |" + extra_heads
        + " `numpy.linalg.lstsq` | QR, scaled |",
        "|---|---|---|---:|---:|---:|" + extra_rule + "---:|---:|",
    ]
    for row in strd:
        rows, cols = row["shape"]
        lines.append(
            f"| {row['name']} | {row['difficulty']} | {rows}×{cols} | {row['cond']:.1e}"
            f" | {row['scaled_cond']:.1e} | {row['inv']:.1f} |"
            + "".join(f" {row['others'][name]:.1f} |" for name in others)
            + f" {row['numpy']:.1f} | {row['qr']:.1f} |"
        )
    lines += [
        "",
        "## Inverse of matrices with known exact inverses",
        "",
        "Correct digits: -log10 of the largest entry error relative to the largest entry of the"
        " exact inverse, capped at 15. `cond` is the ∞-norm condition number. The float64 Hilbert"
        " matrix is itself rounded, so its exact inverse differs from the inverse of what either"
        " routine is given; Pascal matrices have integer entries and are represented exactly.",
        "",
        "| Matrix | cond | `inv.inv` |" + extra_heads + " `numpy.linalg.inv` |",
        "|---|---:|---:|" + extra_rule + "---:|",
    ]
    for row in inverses:
        lines.append(f"| {row['matrix']} | {row['cond']:.1e} | {row['inv']:.1f} |"
                     + "".join(f" {row['others'][name]:.1f} |" for name in others)
                     + f" {row['numpy']:.1f} |")
    return "\n".join(lines) + "\n"


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output", type=pathlib.Path, help="also write the report to this markdown file")
    parser.add_argument("--against", nargs="+", metavar="NAME=DIR", default=[],
                        help="other builds of the module, each with a column of its own")
    args = parser.parse_args(argv)
    others = {}
    for entry in args.against:
        name, folder = entry.split("=", 1)
        others[name] = harness.load_module(folder)
    report = render(
        strd_rows(others),
        exact_inverse_rows("Hilbert", HILBERT_SIZES, others)
        + exact_inverse_rows("Pascal", PASCAL_SIZES, others),
        list(others),
    )
    print(report, end="")
    if args.output is not None:
        args.output.parent.mkdir(parents=True, exist_ok=True)
        args.output.write_text(report)
        print(f"written to {args.output}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
