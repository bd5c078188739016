"""tavorin.project_capped_simplex: the projection for any real array, along any axis.

The array work happens here with NumPy (dtype checks, moving the axis, the
working buffers; the sets by tavorin._sets' one rule); the vectors are
projected by the compiled ``tavorin._simplex``, which releases the interpreter
lock while it works and splits the work, the scan for NaN and the scratch
copies included, over the call's threads.  The common call takes a short
path (``_lean``) that makes the same checks with as little Python as they
need.  Every refusal happens before the first byte of ``out`` is written: the
arguments, the sets and (when ``out`` is the caller's) the finiteness of
``y`` are checked first, and anything the solver could refuse on its own
(an unaligned or gapped ``out``) is worked around with a scratch array that
is copied into ``out`` only once the solver has succeeded.
"""

import math
import numbers
import operator
import os
import sys

import numpy as np

from . import _simplex
from ._sets import (
    SENSES,
    VARIES,
    check_scalar_sets,
    check_sense,
    describe,
    raise_infeasible,
    real_array,
    refuse_brentq_bound,
    refuse_for_brentq,
    refuse_masked,
)

try:
    from numpy.exceptions import AxisError
except ImportError:  # NumPy before 1.25
    from numpy import AxisError

__all__ = ["project_capped_simplex"]

METHODS = ("exact", "brentq")
_INT32_MAX = 2**31 - 1
# SciPy's brentq refuses a relative tolerance below this: the iteration would never stop.
_RTOL_MIN = 4 * sys.float_info.epsilon
_FLOAT32, _FLOAT64 = np.dtype(np.float32), np.dtype(np.float64)
# _simplex.solve's check_finite: a vector holding NaN stops the solve there,
# or y is scanned whole before anything is written.
_FOLDED_CHECK, _CHECK_FIRST = 1, 2


def _usable_cores():
    if hasattr(os, "process_cpu_count"):  # 3.13
        return os.process_cpu_count() or 1
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0)) or 1
    return os.cpu_count() or 1


def _strict_int(value, name):
    # bool is an int to Python, but True as a count is always a mistake.
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be an integer, not bool")
    return operator.index(value)


def _thread_count(workers):
    """SciPy's convention: None is one thread, -1 every usable core, -k all but k - 1;
    a count above the usable cores is capped there (more threads never help)."""
    if workers is None:
        return 1
    count = _strict_int(workers, "workers")
    if count == 0:
        raise ValueError("workers must not be zero")
    usable = _usable_cores()
    if count < -usable:
        raise ValueError(
            f"workers value out of range; got {count}, must not be less than {-usable}"
        )
    if count > sys.maxsize:
        raise ValueError(
            f"workers value out of range; got {count}, must not be more than {sys.maxsize}"
        )
    return count + usable + 1 if count < 0 else min(count, usable)


def _tolerance(value, name, least):
    if type(value) is not float and (
        isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real)
    ):
        raise TypeError(f"{name} must be a real number, not {type(value).__name__}")
    shown = "> 0" if least == 0 else f">= 4*eps = {least!r}"
    try:
        value = float(value)
    except OverflowError:  # an int or a Fraction beyond the doubles
        raise ValueError(
            f"{name} must be finite and {shown}, got a number beyond the largest double"
        ) from None
    if not (math.isfinite(value) and value >= least and value > 0):
        raise ValueError(f"{name} must be finite and {shown}, got {value!r}")
    return value


def check_options(method, check_finite, xtol, rtol, maxiter, workers):
    """The arguments that do not depend on the data, validated: (method,
    check_finite, xtol, rtol, maxiter, thread count).  Shared with tavorin.dask."""
    if not isinstance(method, str):
        raise TypeError(f"method must be 'exact' or 'brentq', not {type(method).__name__}")
    if method not in METHODS:
        raise ValueError(f"method must be 'exact' or 'brentq', got {method!r}")
    if not isinstance(check_finite, (bool, np.bool_)):
        raise TypeError(f"check_finite must be True or False, not {type(check_finite).__name__}")
    xtol = _tolerance(xtol, "xtol", 0.0)
    rtol = _tolerance(rtol, "rtol", _RTOL_MIN)
    maxiter = _strict_int(maxiter, "maxiter")
    if not 1 <= maxiter <= _INT32_MAX:
        raise ValueError(f"maxiter must be between 1 and {_INT32_MAX}, got {maxiter}")
    return method, bool(check_finite), xtol, rtol, maxiter, _thread_count(workers)


def check_axis(axis, ndim):
    axis = operator.index(axis)
    if not -ndim <= axis < ndim:
        raise AxisError(axis, ndim)
    return axis % ndim


def result_dtypes(dtype, method):
    """(the dtype the solver computes in, the dtype of the result) for input of ``dtype``."""
    result = _FLOAT32 if dtype.kind == "f" and dtype.itemsize == 4 else _FLOAT64
    return (result if method == "exact" else _FLOAT64), result


def _raise_nonfinite(index, batch_shape):
    at = tuple(int(i) for i in np.unravel_index(index, batch_shape))
    raise ValueError(
        f"y holds NaN or infinity in the vector at batch index {at} "
        "(check_finite=False projects it anyway, into an unspecified result)"
    )


def _rows_view(array, m, n, dtype):
    """``array`` (vectors along its last axis) as m rows of n adjacent aligned items of
    ``dtype`` without a copy, or None."""
    flags = array.flags
    if array.dtype != dtype or not flags.aligned:
        return None
    if flags.c_contiguous:
        return array.reshape(m, n)
    rows = array.reshape(m, n)
    # reshape copies when no view can describe the rows; a copy has its own memory.
    if rows.size and rows.__array_interface__["data"][0] != array.__array_interface__["data"][0]:
        return None
    if n > 1 and rows.strides[1] != rows.itemsize:
        return None
    return rows


def _gathered(moved, m, n, dtype, threads):
    """``moved`` (vectors along its last axis) copied into m C-contiguous rows of n
    items of ``dtype``: on the call's threads when it is 2-D and of that dtype
    already (the vectors along the first axis of a matrix, an unaligned buffer),
    else by NumPy, which also converts."""
    if moved.ndim == 2 and moved.dtype == dtype:
        rows = np.empty((m, n), dtype)
        _simplex.copy(moved, rows, threads)
        return rows
    return np.require(moved, dtype, ["C_CONTIGUOUS", "ALIGNED"]).reshape(m, n)


def _vectors_last(array, axis):
    return array if axis == array.ndim - 1 else np.moveaxis(array, axis, -1)


def _checked_out(out, shape):
    refuse_masked(out, "out")
    if not isinstance(out, np.ndarray):
        raise TypeError(f"out must be a numpy.ndarray, not {type(out).__name__}")
    if out.dtype.kind != "f" or out.dtype.itemsize not in (4, 8):
        raise TypeError(f"out must have dtype float64 or float32, not {out.dtype}")
    if out.shape != shape:
        raise ValueError(f"out has shape {out.shape}, but the result has shape {shape}")
    if not out.flags.writeable:
        raise ValueError("out is read-only")
    return out


# The defaults, by identity: a call that leaves them alone may take the lean path.
_XTOL, _RTOL, _MAXITER = 1e-5, 1e-5, 20
_EXACT_INT = 2**53


def _float_if_small_int(value):
    # Such ints are doubles exactly, as the full path would convert them.
    if type(value) is int and -_EXACT_INT <= value <= _EXACT_INT:
        return float(value)
    return value


def _per_vector_or_float(value, m):
    """Whether ``value`` is a float, or m float64 values as the kernels read them."""
    if type(value) is float:
        return True
    if type(value) is not np.ndarray or value.dtype is not _FLOAT64 or value.shape != (m,):
        return False
    flags = value.flags
    return flags.c_contiguous and flags.aligned


def _lean(y, h, l, u, sense=0, threads=1):  # noqa: E741
    """The common call, validated and solved with as little Python as it needs: a
    float64 or float32 ndarray with adjacent aligned elements along its last
    axis, Python floats (or ints a double holds) as the sets (or, for 2-D
    ``y``, float64 arrays of one value per row), None or a positive int as
    ``workers``, the defaults otherwise.  None when the call is not that one,
    or when it is refused (the full path then says why)."""
    dtype = y.dtype
    if dtype is not _FLOAT64 and dtype is not _FLOAT32:
        return None
    shape = y.shape
    h, l, u = _float_if_small_int(h), _float_if_small_int(l), _float_if_small_int(u)  # noqa: E741
    scalars = type(h) is float and type(l) is float and type(u) is float
    if not shape or not (
        scalars or (len(shape) == 2 and all(_per_vector_or_float(v, shape[0]) for v in (h, l, u)))
    ):
        return None
    flags = y.flags
    n = shape[-1]
    if not flags.c_contiguous or not flags.aligned or y.size == 0:
        return None
    m = y.size // n
    # Scalar sets are the same set for every vector: one check is all of them.
    if _simplex.first_infeasible(1 if scalars else m, n, h, l, u, None, sense) >= 0:
        return None
    x = np.empty(shape, dtype)
    rows, target = (y, x) if len(shape) == 2 else (y.reshape(m, n), x.reshape(m, n))
    bad = _simplex.solve(rows, target, h, l, u, None, _FOLDED_CHECK, threads, sense)
    if bad >= 0:
        _raise_nonfinite(bad, shape[:-1])
    return x


def project_capped_simplex(
    y,
    h,
    l,  # noqa: E741 (the bound's name in the formula)
    u,
    *,
    axis=-1,
    weights=None,
    sense="==",
    method="exact",
    check_finite=True,
    xtol=_XTOL,
    rtol=_RTOL,
    maxiter=_MAXITER,
    out=None,
    workers=None,
):
    """Project every vector of ``y`` along ``axis`` onto ``{x : l <= x <= u, sum_j w_j x_j = h}``.

    Each vector becomes ``x_j = clip(y_j - tau*w_j, l_j, u_j)`` with the one
    shift ``tau`` that makes ``sum_j w_j x_j = h`` (``w_j = 1`` without
    ``weights``): the nearest point of the set in the norm weighted by
    ``1/w``.  With ``sense="<="`` (or ``">="``) the set's sum is at most (at
    least) ``h``: a vector whose ``clip(y, l, u)`` satisfies that is its clip,
    any other the equality's projection.  Returns a new array of ``y``'s
    shape, or ``out`` filled; ``y`` is never modified unless it is ``out``.

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
    sense
        ``"=="`` (the default), ``"<="`` or ``">="``: the sum's relation to
        ``h``.  Which of the clip and the equality's projection a vector gets
        is decided exactly, from the vector alone.  Only ``"=="`` with
        ``method="brentq"``.
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
        ``h`` outside ``[sum_j w_j l_j, sum_j w_j u_j]`` (with ``sense="<="``
        below the first, with ``">="`` above the second), a NaN, ``l = +inf``,
        ``u = -inf``, an infinite ``h``, a weight that is not finite and
        positive): the message names the first such vector's batch index and
        its values; NaN or infinity in ``y`` with ``check_finite=True``
        (naming the first such vector); for ``method="brentq"`` weights,
        per-element or infinite bounds, a ``sense`` other than ``"=="``.
        Nothing is written then.
    numpy.exceptions.AxisError
        ``axis`` out of range (a ValueError).
    RuntimeError
        Threads that could not be started; nothing is written then either.

    See Also
    --------
    tavorin.operators.proj_csimplex : The in-place operator, unchecked.
    tavorin.dask.project_capped_simplex : The same for Dask arrays.
    project_capped_simplex_jvp, project_capped_simplex_vjp : Its derivatives.

    Notes
    -----
    The set is non-empty exactly when ``l_j <= u_j`` for every element and
    ``sum_j w_j l_j <= h <= sum_j w_j u_j``; the sums of infinite or huge
    bounds are computed so that overflow never refuses a feasible set.
    Every argument, every vector's set and (when ``out`` is the caller's)
    the finiteness of ``y`` are checked before the first byte of ``out`` is
    written.  The work runs without the interpreter lock on threads started
    for the call; the result is the same bytes whatever ``workers`` is.  The
    user guide lists every message with its cause.

    Examples
    --------
    Each row is shifted by one scalar and clipped, so that it sums to ``h``:

    >>> import numpy as np
    >>> import tavorin
    >>> y = np.array([[0.9, -0.3, 0.55, 1.6], [0.1, 0.7, -0.8, 0.35]])
    >>> x = tavorin.project_capped_simplex(y, 1.0, 0.0, 0.6)
    >>> x
    array([[0.375, 0.   , 0.025, 0.6  ],
           [0.075, 0.6  , 0.   , 0.325]])
    >>> x.sum(axis=1)
    array([1., 1.])

    ``u = inf`` is the probability simplex; sets may differ per vector, and
    float32 stays float32:

    >>> tavorin.project_capped_simplex(y, 1.0, 0.0, np.inf)
    array([[0.15, 0.  , 0.  , 0.85],
           [0.05, 0.65, 0.  , 0.3 ]])
    >>> tavorin.project_capped_simplex(y, np.array([1.0, 2.0]), 0.0, 1.0)
    array([[0.15  , 0.    , 0.    , 0.85  ],
           [0.3833, 0.9833, 0.    , 0.6333]])
    >>> tavorin.project_capped_simplex(y.astype(np.float32), 1.0, 0.0, 1.0).dtype
    dtype('float32')

    Weights per element, shared by every vector, have length 1 along the
    batch axis; the vectors may lie along any axis:

    >>> w = np.array([[1.0, 2.0, 1.0, 2.0]])
    >>> tavorin.project_capped_simplex(y, 1.0, 0.0, 1.0, weights=w)
    array([[0.28 , 0.   , 0.   , 0.36 ],
           [0.   , 0.425, 0.   , 0.075]])
    >>> tavorin.project_capped_simplex(y, 1.0, 0.0, 1.0, axis=0)
    array([[0.9, 0. , 1. , 1. ],
           [0.1, 1. , 0. , 0. ]])

    A set with no point is refused, and nothing is written:

    >>> tavorin.project_capped_simplex(y, 5.0, 0.0, 1.0)
    Traceback (most recent call last):
        ...
    ValueError: no feasible point for the vector at batch index (0,): ... h=5.0, l=0.0, u=1.0, n=4
    """
    if (
        type(y) is np.ndarray
        and out is None
        and weights is None
        and (workers is None or (type(workers) is int and workers > 0))
        and check_finite is True
        and (axis == -1 if type(axis) is int else False)
        and method == "exact"
        and xtol is _XTOL
        and rtol is _RTOL
        and maxiter is _MAXITER
        and type(sense) is str
        and sense in SENSES
    ):
        threads = 1 if workers is None or workers == 1 else _thread_count(workers)
        x = _lean(y, h, l, u, SENSES[sense], threads)
        if x is not None:
            return x
    return projected(
        y, h, l, u, axis, weights, sense, method, check_finite, xtol, rtol, maxiter, out, workers
    )


def projected(
    y,
    h,
    l,  # noqa: E741
    u,
    axis,
    weights,
    sense,
    method,
    check_finite,
    xtol,
    rtol,
    maxiter,
    out,
    workers,
    signs=False,
):
    """project_capped_simplex past its lean path; with ``signs``, ``|y|`` is
    projected and the result takes ``y``'s signs (the l1 ball), in the solver."""
    for value, name in ((y, "y"), (h, "h"), (l, "l"), (u, "u"), (weights, "weights")):
        refuse_masked(value, name)
    y = real_array(y, "y")
    if y.ndim == 0:
        raise ValueError("y must have at least one dimension")
    axis_given = axis
    axis = check_axis(axis, y.ndim)
    method, check_finite, xtol, rtol, maxiter, threads = check_options(
        method, check_finite, xtol, rtol, maxiter, workers
    )
    sense = check_sense(sense, method)
    computed, result = result_dtypes(y.dtype, method)
    if out is not None:
        out = _checked_out(out, y.shape)
    n = y.shape[axis]
    if n == 0:
        raise ValueError(f"y has no elements along axis {axis_given}: nothing to project")
    moved = _vectors_last(y, axis)
    batch_shape = moved.shape[:-1]
    m = math.prod(batch_shape)

    sets = describe(y.shape, axis, computed, h, l, u, weights)
    kinds = (sets.l.kind, sets.u.kind)
    h, l, u = sets.h.value, sets.l.value, sets.u.value  # noqa: E741
    w = None if sets.w is None else sets.w.value
    scalars = [v if isinstance(v, float) else None for v in (h, l, u)]
    w_scalar = w if w is None or isinstance(w, float) else VARIES
    every_one_checked = check_scalar_sets(n, *scalars, w_scalar, sense)
    if method == "brentq":
        refuse_for_brentq(kinds, n, l, u, w)
    if out is not None:
        # Sets read while out is written would be read half overwritten.
        h, l, u, w = (  # noqa: E741
            v.copy() if isinstance(v, np.ndarray) and np.may_share_memory(v, out) else v
            for v in (h, l, u, w)
        )
    bad = -1 if every_one_checked else _simplex.first_infeasible(m, n, h, l, u, w, sense)
    if bad >= 0:
        raise_infeasible(bad, batch_shape, n, h, l, u, w, sense)
    if method == "brentq":
        for name, value in (("l", l), ("u", u)):
            if isinstance(value, np.ndarray):
                # No NaN is left here (the sets are feasible); n*|v| may overflow to inf.
                too_large = np.abs(value) > sys.float_info.max / n
                if too_large.any():
                    index = int(np.flatnonzero(too_large)[0])
                    at = tuple(int(i) for i in np.unravel_index(index, batch_shape))
                    where = f" for the vector at batch index {at}"
                    refuse_brentq_bound(name, float(value[index]), n, where)

    if m == 0:
        return out if out is not None else np.empty(y.shape, result)
    source = _rows_view(moved, m, n, computed)
    if source is None:
        source = _gathered(moved, m, n, computed, threads)
    target = None if out is None else _rows_view(_vectors_last(out, axis), m, n, computed)
    # Written directly only when the rows are the caller's: everything else
    # (no out, an out of another dtype or layout) goes through our own array.
    own = target is None
    if own:
        target = np.empty((m, n), computed)
    elif (out is not y or signs) and np.may_share_memory(source, target):
        # The solver takes out as y itself or apart from it (apart for signs).
        source = source.copy()

    if method == "exact":
        # Into our own array the solve stops at a vector holding NaN; into the
        # caller's, y is scanned whole first, on the solve's threads.
        check = (_FOLDED_CHECK if own else _CHECK_FIRST) if check_finite else 0
        bad = _simplex.solve(source, target, h, l, u, w, check, threads, sense, int(signs))
        if bad >= 0:
            _raise_nonfinite(bad, batch_shape)
    else:
        if check_finite:
            bad = _simplex.first_nonfinite(source, threads)
            if bad >= 0:
                _raise_nonfinite(bad, batch_shape)
        _simplex.project(source, target, h, l, u, xtol, rtol, maxiter, threads)

    if not own:
        return out
    done = target.reshape(batch_shape + (n,))
    if out is None:
        done = done if done.dtype == result else done.astype(result)
        return done if axis == y.ndim - 1 else np.moveaxis(done, -1, axis)
    vectors = _vectors_last(out, axis)
    if vectors.ndim == 2 and vectors.dtype == computed:
        _simplex.copy(target, vectors, threads)
    else:
        np.copyto(vectors, done, casting="same_kind")
    return out
