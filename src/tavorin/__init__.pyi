"""Types of the package: its version and the NumPy-style projection it loads on first use."""

from typing import (
    Any,
    Literal,
    Optional,
    SupportsIndex,
    Tuple,
    TypeVar,
    Union,
    overload,
)

import numpy as np
from numpy.typing import ArrayLike, NDArray

__version__: str
__all__ = [
    "project_capped_simplex",
    "project_capped_simplex_jvp",
    "project_capped_simplex_vjp",
    "project_l1_ball",
    "project_l1_ball_jvp",
    "project_l1_ball_vjp",
]

_Real = Union[float, np.floating[Any], np.integer[Any]]
_Out = TypeVar("_Out", NDArray[np.float64], NDArray[np.float32])
_Method = Literal["exact", "brentq"]
_Sense = Literal["==", "<=", ">="]

@overload
def project_capped_simplex(
    y: ArrayLike,
    h: ArrayLike,
    l: ArrayLike,  # noqa: E741
    u: ArrayLike,
    *,
    axis: SupportsIndex = -1,
    weights: Optional[ArrayLike] = None,
    sense: _Sense = "==",
    method: _Method = "exact",
    check_finite: bool = True,
    xtol: _Real = 1e-05,
    rtol: _Real = 1e-05,
    maxiter: SupportsIndex = 20,
    out: _Out,
    workers: Optional[SupportsIndex] = None,
) -> _Out: ...
@overload
def project_capped_simplex(
    y: NDArray[np.float32],
    h: ArrayLike,
    l: ArrayLike,  # noqa: E741
    u: ArrayLike,
    *,
    axis: SupportsIndex = -1,
    weights: Optional[ArrayLike] = None,
    sense: _Sense = "==",
    method: _Method = "exact",
    check_finite: bool = True,
    xtol: _Real = 1e-05,
    rtol: _Real = 1e-05,
    maxiter: SupportsIndex = 20,
    out: None = None,
    workers: Optional[SupportsIndex] = None,
) -> NDArray[np.float32]: ...
@overload
def project_capped_simplex(
    y: ArrayLike,
    h: ArrayLike,
    l: ArrayLike,  # noqa: E741
    u: ArrayLike,
    *,
    axis: SupportsIndex = -1,
    weights: Optional[ArrayLike] = None,
    sense: _Sense = "==",
    method: _Method = "exact",
    check_finite: bool = True,
    xtol: _Real = 1e-05,
    rtol: _Real = 1e-05,
    maxiter: SupportsIndex = 20,
    out: None = None,
    workers: Optional[SupportsIndex] = None,
) -> NDArray[np.float64]:
    """Project every vector of ``y`` along ``axis`` onto ``{x : l <= x <= u, sum_j w_j x_j = h}``.

    Each vector becomes ``x_j = clip(y_j - tau*w_j, l_j, u_j)`` with the one
    shift ``tau`` that makes ``sum_j w_j x_j = h`` (``w_j = 1`` without
    ``weights``): the nearest point of the set in the norm weighted by
    ``1/w``.  Returns a new array of ``y``'s shape, or ``out`` filled; ``y``
    is never modified unless it is ``out``.

    Parameters
    ----------
    y
        Real numbers.  float32 gives a float32 result, computed in float32
        (sums accumulated in float64); everything else (float64, integers,
        booleans, float16, long double) a float64 result.  Every axis but
        ``axis`` is a batch axis.
    h, l, u
        The sum and the bounds.  Each is a scalar, or an array of one value
        per vector: broadcastable to the batch shape (``y``'s shape without
        ``axis``), or with ``y``'s number of dimensions and length 1 along
        ``axis`` (the shape ``keepdims=True`` gives).  ``l`` and ``u`` may
        also hold one value per element: ``y``'s number of dimensions, ``y``'s
        length along ``axis``, broadcastable to ``y``'s shape; they are then
        rounded to the dtype the vectors are computed in.  ``l`` may be
        ``-inf`` and ``u`` ``+inf``: ``u = inf`` is the set
        ``{x >= l, sum_j w_j x_j = h}`` (with ``l = 0``, ``h = 1``, ``w = 1``
        the probability simplex), ``l = -inf`` and ``u = inf`` the
        hyperplane ``sum_j w_j x_j = h``.
    axis
        The axis the vectors lie along.
    weights
        Positive, finite weights ``w``: a scalar, one per vector or one per
        element, given as ``l`` and ``u`` are.  None: every weight 1.
    method
        ``"exact"`` (the default): the shift is found from the vector's final
        active sets, so the result is the exact projection rounded once per
        element, to within a few ulps of the vector's scale.  ``"brentq"``:
        SciPy's compiled ``brentq`` on the clipped sum, with ``xtol``,
        ``rtol`` and ``maxiter``, computed in float64; for a float64 C-ordered
        ``y`` the same bytes as ``tavorin.operators.proj_csimplex`` on a copy.
        It takes only finite bounds, one per vector, and no weights.
    check_finite
        Refuse NaN or infinity in ``y`` (SciPy's convention).  The check
        costs nothing extra with ``method="exact"`` when the result goes to
        a new array; otherwise it is one read of ``y``, on the call's
        threads, before anything is written.
        With ``False`` a vector holding NaN or infinity gives an unspecified
        result (often NaN), but never a crash or a hang.
    xtol, rtol, maxiter
        ``brentq``'s absolute and relative tolerances on ``tau`` and its
        iteration limit, for ``method="brentq"`` (validated either way, as
        SciPy's ``brentq`` validates them: real numbers with ``xtol > 0`` and
        ``rtol >= 4*eps``, finite; ``maxiter`` an integer from 1 to
        2147483647).  A vector that needs more iterations keeps the last
        iterate, and its sum misses ``h`` without an error.
    out
        A writable float64 or float32 array of ``y``'s shape for the result
        (cast as ``numpy.copyto`` with ``casting="same_kind"`` casts); it may
        be ``y`` itself.  Written only once every check has passed: an
        ``out`` the solver cannot write directly (another dtype, unaligned,
        strided within a vector, byte-swapped) gets the result from a scratch
        array at the end.
    workers
        Threads: ``None`` or 1 one, -1 every usable core, ``-k`` all usable
        cores but ``k - 1``, ``k`` at most ``k`` (a count above the usable
        cores is capped there).  Small inputs use one thread.  The result is
        the same bytes whatever the count.

    Returns
    -------
    ndarray
        The projection (``out`` when given), of ``y``'s shape: float32 for
        float32 ``y``, else float64.

    Raises
    ------
    TypeError
        A complex, object, string or time ``y``, ``h``, ``l``, ``u`` or
        ``weights`` (``y must be an array of real numbers, not complex128``);
        a masked array (``y is a masked array, and the projection would
        ignore its mask: pass y.filled(value) ...``); ``method``,
        ``check_finite``, a tolerance, ``maxiter`` or ``workers`` of the
        wrong type (a bool is never a method or a count); an ``out`` that is
        not a float64 or float32 ndarray.
    ValueError
        Shapes that do not fit, a bad ``method`` name or option value; a
        set that is empty or ill defined for some vector (``l > u``,
        ``h`` outside ``[sum_j w_j l_j, sum_j w_j u_j]``, a NaN, ``l = +inf``,
        ``u = -inf``, an infinite ``h``, a weight that is not finite and
        positive): the message names the first such vector's batch index and
        its values; NaN or infinity in ``y`` with ``check_finite=True``
        (naming the first such vector); for ``method="brentq"`` weights,
        per-element or infinite bounds.  Nothing is written then.
    numpy.exceptions.AxisError
        ``axis`` out of range (a ValueError).
    RuntimeError
        Threads that could not be started; nothing is written then either.
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
    h: Optional[ArrayLike] = None,
    sense: _Sense = "==",
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
    sense: _Sense = "==",
    workers: Optional[SupportsIndex] = None,
) -> Tuple[NDArray[np.floating[Any]], _Cotangent, _Cotangent, _Cotangent]:
    """The cotangents ``(gy, gh, gl, gu)`` of the inputs for a cotangent ``g`` of ``x``.

    ``gy`` has ``x``'s shape and float type; ``gh``, ``gl`` and ``gu`` the
    shapes ``h``, ``l`` and ``u`` were given in (summed over the vectors that
    share a value).  The weights get no cotangent.
    """

@overload
def project_l1_ball(
    y: ArrayLike,
    radius: ArrayLike,
    *,
    axis: SupportsIndex = -1,
    weights: Optional[ArrayLike] = None,
    check_finite: bool = True,
    out: _Out,
    workers: Optional[SupportsIndex] = None,
) -> _Out: ...
@overload
def project_l1_ball(
    y: NDArray[np.float32],
    radius: ArrayLike,
    *,
    axis: SupportsIndex = -1,
    weights: Optional[ArrayLike] = None,
    check_finite: bool = True,
    out: None = None,
    workers: Optional[SupportsIndex] = None,
) -> NDArray[np.float32]: ...
@overload
def project_l1_ball(
    y: ArrayLike,
    radius: ArrayLike,
    *,
    axis: SupportsIndex = -1,
    weights: Optional[ArrayLike] = None,
    check_finite: bool = True,
    out: None = None,
    workers: Optional[SupportsIndex] = None,
) -> NDArray[np.float64]:
    """Project every vector of ``y`` along ``axis`` onto ``{x : sum_j w_j |x_j| <= radius}``."""

def project_l1_ball_jvp(
    x: ArrayLike,
    dy: ArrayLike,
    dradius: Optional[ArrayLike],
    radius: ArrayLike,
    *,
    axis: SupportsIndex = -1,
    weights: Optional[ArrayLike] = None,
    workers: Optional[SupportsIndex] = None,
) -> NDArray[np.floating[Any]]:
    """The tangent of the l1 ball's projection ``x`` for tangents of ``y`` and ``radius``."""

def project_l1_ball_vjp(
    x: ArrayLike,
    g: ArrayLike,
    radius: ArrayLike,
    *,
    axis: SupportsIndex = -1,
    weights: Optional[ArrayLike] = None,
    workers: Optional[SupportsIndex] = None,
) -> Tuple[NDArray[np.floating[Any]], _Cotangent]:
    """The cotangents ``(gy, gradius)`` for a cotangent ``g`` of the l1 ball's ``x``."""
