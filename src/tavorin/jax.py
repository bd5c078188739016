"""tavorin.jax: the projection as a JAX function that jit, vmap, grad, jacfwd and jacrev go through.

On the CPU the projection is an XLA foreign function (``jax.ffi``): the
compiled solver reads and writes XLA's own buffers, with no copy and no
interpreter (with jax before ``jax.ffi.ffi_call``, a host call through
``jax.pure_callback``).  On every other platform, chosen by
``jax.lax.platform_dependent`` when XLA lowers, it is the sort method in
jax.numpy and lax (_sort_jax), so a GPU or TPU runs it on the device.  Its
derivative is written here in JAX itself (masks and sums over the free set),
so JAX differentiates it forward or transposes it backward without calling
the projection again, and every transformation composes.
"""

from __future__ import annotations

import functools
import inspect
import warnings
from typing import NamedTuple

import jax
import jax.custom_batching
import jax.numpy as jnp
import numpy as np
from jax.custom_derivatives import SymbolicZero

from . import _simplex
from . import _sort_jax as sorted_
from ._derivatives import framework_set, project_vectors, vector_axis
from ._l1 import check_radius
from ._sets import check_real_dtype, check_sense, kind_of, vectors_last

__all__ = ["project_capped_simplex", "project_l1_ball"]

# pure_callback learned vmap_method in jax 0.4.35 (before it, vectorized=True
# did the same and vmap_method is refused); from jax 0.12, vmap without
# vmap_method raises.
_HAS_VMAP_METHOD = "vmap_method" in inspect.signature(jax.pure_callback).parameters

# The foreign function's name in XLA's registry (one per process) and the code
# of each way l, u and w can be given (two bits each in its `kinds`).
_TARGET = "tavorin_project_capped_simplex"
_KIND_CODES = {"none": 0, "row": 1, "element": 2}
# Its `mode`: the sense's code in the 2 lowest bits, then the l1 ball, then y unchecked.
_SENSE_CODES = {0: 0, 1: 1, -1: 2}
_BALL, _UNCHECKED = 4, 8


class _Form(NamedTuple):
    """What a call projects onto, beside how l, u and w are given: static under jit."""

    l_kind: str
    u_kind: str
    w_kind: str
    sort: bool
    sense: int = 0  # 0: sum = h; 1: <= h; -1: >= h
    ball: bool = False  # the l1 ball of radius h (l and u unused)
    checked: bool = True  # NaN and infinity in y refused (the compiled core)


def _register_target():
    ffi = getattr(jax, "ffi", None)
    if ffi is None or not hasattr(ffi, "ffi_call"):
        return False
    try:
        ffi.register_ffi_target(_TARGET, _simplex.xla_handler(), platform="cpu")
    except Exception as error:  # an XLA that refuses the handler: the callback still works
        warnings.warn(
            f"tavorin.jax: XLA refused the compiled projection ({error}); "
            "projecting through jax.pure_callback instead",
            RuntimeWarning,
            stacklevel=2,
        )
        return False
    return True


_HAS_FFI = _register_target()


def _spread(value, kind):
    """A value given per vector, per element or once, as each element sees it."""
    if kind == "row":
        return value[..., None]
    return value


def _unpacked(form, y, rows, *elements):
    """project_vectors on the host for the arguments _host_call packs."""
    kinds = form[:3]
    # Callbacks may receive jax arrays, whose every indexing is a dispatch.
    rows = np.asarray(rows)
    elements = [np.asarray(a) for a in elements]
    values = {"h": rows[..., 0]}
    column, element = 1, 0
    for name, kind in zip("luw", kinds):
        if kind == "row":
            values[name], column = rows[..., column], column + 1
        elif kind == "element":
            values[name], element = elements[element], element + 1
        else:  # no weights, or the ball's l and u (which it ignores)
            values[name] = None if name == "w" else np.zeros((), y.dtype)
    sense = {0: "==", 1: "<=", -1: ">="}[form.sense]
    return project_vectors(
        kinds, y, values["h"], values["l"], values["u"], values["w"], sense, form.ball
    )


def _host_call(form, y, h, l, u, w, with_weight=False):  # noqa: E741
    """x, or (x, k) with k each vector's sum of w_j**2 over its free elements."""
    kinds = form[:3]

    def device(*_):
        if form.ball:
            zero = jnp.zeros(y.shape, y.dtype)
            bounds = (zero, jnp.full(y.shape, jnp.inf, y.dtype))
            w_full = jnp.broadcast_to(_spread(w, kinds[2]), y.shape)
            z = sorted_.project_sorted(jnp.abs(y), h, *bounds, w_full, sense=1)
            x = jnp.copysign(z, y)
        else:
            spread = [jnp.broadcast_to(_spread(v, k), y.shape) for v, k in zip((l, u, w), kinds)]
            x = sorted_.project_sorted(y, h, *spread, sense=form.sense)
        return (x, _free_weight(form, x, l, u, w)) if with_weight else x

    if form.sort:
        return device()
    # Each array a call takes costs about as much as the call itself, so the
    # values given per vector travel as one array; values shared by every
    # vector as one row of it (leading dimensions of 1), which also spares
    # the solver every vector's check of its set.
    given = [(l, kinds[0]), (u, kinds[1]), (w, kinds[2])]
    parts = [h] + [a for a, kind in given if kind == "row"]
    shape = np.broadcast_shapes(*(jnp.shape(a) for a in parts))
    rows = jnp.stack([jnp.broadcast_to(a, shape) for a in parts], axis=-1)
    rows = rows.reshape((1,) * (y.ndim - 1 - len(shape)) + rows.shape)
    args = [y, rows] + [a for a, kind in given if kind == "element"]

    def host(*args):
        x = _callback(form, *args)
        return (x, _free_weight(form, x, l, u, w)) if with_weight else x

    cpu = functools.partial(_foreign_call, form, with_weight) if _HAS_FFI else host
    return jax.lax.platform_dependent(*args, cpu=cpu, default=device)


def _foreign_call(form, with_weight, y, *rest):
    code = sum(_KIND_CODES[kind] << (2 * i) for i, kind in enumerate(form[:3]))
    mode = _SENSE_CODES[form.sense] | (_BALL if form.ball else 0)
    mode |= 0 if form.checked else _UNCHECKED
    results = jax.ShapeDtypeStruct(y.shape, y.dtype)
    if with_weight:
        results = (results, jax.ShapeDtypeStruct(y.shape[:-1], y.dtype))
    # Arguments left out of a vmap are broadcast along its axes for the
    # handler, which takes every buffer with y's leading dimensions.
    call = jax.ffi.ffi_call(_TARGET, results, vmap_method="broadcast_all")
    return call(y, *rest, kinds=np.int32(code), mode=np.int32(mode))


def _callback(form, *args):
    y = args[0]
    if _HAS_VMAP_METHOD:
        # Unbatched arguments gain axes of size 1, which the host broadcasts.
        result = jax.ShapeDtypeStruct(y.shape, y.dtype)
        callback = functools.partial(_unpacked, form)
        return jax.pure_callback(callback, result, *args, vmap_method="expand_dims")
    return _legacy_host_call(form)(*args)


@functools.lru_cache(maxsize=None)
def _legacy_host_call(form):
    """The host call for jax before 0.4.35, batched by a rule of our own.

    There vectorized=True hands unbatched arguments over without the vmapped
    axis, which nested vmaps batching different arguments make ambiguous;
    this rule gives every argument the axis first."""

    @jax.custom_batching.custom_vmap
    def call(y, *rest):
        result = jax.ShapeDtypeStruct(y.shape, y.dtype)
        return jax.pure_callback(functools.partial(_unpacked, form), result, y, *rest)

    @call.def_vmap
    def rule(axis_size, in_batched, *args):
        args = [
            a if batched else jnp.broadcast_to(a, (axis_size,) + a.shape)
            for a, batched in zip(args, in_batched)
        ]
        return call(*args), True

    return call


@functools.partial(jax.custom_jvp, nondiff_argnums=(0,))
def _project(kinds, y, h, l, u, w):  # noqa: E741
    return _host_call(kinds, y, h, l, u, w)


@functools.partial(jax.custom_jvp, nondiff_argnums=(0,))
def _project_weighing(kinds, y, h, l, u, w):  # noqa: E741
    """The projection and each vector's free weight (see _host_call), for the JVP rules."""
    return _host_call(kinds, y, h, l, u, w, with_weight=True)


def _places(form, x, l, u):  # noqa: E741
    """Which elements are free, and which are at l (l == u counts as at l); in the
    ball the nonzero elements are free."""
    if form.ball:
        return x != 0, x == 0
    lb = _spread(l, form.l_kind)
    return (lb < x) & (x < _spread(u, form.u_kind)), x == lb


def _free_weight(form, x, l, u, w):  # noqa: E741
    free, _ = _places(form, x, l, u)
    if form.w_kind == "none":
        return jnp.sum(free, axis=-1, dtype=x.dtype)
    wb = _spread(w, form.w_kind)
    return jnp.sum(jnp.where(free, wb * wb, jnp.zeros((), x.dtype)), axis=-1)


def _on_sum(form, x, h, w):
    """Per vector, whether sum_j w_j x_j (|x_j| in the ball) is h to within the
    rounding of x's elements and of the sum: a one-sided constraint that was
    active.  Off h, the projection was the clip (the identity in the ball)."""
    acc = sorted_.accumulator()
    terms = (jnp.abs(x) if form.ball else x).astype(acc)
    if form.w_kind != "none":
        terms = terms * _spread(w, form.w_kind).astype(acc)
    h = h.astype(acc)
    size = jnp.sum(jnp.abs(terms), axis=-1) + jnp.abs(h)
    slack = 4 * jnp.finfo(x.dtype).eps + (x.shape[-1] + 2) * jnp.finfo(acc).eps
    return jnp.abs(jnp.sum(terms, axis=-1) - h) <= slack * size


def _tangent(form, x, k, primals, tangents):
    """dx for the tangents of (y, h, l, u) at x = the projection, with k its free weights."""
    _, h, l, u, w = primals  # noqa: E741
    dy, dh, dl, du, _ = tangents  # the weights are constants
    free, at_l = _places(form, x, l, u)
    zero = jnp.zeros((), x.dtype)
    # Tangents known to be zero (inputs not differentiated) are left out:
    # under grad every term costs a pass over the batch.
    given = lambda t: not isinstance(t, SymbolicZero)  # noqa: E731
    # The ball's elements move with their signs: s_j w_j in place of w_j.
    factor = jnp.sign(x) if form.ball else None
    if form.w_kind != "none":
        wb = _spread(w, form.w_kind)
        factor = wb if factor is None else factor * wb
    weighted = (lambda v: v) if factor is None else (lambda v: factor * v)  # noqa: E731
    # dx on the clipped elements: the tangent of the bound each one is at.
    dl = _spread(dl, form.l_kind) if given(dl) and not form.ball else None
    du = _spread(du, form.u_kind) if given(du) and not form.ball else None
    at_bound = None
    if dl is not None or du is not None:
        at_bound = jnp.where(
            at_l, zero if dl is None else dl, zero if du is None else jnp.where(free, zero, du)
        )
    num = jnp.sum(jnp.where(free, weighted(dy), zero), axis=-1) if given(dy) else 0
    if at_bound is not None:
        num = num + jnp.sum(weighted(at_bound), axis=-1)
    if given(dh):
        num = num - dh
    # Without free elements nothing moves the shift, nor with the constraint inactive.
    moving = k > 0
    if form.sense or form.ball:
        active = _on_sum(form, x, h, w)
        moving = moving & active
    dtau = jnp.where(moving, num / jnp.where(moving, k, 1), zero)
    moved = -weighted(dtau[..., None])
    if given(dy):
        moved = dy + moved
    dx = jnp.where(free, moved, zero if at_bound is None else at_bound)
    if form.ball and given(dy):
        dx = jnp.where(active[..., None], dx, dy)  # the identity inside the ball
    return jnp.broadcast_to(dx, x.shape).astype(x.dtype)


def _project_jvp(kinds, primals, tangents):
    x, k = _project_weighing(kinds, *primals)
    return x, _tangent(kinds, x, k, primals, tangents)


def _project_weighing_jvp(kinds, primals, tangents):
    x, k = _project_weighing(kinds, *primals)
    # The free weights are constant where they have a derivative.
    return (x, k), (_tangent(kinds, x, k, primals, tangents), jnp.zeros_like(k))


_project.defjvp(_project_jvp, symbolic_zeros=True)
_project_weighing.defjvp(_project_weighing_jvp, symbolic_zeros=True)


def _real(value, name):
    """``value`` as a JAX array, refused as the NumPy function refuses a complex,
    object or string array (checked before JAX converts what it is given)."""
    if not isinstance(value, jax.Array):
        check_real_dtype(np.asarray(value).dtype, name)
    value = jnp.asarray(value)
    if not jnp.issubdtype(value.dtype, jnp.floating):  # bfloat16 is no NumPy float
        check_real_dtype(value.dtype, name)
    return value


def _as_set(value, name, y, axis):
    """A set (or the weights) per vector (the batch shape, or 0-d: shared by every
    vector, which the foreign function takes as one row) or per element (vectors last)."""
    value = _real(value, name).astype(y.dtype)
    if value.ndim == 0:
        return value, "row"
    return framework_set(value, name, y.shape, axis, jnp.broadcast_to, jnp.moveaxis)


def _sets(y, h, l, u, weights, axis):  # noqa: E741
    """(y's vectors last, h, l, u, w, how l, u and w are given) as _project takes them."""
    h, _ = _as_set(h, "h", y, axis)
    l, l_kind = _as_set(l, "l", y, axis)  # noqa: E741
    u, u_kind = _as_set(u, "u", y, axis)
    if weights is None:
        w, w_kind = jnp.ones((), y.dtype), "none"
    else:
        w, w_kind = _as_set(weights, "weights", y, axis)
        w = jax.lax.stop_gradient(w)
    return jnp.moveaxis(y, axis, -1), h, l, u, w, (l_kind, u_kind, w_kind)


# Computed in float32 (sums in float64 where jax has it) and rounded once to their own dtype.
_HALF = (jnp.float16, jnp.bfloat16)


def _floating(y, method):
    """``y`` as the projection computes it (float32 for half precision), and its dtype."""
    if method not in (None, "sort"):
        raise ValueError(f"method must be None or 'sort', not {method!r}")
    y = _real(y, "y")
    if not jnp.issubdtype(y.dtype, jnp.floating):
        y = y.astype(jnp.result_type(float))
    dtype = y.dtype
    if dtype in _HALF:
        y = y.astype(jnp.float32)
    elif dtype not in (jnp.float32, jnp.float64):
        raise TypeError(
            f"tavorin.jax projects float64, float32, float16 and bfloat16 arrays, not {dtype}"
        )
    return y, dtype


def project_capped_simplex(y, h, l, u, *, weights=None, axis=-1, sense="==", method=None):  # noqa: E741
    """Project the vectors of ``y`` along ``axis`` onto ``{x : l <= x <= u, sum_j w_j x_j = h}``.

    The exact projection of ``tavorin.project_capped_simplex``, as a JAX
    function: it works under ``jit``, ``vmap`` (any number of batch
    dimensions), ``grad``, ``jvp``, ``vjp``, ``jacfwd`` and ``jacrev``, in
    float32 and (with ``jax_enable_x64``) float64; float16 and bfloat16 are
    computed in float32 and rounded once to their dtype.

    Parameters
    ----------
    y : jax.Array
        Real numbers (integers become the default float type);
        every axis but ``axis`` is a batch axis.
    h, l, u : float or jax.Array
        The sum and the bounds, as ``tavorin.project_capped_simplex`` takes
        them: scalars, one value per vector (broadcastable to the batch
        shape, or in the shape ``keepdims=True`` gives), or for the bounds
        one per element, with ``y``'s number of dimensions.  Derivatives
        flow to each.
    weights : float or jax.Array, optional
        Positive, finite weights, given as ``l`` and ``u`` are; constants
        (no derivative is taken for them).
    axis : int, optional
        The axis the vectors lie along.
    sense : {"==", "<=", ">="}, optional
        The sum's relation to ``h``, as for ``tavorin.project_capped_simplex``:
        one-sided, a vector whose ``clip(y, l, u)`` satisfies it is that clip
        (and has the clip's derivatives), any other the equality's projection.
    method : {None, "sort"}, optional
        None (the default) runs the compiled core on the CPU and ``"sort"``
        on every other platform (the choice is made when XLA lowers for a
        platform, so a GPU or TPU program holds no host call); ``"sort"``
        asks for the sort method (sort the breakpoints, locate the root's
        piece, sums in float64 with ``jax_enable_x64``, else float32) on the
        CPU too.

    Returns
    -------
    jax.Array
        The projection, of ``y``'s shape and float type.

    Raises
    ------
    TypeError
        Complex, object or string input, ``y`` or a set, checked before
        JAX converts it (``y must be an array of real numbers, not
        complex64``).
    ValueError
        A set whose shape fits neither one value per vector nor one per
        element, with the NumPy-style function's messages (``h of shape (3,)
        does not broadcast to the batch shape (2,)``); a scalar set that is
        empty or ill defined (``l must not exceed u, got l=0.7, u=0.6``); a
        ``sense`` other than ``"=="``, ``"<="`` and ``">="`` (a ``TypeError``
        for a non-string); ``numpy.exceptions.AxisError`` for an axis out of
        range.
    JaxRuntimeError
        An infeasible set given as an array, or NaN or infinity in ``y``,
        when the call is computed on the CPU's compiled core (a
        ``ValueError`` naming the vector's batch index).  The sort method
        cannot raise without a host round trip: such a vector comes back
        as NaN there.

    See Also
    --------
    tavorin.project_capped_simplex : The same projection on NumPy arrays.
    tavorin.project_capped_simplex_vjp : The cotangents it is differentiated with.

    Notes
    -----
    Everything is computed in ``y``'s float type, and the result has the
    bytes of ``tavorin.project_capped_simplex`` on the same arrays.  On the
    CPU the projection is an XLA foreign function reading and writing XLA's
    own buffers (with a jax without ``jax.ffi.ffi_call``, a host call through
    ``jax.pure_callback``); on other platforms it is the sort method, in
    JAX's own operations.  The derivative is
    written in JAX (masks and sums over the free set), so JAX differentiates
    it forward and transposes it backward without calling the projection
    again.  At a tie (an element exactly at a bound) the element counts as
    clipped; a vector without free elements has a zero Jacobian in ``y``
    and ``h``.

    Examples
    --------
    >>> import jax
    >>> import jax.numpy as jnp
    >>> import numpy as np
    >>> from tavorin.jax import project_capped_simplex
    >>> y = jnp.array([[0.9, -0.3, 0.55, 1.6], [0.1, 0.7, -0.8, 0.35]])
    >>> x = jax.jit(lambda y: project_capped_simplex(y, 1.0, 0.0, 0.6))(y)
    >>> np.asarray(x, float).round(4)
    array([[0.375, 0.   , 0.025, 0.6  ],
           [0.075, 0.6  , 0.   , 0.325]])

    At most 1.5, the first row is projected onto the sum; the second's
    clip already meets it:

    >>> b = project_capped_simplex(y, 1.5, 0.0, 1.0, sense="<=")
    >>> np.asarray(b, float).round(4)
    array([[0.425, 0.   , 0.075, 1.   ],
           [0.1  , 0.7  , 0.   , 0.35 ]])

    The gradient of ``sum(c * x)``: the free elements share the change,
    so that the sum stays ``h``:

    >>> c = jnp.array([2.0, 1.0, 1.0, 1.0])
    >>> jax.grad(lambda y: jnp.sum(c * project_capped_simplex(y, 1.0, 0.0, 0.6)))(y)
    Array([[ 0.5,  0. , -0.5,  0. ],
           [ 0.5,  0. ,  0. , -0.5]], dtype=float32)
    """
    y, dtype = _floating(y, method)
    sense = check_sense(sense)
    axis = vector_axis(y.shape, axis)
    moved, h, l, u, w, kinds = _sets(y, h, l, u, weights, axis)  # noqa: E741
    x = _project(_Form(*kinds, method == "sort", sense), moved, h, l, u, w)
    return jnp.moveaxis(x, -1, axis).astype(dtype)


def _checked_radius(radius, y, axis):
    """The radius per vector (or 0-d), refused as the NumPy function refuses it: its
    type and shape always, its values where they are known when the call is traced
    (under jit or grad they are checked when the call is computed)."""
    host = radius
    if isinstance(radius, jax.Array):
        try:
            host = np.asarray(radius)
        except (jax.errors.TracerArrayConversionError, jax.errors.ConcretizationTypeError):
            host = None
        if host is not None and host.dtype.kind not in "biufc":  # bfloat16 is no NumPy float
            host = host.astype(np.float64)
    if host is not None:
        check_radius(host, y.shape, axis)
    value = _real(radius, "radius").astype(y.dtype)
    if value.ndim == 0:
        return value
    kind = kind_of("radius", value.shape, y.shape, axis, per_element=False)
    return vectors_last(value, kind, y.shape, axis, jnp.broadcast_to, jnp.moveaxis)


def project_l1_ball(y, radius, *, axis=-1, weights=None, check_finite=True, method=None):
    """Project the vectors of ``y`` along ``axis`` onto ``{x : sum_j w_j |x_j| <= radius}``.

    The exact projection of ``tavorin.project_l1_ball``, as a JAX function,
    under the same transformations and in the same dtypes as
    ``project_capped_simplex``: ``x_j = sign(y_j) * max(|y_j| - tau*w_j, 0)``
    with the least ``tau >= 0`` that puts the vector in the ball, so a
    vector already inside comes back unchanged.

    Parameters
    ----------
    y : jax.Array
        Real numbers; every axis but ``axis`` is a batch axis.
    radius : float or jax.Array
        A scalar, or one value per vector (as ``h`` is given); finite and
        ``>= 0`` (0 projects to 0).  Derivatives flow to it.
    axis : int, optional
        The axis the vectors lie along.
    weights : float or jax.Array, optional
        Positive, finite weights, per vector or per element; constants.
    check_finite : bool, optional
        Refuse NaN or infinity in ``y`` on the compiled core (with False
        such a vector's result is unspecified).
    method : {None, "sort"}, optional
        As for ``project_capped_simplex``.

    Returns
    -------
    jax.Array
        The projection, of ``y``'s shape and float type.

    Raises
    ------
    TypeError, ValueError
        As ``tavorin.project_l1_ball`` raises them for the arguments' types
        and shapes, and for a radius that is negative, infinite or NaN
        where its value is known when the call is traced (``radius must be
        finite and >= 0, got -1.0``).
    JaxRuntimeError
        Such a radius under ``jit`` or ``grad``, bad weights, or NaN or
        infinity in ``y``, when the call is computed on the CPU's compiled
        core (naming the vector's batch index); the sort method gives such a
        vector NaN instead.

    See Also
    --------
    tavorin.project_l1_ball : The same projection on NumPy arrays.
    project_capped_simplex : The solver the ball is projected by.

    Notes
    -----
    The projection of ``|y|`` onto ``{z >= 0, sum_j w_j z_j <= radius}``,
    with ``y``'s signs copied back (``-0.0`` included), all in one call of
    the compiled core on the CPU: the bytes of ``tavorin.project_l1_ball``.
    Its derivatives: the identity inside the ball; on its sphere, with
    ``F`` the nonzero elements and ``s = sign(x)``, the equality's with
    ``s_j w_j`` for ``w_j``.

    Examples
    --------
    The first row is shrunk onto the sphere of radius 1, the second lies
    inside its ball of radius 5 and comes back unchanged:

    >>> import jax
    >>> import jax.numpy as jnp
    >>> import numpy as np
    >>> from tavorin.jax import project_l1_ball
    >>> y = jnp.array([[0.9, -0.3, 0.55, 1.6], [0.1, 0.7, -0.8, 0.35]])
    >>> x = jax.jit(lambda y: project_l1_ball(y, jnp.array([1.0, 5.0])))(y)
    >>> np.asarray(x, float).round(4)
    array([[ 0.15, -0.  ,  0.  ,  0.85],
           [ 0.1 ,  0.7 , -0.8 ,  0.35]])
    >>> bool(jnp.all(x[1] == y[1]))
    True

    On the sphere the nonzero elements share the change, with their signs:

    >>> c = jnp.array([2.0, 1.0, 1.0, 1.0])
    >>> g = jax.grad(lambda y: jnp.sum(c * project_l1_ball(y, 1.0)))(y)
    >>> np.asarray(g, float).round(4)
    array([[ 0.5   ,  0.    ,  0.    , -0.5   ],
           [ 0.    ,  0.6667,  1.3333,  0.6667]])
    """
    if not isinstance(check_finite, (bool, np.bool_)):
        raise TypeError(f"check_finite must be True or False, not {type(check_finite).__name__}")
    y, dtype = _floating(y, method)
    axis = vector_axis(y.shape, axis)
    radius = _checked_radius(radius, y, axis)
    moved, _, _, _, w, (_, _, w_kind) = _sets(y, 0.0, 0.0, 0.0, weights, axis)
    form = _Form("none", "none", w_kind, method == "sort", 1, True, bool(check_finite))
    zero = jnp.zeros((), y.dtype)
    x = _project(form, moved, radius, zero, zero, w)
    return jnp.moveaxis(x, -1, axis).astype(dtype)
