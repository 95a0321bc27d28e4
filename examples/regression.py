"""Fit a linear regression with several predictors using `lstsq`, and judge the fit."""

import numpy as np

import inv

# Illustrative data: fuel consumption (l/100 km) of eight cars, their mass (t) and power (kW).
mass = np.array([1.05, 1.20, 1.32, 1.45, 1.51, 1.63, 1.80, 1.95])
power = np.array([55.0, 66.0, 85.0, 81.0, 110.0, 96.0, 125.0, 140.0])
consumption = np.array([5.1, 5.6, 6.3, 6.4, 7.4, 7.3, 8.5, 9.2])

# One column per parameter: intercept, mass, power.
design = np.column_stack([np.ones_like(mass), mass, power])
coefficients = inv.lstsq(design, consumption)
intercept, per_tonne, per_kw = coefficients
print(f"consumption = {intercept:.3f} + {per_tonne:.3f} * mass + {per_kw:.4f} * power")

fitted = design @ coefficients
residuals = consumption - fitted
r_squared = 1.0 - residuals @ residuals / np.sum((consumption - consumption.mean()) ** 2)
print(f"R^2 = {r_squared:.4f}, largest residual {np.max(np.abs(residuals)):.3f} l/100 km")

# At the least-squares solution the residual is orthogonal to every column of the design.
if not np.allclose(design.T @ residuals, 0.0, atol=float(1e-9 * np.linalg.norm(design) ** 2)):
    raise SystemExit("residual is not orthogonal to the design: the fit failed")

new_car = np.array([1.0, 1.40, 90.0])
print(f"predicted for a 1.40 t, 90 kW car: {new_car @ coefficients:.2f} l/100 km")
