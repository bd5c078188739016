"""Types of the package: its version and the NumPy-style projection it loads on first use."""

from typing import Any, Optional, SupportsFloat, SupportsIndex, Tuple, Union

import numpy as np
from numpy.typing import ArrayLike, NDArray

__version__: str
__all__ = [
    "project_capped_simplex",
    "project_capped_simplex_jvp",
    "project_capped_simplex_vjp",
]

def project_capped_simplex(
    y: ArrayLike,
    h: ArrayLike,
    l: ArrayLike,  # noqa: E741
    u: ArrayLike,
    *,
    axis: SupportsIndex = -1,
    xtol: SupportsFloat = 1e-05,
    rtol: SupportsFloat = 1e-05,
    maxiter: SupportsIndex = 20,
    exact: bool = False,
    out: Optional[NDArray[np.float64]] = None,
    workers: Optional[SupportsIndex] = None,
) -> NDArray[np.float64]:
    """Project every vector of ``y`` along ``axis`` onto ``{x : l <= x_j <= u, sum_j x_j = h}``.

    Returns a new float64 array of ``y``'s shape (or ``out``, filled); ``y``
    itself is never modified unless it is passed as ``out``.  Each vector
    becomes ``clip(y - tau, l, u)``, with ``tau`` the root of
    ``sum_j clip(y_j - tau, l, u) - h`` found by SciPy's compiled ``brentq``.

    Parameters
    ----------
    y
        Real numbers (booleans, integers, floats of any width; converted to
        float64).  Every axis but ``axis`` is a batch axis.
    h, l, u
        The sum and the bounds: scalars, or arrays broadcastable to the batch
        shape (``y``'s shape without ``axis``), one value per vector.
    axis
        The axis the vectors lie along.
    xtol, rtol
        ``brentq``'s absolute and relative tolerances on ``tau``.
    maxiter
        ``brentq``'s iteration limit, at least 1.  A vector that needs more
        keeps the last iterate, and its sum misses ``h`` without an error
        (``exact=True`` repairs that).
    exact
        Refine ``tau`` to the exact root of the piecewise-linear equation: the
        sums then equal ``h`` to rounding.
    out
        A writable float64 array of ``y``'s shape to write the result into; it
        may be ``y`` itself (then nothing is copied).
    workers
        Threads: ``None`` or 1 one, -1 every usable core, ``n`` at most ``n``,
        ``-k`` all usable cores but ``k - 1``.  Small inputs use one thread.
        Results are the same bytes whatever the count.

    With ``exact=False``, a C-contiguous float64 ``y`` and scalar bounds, the
    result is byte for byte that of ``tavorin.operators.proj_csimplex`` on a
    copy.  NaN or infinity in a vector is not refused: with ``exact=False``
    the vector comes out as ``proj_csimplex`` leaves it, with ``exact=True``
    all NaN.

    Raises
    ------
    TypeError
        ``y must be an array of real numbers, not complex128`` (also for
        ``h``, ``l``, ``u``); ``out must be a numpy.ndarray, not list``;
        ``out must have dtype float64, not float32``; a non-integer ``axis``,
        ``maxiter`` or ``workers``.
    ValueError
        ``y must have at least one dimension``; ``y has no elements along axis
        1: nothing to project``; ``h of shape (3,) does not broadcast to the
        batch shape (4,)``; ``maxiter must be between 1 and 2147483647, got
        0``; ``workers must not be zero``; ``workers value out of range; got
        -5, must not be less than -2``; ``out has shape (2, 3), but the result
        has shape (3, 2)``; ``out is read-only``; and for the first vector
        whose set is empty or not finite (``l > u``, ``h`` outside
        ``[n*l, n*u]``, a non-finite bound), before anything is written: ``no
        feasible point for the vector at batch index (0,): needs finite h, l,
        u with l <= u and n*l <= h <= n*u, got h=5.0, l=0.0, u=1.0, n=3``.
    numpy.exceptions.AxisError
        ``axis 2 is out of bounds for array of dimension 2`` (a ValueError).
    """

# A cotangent of h, l or u: an array of the shape the value was given in, or
# a scalar of x's float type for a scalar.
_Cotangent = Union[NDArray[np.floating[Any]], np.floating[Any]]

def project_capped_simplex_jvp(
    x: ArrayLike,
    dy: ArrayLike,
    dh: Optional[ArrayLike],
    dl: Optional[ArrayLike],
    du: Optional[ArrayLike],
    l: ArrayLike,  # noqa: E741
    u: ArrayLike,
    *,
    axis: SupportsIndex = -1,
    weights: Optional[ArrayLike] = None,
    workers: Optional[SupportsIndex] = None,
) -> NDArray[np.floating[Any]]:
    """The tangent of the projection ``x`` for tangents of ``y``, ``h``, ``l`` and ``u``.

    ``x`` is the projection itself (float32 stays float32, anything else is
    float64); ``dh``, ``dl``, ``du`` of None are zero.  The result has
    ``x``'s shape and float type.  Free elements (strictly inside their
    bounds) move with ``dy`` less a shared shift, clipped ones with their
    bound; ties count as clipped, and a vector without free elements keeps
    its shift.
    """

def project_capped_simplex_vjp(
    x: ArrayLike,
    g: ArrayLike,
    h: ArrayLike,
    l: ArrayLike,  # noqa: E741
    u: ArrayLike,
    *,
    axis: SupportsIndex = -1,
    weights: Optional[ArrayLike] = None,
    workers: Optional[SupportsIndex] = None,
) -> Tuple[NDArray[np.floating[Any]], _Cotangent, _Cotangent, _Cotangent]:
    """The cotangents ``(gy, gh, gl, gu)`` of the inputs for a cotangent ``g`` of ``x``.

    ``gy`` has ``x``'s shape and float type; ``gh``, ``gl`` and ``gu`` the
    shapes ``h``, ``l`` and ``u`` were given in (summed over the vectors that
    share a value).  The weights get no cotangent.
    """
