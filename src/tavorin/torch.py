"""tavorin.torch: the projection as a torch.autograd.Function on CPU tensors.

The forward runs the compiled projection on the tensors' memory; the backward
runs the compiled VJP.  Both are functions of their own with vmap rules, so
torch.func.grad, vmap and their compositions go through, and the backward is
itself differentiable (its derivative is the JVP), so double backward works.
"""

from __future__ import annotations

import numpy as np
import torch

from ._derivatives import framework_set, jvp_vectors, project_vectors, vector_axis, vjp_vectors
from ._sets import check_real_dtype

__all__ = ["project_capped_simplex"]


def _host(tensor):
    if tensor.device.type != "cpu":
        raise ValueError(f"tavorin.torch works on CPU tensors, not {tensor.device.type} ones")
    return tensor.detach().numpy()


def _tensor(array, like):
    return torch.from_numpy(np.ascontiguousarray(array, dtype=_host(like).dtype))


def _batched(info, in_dims, args):
    """Every tensor with the vmapped dimension first, unbatched ones expanded to it."""
    out = []
    for arg, dim in zip(args, in_dims):
        if dim is None:
            out.append(arg.expand((info.batch_size,) + arg.shape))
        else:
            out.append(arg.movedim(dim, 0))
    return out


class _Project(torch.autograd.Function):
    """x = projection of y's last axis; h per vector, l, u and w per vector or per element."""

    @staticmethod
    def forward(y, h, l, u, w, kinds):  # noqa: E741
        return _tensor(project_vectors(kinds, *(_host(a) for a in (y, h, l, u, w))), y)

    @staticmethod
    def setup_context(ctx, inputs, output):
        _, h, l, u, w, kinds = inputs  # noqa: E741
        ctx.kinds = kinds
        ctx.save_for_backward(output, h, l, u, w)

    @staticmethod
    def backward(ctx, g):
        x, h, l, u, w = ctx.saved_tensors  # noqa: E741
        gy, gh, gl, gu = _ProjectVjp.apply(g, x, h, l, u, w, ctx.kinds)
        wanted = ctx.needs_input_grad
        return (
            gy if wanted[0] else None,
            gh if wanted[1] else None,
            gl if wanted[2] else None,
            gu if wanted[3] else None,
            None,
            None,
        )

    @staticmethod
    def vmap(info, in_dims, y, h, l, u, w, kinds):  # noqa: E741
        if kinds[2] == "none":
            in_dims = in_dims[:4] + (0,)
            w = w.expand((info.batch_size,) + w.shape)
        return _Project.apply(*_batched(info, in_dims[:5], (y, h, l, u, w)), kinds), 0


class _ProjectVjp(torch.autograd.Function):
    """(gy, gh, gl, gu) = J^T g at the projection x.  Linear in g; J^T's transpose is the JVP."""

    @staticmethod
    def forward(g, x, h, l, u, w, kinds):  # noqa: E741
        hosts = [_host(a) for a in (x, g, h, l, u, w)]
        results = vjp_vectors(kinds, *hosts)
        return tuple(_tensor(r, x) for r in results)

    @staticmethod
    def setup_context(ctx, inputs, output):
        _, x, h, l, u, w, kinds = inputs  # noqa: E741
        ctx.kinds = kinds
        ctx.save_for_backward(x, l, u, w)

    @staticmethod
    def backward(ctx, dgy, dgh, dgl, dgu):
        x, l, u, w = ctx.saved_tensors  # noqa: E741
        hosts = [_host(a) for a in (x, dgy, dgh, dgl, dgu, l, u, w)]
        # The masks are piecewise constant: x, the bounds and w get no gradient.
        return _tensor(jvp_vectors(ctx.kinds, *hosts), x), None, None, None, None, None, None

    @staticmethod
    def vmap(info, in_dims, g, x, h, l, u, w, kinds):  # noqa: E741
        if kinds[2] == "none":
            in_dims = in_dims[:5] + (0,)
            w = w.expand((info.batch_size,) + w.shape)
        args = _batched(info, in_dims[:6], (g, x, h, l, u, w))
        return _ProjectVjp.apply(*args, kinds), (0, 0, 0, 0)


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
    value = _real(value, name).to(y.dtype)
    return framework_set(value, name, y.shape, axis, torch.broadcast_to, torch.movedim)


def project_capped_simplex(y, h, l, u, *, weights=None, axis=-1):  # noqa: E741
    """Project the vectors of ``y`` along ``axis`` onto ``{x : l <= x <= u, sum_j w_j x_j = h}``.

    The exact projection of ``tavorin.project_capped_simplex`` on CPU
    tensors of float32 or float64, differentiable in ``y``, ``h``, ``l`` and
    ``u`` (whichever require grad), and usable under ``torch.func.grad``,
    ``vmap`` and ``jacrev``.

    Parameters
    ----------
    y : torch.Tensor
        Real numbers on the CPU (integers become the default float type);
        every axis but ``axis`` is a batch axis.
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
        the NumPy-style message naming the vector's batch index.

    See Also
    --------
    tavorin.project_capped_simplex : The same projection on NumPy arrays.
    tavorin.project_capped_simplex_vjp : The cotangents it is differentiated with.

    Notes
    -----
    A ``torch.autograd.Function`` with ``setup_context`` and a ``vmap``
    rule.  Its backward is the compiled VJP, itself differentiable (its
    derivative is the compiled JVP), so double backward works too.  Forward
    results have the bytes of ``tavorin.project_capped_simplex``.  At a tie
    (an element exactly at a bound) the element counts as clipped; a vector
    without free elements has a zero Jacobian in ``y`` and ``h``.

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
    y = _real(y, "y")
    if not y.is_floating_point():
        y = y.to(torch.get_default_dtype())
    axis = vector_axis(y.shape, axis)
    h, _ = _as_set(h, "h", y, axis)
    l, l_kind = _as_set(l, "l", y, axis)  # noqa: E741
    u, u_kind = _as_set(u, "u", y, axis)
    if weights is None:
        w, w_kind = torch.ones((), dtype=y.dtype), "none"
    else:
        w, w_kind = _as_set(weights, "weights", y, axis)
        w = w.detach()
    x = _Project.apply(y.movedim(axis, -1), h, l, u, w, (l_kind, u_kind, w_kind))
    return x.movedim(-1, axis)
