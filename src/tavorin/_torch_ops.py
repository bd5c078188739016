"""The projection, its VJP and its JVP as torch custom operators (torch.ops.tavorin).

Each takes y (or x) as (..., n), h and the per-vector operands as (...), and
the per-element ones as (..., n), all of one float dtype and device; `kinds`
says how l, u and w come ("row", "element"; "none" for w: no weights, w a
0-d one), and `form` which set it is: "==", "<=" or ">=" (the sum's relation
to h), or "l1" (the ball of radius h: y's signs around the projection of |y|
onto "<=" with l = 0 and u = inf).  On the CPU the kernels run the compiled
core on the tensors' memory; on every other device (and on the CPU with
`sort`) they are torch operations (_sort_torch).  register_fake gives meta and fake tensors their
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
# The kernels' code for the sum's relation to h.
SENSES = {"==": 0, "<=": 1, ">=": -1, "l1": 1}


def refuse_radius(radius, batch):
    """The ball's refusal of a radius (a float, or one value per vector) that is not
    finite and >= 0."""
    values = np.asarray(radius, np.float64).reshape(-1)
    bad = np.flatnonzero(~(np.isfinite(values) & (values >= 0)))
    if bad.size:
        where = ""
        if values.size > 1:
            at = tuple(int(i) for i in np.unravel_index(bad[0], batch))
            where = f" for the vector at batch index {at}"
        raise ValueError(f"radius must be finite and >= 0, got {float(values[bad[0]])!r}{where}")


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


# torch's CPU allocator maps fresh pages for each large tensor (its aligned
# requests miss the C library's reuse of the block just freed): 1.5 ms of page
# faults a 4 MB result here, a sixth of the solve's time, where NumPy's arrays
# reuse their memory.  Results of that size live in NumPy's memory instead (which
# torch cannot resize in place).
_NUMPY_MIN_BYTES = 1 << 20
_NUMPY_DTYPES = {torch.float64: np.float64, torch.float32: np.float32}
_CONTIGUOUS = torch.contiguous_format
# Fewer elements than this make less than a megabyte in any dtype.
FEW_ELEMENTS = _NUMPY_MIN_BYTES // 8


def new_tensor(like, dtype=None):
    """An uninitialised contiguous CPU tensor of ``like``'s shape, for a kernel's result (of
    ``like``'s dtype, or ``dtype``)."""
    dtype = like.dtype if dtype is None else dtype
    if like.numel() * dtype.itemsize >= _NUMPY_MIN_BYTES and dtype in _NUMPY_DTYPES:
        return torch.from_numpy(np.empty(like.shape, _NUMPY_DTYPES[dtype]))
    # empty_like: torch.empty(shape) costs twice as much a call.
    return torch.empty_like(like, dtype=dtype, memory_format=_CONTIGUOUS)


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
    form: str,
    check_finite: bool,
) -> torch.Tensor:
    """The projection of y's last axis, with torch operations (the device-generic kernel);
    NaN or infinity in y is refused with ``check_finite``, else projected unlooked for."""
    return _project_sorted(y, h, l, u, w, kinds, form, check_finite)


def _project_sorted(y, h, l, u, w, kinds, form, check_finite=True):  # noqa: E741
    l_kind, u_kind, w_kind = _kinds(kinds)
    spread = [_spread(v, k, y) for v, k in ((l, l_kind), (u, u_kind), (w, w_kind))]
    weighted = w_kind != "none"
    sense = SENSES[form]
    signed = y
    if form == "l1":
        if not bool((torch.isfinite(h) & (h >= 0)).all()):
            radius = h.detach().cpu().numpy() if any(h.stride()) else float(h.reshape(-1)[0])
            refuse_radius(radius, h.shape)
        y = y.abs()
    shape, scalars = sorted_.refuse(y, h, *spread, weighted, sense, check_finite)
    w_used = spread[2] if weighted else None
    x = sorted_.project_sorted(y, h, *spread[:2], w_used, shape, scalars)
    if sense:
        x = sorted_.one_sided(x, y, h, *spread[:2], w_used, sense)
    if form == "l1":
        x = torch.copysign(x, signed)
    return x.contiguous()


def solve_cpu(y, h, l, u, w, kinds, form, check_finite=True):  # noqa: E741
    """The compiled core on CPU tensors' memory: a new tensor of y's shape."""
    l_kind, u_kind, w_kind = _kinds(kinds)
    batch, n = y.shape[:-1], y.shape[-1]
    m = math.prod(batch)
    out = new_tensor(y)
    if m == 0:
        return out
    hv = _host(h, "row", m, n)
    if form == "l1":
        refuse_radius(hv, batch)
    lv, uv, wv = (_host(v, k, m, n) for v, k in ((l, l_kind), (u, u_kind), (w, w_kind)))
    sense = SENSES[form]
    bad = _simplex.first_infeasible(m, n, hv, lv, uv, wv, sense)
    if bad >= 0:
        _raise_infeasible(bad, batch, n, hv, lv, uv, wv, sense)
    rows, target = _rows(y, m, n), out.view(m, n).numpy()
    # The ball: |y| read and y's signs given by the core's own passes (out is apart from y).
    signs = 1 if form == "l1" else 0
    bad = _simplex.solve(rows, target, hv, lv, uv, wv, check_finite, 1, sense, signs)
    if bad >= 0:
        _raise_nonfinite(bad, batch)
    return out


@project.register_kernel("cpu")
def _project_cpu(y, h, l, u, w, kinds, sort, form, check_finite):  # noqa: E741
    if sort:
        return _project_sorted(y, h, l, u, w, kinds, form, check_finite)
    return solve_cpu(y, h, l, u, w, kinds, form, check_finite)


@project.register_fake
def _project_fake(y, h, l, u, w, kinds, sort, form, check_finite):  # noqa: E741
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
    form: str,
) -> tuple[torch.Tensor, torch.Tensor, torch.Tensor, torch.Tensor]:
    """(gy, gh, gl, gu) = J^T g at the projection x, each of its input's shape."""
    return _vjp_form(_vjp_sorted, g, x, h, l, u, w, kinds, form)


def _vjp_sorted(g, x, h, l, u, w, kinds):  # noqa: E741
    l_kind, u_kind, w_kind = _kinds(kinds)
    spread = [_spread(v, k, x) for v, k in ((l, l_kind), (u, u_kind))]
    w = None if w_kind == "none" else _spread(w, w_kind, x)
    gy, gh, gl, gu = sorted_.vjp(g.expand(x.shape), x, *spread, w)
    gl, gu = (t.sum(-1) if k == "row" else t for t, k in ((gl, l_kind), (gu, u_kind)))
    return gy.contiguous(), gh.contiguous(), gl.contiguous(), gu.contiguous()


def _vjp_cpu(g, x, h, l, u, w, kinds):  # noqa: E741
    l_kind, u_kind, w_kind = _kinds(kinds)
    n = x.shape[-1]
    m = math.prod(x.shape[:-1])
    results = [
        new_tensor(x),
        new_tensor(h, torch.float64),
        new_tensor(l, torch.float64 if l_kind == "row" else x.dtype),
        new_tensor(u, torch.float64 if u_kind == "row" else x.dtype),
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
    return tuple(t if t.dtype == x.dtype else t.to(x.dtype) for t in results)


def _inactive(x, h, w, kinds):
    """Per vector, whether its one-sided constraint was inactive at the projection x."""
    w_kind = _kinds(kinds)[2]
    return sorted_.off_sum(x, h, None if w_kind == "none" else _spread(w, w_kind, x))


def _vjp_form(equality, g, x, h, l, u, w, kinds, form):  # noqa: E741
    """The VJP of the equality's kernel ``equality`` turned into the form's: a vector whose
    one-sided constraint is inactive has the clip's cotangents (the ball's, the
    identity's); the ball's active vectors the equality's at |x| with the signs."""
    g = g.expand(x.shape)
    if form == "==":
        return equality(g, x, h, l, u, w, kinds)
    signs = torch.sign(x) if form == "l1" else None
    z = x if signs is None else x.abs()
    gz = g if signs is None else g * signs
    gy, gh, gl, gu = equality(gz, z, h, l, u, w, kinds)
    off = _inactive(z, h, w, kinds)
    row = off[..., None]
    zero = torch.zeros((), dtype=gy.dtype, device=gy.device)
    gh = torch.where(off, zero, gh)
    if signs is not None:
        return torch.where(row, g, gy * signs), gh, gl, gu
    l_kind, u_kind, _ = _kinds(kinds)
    free, at_l = sorted_.classes(z, _spread(l, l_kind, z), _spread(u, u_kind, z))
    at_u = ~free & ~at_l
    gy = torch.where(row, torch.where(free, g, zero), gy)
    clipped = []
    for cotangent, kind, mask in ((gl, l_kind, at_l), (gu, u_kind, at_u)):
        part = torch.where(mask, g, zero)
        if kind == "row":
            clipped.append(
                torch.where(off, part.sum(-1, dtype=torch.float64).to(gy.dtype), cotangent)
            )
        else:
            clipped.append(torch.where(row, part, cotangent))
    return gy, gh, *clipped


@project_vjp.register_kernel("cpu")
def vjp_cpu(g, x, h, l, u, w, kinds, sort, form):  # noqa: E741
    return _vjp_form(_vjp_sorted if sort else _vjp_cpu, g, x, h, l, u, w, kinds, form)


@project_vjp.register_fake
def _project_vjp_fake(g, x, h, l, u, w, kinds, sort, form):  # noqa: E741
    return tuple(x.new_empty(t.shape) for t in (x, h, l, u))


@torch.library.custom_op(f"{_LIBRARY}::project_jvp", mutates_args=())
def project_jvp(
    x: torch.Tensor,
    dy: torch.Tensor,
    dh: torch.Tensor,
    dl: torch.Tensor,
    du: torch.Tensor,
    h: torch.Tensor,
    l: torch.Tensor,  # noqa: E741
    u: torch.Tensor,
    w: torch.Tensor,
    kinds: str,
    sort: bool,
    form: str,
) -> torch.Tensor:
    """dx for tangents of y, h, l and u (dl and du shaped as l and u) at the projection x."""
    return _jvp_form(_jvp_sorted, x, dy, dh, dl, du, h, l, u, w, kinds, form)


def _jvp_sorted(x, dy, dh, dl, du, l, u, w, kinds):  # noqa: E741
    l_kind, u_kind, w_kind = _kinds(kinds)
    spread = [_spread(v, k, x) for v, k in ((dl, l_kind), (du, u_kind))]
    spread += [_spread(v, k, x) for v, k in ((l, l_kind), (u, u_kind), (w, w_kind))]
    return sorted_.jvp(x, dy.expand(x.shape), dh, *spread).contiguous()


def _jvp_cpu(x, dy, dh, dl, du, l, u, w, kinds):  # noqa: E741
    l_kind, u_kind, w_kind = _kinds(kinds)
    n = x.shape[-1]
    m = math.prod(x.shape[:-1])
    out = new_tensor(x)
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


def _jvp_form(equality, x, dy, dh, dl, du, h, l, u, w, kinds, form):  # noqa: E741
    """The JVP of the equality's kernel turned into the form's (as _vjp_form)."""
    dy = dy.expand(x.shape)
    if form == "==":
        return equality(x, dy, dh, dl, du, l, u, w, kinds)
    signs = torch.sign(x) if form == "l1" else None
    z = x if signs is None else x.abs()
    dz = equality(z, dy if signs is None else dy * signs, dh, dl, du, l, u, w, kinds)
    row = _inactive(z, h, w, kinds)[..., None]
    if signs is not None:
        return torch.where(row, dy, dz * signs)
    l_kind, u_kind, _ = _kinds(kinds)
    free, at_l = sorted_.classes(z, _spread(l, l_kind, z), _spread(u, u_kind, z))
    clip = torch.where(at_l, _spread(dl, l_kind, z), torch.where(free, dy, _spread(du, u_kind, z)))
    return torch.where(row, clip, dz)


@project_jvp.register_kernel("cpu")
def _project_jvp_cpu(x, dy, dh, dl, du, h, l, u, w, kinds, sort, form):  # noqa: E741
    equality = _jvp_sorted if sort else _jvp_cpu
    return _jvp_form(equality, x, dy, dh, dl, du, h, l, u, w, kinds, form)


@project_jvp.register_fake
def _project_jvp_fake(x, dy, dh, dl, du, h, l, u, w, kinds, sort, form):  # noqa: E741
    return x.new_empty(x.shape)


def _project_setup(ctx, inputs, output):
    _, h, l, u, w, kinds, sort, form, _ = inputs  # noqa: E741
    ctx.kinds, ctx.sort, ctx.form = kinds, sort, form
    ctx.save_for_backward(output, h, l, u, w)


def _project_backward(ctx, g):
    x, h, l, u, w = ctx.saved_tensors  # noqa: E741
    gy, gh, gl, gu = project_vjp(g, x, h, l, u, w, ctx.kinds, ctx.sort, ctx.form)
    return gy, gh, gl, gu, None, None, None, None, None


def _vjp_setup(ctx, inputs, output):
    _, x, h, l, u, w, kinds, sort, form = inputs  # noqa: E741
    ctx.kinds, ctx.sort, ctx.form = kinds, sort, form
    ctx.save_for_backward(x, h, l, u, w)


def _vjp_backward(ctx, dgy, dgh, dgl, dgu):
    # Linear in g, with the JVP as its transpose; the masks are piecewise
    # constant, so x, the sets and w get no gradient.
    x, h, l, u, w = ctx.saved_tensors  # noqa: E741
    dg = project_jvp(x, dgy, dgh, dgl, dgu, h, l, u, w, ctx.kinds, ctx.sort, ctx.form)
    return dg, None, None, None, None, None, None, None, None


def _jvp_setup(ctx, inputs, output):
    x, _, dh, _, _, h, l, u, w, kinds, sort, form = inputs  # noqa: E741
    ctx.kinds, ctx.sort, ctx.form = kinds, sort, form
    ctx.save_for_backward(x, h, l, u, w)


def _jvp_backward(ctx, c):
    # Linear in the tangents, with the VJP as its transpose.
    x, h, l, u, w = ctx.saved_tensors  # noqa: E741
    gy, gh, gl, gu = project_vjp(c, x, h, l, u, w, ctx.kinds, ctx.sort, ctx.form)
    return None, gy, gh, gl, gu, None, None, None, None, None, None, None


project.register_autograd(_project_backward, setup_context=_project_setup)
project_vjp.register_autograd(_vjp_backward, setup_context=_vjp_setup)
project_jvp.register_autograd(_jvp_backward, setup_context=_jvp_setup)


# torch.func's transforms refuse the autograd of custom operators (it has no
# setup_context of its own), so the public function goes through these
# functions with the same rules; their vmap rules are the operators'.
class Project(torch.autograd.Function):
    generate_vmap_rule = True

    @staticmethod
    def forward(y, h, l, u, w, kinds, sort, form, check_finite):  # noqa: E741
        return project(y, h, l, u, w, kinds, sort, form, check_finite)

    @staticmethod
    def setup_context(ctx, inputs, output):
        _project_setup(ctx, inputs, output)
        ctx.save_for_forward(output, *inputs[1:5])

    @staticmethod
    def backward(ctx, g):
        x, h, l, u, w = ctx.saved_tensors  # noqa: E741
        gy, gh, gl, gu = _ProjectVjp.apply(g, x, h, l, u, w, ctx.kinds, ctx.sort, ctx.form)
        return gy, gh, gl, gu, None, None, None, None, None

    @staticmethod
    def jvp(ctx, dy, dh, dl, du, *_):
        # Forward mode: the JVP at the result, a zero tangent for what has none.
        x, h, l, u, w = ctx.saved_tensors  # noqa: E741
        dy, dh, dl, du = (
            x.new_zeros(()).expand(like.shape) if d is None else d
            for d, like in ((dy, x), (dh, h), (dl, l), (du, u))
        )
        return project_jvp(x, dy, dh, dl, du, h, l, u, w, ctx.kinds, ctx.sort, ctx.form)


class _ProjectVjp(torch.autograd.Function):
    generate_vmap_rule = True

    @staticmethod
    def forward(g, x, h, l, u, w, kinds, sort, form):  # noqa: E741
        return project_vjp(g, x, h, l, u, w, kinds, sort, form)

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
torch.library.register_vmap(project_jvp, _vmap_rule(project_jvp, 8, 0))
