"""tavorin.torch: the projection as torch custom operators, on every device.

The forward, its VJP and its JVP are operators of their own (_torch_ops:
torch.ops.tavorin.project, .project_vjp and .project_jvp) with autograd and
vmap rules and shapes for fake tensors, so torch.func.grad, vmap, their
compositions, double backward and torch.compile(fullgraph=True) go through.
On the CPU they run the compiled core on the tensors' memory; elsewhere the
sort method in torch's own operations (_sort_torch).
"""

from __future__ import annotations

import numpy as np
import torch

from . import _torch_ops
from ._derivatives import framework_set, vector_axis
from ._sets import check_real_dtype

__all__ = ["project_capped_simplex"]


def _real(value, name):
    """``value`` as a tensor, refused as the NumPy function refuses a complex,
    object or string array (checked before torch converts what it is given)."""
    if not isinstance(value, torch.Tensor):
        check_real_dtype(np.asarray(value).dtype, name)
    value = torch.as_tensor(value)
    check_real_dtype(value.dtype, name)
    return value


def _as_set(value, name, y, axis):
    """A set (or the weights) per vector (the batch shape) or per element (vectors last)."""
    value = _real(value, name).to(device=y.device, dtype=y.dtype)
    return framework_set(value, name, y.shape, axis, torch.broadcast_to, torch.movedim)


def _sets(y, h, l, u, weights, axis):  # noqa: E741
    """(y's vectors last, h, l, u, w, kinds) as the operators take them."""
    h, _ = _as_set(h, "h", y, axis)
    l, l_kind = _as_set(l, "l", y, axis)  # noqa: E741
    u, u_kind = _as_set(u, "u", y, axis)
    if weights is None:
        w, w_kind = torch.ones((), dtype=y.dtype, device=y.device), "none"
    else:
        w, w_kind = _as_set(weights, "weights", y, axis)
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

    ``h``, ``l``, ``u`` and ``weights`` are given as
    ``tavorin.project_capped_simplex`` takes them (one value per vector:
    broadcastable to the batch shape, or in the shape ``keepdims=True`` gives;
    for the bounds and weights also one per element, with ``y``'s number of
    dimensions), with its exceptions, all in ``y``'s dtype.  At a tie
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
    axis = vector_axis(y.shape, axis)
    y, h, l, u, w, kinds = _sets(y, h, l, u, weights, axis)  # noqa: E741
    # The operator with its registered autograd, as PyTorch advises for
    # torch.compile; torch.func's transforms take only the autograd.Function.
    if torch.compiler.is_compiling() or not _functorch_active():
        x = _torch_ops.project(y, h, l, u, w, kinds, method == "sort")
    else:
        x = _torch_ops.Project.apply(y, h, l, u, w, kinds, method == "sort")
    return x.movedim(-1, axis).to(dtype)
