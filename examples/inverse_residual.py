"""Invert a matrix with `inv` and check the result through its residual."""

import numpy as np
import numpy.typing as npt

import inv


def relative_residual(a: npt.NDArray[np.float64], a_inv: npt.NDArray[np.float64]) -> float:
    """||a @ a_inv - I|| / (||a|| * ||a_inv||): near machine epsilon for a good inverse."""
    identity = np.eye(a.shape[0])
    return float(
        np.linalg.norm(a @ a_inv - identity, np.inf)
        / (np.linalg.norm(a, np.inf) * np.linalg.norm(a_inv, np.inf))
    )


# The stiffness matrix of five springs in a chain fixed at one end.
a = np.array(
    [
        [2.0, -1.0, 0.0, 0.0, 0.0],
        [-1.0, 2.0, -1.0, 0.0, 0.0],
        [0.0, -1.0, 2.0, -1.0, 0.0],
        [0.0, 0.0, -1.0, 2.0, -1.0],
        [0.0, 0.0, 0.0, -1.0, 1.0],
    ]
)
a_inv = inv.inv(a)
print("inverse (flexibility matrix):")
print(np.round(a_inv, 6))

residual = relative_residual(a, a_inv)
condition = np.linalg.norm(a, np.inf) * np.linalg.norm(a_inv, np.inf)
print(f"relative residual {residual:.1e}, condition number {condition:.1f}")
# Expect about log10(condition) digits lost from the 16 a float64 carries.
if not np.isfinite(a_inv).all() or residual > 100 * np.finfo(np.float64).eps:
    raise SystemExit("the inverse is not accurate")

# To solve a @ x = f, multiplying by the inverse works, though numpy.linalg.solve is cheaper
# and more accurate when only one right-hand side is needed.
forces = np.array([0.0, 0.0, 0.0, 0.0, 1.0])
print("displacements under a unit pull at the free end:", a_inv @ forces)
