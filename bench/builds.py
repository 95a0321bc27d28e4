"""Times the installed `inv` beside other builds of it, side by side in one process.

    python bench/builds.py NAME=DIR ... [--quick] [--only CASE ...]

Each DIR holds another build, loaded by its module file's path beside the installed one:
  - a build pinned to a lower instruction-set level, to show that the level the dispatcher
    picks is no slower than those below it:
        pip install --no-deps --target DIR . -C cmake.define.INV_LEVEL=x86-64-v3
  - a build of other sources (a landed version, a branch), to show a change's cost:
        pip install --no-deps --target DIR <other checkout>
For every case of bench/speed.py all builds run on the same arrays in interleaved rounds; the
ratio is each build's time over the installed one's (above 1: the installed one is faster).
"""

import harness  # first: it may restart the interpreter before NumPy loads

import argparse  # noqa: E402

import inv  # noqa: E402
import machine  # noqa: E402
from harness import compare, fmt_time, progress  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("builds", nargs="+", metavar="NAME=DIR", help="other builds, by name")
    parser.add_argument("--quick", action="store_true", help="small sizes, few repeats")
    parser.add_argument("--rounds", type=int, help="interleaved rounds per case")
    parser.add_argument("--only", nargs="+", metavar="CASE",
                        help='cases whose names start so, e.g. "inv 64" "lstsq 1000x10"')
    args = parser.parse_args()
    builds = {"installed": inv}
    for entry in args.builds:
        name, folder = entry.split("=", 1)
        builds[name] = harness.load_module(folder)
    rounds = args.rounds or (5 if args.quick else 15)
    target = 1e-3 if args.quick else 3e-3
    names = list(builds)
    print(f"machine: {machine.description()}; the installed module runs level "
          f"{machine.dispatched_level()}")
    print("")
    print("| case | " + " | ".join(names) + " | "
          + " | ".join(f"{name} / installed" for name in names[1:]) + " |")
    print("|---|" + "---:|" * (2 * len(names) - 1))
    for name, kind, case in harness.cases(args.quick, args.only):
        progress(name)
        if kind == "inv":
            a = harness.inv_input(case)
            fns = {build: (lambda module=module: module.inv(a)) for build, module in builds.items()}
        else:
            a, b = harness.lstsq_input(*case)
            fns = {build: (lambda module=module: module.lstsq(a, b))
                   for build, module in builds.items()}
        times = compare(fns, rounds, target)
        progress("")
        print(f"\r| {name} | " + " | ".join(fmt_time(times[n]) for n in names) + " | "
              + " | ".join(f"{times[n] / times['installed']:.2f}" for n in names[1:]) + " |",
              flush=True)


if __name__ == "__main__":
    main()
