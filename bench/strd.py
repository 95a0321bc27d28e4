"""Correct digits of lstsq on the NIST StRD datasets, for this build beside another one.

    python bench/strd.py [--against DIR]

Prints the log relative error (LRE, capped at 15) of the worst parameter per dataset for the
installed module; with --against, also for the `inv` module installed in DIR (for example a
plain build made with `pip install --target DIR <source>`), so that two builds can be
compared side by side. The datasets and the scoring are those of bench/accuracy.py.
"""

import argparse
import importlib.util
import json
from pathlib import Path

import numpy as np

import inv
from accuracy import DATA, design_matrix, digits


def load_module(folder):
    path = next(Path(folder).glob("inv*.so"))
    location = importlib.util.spec_from_file_location("inv", path)
    module = importlib.util.module_from_spec(location)
    location.loader.exec_module(module)
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
        a, y = design_matrix(dataset), np.array(dataset["y"], float)
        certified = np.array(dataset["certified"], float)
        ours = digits(inv.lstsq(a, y), certified)
        line = f"{dataset['name']:10} {ours:6.2f}"
        if other:
            theirs = digits(other.lstsq(a, y), certified)
            line += f" {theirs:6.2f} {ours - theirs:+6.2f}"
        print(line)


if __name__ == "__main__":
    main()
