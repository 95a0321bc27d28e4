"""Fit many data sets in worker processes.

A process pool sends the function it maps to its workers by pickling it, and `inv.lstsq` and
`inv.inv` cannot be pickled (they name their module "code", where pickle cannot find them).
A function of your own module that calls them is pickled by its name, so map that instead."""

import concurrent.futures

import numpy as np
import numpy.typing as npt

import inv


def fit_line(data: tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]) -> npt.NDArray[np.float64]:
    """Intercept and slope of the least-squares line through the points (x, y)."""
    x, y = data
    return inv.lstsq(np.column_stack([np.ones_like(x), x]), y)


def main() -> None:
    rng = np.random.default_rng(7)
    x = np.linspace(0.0, 10.0, 200)
    truths = [(float(k), 0.5 * k) for k in range(8)]
    data_sets = [(x, a + b * x + rng.normal(0.0, 0.01, x.size)) for a, b in truths]

    with concurrent.futures.ProcessPoolExecutor(max_workers=2) as pool:
        fits = list(pool.map(fit_line, data_sets))

    for (a, b), (intercept, slope) in zip(truths, fits):
        print(f"true line {a:.2f} + {b:.2f} x, fitted {intercept:.3f} + {slope:.3f} x")
        if abs(intercept - a) > 0.01 or abs(slope - b) > 0.005:
            raise SystemExit("a fit is off")


# Worker processes may import this file again; only the parent runs the pool.
if __name__ == "__main__":
    main()
