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

import jax
import jax.custom_batching
import jax.numpy as jnp
import numpy as np
from jax.custom_derivatives import SymbolicZero

from . import _simplex
from . import _sort_jax as sorted_
from ._derivatives import framework_set, project_vectors, vector_axis
from ._sets import check_real_dtype

__all__ = ["project_capped_simplex"]

# pure_callback learned vmap_method in jax 0.4.35 (before it, vectorized=True
# did the same and vmap_method is refused); from jax 0.12, vmap without
# vmap_method raises.
_HAS_VMAP_METHOD = "vmap_method" in inspect.signature(jax.pure_callback).parameters

# The foreign function's name in XLA's registry (one per process) and the code
# of each way l, u and w can be given (two bits each in its `kinds`).
_TARGET = "tavorin_project_capped_simplex"
_KIND_CODES = {"none": 0, "row": 1, "element": 2}


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


def _unpacked(kinds, y, rows, *elements):
    """project_vectors on the host for the arguments _host_call packs."""
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
        else:
            values[name] = None
    return project_vectors(kinds, y, values["h"], values["l"], values["u"], values["w"])


def _host_call(kinds, y, h, l, u, w, with_weight=False):  # noqa: E741
    """x, or (x, k) with k each vector's sum of w_j**2 over its free elements."""
    kinds, sort = kinds[:3], kinds[3] == "sort"

    def device(*_):
        spread = [jnp.broadcast_to(_spread(v, k), y.shape) for v, k in zip((l, u, w), kinds)]
        x = sorted_.project_sorted(y, h, *spread)
        return (x, _free_weight(kinds, x, l, u, w)) if with_weight else x

    if sort:
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
        x = _callback(kinds, *args)
        return (x, _free_weight(kinds, x, l, u, w)) if with_weight else x

    cpu = functools.partial(_foreign_call, kinds, with_weight) if _HAS_FFI else host
    return jax.lax.platform_dependent(*args, cpu=cpu, default=device)


def _foreign_call(kinds, with_weight, y, *rest):
    code = sum(_KIND_CODES[kind] << (2 * i) for i, kind in enumerate(kinds))
    results = jax.ShapeDtypeStruct(y.shape, y.dtype)
    if with_weight:
        results = (results, jax.ShapeDtypeStruct(y.shape[:-1], y.dtype))
    # Arguments left out of a vmap are broadcast along its axes for the
    # handler, which takes every buffer with y's leading dimensions.
    call = jax.ffi.ffi_call(_TARGET, results, vmap_method="broadcast_all")
    return call(y, *rest, kinds=np.int32(code))


def _callback(kinds, *args):
    y = args[0]
    if _HAS_VMAP_METHOD:
        # Unbatched arguments gain axes of size 1, which the host broadcasts.
        result = jax.ShapeDtypeStruct(y.shape, y.dtype)
        callback = functools.partial(_unpacked, kinds)
        return jax.pure_callback(callback, result, *args, vmap_method="expand_dims")
    return _legacy_host_call(kinds)(*args)


@functools.lru_cache(maxsize=None)
def _legacy_host_call(kinds):
    """The host call for jax before 0.4.35, batched by a rule of our own.

    There vectorized=True hands unbatched arguments over without the vmapped
    axis, which nested vmaps batching different arguments make ambiguous;
    this rule gives every argument the axis first."""

    @jax.custom_batching.custom_vmap
    def call(y, *rest):
        result = jax.ShapeDtypeStruct(y.shape, y.dtype)
        return jax.pure_callback(functools.partial(_unpacked, kinds), result, y, *rest)

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


def _places(kinds, x, l, u):  # noqa: E741
    """Which elements are free, and which are at l (l == u counts as at l)."""
    lb = _spread(l, kinds[0])
    return (lb < x) & (x < _spread(u, kinds[1])), x == lb


def _free_weight(kinds, x, l, u, w):  # noqa: E741
    free, _ = _places(kinds, x, l, u)
    if kinds[2] == "none":
        return jnp.sum(free, axis=-1, dtype=x.dtype)
    wb = _spread(w, kinds[2])
    return jnp.sum(jnp.where(free, wb * wb, jnp.zeros((), x.dtype)), axis=-1)


def _tangent(kinds, x, k, primals, tangents):
    """dx for the tangents of (y, h, l, u) at x = the projection, with k its free weights."""
    _, h, l, u, w = primals  # noqa: E741
    dy, dh, dl, du, _ = tangents  # the weights are constants
    l_kind, u_kind, w_kind = kinds[:3]
    free, at_l = _places(kinds, x, l, u)
    zero = jnp.zeros((), x.dtype)
    # Tangents known to be zero (inputs not differentiated) are left out:
    # under grad every term costs a pass over the batch.
    given = lambda t: not isinstance(t, SymbolicZero)  # noqa: E731
    if w_kind == "none":
        weighted = lambda v: v  # noqa: E731
    else:
        wb = _spread(w, w_kind)
        weighted = lambda v: wb * v  # noqa: E731
    # dx on the clipped elements: the tangent of the bound each one is at.
    dl = _spread(dl, l_kind) if given(dl) else None
    du = _spread(du, u_kind) if given(du) else None
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
    # Without free elements nothing moves the shift.
    has_free = k > 0
    dtau = jnp.where(has_free, num / jnp.where(has_free, k, 1), zero)
    moved = -weighted(dtau[..., None])
    if given(dy):
        moved = dy + moved
    dx = jnp.where(free, moved, zero if at_bound is None else at_bound)
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


def project_capped_simplex(y, h, l, u, *, weights=None, axis=-1, method=None):  # noqa: E741
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
        empty or ill defined (``l must not exceed u, got l=0.7, u=0.6``);
        ``numpy.exceptions.AxisError`` for an axis out of range.
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
    >>> from tavorin.jax import project_capped_simplex
    >>> y = jnp.array([[0.9, -0.3, 0.55, 1.6], [0.1, 0.7, -0.8, 0.35]])
    >>> x = jax.jit(lambda y: project_capped_simplex(y, 1.0, 0.0, 0.6))(y)
    >>> jnp.round(x, 4)
    Array([[0.375, 0.   , 0.025, 0.6  ],
           [0.075, 0.6  , 0.   , 0.325]], dtype=float32)

    The gradient of ``sum(c * x)``: the free elements share the change,
    so that the sum stays ``h``:

    >>> c = jnp.array([2.0, 1.0, 1.0, 1.0])
    >>> jax.grad(lambda y: jnp.sum(c * project_capped_simplex(y, 1.0, 0.0, 0.6)))(y)
    Array([[ 0.5,  0. , -0.5,  0. ],
           [ 0.5,  0. ,  0. , -0.5]], dtype=float32)
    """
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
    axis = vector_axis(y.shape, axis)
    moved, h, l, u, w, kinds = _sets(y, h, l, u, weights, axis)  # noqa: E741
    x = _project(kinds + ("sort" if method == "sort" else "auto",), moved, h, l, u, w)
    return jnp.moveaxis(x, -1, axis).astype(dtype)
