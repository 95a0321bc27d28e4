"""Times the installed `inv` beside another build of it, side by side in one process.

    python bench/builds.py --against DIR [--quick]

DIR holds the other build, for example one made with
`pip install --no-deps --target DIR <other source>`. For each case of bench/speed.py, both
builds run on the same arrays in interleaved rounds; the ratio is the other build's time
divided by the installed one's (above 1: the installed build is faster). The other build's
module file is loaded by its path, beside the installed one.
"""

import argparse
from pathlib import Path

import numpy as np

import machine
import speed  # restarts the interpreter without the OpenBLAS presets, before NumPy loads
from strd import load_module


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--against", type=Path, required=True, help="folder with another build")
    parser.add_argument("--quick", action="store_true", help="small sizes, few repeats")
    parser.add_argument("--only", nargs="+", metavar="CASE", default=[""],
                        help='cases whose names start so, e.g. "inv 64" "lstsq 1000x10"')
    args = parser.parse_args()
    other = load_module(args.against)
    rounds, target = (5, 1e-3) if args.quick else (15, 3e-3)
    print(f"machine: {machine.description()}")
    print("| case | installed | other | other / installed |\n|---|---:|---:|---:|")

    def row(case, fns):
        if not any(case.startswith(prefix) for prefix in args.only):
            return
        times = speed.compare(fns, rounds, target)
        print(f"| {case} | {speed.fmt_time(times['installed'])} | {speed.fmt_time(times['other'])} "
              f"| {times['other'] / times['installed']:.2f} |", flush=True)

    rng = np.random.default_rng(0)
    for n in speed.inv_cases(args.quick):
        a = rng.standard_normal((n, n)) + n * np.eye(n) * 0.1
        row(f"inv {n}", {"installed": lambda: speed.ours.inv(a), "other": lambda: other.inv(a)})
    for m, n, order in speed.lstsq_cases(args.quick):
        a = rng.standard_normal((m, n))
        a = np.asfortranarray(a) if order == "F" else a
        b = rng.standard_normal(m)
        row(f"lstsq {m}x{n} ({order})",
            {"installed": lambda: speed.ours.lstsq(a, b), "other": lambda: other.lstsq(a, b)})


if __name__ == "__main__":
    main()
