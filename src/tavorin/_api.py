"""tavorin.project_capped_simplex: the projection for any real array, along any axis.

The array work happens here with NumPy (dtype checks, moving the axis, the
working copy, broadcasting the bounds); the rows are projected by the
compiled ``tavorin._simplex``, which shares its numerical core with
``tavorin.operators`` and releases the interpreter lock while it works.
"""

import math
import operator
import os

import numpy as np

from . import _simplex

try:
    from numpy.exceptions import AxisError
except ImportError:  # NumPy before 1.25
    from numpy import AxisError

__all__ = ["project_capped_simplex"]

_INT32_MAX = 2**31 - 1
# Booleans, integers and real floats; complex, object, string and time types are refused.
_REAL_KINDS = "biuf"


def _real_array(value, name):
    array = np.asarray(value)
    if array.dtype.kind not in _REAL_KINDS:
        raise TypeError(f"{name} must be an array of real numbers, not {array.dtype}")
    return array


def _row_values(value, name, batch_shape):
    """A float when every row shares the value, else one float64 per row, contiguous."""
    if type(value) is float:
        return value
    array = _real_array(value, name)
    if array.size == 1 and array.ndim <= len(batch_shape):
        return float(array.reshape(()))
    try:
        per_row = np.broadcast_to(array, batch_shape)
    except ValueError:
        raise ValueError(
            f"{name} of shape {array.shape} does not broadcast to the batch shape {batch_shape}"
        ) from None
    # An unaligned array (a buffer received over the network, say) is copied.
    return np.require(per_row, np.float64, ["C_CONTIGUOUS", "ALIGNED"]).reshape(-1)


def _thread_count(workers):
    """SciPy's convention: None is one thread, -1 every usable core, -k all but k - 1."""
    if workers is None:
        return 1
    count = operator.index(workers)
    if count == 0:
        raise ValueError("workers must not be zero")
    if count < 0:
        usable = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else None
        usable = usable or os.cpu_count() or 1
        if count < -usable:
            raise ValueError(
                f"workers value out of range; got {count}, must not be less than {-usable}"
            )
        count += usable + 1
    return count


def _in_place_rows(moved, m, n):
    """``moved`` seen as m rows of n adjacent aligned doubles without a copy, or None."""
    if moved.flags.c_contiguous:
        return moved.reshape(m, n)
    if not moved.flags.aligned:
        return None
    rows = moved.reshape(m, n)
    # reshape copies when no view can describe the rows; a copy has its own memory.
    if rows.size and rows.__array_interface__["data"][0] != moved.__array_interface__["data"][0]:
        return None
    if n > 1 and rows.strides[1] != rows.itemsize:
        return None
    return rows


def _raise_infeasible(index, batch_shape, n, h, l, u):  # noqa: E741
    at = tuple(int(i) for i in np.unravel_index(index, batch_shape))
    values = [v if isinstance(v, float) else float(v[index]) for v in (h, l, u)]
    raise ValueError(
        "no feasible point for the vector at batch index {}: needs finite h, l, u with "
        "l <= u and n*l <= h <= n*u, got h={!r}, l={!r}, u={!r}, n={}".format(at, *values, n)
    )


def _checked_out(out, shape):
    if not isinstance(out, np.ndarray):
        raise TypeError(f"out must be a numpy.ndarray, not {type(out).__name__}")
    if out.dtype != np.float64:
        raise TypeError(f"out must have dtype float64, not {out.dtype}")
    if out.shape != shape:
        raise ValueError(f"out has shape {out.shape}, but the result has shape {shape}")
    if not out.flags.writeable:
        raise ValueError("out is read-only")
    return out


def project_capped_simplex(
    y,
    h,
    l,  # noqa: E741 (the bound's name in the formula)
    u,
    *,
    axis=-1,
    xtol=1e-5,
    rtol=1e-5,
    maxiter=20,
    exact=False,
    out=None,
    workers=None,
):
    """Project every vector of ``y`` along ``axis`` onto ``{x : l <= x_j <= u, sum_j x_j = h}``.

    The projection of a vector is the vector shifted by a scalar and clipped to
    ``[l, u]``; the shift is the root of the clipped sum minus ``h``, found by
    SciPy's compiled ``brentq`` with ``xtol``, ``rtol`` and ``maxiter``.  With
    ``exact=True`` that shift is then refined to the exact root of the
    piecewise-linear equation, so each result sums to ``h`` up to rounding.

    Parameters
    ----------
    y : array_like of real numbers
        Every axis but ``axis`` is a batch axis.  Never modified unless it is ``out``.
    h, l, u : float or array_like
        Sum, lower and upper bound: scalars, or arrays broadcastable to the
        batch shape (``y``'s shape without ``axis``), one value per vector.
    axis : int
        The axis along which the vectors lie.
    xtol, rtol, maxiter :
        ``brentq``'s tolerances and iteration limit (``maxiter >= 1``).
    exact : bool
        Refine the shift to the exact root.
    out : ndarray of float64, optional
        Where the result goes, with ``y``'s shape; it may be ``y`` itself.
    workers : int, optional
        Threads to use: None or 1 one, -1 every usable core, n at most n.
        Small inputs use one thread whatever is asked.

    Returns
    -------
    ndarray of float64
        The projection (``out`` when given), of ``y``'s shape.

    Raises
    ------
    ValueError
        For a vector whose set is empty or not finite: ``l > u``, ``h`` outside
        ``[n*l, n*u]``, or a non-finite ``h``, ``l`` or ``u``.  The message
        names the first such vector; nothing has been written then.

    Non-finite values in ``y`` are not refused: with ``exact=False`` such a
    vector comes out as ``tavorin.operators.proj_csimplex`` leaves it, with
    ``exact=True`` it comes out all NaN.
    """
    y = _real_array(y, "y")
    if y.ndim == 0:
        raise ValueError("y must have at least one dimension")
    axis = operator.index(axis)
    if not -y.ndim <= axis < y.ndim:
        raise AxisError(axis, y.ndim)
    xtol = float(xtol)
    rtol = float(rtol)
    maxiter = operator.index(maxiter)
    if not 1 <= maxiter <= _INT32_MAX:
        raise ValueError(f"maxiter must be between 1 and {_INT32_MAX}, got {maxiter}")
    exact = bool(exact)
    threads = _thread_count(workers)
    if out is not None:
        out = _checked_out(out, y.shape)

    last = axis in (-1, y.ndim - 1)
    moved = y if last else np.moveaxis(y, axis, -1)
    batch_shape = moved.shape[:-1]
    n = moved.shape[-1]
    if n == 0:
        raise ValueError(f"y has no elements along axis {axis}: nothing to project")
    m = math.prod(batch_shape)
    h = _row_values(h, "h", batch_shape)
    l = _row_values(l, "l", batch_shape)  # noqa: E741
    u = _row_values(u, "u", batch_shape)

    bad = _simplex.first_infeasible(m, n, h, l, u)
    if bad >= 0:
        _raise_infeasible(bad, batch_shape, n, h, l, u)

    if out is None:
        work = np.array(moved, dtype=np.float64, order="C")
        _simplex.project(work.reshape(m, n), h, l, u, xtol, rtol, maxiter, exact, threads)
        return work if last else np.moveaxis(work, -1, axis)

    target = out if last else np.moveaxis(out, axis, -1)
    rows = _in_place_rows(target, m, n)
    if rows is None:
        work = np.array(moved, dtype=np.float64, order="C")
        _simplex.project(work.reshape(m, n), h, l, u, xtol, rtol, maxiter, exact, threads)
        np.copyto(target, work)
        return out
    if out is not y:
        np.copyto(target, moved, casting="same_kind")
    _simplex.project(rows, h, l, u, xtol, rtol, maxiter, exact, threads)
    return out
