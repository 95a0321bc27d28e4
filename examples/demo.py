"""Fit a straight line to measurements with `lstsq`, then invert the normal matrix with `inv`
to get the parameters' standard errors."""

import numpy as np

import inv

# Length of a steel rod (mm) measured at several temperatures (degrees C).
temperature = np.array([10.0, 20.0, 30.0, 40.0, 50.0, 60.0, 70.0])
length = np.array([1000.11, 1000.23, 1000.36, 1000.46, 1000.59, 1000.70, 1000.83])

design = np.column_stack([np.ones_like(temperature), temperature])
intercept, slope = inv.lstsq(design, length)
print(f"length = {intercept:.4f} mm + {slope * 1000:.3f} um/degC * temperature")

residuals = length - design @ np.array([intercept, slope])
variance = residuals @ residuals / (len(length) - 2)
covariance = variance * inv.inv(design.T @ design)
errors = np.sqrt(np.diag(covariance))
print(f"standard errors: intercept {errors[0]:.4f} mm, slope {errors[1] * 1000:.4f} um/degC")
print(f"expansion coefficient: {slope / intercept * 1e6:.2f} per million per degC")
