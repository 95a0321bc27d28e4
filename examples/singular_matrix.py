"""Handle a singular or nearly singular matrix: `inv` does not raise, so check its result."""

import numpy as np
import numpy.typing as npt

import inv


def checked_inverse(
    a: npt.NDArray[np.float64], tolerance: float = 1e-10
) -> npt.NDArray[np.float64] | None:
    """The inverse of a, or None when a is singular or too close to it to trust the result."""
    a_inv = inv.inv(a)
    # An exactly zero pivot gives infinities or NaNs.
    if not np.isfinite(a_inv).all():
        return None
    # A matrix singular only up to rounding gives large finite entries: the residual shows it.
    residual = np.linalg.norm(a @ a_inv - np.eye(a.shape[0]), np.inf)
    if residual > tolerance:
        return None
    return a_inv


def inverse_or_pseudo_inverse(a: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    a_inv = checked_inverse(a)
    if a_inv is None:
        print("  singular: falling back to the pseudo-inverse (numpy.linalg.pinv)")
        return np.asarray(np.linalg.pinv(a), dtype=np.float64)
    return a_inv


matrices = {
    "regular": np.array([[4.0, 7.0], [2.0, 6.0]]),
    "singular": np.array([[1.0, 2.0], [2.0, 4.0]]),
    "singular up to rounding": np.array(
        [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0], [7.0, 8.0, 9.0]]
    ),
}
for name, a in matrices.items():
    print(f"{name}:")
    print("  inv.inv gives", np.array2string(inv.inv(a), precision=3).replace("\n", ""))
    result = inverse_or_pseudo_inverse(a)
    print("  using", np.array2string(result, precision=3).replace("\n", ""))

if checked_inverse(matrices["regular"]) is None:
    raise SystemExit("a regular matrix was rejected")
if checked_inverse(matrices["singular"]) is not None:
    raise SystemExit("a singular matrix was accepted")
