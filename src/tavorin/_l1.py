"""tavorin.project_l1_ball: the weighted l1 ball, by the one-sided capped simplex.

``x = sign(y) * z`` with ``z`` the projection of ``|y|`` onto
``{z >= 0, sum_j w_j z_j <= radius}``: the exact solver's ``sense="<="`` with
``l = 0`` and ``u = inf``, so a vector already inside is its own clip and
comes back with the same bytes (the sign is copied back, ``-0.0`` included).
The solver takes ``|y|`` and writes the signs itself, a block of vectors at a
time while the block is in the caches.
"""

import math

import numpy as np

from ._api import _MAXITER, _RTOL, _XTOL, _checked_out, check_axis, projected, result_dtypes
from ._sets import kind_of, real_array, refuse_masked

__all__ = ["project_l1_ball"]


def check_radius(radius, y_shape, axis):
    """``radius`` validated for ``y`` of ``y_shape`` (vectors along ``axis``, in range
    and non-negative): a float, or a NumPy array of one value per vector."""
    refuse_masked(radius, "radius")
    if type(radius) is float:
        if not (math.isfinite(radius) and radius >= 0):
            raise ValueError(f"radius must be finite and >= 0, got {radius!r}")
        return radius
    radius = real_array(radius, "radius")
    kind_of("radius", radius.shape, y_shape, axis, per_element=False)
    batch = y_shape[:axis] + y_shape[axis + 1 :]
    kept = radius.ndim == len(y_shape)  # keepdims=True's shape
    values = np.broadcast_to(np.squeeze(radius, axis) if kept else radius, batch)
    bad = np.flatnonzero(~(np.isfinite(values) & (values >= 0)))
    if bad.size:
        at = tuple(int(i) for i in np.unravel_index(bad[0], batch))
        where = f" for the vector at batch index {at}" if radius.size > 1 else ""
        raise ValueError(
            f"radius must be finite and >= 0, got {float(values.flat[bad[0]])!r}{where}"
        )
    return radius


def project_l1_ball(y, radius, *, axis=-1, weights=None, check_finite=True, out=None, workers=None):
    """Project every vector of ``y`` along ``axis`` onto ``{x : sum_j w_j |x_j| <= radius}``.

    Each vector becomes ``x_j = sign(y_j) * max(|y_j| - tau*w_j, 0)`` with the
    least shift ``tau >= 0`` that puts it in the ball (``w_j = 1`` without
    ``weights``): a vector already inside is returned unchanged, bytes and
    all.  Exact as ``project_capped_simplex`` is; float32 gives float32.

    Parameters
    ----------
    y
        Real numbers; every axis but ``axis`` is a batch axis.
    radius
        A scalar, or one value per vector (as ``h`` is given to
        ``project_capped_simplex``); finite and ``>= 0`` (0 projects to 0).
    axis, weights, check_finite, out, workers
        As for ``project_capped_simplex``.

    Returns
    -------
    ndarray
        The projection (``out`` when given), of ``y``'s shape.

    Raises
    ------
    TypeError, ValueError
        As ``project_capped_simplex`` raises them, and a ``radius`` that is
        negative, infinite or NaN (``radius must be finite and >= 0, got
        -1.0``, with the vector's batch index for one radius per vector).
        Nothing is written then.

    See Also
    --------
    project_capped_simplex : The solver the ball is projected by.
    tavorin.dask.project_l1_ball : The same for Dask arrays.
    project_l1_ball_jvp, project_l1_ball_vjp : Its derivatives.

    Notes
    -----
    The projection of ``|y|`` onto ``{z >= 0, sum_j w_j z_j <= radius}`` is
    the exact solver's ``sense="<="`` with ``l = 0`` and ``u = inf``; the
    signs of ``y`` are copied back onto it (``-0.0`` included), so an
    element shifted to zero keeps its sign bit.

    Examples
    --------
    The first row lies outside the ball and is shrunk onto its sphere; the
    second, given a radius of 5, lies inside and comes back unchanged:

    >>> import numpy as np
    >>> import tavorin
    >>> y = np.array([[0.9, -0.3, 0.55, 1.6], [0.1, 0.7, -0.8, 0.35]])
    >>> x = tavorin.project_l1_ball(y, 1.0)
    >>> np.round(x, 4)
    array([[ 0.15  , -0.    ,  0.    ,  0.85  ],
           [ 0.    ,  0.4167, -0.5167,  0.0667]])
    >>> np.abs(x).sum(axis=1)
    array([1., 1.])
    >>> tavorin.project_l1_ball(y, np.array([1.0, 5.0]))
    array([[ 0.15, -0.  ,  0.  ,  0.85],
           [ 0.1 ,  0.7 , -0.8 ,  0.35]])

    Weights per element, shared by every vector, are given as for
    ``project_capped_simplex``:

    >>> w = np.array([[1.0, 2.0, 1.0, 2.0]])
    >>> tavorin.project_l1_ball(y, 1.0, weights=w)
    array([[ 0.28, -0.  ,  0.  ,  0.36],
           [ 0.  ,  0.22, -0.56,  0.  ]])

    A negative radius is refused:

    >>> tavorin.project_l1_ball(y, -1.0)
    Traceback (most recent call last):
        ...
    ValueError: radius must be finite and >= 0, got -1.0
    """
    for value, name in ((y, "y"), (weights, "weights")):
        refuse_masked(value, name)
    y = real_array(y, "y")
    if y.ndim == 0:
        raise ValueError("y must have at least one dimension")
    radius = check_radius(radius, y.shape, check_axis(axis, y.ndim))
    if out is not None:
        out = _checked_out(out, y.shape)
    computed, _ = result_dtypes(y.dtype, "exact")
    signed = y.astype(computed, copy=False)
    # |y| read and the signs written by the solver's own passes over the rows.
    return projected(
        signed,
        radius,
        0.0,
        math.inf,
        axis,
        weights,
        "<=",
        "exact",
        check_finite,
        _XTOL,
        _RTOL,
        _MAXITER,
        out,
        workers,
        signs=True,
    )
