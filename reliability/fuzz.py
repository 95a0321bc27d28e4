"""Random-generation fuzzer for `inv` and `lstsq`: runs generated calls for a fixed time and
holds each to the rule in tests/arguments.py. Prints the number of calls and their outcomes; exits
1 on the first call that breaks the rule (with the seed that replays it).

    python reliability/fuzz.py --seconds 60 [--seed 1] [--verbose]

Every call is made from its own seed, so `--seed S --first N --calls 1 --verbose` replays
call N of a run exactly.
"""

import argparse
import collections
import faulthandler
import pathlib
import sys
import time

# The generators and the rule live with the tests, which hold hypothesis's arrays to it too.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))
import arguments  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--calls", type=int, default=None, help="stop after this many calls")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--first", type=int, default=0, help="number of the first call")
    parser.add_argument("--verbose", action="store_true")
    options = parser.parse_args()
    faulthandler.enable()

    outcomes = collections.Counter()
    start = time.monotonic()
    number = options.first
    while time.monotonic() - start < options.seconds:
        if options.calls is not None and number - options.first >= options.calls:
            break
        source = arguments.Source(f"{options.seed}-{number}")
        name, args, kwargs = arguments.call(source)
        if options.verbose:
            print(f"call {number}: {name}{args!r:.400} {kwargs!r:.200}", flush=True)
        try:
            outcomes[(name, arguments.check_call(name, args, kwargs))] += 1
        except arguments.Finding as finding:
            print(f"FINDING at call {number} (replay: --seed {options.seed} --first {number} --calls 1 --verbose)")
            print(f"  {finding}")
            return 1
        number += 1

    elapsed = time.monotonic() - start
    total = sum(outcomes.values())
    print(f"fuzz: {total} calls in {elapsed:.1f} s ({total / elapsed:.0f} calls/s), seed {options.seed}, no finding")
    for (name, outcome), count in sorted(outcomes.items()):
        print(f"  {name:6} {outcome:12} {count}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
