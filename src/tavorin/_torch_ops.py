"""The projection, its VJP and its JVP as torch custom operators (torch.ops.tavorin).

Each takes y (or x) as (..., n), h and the per-vector operands as (...), and
the per-element ones as (..., n), all of one float dtype and device; `kinds`
says how l, u and w come ("row", "element"; "none" for w: no weights, w a
0-d one).  On the CPU the kernels run the compiled core on the tensors'
memory; on every other device (and on the CPU with `sort`) they are torch
operations (_sort_torch).  register_fake gives meta and fake tensors their
results' shapes, so torch.compile traces through without running anything.
"""

import math

import numpy as np
import torch

from . import _simplex
from . import _sort_torch as sorted_
from ._api import _raise_nonfinite
from ._sets import raise_infeasible as _raise_infeasible

_LIBRARY = "tavorin"


def _spread(value, kind, like):
    """A per-vector, per-element or absent operand as (..., n) like ``like``."""
    if kind == "row":
        return value[..., None].expand(like.shape)
    return value.expand(like.shape)


def _host(value, kind, m, n):
    """An operand for the compiled core: one float (a value broadcast to every element),
    m float64 values, or (m, n) rows of its own dtype."""
    if kind == "none":
        return None
    host = value.detach().numpy()
    if not any(host.strides):
        return host.item(0)
    if kind == "row":
        return np.ascontiguousarray(host, dtype=np.float64).reshape(m)
    return np.ascontiguousarray(host).reshape(m, n)


def _rows(tensor, m, n):
    return tensor.detach().contiguous().reshape(m, n).numpy()


def _kinds(kinds):
    return tuple(kinds.split(","))


@torch.library.custom_op(f"{_LIBRARY}::project", mutates_args=())
def project(
    y: torch.Tensor,
    h: torch.Tensor,
    l: torch.Tensor,  # noqa: E741
    u: torch.Tensor,
    w: torch.Tensor,
    kinds: str,
    sort: bool,
) -> torch.Tensor:
    """The projection of y's last axis, with torch operations (the device-generic kernel)."""
    return _project_sorted(y, h, l, u, w, kinds)


def _project_sorted(y, h, l, u, w, kinds):  # noqa: E741
    l_kind, u_kind, w_kind = _kinds(kinds)
    spread = [_spread(v, k, y) for v, k in ((l, l_kind), (u, u_kind), (w, w_kind))]
    weighted = w_kind != "none"
    sorted_.refuse(y, h, *spread, weighted=weighted)
    return sorted_.project_sorted(y, h, *spread[:2], spread[2] if weighted else None).contiguous()


@project.register_kernel("cpu")
def _project_cpu(y, h, l, u, w, kinds, sort):  # noqa: E741
    if sort:
        return _project_sorted(y, h, l, u, w, kinds)
    l_kind, u_kind, w_kind = _kinds(kinds)
    batch, n = y.shape[:-1], y.shape[-1]
    m = math.prod(batch)
    out = torch.empty(y.shape, dtype=y.dtype)
    if m == 0:
        return out
    hv = _host(h, "row", m, n)
    lv, uv, wv = (_host(v, k, m, n) for v, k in ((l, l_kind), (u, u_kind), (w, w_kind)))
    bad = _simplex.first_infeasible(m, n, hv, lv, uv, wv)
    if bad >= 0:
        _raise_infeasible(bad, batch, n, hv, lv, uv, wv)
    bad = _simplex.solve(_rows(y, m, n), out.view(m, n).numpy(), hv, lv, uv, wv, True, 1)
    if bad >= 0:
        _raise_nonfinite(bad, batch)
    return out


@project.register_fake
def _project_fake(y, h, l, u, w, kinds, sort):  # noqa: E741
    return y.new_empty(y.shape)


@torch.library.custom_op(f"{_LIBRARY}::project_vjp", mutates_args=())
def project_vjp(
    g: torch.Tensor,
    x: torch.Tensor,
    h: torch.Tensor,
    l: torch.Tensor,  # noqa: E741
    u: torch.Tensor,
    w: torch.Tensor,
    kinds: str,
    sort: bool,
) -> tuple[torch.Tensor, torch.Tensor, torch.Tensor, torch.Tensor]:
    """(gy, gh, gl, gu) = J^T g at the projection x, each of its input's shape."""
    return _vjp_sorted(g, x, h, l, u, w, kinds)


def _vjp_sorted(g, x, h, l, u, w, kinds):  # noqa: E741
    l_kind, u_kind, w_kind = _kinds(kinds)
    spread = [_spread(v, k, x) for v, k in ((l, l_kind), (u, u_kind), (w, w_kind))]
    gy, gh, gl, gu = sorted_.vjp(g.expand(x.shape), x, *spread)
    gl, gu = (t.sum(-1) if k == "row" else t for t, k in ((gl, l_kind), (gu, u_kind)))
    return gy.contiguous(), gh.contiguous(), gl.contiguous(), gu.contiguous()


@project_vjp.register_kernel("cpu")
def _project_vjp_cpu(g, x, h, l, u, w, kinds, sort):  # noqa: E741
    if sort:
        return _vjp_sorted(g, x, h, l, u, w, kinds)
    l_kind, u_kind, w_kind = _kinds(kinds)
    n = x.shape[-1]
    m = math.prod(x.shape[:-1])
    results = [
        torch.empty(x.shape, dtype=x.dtype),
        torch.empty(h.shape, dtype=torch.float64),
        torch.empty(l.shape, dtype=torch.float64 if l_kind == "row" else x.dtype),
        torch.empty(u.shape, dtype=torch.float64 if u_kind == "row" else x.dtype),
    ]
    if m:
        sinks = [t.view(m, n) if t.dim() == x.dim() else t.view(m) for t in results]
        _simplex.vjp(
            _rows(x, m, n),
            _rows(g.expand(x.shape), m, n),
            *(_host(v, k, m, n) for v, k in ((l, l_kind), (u, u_kind), (w, w_kind))),
            *(t.numpy() for t in sinks),
            1,
        )
    return tuple(t.to(x.dtype) for t in results)


@project_vjp.register_fake
def _project_vjp_fake(g, x, h, l, u, w, kinds, sort):  # noqa: E741
    return tuple(x.new_empty(t.shape) for t in (x, h, l, u))


@torch.library.custom_op(f"{_LIBRARY}::project_jvp", mutates_args=())
def project_jvp(
    x: torch.Tensor,
    dy: torch.Tensor,
    dh: torch.Tensor,
    dl: torch.Tensor,
    du: torch.Tensor,
    l: torch.Tensor,  # noqa: E741
    u: torch.Tensor,
    w: torch.Tensor,
    kinds: str,
    sort: bool,
) -> torch.Tensor:
    """dx for tangents of y, h, l and u (dl and du shaped as l and u) at the projection x."""
    return _jvp_sorted(x, dy, dh, dl, du, l, u, w, kinds)


def _jvp_sorted(x, dy, dh, dl, du, l, u, w, kinds):  # noqa: E741
    l_kind, u_kind, w_kind = _kinds(kinds)
    spread = [_spread(v, k, x) for v, k in ((dl, l_kind), (du, u_kind))]
    spread += [_spread(v, k, x) for v, k in ((l, l_kind), (u, u_kind), (w, w_kind))]
    return sorted_.jvp(x, dy.expand(x.shape), dh, *spread).contiguous()


@project_jvp.register_kernel("cpu")
def _project_jvp_cpu(x, dy, dh, dl, du, l, u, w, kinds, sort):  # noqa: E741
    if sort:
        return _jvp_sorted(x, dy, dh, dl, du, l, u, w, kinds)
    l_kind, u_kind, w_kind = _kinds(kinds)
    n = x.shape[-1]
    m = math.prod(x.shape[:-1])
    out = torch.empty(x.shape, dtype=x.dtype)
    if m:
        _simplex.jvp(
            _rows(x, m, n),
            _rows(dy.expand(x.shape), m, n),
            _host(dh, "row", m, n),
            *(_host(v, k, m, n) for v, k in ((dl, l_kind), (du, u_kind))),
            *(_host(v, k, m, n) for v, k in ((l, l_kind), (u, u_kind), (w, w_kind))),
            out.view(m, n).numpy(),
            1,
        )
    return out


@project_jvp.register_fake
def _project_jvp_fake(x, dy, dh, dl, du, l, u, w, kinds, sort):  # noqa: E741
    return x.new_empty(x.shape)


def _project_setup(ctx, inputs, output):
    _, h, l, u, w, kinds, sort = inputs  # noqa: E741
    ctx.kinds, ctx.sort = kinds, sort
    ctx.save_for_backward(output, h, l, u, w)


def _project_backward(ctx, g):
    x, h, l, u, w = ctx.saved_tensors  # noqa: E741
    gy, gh, gl, gu = project_vjp(g, x, h, l, u, w, ctx.kinds, ctx.sort)
    return gy, gh, gl, gu, None, None, None


def _vjp_setup(ctx, inputs, output):
    _, x, _, l, u, w, kinds, sort = inputs  # noqa: E741
    ctx.kinds, ctx.sort = kinds, sort
    ctx.save_for_backward(x, l, u, w)


def _vjp_backward(ctx, dgy, dgh, dgl, dgu):
    # Linear in g, with the JVP as its transpose; the masks are piecewise
    # constant, so x, the bounds and w get no gradient.
    x, l, u, w = ctx.saved_tensors  # noqa: E741
    dg = project_jvp(x, dgy, dgh, dgl, dgu, l, u, w, ctx.kinds, ctx.sort)
    return dg, None, None, None, None, None, None, None


def _jvp_setup(ctx, inputs, output):
    x, _, dh, _, _, l, u, w, kinds, sort = inputs  # noqa: E741
    ctx.kinds, ctx.sort = kinds, sort
    ctx.save_for_backward(x, dh, l, u, w)


def _jvp_backward(ctx, c):
    # Linear in the tangents, with the VJP as its transpose (dh stands for h's shape).
    x, dh, l, u, w = ctx.saved_tensors  # noqa: E741
    gy, gh, gl, gu = project_vjp(c, x, dh, l, u, w, ctx.kinds, ctx.sort)
    return None, gy, gh, gl, gu, None, None, None, None, None


project.register_autograd(_project_backward, setup_context=_project_setup)
project_vjp.register_autograd(_vjp_backward, setup_context=_vjp_setup)
project_jvp.register_autograd(_jvp_backward, setup_context=_jvp_setup)


# torch.func's transforms refuse the autograd of custom operators (it has no
# setup_context of its own), so the public function goes through these
# functions with the same rules; their vmap rules are the operators'.
class Project(torch.autograd.Function):
    generate_vmap_rule = True

    @staticmethod
    def forward(y, h, l, u, w, kinds, sort):  # noqa: E741
        return project(y, h, l, u, w, kinds, sort)

    setup_context = staticmethod(_project_setup)

    @staticmethod
    def backward(ctx, g):
        x, h, l, u, w = ctx.saved_tensors  # noqa: E741
        gy, gh, gl, gu = _ProjectVjp.apply(g, x, h, l, u, w, ctx.kinds, ctx.sort)
        return gy, gh, gl, gu, None, None, None


class _ProjectVjp(torch.autograd.Function):
    generate_vmap_rule = True

    @staticmethod
    def forward(g, x, h, l, u, w, kinds, sort):  # noqa: E741
        return project_vjp(g, x, h, l, u, w, kinds, sort)

    setup_context = staticmethod(_vjp_setup)
    backward = staticmethod(_vjp_backward)


def _vmap_rule(op, w_index, outputs):
    def rule(info, in_dims, *args):
        kinds = _kinds(args[w_index + 1])
        moved = []
        for i, (arg, dim) in enumerate(zip(args, in_dims)):
            if not isinstance(arg, torch.Tensor) or (i == w_index and kinds[2] == "none"):
                moved.append(arg)
            elif dim is None:
                moved.append(arg.expand((info.batch_size,) + arg.shape))
            else:
                moved.append(arg.movedim(dim, 0))
        return op(*moved), outputs

    return rule


torch.library.register_vmap(project, _vmap_rule(project, 4, 0))
torch.library.register_vmap(project_vjp, _vmap_rule(project_vjp, 5, (0, 0, 0, 0)))
torch.library.register_vmap(project_jvp, _vmap_rule(project_jvp, 7, 0))
