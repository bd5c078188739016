"""tavorin.torch: the projection as torch custom operators, on every device.

The forward, its VJP and its JVP are operators of their own (_torch_ops:
torch.ops.tavorin.project, .project_vjp and .project_jvp) with autograd and
vmap rules and shapes for fake tensors, so torch.func.grad, vmap, their
compositions, double backward and torch.compile(fullgraph=True) go through.
On the CPU they run the compiled core on the tensors' memory; elsewhere the
sort method in torch's own operations (_sort_torch).
"""

from __future__ import annotations

import torch

from . import _torch_ops
from ._derivatives import vector_axis

__all__ = ["project_capped_simplex"]


def _as_bound(value, name, y, axis, batch_shape):
    """A bound (or the weights) as per vector (batch shape) or per element (vectors last)."""
    value = torch.as_tensor(value, dtype=y.dtype, device=y.device)
    if value.dim() == 0:
        return value.expand(batch_shape), "row"
    try:
        per_row = torch.broadcast_shapes(value.shape, batch_shape) == batch_shape
    except RuntimeError:
        per_row = False
    if per_row:
        return value.broadcast_to(batch_shape), "row"
    try:
        full = value.broadcast_to(y.shape)
    except RuntimeError:
        raise ValueError(
            f"{name} of shape {tuple(value.shape)} broadcasts neither to the batch shape "
            f"{tuple(batch_shape)} nor to y's shape {tuple(y.shape)}"
        ) from None
    return full.movedim(axis, -1), "element"


def _sets(y, h, l, u, weights, axis):  # noqa: E741
    """(y's vectors last, h, l, u, w, kinds) as the operators take them."""
    batch_shape = y.shape[:axis] + y.shape[axis + 1 :]
    h = torch.as_tensor(h, dtype=y.dtype, device=y.device).broadcast_to(batch_shape)
    l, l_kind = _as_bound(l, "l", y, axis, batch_shape)  # noqa: E741
    u, u_kind = _as_bound(u, "u", y, axis, batch_shape)
    if weights is None:
        w, w_kind = torch.ones((), dtype=y.dtype, device=y.device), "none"
    else:
        w, w_kind = _as_bound(weights, "weights", y, axis, batch_shape)
        w = w.detach()
    return y.movedim(axis, -1), h, l, u, w, f"{l_kind},{u_kind},{w_kind}"


def _functorch_active():
    # torch's own test for the case (private; without it, always the function).
    active = getattr(torch._C, "_are_functorch_transforms_active", None)
    return active is None or active()


# Computed in float32 (sums in float64) and rounded once to their own dtype.
_HALF = (torch.float16, torch.bfloat16)
_METHODS = (None, "sort")


def project_capped_simplex(y, h, l, u, *, weights=None, axis=-1, method=None):  # noqa: E741
    """Project the vectors of ``y`` along ``axis`` onto ``{x : l <= x <= u, sum_j w_j x_j = h}``.

    The exact projection of ``tavorin.project_capped_simplex`` on tensors of
    float64, float32, float16 or bfloat16 on any device, differentiable in
    ``y``, ``h``, ``l`` and ``u`` (whichever require grad; the weights are
    constants), and usable under ``torch.func.grad``, ``vmap``, ``jacrev``
    and ``torch.compile(fullgraph=True)``.  The result has ``y``'s dtype;
    float16 and bfloat16 are computed in float32 and rounded once.

    ``h`` broadcasts to the batch shape (``y``'s shape without ``axis``);
    ``l``, ``u`` and ``weights`` to the batch shape (one value per vector) or
    else to ``y``'s shape (one per element), all in ``y``'s dtype.  At a tie
    (an element exactly at a bound) the element counts as clipped; a vector
    without free elements has a zero Jacobian in ``y`` and ``h``.

    ``method``: None (the default) runs the compiled core on CPU tensors and
    ``"sort"`` on every other device; ``"sort"`` asks for the sort method
    (torch operations: sort the breakpoints, locate the root's piece, sum
    in float64, or float32 on a device without float64) on the CPU too.
    Infeasible sets and NaN or infinity in ``y`` raise ValueError on every
    device; off the CPU the check waits for the device (a host sync a call).
    """
    if method not in _METHODS:
        raise ValueError(f"method must be None or 'sort', not {method!r}")
    y = torch.as_tensor(y)
    if y.is_complex():
        raise TypeError(f"y must be a tensor of real numbers, not {y.dtype}")
    if not y.is_floating_point():
        y = y.to(torch.get_default_dtype())
    dtype = y.dtype
    if dtype in _HALF:
        y = y.to(torch.float32)
    elif dtype not in (torch.float32, torch.float64):
        raise TypeError(
            f"tavorin.torch projects float64, float32, float16 and bfloat16 tensors, not {dtype}"
        )
    axis = vector_axis(y.shape, axis, "tensor")
    y, h, l, u, w, kinds = _sets(y, h, l, u, weights, axis)  # noqa: E741
    # The operator with its registered autograd, as PyTorch advises for
    # torch.compile; torch.func's transforms take only the autograd.Function.
    if torch.compiler.is_compiling() or not _functorch_active():
        x = _torch_ops.project(y, h, l, u, w, kinds, method == "sort")
    else:
        x = _torch_ops.Project.apply(y, h, l, u, w, kinds, method == "sort")
    return x.movedim(-1, axis).to(dtype)
