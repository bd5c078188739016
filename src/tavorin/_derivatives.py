"""Derivatives of tavorin.project_capped_simplex, for any framework to wrap.

Both functions take the projection ``x`` (not ``y``): the derivatives depend
on ``y`` only through which elements of ``x`` are free, at ``l`` or at ``u``,
so they cost one read of ``x`` and never solve anything.  The array work
happens here; ``tavorin._simplex.jvp`` and ``.vjp`` do the rows.
"""

import math
import operator

import numpy as np

from . import _simplex
from ._api import _thread_count, project_capped_simplex
from ._sets import Kind, check_sense, given, kind_of, real_array, sum_back, vectors_last

try:
    from numpy.exceptions import AxisError
except ImportError:  # NumPy before 1.25
    from numpy import AxisError

__all__ = [
    "project_capped_simplex_jvp",
    "project_capped_simplex_vjp",
    "project_l1_ball_jvp",
    "project_l1_ball_vjp",
]


class _Layout:
    """The vectors of ``x`` along ``axis`` as m rows of n, in x's float type."""

    def __init__(self, x, axis):
        x = real_array(x, "x")
        if x.ndim == 0:
            raise ValueError("x must have at least one dimension")
        axis = operator.index(axis)
        if not -x.ndim <= axis < x.ndim:
            raise AxisError(axis, x.ndim)
        self.dtype = np.dtype(np.float32 if x.dtype == np.float32 else np.float64)
        self.shape = x.shape
        self.axis = axis % x.ndim
        self.batch_shape = x.shape[: self.axis] + x.shape[self.axis + 1 :]
        self.n = x.shape[self.axis]
        self.m = math.prod(self.batch_shape)
        self.x = self.rows(x)

    def rows(self, array):
        """An array of x's shape as C-contiguous (m, n) rows of x's float type."""
        moved = np.moveaxis(np.broadcast_to(array, self.shape), self.axis, -1)
        return np.require(moved, self.dtype, ["C_CONTIGUOUS", "ALIGNED"]).reshape(self.m, self.n)

    def unrows(self, rows):
        return np.moveaxis(rows.reshape(self.batch_shape + (self.n,)), -1, self.axis)

    def operand(self, value, name, per_element=True):
        """``value`` for the kernels, by the sets' one rule (see tavorin._sets)."""
        return given(value, name, self.shape, self.axis, self.dtype, per_element, y_name="x")

    def sum_to(self, values, kind, shape):
        """A set's cotangent summed back to the shape the set was given in."""
        summed = sum_back(values, kind, shape, self.shape, self.axis)
        return summed.astype(self.dtype, copy=False)[()]


def _weights(layout, weights):
    if weights is None:
        return None
    return layout.operand(weights, "weights").value


def _rows_of(layout, value):
    """A set's kernel value (a float, m per-vector values or (m, n) rows) broadcastable
    to x's rows, in x's float type, as the kernels compare it with x."""
    if isinstance(value, float):
        return layout.dtype.type(value)
    value = np.asarray(value)
    return value.astype(layout.dtype)[:, None] if value.ndim == 1 else value


def _classes(layout, l_value, u_value):  # noqa: E741
    """The kernels' classes of x's elements: (free, at l, at u) as (m, n) masks."""
    x = layout.x
    lower, upper = _rows_of(layout, l_value), _rows_of(layout, u_value)
    at_l = x == lower
    return (lower < x) & (x < upper), at_l, ~at_l & (x == upper)


def _off_sum(layout, x, h_value, w_value):
    """Per vector, whether sum_j w_j x_j misses h by more than the rounding of x's
    elements and of the sum: a one-sided set's vectors whose constraint is inactive
    (their projection the clip).  A vector on the sum counts as active, as a tie
    counts as clipped."""
    w = 1.0 if w_value is None else np.asarray(w_value, np.float64)
    if np.ndim(w) == 1:
        w = w[:, None]
    terms = x.astype(np.float64) * w
    h = np.asarray(h_value, np.float64)
    size = np.abs(terms).sum(axis=1) + np.abs(h)
    slack = 4 * np.finfo(layout.dtype).eps + (layout.n + 2) * np.finfo(np.float64).eps
    return np.abs(terms.sum(axis=1) - h) > slack * size


def _vjp_rows(layout, g_rows, sets, w, sense, threads):
    """The VJP's rows: gy (m, n), gh (m,), gl and gu (per their kinds), and which
    vectors' constraint was inactive (sense not 0), whose Jacobian is the clip's."""

    def sink(kind):
        if kind == Kind.PER_ELEMENT:
            return np.empty((layout.m, layout.n), layout.dtype)
        return np.empty(layout.m, np.float64)

    gy = np.empty((layout.m, layout.n), layout.dtype)
    gh = np.empty(layout.m, np.float64)
    gl = sink(sets[1].kind)
    gu = sink(sets[2].kind)
    _simplex.vjp(layout.x, g_rows, sets[1].value, sets[2].value, w, gy, gh, gl, gu, threads)
    inactive = np.zeros(layout.m, bool)
    if sense:
        inactive = _off_sum(layout, layout.x, sets[0].value, w)
    if inactive.any():
        free, at_l, at_u = (c[inactive] for c in _classes(layout, sets[1].value, sets[2].value))
        g_in = g_rows[inactive]
        gy[inactive] = np.where(free, g_in, 0)
        gh[inactive] = 0
        for cotangent, mask in ((gl, at_l), (gu, at_u)):
            part = np.where(mask, g_in, 0)
            cotangent[inactive] = part if cotangent.ndim == 2 else part.sum(axis=1, dtype=float)
    return gy, gh, gl, gu, inactive


def _jvp_rows(layout, dy_rows, dh, dl, du, l_value, u_value, w, h, sense, threads):  # noqa: E741
    """The JVP's rows dx, and which vectors' constraint was inactive (as _vjp_rows)."""
    dx = np.empty((layout.m, layout.n), layout.dtype)
    _simplex.jvp(layout.x, dy_rows, dh, dl, du, l_value, u_value, w, dx, threads)
    inactive = np.zeros(layout.m, bool)
    if sense:
        inactive = _off_sum(layout, layout.x, h, w)
    if inactive.any():
        _, at_l, at_u = (c[inactive] for c in _classes(layout, l_value, u_value))
        dl_in, du_in = (np.broadcast_to(_rows_of(layout, d), dx.shape)[inactive] for d in (dl, du))
        dx[inactive] = np.where(at_l, dl_in, np.where(at_u, du_in, dy_rows[inactive]))
    return dx, inactive


def project_capped_simplex_jvp(
    x,
    dy,
    dh,
    dl,
    du,
    l,  # noqa: E741 (the bound's name in the formula)
    u,
    *,
    axis=-1,
    weights=None,
    h=None,
    sense="==",
    workers=None,
):
    """The tangent ``dx`` of ``x = project_capped_simplex(y, h, l, u)`` for tangents of its inputs.

    With ``F`` the free elements of a vector (``l_j < x_j < u_j`` strictly),
    ``L`` and ``U`` those at ``l`` and at ``u``, and ``k = sum_F w_j**2``
    (the number of free elements without weights)::

        dtau = (sum_F w dy + sum_L w dl + sum_U w du - dh) / k
        dx_F = dy_F - dtau * w_F,   dx_L = dl_L,   dx_U = du_U

    Parameters
    ----------
    x : array_like
        The projection, as ``project_capped_simplex`` returned it (float32
        stays float32, anything else is computed in float64).
    dy : array_like
        Tangent of ``y``, broadcastable to ``x``'s shape.
    dh, dl, du : float, array_like or None
        Tangents of ``h``, ``l`` and ``u``, shaped as those may be (scalars,
        one value per vector, or per element for the bounds); None is zero.
    l, u, weights, axis :
        As given to ``project_capped_simplex``.  Weights are constants here.
    h, sense :
        As given to ``project_capped_simplex``; ``h`` only with a ``sense``
        other than ``"=="`` (needed then).  A vector whose ``sum_j w_j x_j``
        is off ``h`` had its constraint inactive, and its tangent is the
        clip's: ``dx_F = dy_F``, ``dx_L = dl_L``, ``dx_U = du_U``.
    workers : int, optional
        Threads, as for ``project_capped_simplex``.

    Returns
    -------
    ndarray
        ``dx``, of ``x``'s shape and float type.

    Raises
    ------
    TypeError, ValueError
        The messages of ``project_capped_simplex`` for the same causes: a
        complex, object or string array (``dy must be an array of real
        numbers, not complex128``), a set or tangent whose shape fits
        neither one value per vector nor one per element, an ``axis`` out of
        range (``numpy.exceptions.AxisError``), a bad ``workers``.

    See Also
    --------
    project_capped_simplex_vjp : The cotangents, the transpose of this map.

    Notes
    -----
    A tie (an element exactly at a bound) counts as clipped, and a vector
    without free elements has ``dtau = 0``: its y-Jacobian and h-derivative
    are zero and its elements follow their bounds.  Each row is read twice
    (the sums, then the results) in the compiled core, on ``workers``
    threads; a call costs a tenth to a fifth of the projection.

    Examples
    --------
    >>> import numpy as np
    >>> import tavorin
    >>> y = np.array([[0.9, -0.3, 0.55, 1.6], [0.1, 0.7, -0.8, 0.35]])
    >>> x = tavorin.project_capped_simplex(y, 1.0, 0.0, 0.6)
    >>> x
    array([[0.375, 0.   , 0.025, 0.6  ],
           [0.075, 0.6  , 0.   , 0.325]])

    Moving every element of ``y`` alike moves nothing (the sum is held at
    ``h``); raising ``h`` moves the free elements, two in each row:

    >>> tavorin.project_capped_simplex_jvp(x, np.ones_like(x), None, None, None, 0.0, 0.6)
    array([[0., 0., 0., 0.],
           [0., 0., 0., 0.]])
    >>> tavorin.project_capped_simplex_jvp(x, np.zeros_like(x), 1.0, None, None, 0.0, 0.6)
    array([[0.5, 0. , 0.5, 0. ],
           [0.5, 0. , 0. , 0.5]])
    """
    sense = check_sense(sense)
    if sense and h is None:
        raise TypeError(f"sense={_SENSE_NAMES[sense]!r} needs h, the sum the projection was given")
    layout = _Layout(x, axis)
    threads = _thread_count(workers)
    dy_rows = layout.rows(real_array(dy, "dy"))
    dh = 0.0 if dh is None else layout.operand(dh, "dh", per_element=False).value
    dl = 0.0 if dl is None else layout.operand(dl, "dl").value
    du = 0.0 if du is None else layout.operand(du, "du").value
    l_value = layout.operand(l, "l").value  # noqa: E741
    u_value = layout.operand(u, "u").value
    h_value = None if h is None else layout.operand(h, "h", per_element=False).value
    w = _weights(layout, weights)
    dx, _ = _jvp_rows(layout, dy_rows, dh, dl, du, l_value, u_value, w, h_value, sense, threads)
    return layout.unrows(dx)


def project_capped_simplex_vjp(
    x,
    g,
    h,
    l,  # noqa: E741 (the bound's name in the formula)
    u,
    *,
    axis=-1,
    weights=None,
    sense="==",
    workers=None,
):
    """The cotangents ``(gy, gh, gl, gu)`` of ``x = project_capped_simplex(y, h, l, u)`` for ``g``.

    With ``F``, ``L``, ``U`` and ``k`` as for ``project_capped_simplex_jvp``
    and ``m = sum_F w_j g_j / k`` per vector::

        gy = 1_F * (g - m w),   gh = m,   gl = 1_L * (g - m w),   gu = 1_U * (g - m w)

    each summed back to the shape its input was given in: a bound shared by
    every vector gets the sum over all of them, one per vector its vector's
    sum, one per element its element's share.

    Parameters
    ----------
    x : array_like
        The projection (float32 stays float32, anything else is float64).
    g : array_like
        The cotangent of ``x``, broadcastable to ``x``'s shape.
    h, l, u, weights, axis, sense :
        As given to ``project_capped_simplex`` (``h`` only for its shape with
        ``sense="=="``).  With ``"<="`` or ``">="``, a vector whose
        ``sum_j w_j x_j`` is off ``h`` had its constraint inactive: the clip's
        cotangents ``gy = 1_F g``, ``gh = 0``, ``gl = 1_L g``, ``gu = 1_U g``.
    workers : int, optional
        Threads, as for ``project_capped_simplex``.

    Returns
    -------
    gy : ndarray
        Of ``x``'s shape and float type.
    gh, gl, gu : ndarray or scalar
        Of the shapes ``h``, ``l`` and ``u`` have (a NumPy scalar of x's float
        type for a scalar).  No gradient is given for the weights.

    Raises
    ------
    TypeError, ValueError
        The messages of ``project_capped_simplex`` for the same causes: a
        complex, object or string array (``g must be an array of real
        numbers, not complex128``), a set whose shape fits neither one value
        per vector nor one per element, an ``axis`` out of range
        (``numpy.exceptions.AxisError``), a bad ``workers``.

    See Also
    --------
    project_capped_simplex_jvp : The tangents.

    Notes
    -----
    The y-Jacobian ``D_F - w_F w_F^T / k`` is symmetric, so ``gy`` is also
    the JVP of ``g`` in ``y`` alone.  Ties count as clipped; a vector without
    free elements gives ``gy = 0`` and ``gh = 0``.

    Examples
    --------
    The gradient of ``sum(c * x)`` with ``c = [2, 1, 1, 1]`` for each row:

    >>> import numpy as np
    >>> import tavorin
    >>> y = np.array([[0.9, -0.3, 0.55, 1.6], [0.1, 0.7, -0.8, 0.35]])
    >>> x = tavorin.project_capped_simplex(y, 1.0, 0.0, 0.6)
    >>> c = np.array([[2.0, 1.0, 1.0, 1.0]]).repeat(2, axis=0)
    >>> gy, gh, gl, gu = tavorin.project_capped_simplex_vjp(x, c, 1.0, 0.0, 0.6)
    >>> gy
    array([[ 0.5,  0. , -0.5,  0. ],
           [ 0.5,  0. ,  0. , -0.5]])
    >>> float(gh), float(gl), float(gu)
    (3.0, -1.0, -1.0)
    """
    sense = check_sense(sense)
    layout = _Layout(x, axis)
    threads = _thread_count(workers)
    g_rows = layout.rows(real_array(g, "g"))
    sets = [layout.operand(v, name, name != "h") for v, name in ((h, "h"), (l, "l"), (u, "u"))]
    w = _weights(layout, weights)
    gy, gh, gl, gu, _ = _vjp_rows(layout, g_rows, sets, w, sense, threads)
    cotangents = (layout.sum_to(c, s.kind, s.shape) for c, s in zip((gh, gl, gu), sets))
    return (layout.unrows(gy), *cotangents)


_SENSE_NAMES = {1: "<=", -1: ">="}


def _l1_layout(x, axis):
    """x's layout with |x| as its rows (the one-sided simplex the ball solves), and
    the signs of x's elements."""
    layout = _Layout(x, axis)
    signs = np.sign(layout.x)
    layout.x = np.abs(layout.x)
    return layout, signs


def project_l1_ball_vjp(x, g, radius, *, axis=-1, weights=None, workers=None):
    """The cotangents ``(gy, gradius)`` of ``x = project_l1_ball(y, radius)`` for ``g``.

    A vector inside the ball (``sum_j w_j |x_j|`` off ``radius``) has the
    identity's: ``gy = g``, ``gradius = 0``.  On the sphere, with ``F`` the
    nonzero elements, ``s = sign(x)``, ``k = sum_F w_j**2`` and
    ``m = sum_F s w g / k`` per vector::

        gy = 1_F * (g - m s w),   gradius = m

    Parameters
    ----------
    x : array_like
        The projection, as ``project_l1_ball`` returned it (float32 stays
        float32, anything else is computed in float64).
    g : array_like
        The cotangent of ``x``, broadcastable to ``x``'s shape.
    radius : float or array_like
        As given to ``project_l1_ball``: a scalar or one value per vector.
    axis : int, optional
        The axis the vectors lie along, as given to ``project_l1_ball``.
    weights : float or array_like, optional
        As given to ``project_l1_ball``; constants here.
    workers : int, optional
        Threads, as for ``project_capped_simplex``.

    Returns
    -------
    gy : ndarray
        Of ``x``'s shape and float type.
    gradius : ndarray or scalar
        Of the shape ``radius`` has (a NumPy scalar of x's float type for a
        scalar), summed over the vectors that share it.  No gradient is given
        for the weights.

    Raises
    ------
    TypeError, ValueError
        The messages of ``project_l1_ball`` for the same causes: a complex,
        object or string array (``g must be an array of real numbers, not
        complex128``), a ``radius`` or ``weights`` whose shape fits neither
        one value per vector nor (for the weights) one per element, an
        ``axis`` out of range (``numpy.exceptions.AxisError``), a bad
        ``workers``.

    See Also
    --------
    project_l1_ball_jvp : The tangents.
    project_capped_simplex_vjp : The same for the capped simplex.

    Notes
    -----
    The y-Jacobian ``D_F - (s w)_F (s w)_F^T / k`` on the sphere (the
    identity inside) is symmetric, so ``gy`` is also the JVP of ``g`` in
    ``y`` alone.  An element at zero counts as clipped; a vector on the
    sphere is told from one inside by its sum within the rounding of
    ``x``'s elements.

    Examples
    --------
    The gradient of ``sum(c * x)`` with ``c = [2, 1, 1, 1]`` for each row;
    the second row, with a radius of 5, lies inside the ball and passes
    ``c`` through:

    >>> import numpy as np
    >>> import tavorin
    >>> y = np.array([[0.9, -0.3, 0.55, 1.6], [0.1, 0.7, -0.8, 0.35]])
    >>> radius = np.array([1.0, 5.0])
    >>> x = tavorin.project_l1_ball(y, radius)
    >>> c = np.array([[2.0, 1.0, 1.0, 1.0]]).repeat(2, axis=0)
    >>> gy, gradius = tavorin.project_l1_ball_vjp(x, c, radius)
    >>> gy
    array([[ 0.5,  0. ,  0. , -0.5],
           [ 2. ,  1. ,  1. ,  1. ]])
    >>> gradius
    array([1.5, 0. ])
    """
    layout, signs = _l1_layout(x, axis)
    threads = _thread_count(workers)
    g_rows = layout.rows(real_array(g, "g"))
    sets = [
        layout.operand(radius, "radius", per_element=False),
        layout.operand(0.0, "l"),
        layout.operand(math.inf, "u"),
    ]
    w = _weights(layout, weights)
    gz, gh, _, _, inactive = _vjp_rows(layout, signs * g_rows, sets, w, 1, threads)
    gy = signs * gz
    gy[inactive] = g_rows[inactive]
    return layout.unrows(gy), layout.sum_to(gh, sets[0].kind, sets[0].shape)


def project_l1_ball_jvp(x, dy, dradius, radius, *, axis=-1, weights=None, workers=None):
    """The tangent ``dx`` of ``x = project_l1_ball(y, radius)`` for tangents of its inputs.

    Inside the ball ``dx = dy``; on the sphere, with ``F``, ``s`` and ``k``
    as for ``project_l1_ball_vjp``::

        dtau = (sum_F s w dy - dradius) / k
        dx_F = dy_F - dtau * s_F w_F,   dx = 0 elsewhere

    Parameters
    ----------
    x : array_like
        The projection, as ``project_l1_ball`` returned it (float32 stays
        float32, anything else is computed in float64).
    dy : array_like
        Tangent of ``y``, broadcastable to ``x``'s shape.
    dradius : float, array_like or None
        Tangent of ``radius``, shaped as ``radius`` may be (a scalar or one
        value per vector); None is zero.
    radius : float or array_like
        As given to ``project_l1_ball``.
    axis : int, optional
        The axis the vectors lie along, as given to ``project_l1_ball``.
    weights : float or array_like, optional
        As given to ``project_l1_ball``; constants here.
    workers : int, optional
        Threads, as for ``project_capped_simplex``.

    Returns
    -------
    ndarray
        ``dx``, of ``x``'s shape and float type.

    Raises
    ------
    TypeError, ValueError
        The messages of ``project_l1_ball`` for the same causes: a complex,
        object or string array (``dy must be an array of real numbers, not
        complex128``), a ``radius``, ``dradius`` or ``weights`` whose shape
        fits neither one value per vector nor (for the weights) one per
        element, an ``axis`` out of range (``numpy.exceptions.AxisError``), a
        bad ``workers``.

    See Also
    --------
    project_l1_ball_vjp : The cotangents, the transpose of this map.
    project_capped_simplex_jvp : The same for the capped simplex.

    Notes
    -----
    An element at zero counts as clipped, and its tangent is zero on the
    sphere.  A vector on the sphere is told from one inside by its sum
    within the rounding of ``x``'s elements.

    Examples
    --------
    >>> import numpy as np
    >>> import tavorin
    >>> y = np.array([[0.9, -0.3, 0.55, 1.6], [0.1, 0.7, -0.8, 0.35]])
    >>> x = tavorin.project_l1_ball(y, 1.0)
    >>> np.round(x, 4)
    array([[ 0.15  , -0.    ,  0.    ,  0.85  ],
           [ 0.    ,  0.4167, -0.5167,  0.0667]])

    Growing the radius moves the nonzero elements outwards, each by the same
    share of it:

    >>> np.round(tavorin.project_l1_ball_jvp(x, np.zeros_like(x), 1.0, 1.0), 4)
    array([[ 0.5   ,  0.    ,  0.    ,  0.5   ],
           [ 0.    ,  0.3333, -0.3333,  0.3333]])

    Inside the ball the tangent of ``y`` passes through unchanged:

    >>> tavorin.project_l1_ball_jvp(y, np.ones_like(y), None, 5.0)
    array([[1., 1., 1., 1.],
           [1., 1., 1., 1.]])
    """
    layout, signs = _l1_layout(x, axis)
    threads = _thread_count(workers)
    dy_rows = layout.rows(real_array(dy, "dy"))
    dr = 0.0 if dradius is None else layout.operand(dradius, "dradius", per_element=False).value
    r = layout.operand(radius, "radius", per_element=False).value
    w = _weights(layout, weights)
    dz, inactive = _jvp_rows(layout, signs * dy_rows, dr, 0.0, 0.0, 0.0, math.inf, w, r, 1, threads)
    dx = signs * dz
    dx[inactive] = dy_rows[inactive]
    return layout.unrows(dx)


def vector_axis(shape, axis):
    """The frameworks' axis of the vectors, checked as the NumPy function checks it."""
    if len(shape) == 0:
        raise ValueError("y must have at least one dimension")
    given = operator.index(axis)
    if not -len(shape) <= given < len(shape):
        raise AxisError(given, len(shape))
    axis = given % len(shape)
    if shape[axis] == 0:
        raise ValueError(f"y has no elements along axis {given}: nothing to project")
    return axis


def project_vectors(kinds, y, h, l, u, w, sense="==", ball=False):  # noqa: E741
    """The projection of y's last axis for the framework wrappers; batch dimensions broadcast.

    ``kinds`` says how l, u and w are given: "row" (one per vector), "element"
    (the vectors' axis last) or, for w, "none" (w is then ignored).  h, l, u
    and w may carry leading axes of their own (a framework's batching): the
    batch parts broadcast right-aligned, so size-1 axes stand for "shared".
    ``sense`` as project_capped_simplex takes it; ``ball``: the l1 ball of
    radius h instead (l and u ignored)."""
    y, h, l, u, w = (None if a is None else np.asarray(a) for a in (y, h, l, u, w))  # noqa: E741
    l_kind, u_kind, w_kind = kinds
    n = y.shape[-1]

    def batch_of(value, kind):
        return value.shape[:-1] if kind == "element" else value.shape

    parts = [y.shape[:-1], h.shape, batch_of(l, l_kind), batch_of(u, u_kind)]
    if w_kind != "none":
        parts.append(batch_of(w, w_kind))
    batch = np.broadcast_shapes(*parts)

    def full(value, kind):
        return np.broadcast_to(value, batch + (n,) if kind == "element" else batch)

    options = {}
    if w_kind != "none":
        options["weights"] = full(w, w_kind)
    if ball:
        from ._l1 import project_l1_ball

        x = project_l1_ball(np.broadcast_to(y, batch + (n,)), full(h, "row"), **options)
        return np.asarray(x, dtype=y.dtype)
    options.update(method="exact", sense=sense)
    x = project_capped_simplex(
        np.broadcast_to(y, batch + (n,)),
        full(h, "row"),
        full(l, l_kind),
        full(u, u_kind),
        **options,
    )
    return np.asarray(x, dtype=y.dtype)


def _weights_option(w, w_kind):
    return {} if w_kind == "none" else {"weights": w}


def vjp_vectors(kinds, x, g, h, l, u, w):  # noqa: E741
    """project_capped_simplex_vjp on the last axis, arguments as project_vectors takes them."""
    return project_capped_simplex_vjp(x, g, h, l, u, **_weights_option(w, kinds[2]))


def jvp_vectors(kinds, x, dy, dh, dl, du, l, u, w):  # noqa: E741
    """project_capped_simplex_jvp on the last axis, arguments as project_vectors takes them."""
    return project_capped_simplex_jvp(x, dy, dh, dl, du, l, u, **_weights_option(w, kinds[2]))


def framework_set(value, name, y_shape, axis, broadcast_to, moveaxis):
    """A framework's set (an array of its own, already of y's dtype) arranged for
    ``project_vectors`` by the sets' one rule: (the batch shape's values, "row") or
    (y's shape with the vectors last, "element")."""
    kind = kind_of(name, value.shape, y_shape, axis, per_element=name != "h")
    arranged = vectors_last(value, kind, y_shape, axis, broadcast_to, moveaxis)
    return arranged, "element" if kind == Kind.PER_ELEMENT else "row"
