"""auto-compiled c++ extension"""

import numpy
import numpy.typing

def inv(a: numpy.typing.ArrayLike, /) -> numpy.typing.NDArray[numpy.float64]:
    """Inverse of a square matrix, by LU with partial pivoting.

    Returns a new (n, n) float64 array in Fortran order. A singular matrix is not an error:
    its inverse holds infinities or NaNs. A non-square matrix raises ValueError.
    """

def lstsq(
    a: numpy.typing.ArrayLike, b: numpy.typing.ArrayLike, /
) -> numpy.typing.NDArray[numpy.float64]:
    """Least-squares solution x of a @ x ~ b, through the normal equations.

    Returns a new 1-D float64 array with one entry per column of a. Rank-deficient input is
    not an error and gives one particular solution, not the minimum-norm one. A b without
    one entry per row of a raises ValueError.
    """
