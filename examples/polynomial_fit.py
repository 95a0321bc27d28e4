"""Fit a polynomial with `lstsq`, scaling x first so that the normal equations keep their digits."""

import numpy as np
import numpy.typing as npt

import inv


def fit_polynomial(
    x: npt.NDArray[np.float64], y: npt.NDArray[np.float64], degree: int
) -> tuple[npt.NDArray[np.float64], float, float]:
    """Coefficients c of y ~ sum(c[k] * t**k) with t = (x - centre) / half_width."""
    centre = (x.max() + x.min()) / 2
    half_width = (x.max() - x.min()) / 2
    # Powers of t in [-1, 1] stay of similar size; powers of raw x (here up to 2030**3)
    # would make the design ill-conditioned, and lstsq squares that condition number.
    t = (x - centre) / half_width
    design = np.vander(t, degree + 1, increasing=True)
    return inv.lstsq(design, y), float(centre), float(half_width)


def evaluate(
    coefficients: npt.NDArray[np.float64], centre: float, half_width: float, x: float
) -> float:
    t = (x - centre) / half_width
    powers = t ** np.arange(len(coefficients))
    return float(powers @ coefficients)


# Approximate yearly mean atmospheric CO2 at Mauna Loa (ppm), every second year from 2000.
years = np.arange(2000.0, 2021.0, 2.0)
co2 = np.array([369.7, 373.5, 377.5, 381.9, 385.6, 389.9, 393.9, 398.6, 404.4, 408.7, 414.2])

coefficients, centre, half_width = fit_polynomial(years, co2, degree=2)
print("coefficients in t = (year - 2010) / 10:", np.round(coefficients, 3))

# NumPy's own polynomial fit on the same scaled years (it lists the highest power first).
reference = np.polyfit((years - centre) / half_width, co2, 2)[::-1]
if not np.allclose(coefficients, reference, rtol=1e-10):
    raise SystemExit(f"lstsq disagrees with NumPy's polynomial fit: {reference}")

for year in (2010.0, 2025.0):
    print(f"fitted CO2 in {year:.0f}: {evaluate(coefficients, centre, half_width, year):.1f} ppm")
