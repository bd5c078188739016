"""tavorin.torch: the projection as torch custom operators, on every device.

The forward, its VJP and its JVP are operators of their own (_torch_ops:
torch.ops.tavorin.project, .project_vjp and .project_jvp) with autograd and
vmap rules and shapes for fake tensors, so torch.func.grad, vmap, their
compositions, double backward and torch.compile(fullgraph=True) go through.
On the CPU they run the compiled core on the tensors' memory; elsewhere the
sort method in torch's own operations (_sort_torch).
"""

from __future__ import annotations

import math

import numpy as np
import torch
from torch.autograd import forward_ad as _forward_ad

from . import _simplex, _sort_torch, _torch_ops
from ._api import _raise_nonfinite
from ._derivatives import framework_set, vector_axis
from ._l1 import check_radius
from ._sets import check_real_dtype, check_sense, kind_of, vectors_last

__all__ = ["project_capped_simplex", "project_l1_ball"]


def _real(value, name):
    """``value`` as a tensor, refused as the NumPy function refuses a complex,
    object or string array (checked before torch converts what it is given)."""
    if not isinstance(value, torch.Tensor):
        # Through NumPy, so that a Python float stays a double (torch would round it
        # to its default float32).
        array = np.asarray(value)
        check_real_dtype(array.dtype, name)
        value = torch.as_tensor(array)
    check_real_dtype(value.dtype, name)
    return value


def _as_set(value, name, y, axis):
    """A set (or the weights) per vector (the batch shape) or per element (vectors last)."""
    value = _real(value, name).to(device=y.device, dtype=y.dtype)
    return framework_set(value, name, y.shape, axis, torch.broadcast_to, torch.movedim)


def _weights(weights, y, axis):
    if weights is None:
        return torch.ones((), dtype=y.dtype, device=y.device), "none"
    w, w_kind = _as_set(weights, "weights", y, axis)
    return w.detach(), w_kind


def _sets(y, h, l, u, weights, axis):  # noqa: E741
    """(y's vectors last, h, l, u, w, kinds) as the operators take them."""
    h, _ = _as_set(h, "h", y, axis)
    l, l_kind = _as_set(l, "l", y, axis)  # noqa: E741
    u, u_kind = _as_set(u, "u", y, axis)
    w, w_kind = _weights(weights, y, axis)
    return _last(y, axis), h, l, u, w, f"{l_kind},{u_kind},{w_kind}"


def _last(y, axis):
    """y with ``axis`` moved last (y itself where it is: no view, and no node of autograd)."""
    return y if axis == y.dim() - 1 else y.movedim(axis, -1)


_LEAN_DTYPES = (torch.float64, torch.float32)
_EXACT_INT = 2**53


def _plain_float(value):
    """A Python float (or an int a double holds exactly) as a float, else None."""
    if type(value) is float:
        return value
    if type(value) is int and -_EXACT_INT <= value <= _EXACT_INT:
        return float(value)
    return None


# Looked up once: the short path pays for each attribute it reads.
_SENSES = _torch_ops.SENSES
_FEW = _torch_ops.FEW_ELEMENTS
_is_compiling = torch.compiler.is_compiling
_dispatch_modes = torch._C._len_torch_dispatch_stack
_function_mode = torch._C._is_torch_function_mode_enabled
# torch's own test for the case (private; without it, always the function).
_transforms_active = getattr(torch._C, "_are_functorch_transforms_active", None)


def _dual_level_open():
    """Whether forward-mode AD may be under way (a dual level is open: torch's own
    record of it, private; without it, always), which only Project's rule sees."""
    return getattr(_forward_ad, "_current_level", 0) >= 0


def _leanable(y):
    """Whether a call on ``y`` may skip the operators: a plain CPU tensor of float64 or
    float32, contiguous, outside torch.compile, torch.func's transforms and any
    dispatch or function mode (which would not see the call)."""
    return (
        type(y) is torch.Tensor
        and y.dtype in _LEAN_DTYPES
        and y.is_cpu
        and y.is_contiguous()
        and not _is_compiling()
        and not _functorch_active()
        and not _dual_level_open()
        and not _dispatch_modes()
        and not _function_mode()
    )


def _lean(y, h, l, u, form, check_finite=True):  # noqa: E741
    """The common call (see _leanable, float sets, no weights, the last axis) on the
    compiled core directly: the operator's result and derivatives, without its
    dispatch.  None when y is empty or the set is refused (the full path then
    says why)."""
    shape = y.shape
    if not shape or 0 in shape:
        return None
    if _simplex.first_infeasible(1, shape[-1], h, l, u, None, _SENSES[form]) >= 0:
        return None
    if y.requires_grad:
        if torch.is_grad_enabled():
            return _Lean.apply(y, h, l, u, form, check_finite)
        y = y.detach()
    return _lean_solve(y, h, l, u, form, check_finite)


def _lean_solve(y, h, l, u, form, check_finite):  # noqa: E741
    """The core's projection of y's rows (y contiguous, not requiring grad) into a new
    tensor."""
    # y is contiguous, and so is empty_like's result (the cheapest to make).
    out = torch.empty_like(y) if y.numel() < _FEW else _torch_ops.new_tensor(y)
    rows = y.numpy()
    target = out.numpy()
    if rows.ndim != 2:
        n = rows.shape[-1]
        rows, target = rows.reshape(-1, n), target.reshape(-1, n)
    # The ball: the core reads |y| and gives the result y's signs, as the NumPy
    # function has it.
    signs = 1 if form == "l1" else 0
    bad = _simplex.solve(rows, target, h, l, u, None, check_finite, 1, _SENSES[form], signs)
    if bad >= 0:
        _raise_nonfinite(bad, tuple(y.shape[:-1]))
    return out


class _Lean(torch.autograd.Function):
    """The lean call differentiated in y (its float sets are constants), by the
    operators' VJP: the kernel itself, or the operator when the backward is itself
    differentiated."""

    @staticmethod
    def forward(ctx, y, h, l, u, form, check_finite):  # noqa: E741
        x = _lean_solve(y.detach(), h, l, u, form, check_finite)
        ctx.save_for_backward(x)
        ctx.sets = h, l, u, form
        return x

    @staticmethod
    def backward(ctx, g):
        (x,) = ctx.saved_tensors
        *sets, form = ctx.sets
        if form == "==" and not torch.is_grad_enabled():
            n = x.shape[-1]
            m = x.numel() // n
            gy = _torch_ops.new_tensor(x)
            sinks = np.empty((3, m))  # gh, gl and gu, which the float sets do not take
            rows = (t.numpy().reshape(m, n) for t in (x, g.contiguous(), gy))
            _simplex.vjp(next(rows), next(rows), *sets[1:], None, next(rows), *sinks, 1)
            return gy, None, None, None, None, None
        batch = x.shape[:-1]
        h, l, u = (torch.tensor(v, dtype=x.dtype).expand(batch) for v in sets)  # noqa: E741
        w = torch.ones((), dtype=x.dtype)
        vjp = _torch_ops.project_vjp if torch.is_grad_enabled() else _torch_ops.vjp_cpu
        gy = vjp(g, x, h, l, u, w, "row,row,none", False, form)[0]
        return gy, None, None, None, None, None


def _sortable(y):
    """Whether a call of the sort method on ``y`` may skip the operators: _leanable but
    on any device (not meta, which has no values) and of any layout."""
    return (
        type(y) is torch.Tensor
        and y.dtype in _LEAN_DTYPES
        and not y.is_meta
        and not _is_compiling()
        and not _functorch_active()
        and not _dual_level_open()
        and not _dispatch_modes()
        and not _function_mode()
    )


def _lean_sort(y, h, l, u):  # noqa: E741
    """The common call of the sort method (see _sortable, float sets, no weights, the
    last axis, the equality) without the operators: the operator's kernel on the
    floats themselves, no tensor made of them, and its VJP.  None when y is empty, the
    set refused or not finite, or both bounds infinite (the full path then says why,
    or takes the set)."""
    shape = y.shape
    if not shape or 0 in shape:
        return None
    n = shape[-1]
    if _simplex.first_infeasible(1, n, h, l, u, None, 0) >= 0:
        return None
    form = _sort_torch.shape_of(h, l, u, n)
    if form == "both":
        return None
    # The sum is finite exactly when every element is, or it overflowed: then the
    # full path looks at the elements.
    values = y.detach() if y.requires_grad else y
    if not math.isfinite(values.sum()):
        return None
    if y.requires_grad and torch.is_grad_enabled():
        return _LeanSort.apply(y, h, l, u, form)
    return _sort_torch.project_sorted(values, None, None, None, None, form, (h, l, u))


class _LeanSort(torch.autograd.Function):
    """The lean sort call differentiated in y (its float sets are constants), by the sort
    method's VJP, or the operator's when the backward is itself differentiated."""

    @staticmethod
    def forward(ctx, y, h, l, u, form):  # noqa: E741
        x = _sort_torch.project_sorted(y, None, None, None, None, form, (h, l, u))
        ctx.save_for_backward(x)
        ctx.sets = h, l, u
        return x

    @staticmethod
    def backward(ctx, g):
        (x,) = ctx.saved_tensors
        if not torch.is_grad_enabled():
            _, l, u = ctx.sets  # noqa: E741
            return _sort_torch.vjp(g, x, l, u, None, only_y=True), None, None, None, None
        batch = x.shape[:-1]
        h, l, u = (  # noqa: E741
            torch.full((), v, dtype=x.dtype, device=x.device).expand(batch) for v in ctx.sets
        )
        w = torch.ones((), dtype=x.dtype, device=x.device)
        gy = _torch_ops.project_vjp(g, x, h, l, u, w, "row,row,none", True, "==")[0]
        return gy, None, None, None, None


def _functorch_active():
    return _transforms_active is None or _transforms_active()


# Computed in float32 (sums in float64) and rounded once to their own dtype.
_HALF = (torch.float16, torch.bfloat16)
_METHODS = (None, "sort")


def project_capped_simplex(y, h, l, u, *, weights=None, axis=-1, sense="==", method=None):  # noqa: E741
    """Project the vectors of ``y`` along ``axis`` onto ``{x : l <= x <= u, sum_j w_j x_j = h}``.

    The exact projection of ``tavorin.project_capped_simplex`` on tensors of
    float64, float32, float16 or bfloat16 on any device, differentiable in
    ``y``, ``h``, ``l`` and ``u`` (whichever require grad; the weights are
    constants), and usable under ``torch.func.grad``, ``vmap``, ``jacrev``,
    forward-mode AD (``torch.func.jvp`` and dual tensors) and
    ``torch.compile(fullgraph=True)``.  The result has ``y``'s dtype;
    float16 and bfloat16 are computed in float32 and rounded once.

    Parameters
    ----------
    y : torch.Tensor
        Real numbers on any device (integers become the default float
        type); every axis but ``axis`` is a batch axis.
    h, l, u : float or torch.Tensor
        The sum and the bounds, as ``tavorin.project_capped_simplex`` takes
        them: scalars, one value per vector (broadcastable to the batch
        shape, or in the shape ``keepdims=True`` gives), or for the bounds
        one per element, with ``y``'s number of dimensions.  Derivatives
        flow to each.
    weights : float or torch.Tensor, optional
        Positive, finite weights, given as ``l`` and ``u`` are; constants
        (no derivative is taken for them).
    axis : int, optional
        The axis the vectors lie along.
    sense : {"==", "<=", ">="}, optional
        The sum's relation to ``h``, as for ``tavorin.project_capped_simplex``:
        with ``"<="`` (``">="``) a vector whose clip to ``[l, u]`` already
        sums to at most (at least) ``h`` is its clip, with the clip's
        derivatives; any other gets the equality's projection.
    method : {None, "sort"}, optional
        None (the default) runs the compiled core on CPU tensors and
        ``"sort"`` on every other device; ``"sort"`` asks for the sort
        method (torch operations: sort the breakpoints, locate the root's
        piece, sum in float64, or float32 on a device without float64) on
        the CPU too.

    Returns
    -------
    torch.Tensor
        The projection, of ``y``'s shape and float type.

    Raises
    ------
    TypeError
        Complex, object or string input, ``y`` or a set, checked before
        torch converts it (``y must be an array of real numbers, not
        complex64``).
    ValueError
        A set whose shape fits neither one value per vector nor one per
        element, with the NumPy-style function's messages (``h of shape (3,)
        does not broadcast to the batch shape (2,)``); a scalar set that is
        empty or ill defined (``l must not exceed u, got l=0.7, u=0.6``);
        ``numpy.exceptions.AxisError`` for an axis out of range.
        An infeasible set given as a tensor, or NaN or infinity in ``y``:
        the NumPy-style message naming the vector's batch index, on every
        device (off the CPU the check waits for the device: a host sync a
        call).

    See Also
    --------
    tavorin.project_capped_simplex : The same projection on NumPy arrays.
    tavorin.project_capped_simplex_vjp : The cotangents it is differentiated with.

    Notes
    -----
    Custom operators in the ``tavorin`` namespace (``torch.library``), with
    fake kernels for meta tensors and ``torch.compile``, autograd and
    ``vmap`` rules.  The backward is the VJP, itself differentiable (its
    derivative is the JVP), so double backward works too.  Forward
    results have the bytes of ``tavorin.project_capped_simplex``.  At a tie
    (an element exactly at a bound) the element counts as clipped; a vector
    without free elements has a zero Jacobian in ``y`` and ``h``.  A result
    (or gradient) of the compiled core of a megabyte or more lives in memory
    NumPy allocated, which torch cannot resize in place (``resize_``).

    Examples
    --------
    >>> import torch
    >>> from tavorin.torch import project_capped_simplex
    >>> y = torch.tensor([[0.9, -0.3, 0.55, 1.6], [0.1, 0.7, -0.8, 0.35]], requires_grad=True)
    >>> h = torch.tensor(1.0, requires_grad=True)
    >>> x = project_capped_simplex(y, h, 0.0, 0.6)
    >>> x.detach().round(decimals=4)
    tensor([[0.3750, 0.0000, 0.0250, 0.6000],
            [0.0750, 0.6000, 0.0000, 0.3250]])
    >>> (x * torch.tensor([2.0, 1.0, 1.0, 1.0])).sum().backward()
    >>> y.grad
    tensor([[ 0.5000,  0.0000, -0.5000,  0.0000],
            [ 0.5000,  0.0000,  0.0000, -0.5000]])
    >>> h.grad
    tensor(3.)
    """
    if (
        weights is None
        and type(axis) is int
        and axis == -1
        and (
            method is None
            and sense in _torch_ops.SENSES
            and sense != "l1"
            and _leanable(y)
            or method == "sort"
            and sense == "=="
            and _sortable(y)
        )
    ):
        sets = h, l, u
        if not (type(h) is float and type(l) is float and type(u) is float):
            sets = _plain_float(h), _plain_float(l), _plain_float(u)
        if None not in sets:
            x = _lean(y, *sets, sense) if method is None else _lean_sort(y, *sets)
            if x is not None:
                return x
    if method not in _METHODS:
        raise ValueError(f"method must be None or 'sort', not {method!r}")
    check_sense(sense)
    y, dtype = _floats(y)
    axis = vector_axis(y.shape, axis)
    y, h, l, u, w, kinds = _sets(y, h, l, u, weights, axis)  # noqa: E741
    return _project(y, h, l, u, w, kinds, method, sense, axis, dtype)


def _floats(y):
    """``y`` as a tensor of float32 or float64 (half precision computed in float32),
    and the dtype of the result."""
    y = _real(y, "y")
    if not y.is_floating_point():
        y = y.to(torch.get_default_dtype())
    dtype = y.dtype
    if dtype in _HALF:
        y = y.to(torch.float32)
    elif dtype not in (torch.float32, torch.float64):
        raise TypeError(
            f"tavorin.torch projects float64, float32, float16 and bfloat16 tensors, not {dtype}"
        )
    return y, dtype


def _project(y, h, l, u, w, kinds, method, form, axis, dtype, check_finite=True):  # noqa: E741
    # The operator with its registered autograd, as PyTorch advises for
    # torch.compile; torch.func's transforms and forward-mode AD's dual tensors
    # take only the autograd.Function (the operator's autograd has no forward rule).
    if torch.compiler.is_compiling() or not (_functorch_active() or _dual_level_open()):
        x = _torch_ops.project(y, h, l, u, w, kinds, method == "sort", form, check_finite)
    else:
        x = _torch_ops.Project.apply(y, h, l, u, w, kinds, method == "sort", form, check_finite)
    if axis != x.dim() - 1:
        x = x.movedim(-1, axis)
    return x if x.dtype == dtype else x.to(dtype)


def _check_finite_flag(value):
    if type(value) is bool:
        return value
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"check_finite must be True or False, not {type(value).__name__}")
    return bool(value)


def project_l1_ball(y, radius, *, weights=None, axis=-1, check_finite=True, method=None):
    """Project the vectors of ``y`` along ``axis`` onto ``{x : sum_j w_j |x_j| <= radius}``.

    The projection of ``tavorin.project_l1_ball`` on tensors of float64,
    float32, float16 or bfloat16 on any device, differentiable in ``y`` and
    ``radius``, with the same operators, transforms and methods as
    ``project_capped_simplex``: a vector inside the ball comes back with its
    own bytes, any other as ``sign(y) * max(|y| - tau*w, 0)``.

    Parameters
    ----------
    y : torch.Tensor
        Real numbers on any device; every axis but ``axis`` is a batch axis.
    radius : float or torch.Tensor
        A scalar or one value per vector (as ``h`` is given to
        ``project_capped_simplex``), finite and ``>= 0``.
    weights, axis, method :
        As for ``project_capped_simplex``.
    check_finite : bool, optional
        Whether NaN or infinity in ``y`` is refused (the default), as
        ``tavorin.project_l1_ball`` refuses it.  False skips the check (and
        off the CPU its host sync): such a vector's result is unspecified,
        on the CPU the one ``tavorin.project_l1_ball(...,
        check_finite=False)`` gives.

    Returns
    -------
    torch.Tensor
        The projection, of ``y``'s shape and float type.

    Raises
    ------
    TypeError, ValueError
        As ``project_capped_simplex`` raises them (NaN or infinity in ``y``
        only with ``check_finite``), a ``check_finite`` that is not a bool,
        and a radius that is not finite and ``>= 0`` (``radius must be
        finite and >= 0, got -1.0``, with the vector's batch index for one
        radius per vector).

    See Also
    --------
    tavorin.project_l1_ball : The same projection on NumPy arrays.
    tavorin.project_l1_ball_vjp : The cotangents it is differentiated with.

    Examples
    --------
    >>> import torch
    >>> from tavorin.torch import project_l1_ball
    >>> y = torch.tensor([[0.9, -0.3, 0.55, 1.6], [0.1, 0.7, -0.8, 0.35]], requires_grad=True)
    >>> x = project_l1_ball(y, torch.tensor([1.0, 5.0]))
    >>> x.detach()
    tensor([[ 0.1500, -0.0000,  0.0000,  0.8500],
            [ 0.1000,  0.7000, -0.8000,  0.3500]])
    >>> x[:, 0].sum().backward()
    >>> y.grad
    tensor([[ 0.5000,  0.0000,  0.0000, -0.5000],
            [ 1.0000,  0.0000,  0.0000,  0.0000]])
    """
    check_finite = _check_finite_flag(check_finite)
    radius_float = _plain_float(radius)
    if (
        method is None
        and weights is None
        and type(axis) is int
        and axis == -1
        and radius_float is not None
        and math.isfinite(radius_float)
        and radius_float >= 0
        and _leanable(y)
    ):
        x = _lean(y, radius_float, 0.0, math.inf, "l1", check_finite)
        if x is not None:
            return x
    if method not in _METHODS:
        raise ValueError(f"method must be None or 'sort', not {method!r}")
    y, dtype = _floats(y)
    axis = vector_axis(y.shape, axis)
    if isinstance(radius, (int, float)) and not isinstance(radius, bool):
        check_radius(float(radius), y.shape, axis)
    radius = _real(radius, "radius").to(device=y.device, dtype=y.dtype)
    kind = kind_of("radius", radius.shape, y.shape, axis, per_element=False)
    radius = vectors_last(radius, kind, y.shape, axis, torch.broadcast_to, torch.movedim)
    w, w_kind = _weights(weights, y, axis)
    zero = torch.zeros((), dtype=y.dtype, device=y.device).expand(radius.shape)
    bounds = zero, torch.full((), torch.inf, dtype=y.dtype, device=y.device).expand(radius.shape)
    y = _last(y, axis)
    kinds = f"row,row,{w_kind}"
    return _project(y, radius, *bounds, w, kinds, method, "l1", axis, dtype, check_finite)
