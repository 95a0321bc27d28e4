"""Correct digits of lstsq on the NIST StRD linear least-squares datasets.

    python bench/strd.py [--against DIR]

Prints the log relative error (LRE, capped at 15) of the worst parameter per dataset for the
installed module; with --against, also for the `inv` module installed in DIR (for example a
plain build made with `pip install --target DIR <source>`), so that two builds can be
compared side by side.
"""

import argparse
import importlib.util
import json
import math
from pathlib import Path

import numpy as np

import inv

DATA = Path(__file__).resolve().parents[1].parent / "shared" / "data" / "strd"


def design(dataset):
    x = np.array(dataset["x"], float)
    if dataset["kind"] == "multilinear":
        columns = [np.ones(len(x))] + [x[:, k] for k in range(x.shape[1])]
    else:
        t = x[:, 0] if x.ndim == 2 else x
        powers = range(0 if dataset["intercept"] else 1, (dataset["degree"] or 1) + 1)
        columns = [t**p for p in powers]
    return np.column_stack(columns)


def lre(estimate, certified):
    worst = 15.0
    for e, c in zip(estimate, certified):
        error = abs(e - c) / abs(c) if c != 0 else abs(e)
        worst = min(worst, 15.0 if error == 0 else max(0.0, -math.log10(error)))
    return worst


def load_module(folder):
    path = next(Path(folder).glob("inv*.so"))
    spec = importlib.util.spec_from_file_location("inv", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", type=Path, default=DATA)
    parser.add_argument("--against", type=Path, help="folder holding another build of inv")
    args = parser.parse_args()
    other = load_module(args.against) if args.against else None
    header = f"{'dataset':10} {'LRE':>6}" + (f" {'other':>6} {'diff':>6}" if other else "")
    print(header)
    for path in sorted(args.data.glob("*.json")):
        dataset = json.loads(path.read_text())
        a, y = design(dataset), np.array(dataset["y"], float)
        ours = lre(inv.lstsq(a, y), dataset["certified"])
        line = f"{dataset['name']:10} {ours:6.2f}"
        if other:
            theirs = lre(other.lstsq(a, y), dataset["certified"])
            line += f" {theirs:6.2f} {ours - theirs:+6.2f}"
        print(line)


if __name__ == "__main__":
    main()
