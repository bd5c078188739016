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
from ._sets import Kind, given, kind_of, real_array, sum_back, vectors_last

try:
    from numpy.exceptions import AxisError
except ImportError:  # NumPy before 1.25
    from numpy import AxisError

__all__ = ["project_capped_simplex_jvp", "project_capped_simplex_vjp"]


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
    workers : int, optional
        Threads, as for ``project_capped_simplex``.

    Returns
    -------
    ndarray
        ``dx``, of ``x``'s shape and float type.

    A tie (an element exactly at a bound) counts as clipped, and a vector
    without free elements has ``dtau = 0``: its y-Jacobian and h-derivative
    are zero and its elements follow their bounds.
    """
    layout = _Layout(x, axis)
    threads = _thread_count(workers)
    dy_rows = layout.rows(real_array(dy, "dy"))
    dh = 0.0 if dh is None else layout.operand(dh, "dh", per_element=False).value
    dl = 0.0 if dl is None else layout.operand(dl, "dl").value
    du = 0.0 if du is None else layout.operand(du, "du").value
    l_value = layout.operand(l, "l").value  # noqa: E741
    u_value = layout.operand(u, "u").value
    dx = np.empty((layout.m, layout.n), layout.dtype)
    _simplex.jvp(
        layout.x, dy_rows, dh, dl, du, l_value, u_value, _weights(layout, weights), dx, threads
    )
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
    h, l, u, weights, axis :
        As given to ``project_capped_simplex`` (``h`` only for its shape).
    workers : int, optional
        Threads, as for ``project_capped_simplex``.

    Returns
    -------
    gy : ndarray
        Of ``x``'s shape and float type.
    gh, gl, gu : ndarray or scalar
        Of the shapes ``h``, ``l`` and ``u`` have (a NumPy scalar of x's float
        type for a scalar).  No gradient is given for the weights.

    The y-Jacobian ``D_F - w_F w_F^T / k`` is symmetric, so ``gy`` is also
    the JVP of ``g`` in ``y`` alone.  Ties count as clipped; a vector without
    free elements gives ``gy = 0`` and ``gh = 0``.
    """
    layout = _Layout(x, axis)
    threads = _thread_count(workers)
    g_rows = layout.rows(real_array(g, "g"))
    sets = [layout.operand(v, name, name != "h") for v, name in ((h, "h"), (l, "l"), (u, "u"))]

    def sink(kind):
        if kind == Kind.PER_ELEMENT:
            return np.empty((layout.m, layout.n), layout.dtype)
        return np.empty(layout.m, np.float64)

    gy = np.empty((layout.m, layout.n), layout.dtype)
    gh = np.empty(layout.m, np.float64)
    gl = sink(sets[1].kind)
    gu = sink(sets[2].kind)
    w = _weights(layout, weights)
    _simplex.vjp(layout.x, g_rows, sets[1].value, sets[2].value, w, gy, gh, gl, gu, threads)
    cotangents = (layout.sum_to(c, s.kind, s.shape) for c, s in zip((gh, gl, gu), sets))
    return (layout.unrows(gy), *cotangents)


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


def project_vectors(kinds, y, h, l, u, w):  # noqa: E741
    """The projection of y's last axis for the framework wrappers; batch dimensions broadcast.

    ``kinds`` says how l, u and w are given: "row" (one per vector), "element"
    (the vectors' axis last) or, for w, "none" (w is then ignored).  h, l, u
    and w may carry leading axes of their own (a framework's batching): the
    batch parts broadcast right-aligned, so size-1 axes stand for "shared"."""
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

    options = {"method": "exact"}
    if w_kind != "none":
        options["weights"] = full(w, w_kind)
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
