"""The projection and its derivatives in torch's own operations, for every device.

The sort method: x_j(tau) = clip(y_j - tau*w_j, l_j, u_j) leaves u_j at
a_j = (y_j - u_j)/w_j and reaches l_j at b_j = (y_j - l_j)/w_j, so the sum
r(tau) = sum_j w_j x_j(tau) is piecewise linear between the sorted a's and b's.
Prefix sums over the sorted breakpoints give r at each; the piece whose ends
bracket h gives each element's class (at u, free or at l), and tau comes from
those classes alone, with sums in float64 (float32 on a device without it).
Without weights and with one value of each bound per vector, the breakpoints keep
y's order, so y is sorted once: alone when one bound cannot bind (the plain
simplex's n breakpoints), else with a search of each list in the other.
Every operand comes broadcast: y, and l, u, w per element, as (..., n); h as (...).
"""

import functools
import math

import torch

from ._api import _raise_nonfinite
from ._sets import raise_infeasible as _raise_infeasible


def accumulator(device):
    """The dtype of the sums: float64 where the device has it."""
    return torch.float32 if device.type == "mps" else torch.float64


def _piece_point(lo, hi):
    """A point strictly inside (lo, hi) where the piece has width, classes being constant there."""
    inside = lo / 2 + hi / 2
    above = lo + torch.clamp(lo.abs(), min=1.0)
    below = hi - torch.clamp(hi.abs(), min=1.0)
    finite_lo, finite_hi = torch.isfinite(lo), torch.isfinite(hi)
    return torch.where(
        finite_lo & finite_hi,
        inside,
        torch.where(finite_lo, above, torch.where(finite_hi, below, torch.zeros_like(lo))),
    )


def project_sorted(y, h, l, u, w, shape="both", scalars=None):  # noqa: E741
    """x = clip(y - tau*w, l, u) with sum(w*x) = h, rounded once to y's dtype (w None: all 1).

    ``shape`` is what ``refuse`` found of the sets: "lower" when every vector's
    l is finite and its u cannot bind (infinite, or h - (n-1)*l <= u), "upper"
    the mirror of that, "two" for two finite bounds (one value each per vector,
    no weights), "both" otherwise.  ``scalars``, when one set is shared by every
    vector, is its (h, l, u) as floats: then no tensor is made of them."""
    if w is None and shape != "both":
        if scalars is not None:
            h, l, u = scalars  # noqa: E741
        elif _column(l).shape[-1] == _column(u).shape[-1] == 1:
            h, l, u = h[..., None], _column(l), _column(u)  # noqa: E741
        else:
            shape = "both"
        if shape == "two":
            return _two_bounds(y, h, l, u)
        if shape != "both":
            return _one_bound(y, h, l, u, shape == "upper")
    acc = accumulator(y.device)
    yd, hd, ld, ud = (t.to(acc) for t in (y, h, _column(l), _column(u)))
    wd = None if w is None else w.to(acc)
    weigh = (lambda t: t) if wd is None else (lambda t: wd * t)  # noqa: E731
    n = y.shape[-1]
    zero = torch.zeros((), dtype=acc, device=y.device)
    wu = torch.where(torch.isinf(ud), zero, weigh(ud))
    wl = torch.where(torch.isinf(ld), zero, weigh(ld))
    wy = weigh(yd)
    breaks = torch.cat([yd - ud, yd - ld], dim=-1)
    if wd is not None:
        breaks = breaks / torch.cat([wd, wd], dim=-1)
    at, order = torch.sort(breaks, dim=-1)
    # Passing a_j trades w_j*u_j for w_j*y_j - tau*w_j**2; passing b_j trades that for w_j*l_j.
    steps = torch.cat([wy - wu, wl - wy], -1).gather(-1, order)
    constant = _vector_sum(wu, n)[..., None] + steps.cumsum(-1)
    if wd is None:
        one = torch.ones((), dtype=acc, device=y.device)
        slope = torch.where(order < n, one, -one).cumsum(-1)
    else:
        ww = wd * wd
        slope = torch.cat([ww, -ww], -1).gather(-1, order).cumsum(-1)
    r = constant - at * slope
    inf = torch.full((), torch.inf, dtype=acc, device=y.device)
    r = torch.where(at == -inf, inf, torch.where(at == inf, -inf, r))
    count = (r >= hd[..., None]).sum(-1, keepdim=True)
    lo = torch.where(count > 0, at.gather(-1, (count - 1).clamp(min=0)), -inf)
    hi = torch.where(count < 2 * n, at.gather(-1, count.clamp(max=2 * n - 1)), inf)
    point = _piece_point(lo, hi)
    upper = point <= breaks[..., :n]
    lower = ~upper & (point >= breaks[..., n:])
    free = ~(upper | lower)
    fixed = torch.where(upper, wu, torch.where(lower, wl, wy)).sum(-1, keepdim=True)
    if wd is None:
        k = free.sum(-1, keepdim=True, dtype=acc)
    else:
        k = torch.where(free, ww, zero).sum(-1, keepdim=True)
    flat = torch.where(torch.isfinite(lo), lo, hi)
    tau = torch.where(k > 0, (fixed - hd[..., None]) / torch.where(k > 0, k, 1), flat)
    tau = torch.minimum(torch.maximum(tau, lo), hi)
    x = torch.minimum(torch.maximum(yd - weigh(tau), ld), ud)
    return x.to(y.dtype)


def _one_bound(y, h, l, u, mirrored):  # noqa: E741
    """project_sorted without weights where one bound alone can bind, one value per
    vector (floats, or h, l and u as (..., 1)): the plain simplex's n breakpoints,
    sorted once.  Mirrored (only u binds), it solves for -y, -h and the bound -u
    and turns tau back."""
    acc = accumulator(y.device)
    n = y.shape[-1]
    h, l, u = (_in(v, acc) for v in (h, l, u))  # noqa: E741
    # Descending, the elements at the bound make a suffix: for tau between the
    # breakpoints of the k-th and (k+1)-th, the first k are free.
    s = torch.sort(y, dim=-1, descending=not mirrored).values
    if s.dtype != acc:
        s = s.to(acc)
    if mirrored:
        s = s.neg_()  # the sort's own tensor, or its copy in acc
        bound, target = -u, -h
    else:
        bound, target = l, h
    prefix = s.cumsum(-1)
    # The first k free put tau at (prefix_k + (n-k)*bound - target)/k, which is below
    # s_k - bound (element k free) exactly when k*s_k - prefix_k > target - n*bound.
    ranks = _ranks(n, acc, y.device)
    count = ((s * ranks).add_(target - n * bound) > prefix).sum(-1, keepdim=True)
    # tau lies between the breakpoints s_(count+1) - bound and s_count - bound; the
    # classes of that piece come from the values (a tie across it all at the bound).
    below = torch.where(count < n, s.gather(-1, count.clamp(max=n - 1)), -math.inf)
    # With count 0 the piece's upper end is taken at s_1, which leaves no element
    # free and tau at s_1 - bound, as the piece (s_1 - bound, inf) has it.
    above = s.gather(-1, (count - 1).clamp_(min=0))
    free = s > below
    if s.dtype == y.dtype:
        k = free.sum(-1, keepdim=True, dtype=acc)
        total = torch.where(free, s, 0).sum(-1, keepdim=True)
    else:
        # The prefix sums are of doubles of y's values: exact to far below y's rounding.
        count = free.sum(-1, keepdim=True)
        total = prefix.gather(-1, (count - 1).clamp_(min=0))
        k = count.to(acc)
    tau = (n - k).mul_(bound).add_(total).sub_(target).div_(k.clamp(min=1))
    # No free element: the piece is one point (below == above), which the clip gives.
    tau = torch.clamp(tau, below - bound, above - bound)
    yd = y if y.dtype == acc else y.to(acc)
    x = torch.clamp(yd + tau if mirrored else yd - tau, l, u)
    return x if x.dtype == y.dtype else x.to(y.dtype)


def _in(value, acc):
    """A set's value for the sums: a float as it is, a tensor in the dtype of the sums."""
    return value if isinstance(value, float) or value.dtype == acc else value.to(acc)


@functools.lru_cache(maxsize=8)
def _ranks(n, dtype, device):
    """1, 2, ..., n (made once for the few shapes in use, not a call)."""
    return torch.arange(1, n + 1, dtype=dtype, device=device)


def _pick(at, i, fill):
    """at[..., i] along the last axis, ``fill`` where i falls outside it."""
    n = at.shape[-1]
    return torch.where((i >= 0) & (i < n), at.gather(-1, i.clamp(0, n - 1)), fill)


def _two_bounds(y, h, l, u):  # noqa: E741
    """project_sorted without weights for two finite bounds, one value each per vector
    (floats, or as (..., 1)): y sorted once gives both lists of breakpoints in order,
    a = s - u (leaving u) and b = s - l (reaching l), and a search of each in the
    other r at every one."""
    acc = accumulator(y.device)
    n = y.shape[-1]
    h, l, u = (_in(v, acc) for v in (h, l, u))  # noqa: E741
    s = torch.sort(y, dim=-1).values
    if s.dtype != acc:
        s = s.to(acc)
    a, b = s - u, s - l
    prefix = torch.nn.functional.pad(s.cumsum(-1), (1, 0))  # prefix_k: the k smallest
    ranks = _ranks(n, acc, y.device)
    # At tau = b_k the k smallest are at l and the p with a_j > b_k at u; at tau = a_k
    # the n-k+1 largest at u and the q with b_j < a_k at l; the rest free.
    p = n - torch.searchsorted(a, b, right=True)
    pd = p.to(acc)
    free = n - pd - ranks
    r_b = ranks * l + pd * u + prefix.gather(-1, n - p) - prefix[..., 1:] - free * b
    q = torch.searchsorted(b, a)
    qd = q.to(acc)
    free = ranks - 1 - qd
    r_a = qd * l + (n + 1 - ranks) * u + prefix[..., :-1] - prefix.gather(-1, q) - free * a
    bounds = []
    for at, r in ((a, r_a), (b, r_b)):
        count = (r >= h).sum(-1, keepdim=True)
        bounds.append((_pick(at, count - 1, -math.inf), _pick(at, count, math.inf)))
    lo = torch.maximum(bounds[0][0], bounds[1][0])
    hi = torch.minimum(bounds[0][1], bounds[1][1])
    # The piece's classes: at u where a_j >= hi (a suffix), at l where b_j <= lo (a prefix).
    upper = (a >= hi).sum(-1, keepdim=True, dtype=acc)
    lower = torch.minimum((b <= lo).sum(-1, keepdim=True, dtype=acc), n - upper)
    k = n - upper - lower
    total = torch.where((b > lo) & (a < hi), s, 0).sum(-1, keepdim=True)
    tau = (total + upper * u + lower * l - h) / k.clamp(min=1)
    tau = torch.clamp(torch.where(k > 0, tau, torch.where(torch.isfinite(lo), lo, hi)), lo, hi)
    yd = y if y.dtype == acc else y.to(acc)
    x = torch.clamp(yd - tau, l, u)
    return x if x.dtype == y.dtype else x.to(y.dtype)


def one_sided(x, y, h, l, u, w, sense):  # noqa: E741
    """x where the clip of y breaks the one-sided sum (sense 1: sum(w*x) <= h, -1: >= h),
    else the clip, decided per vector from the clip's sum in float64."""
    clip = torch.minimum(torch.maximum(y, l), u)
    acc = accumulator(y.device)
    terms = clip.to(acc) if w is None else clip.to(acc) * w.to(acc)
    total, hd = terms.sum(-1), h.to(acc)
    active = total > hd if sense > 0 else total < hd
    return torch.where(active[..., None], x, clip)


def off_sum(x, h, w):
    """Per vector, whether sum(w*x) misses h by more than the rounding of x's elements
    and of the sum (tavorin._derivatives' rule): a one-sided constraint left inactive."""
    acc = accumulator(x.device)
    terms = x.to(acc) if w is None else x.to(acc) * w.to(acc)
    hd = h.to(acc)
    size = terms.abs().sum(-1) + hd.abs()
    slack = 4 * torch.finfo(x.dtype).eps + (x.shape[-1] + 2) * torch.finfo(acc).eps
    return (terms.sum(-1) - hd).abs() > slack * size


def _column(t):
    """A per-element operand that is one value per vector broadcast: that value, as (..., 1)."""
    return t[..., :1] if t.shape[-1] > 1 and t.stride(-1) == 0 else t


def _vector_sum(terms, n):
    """The sum of each vector's n terms, given as (..., n) or, all alike, (..., 1)."""
    return terms.sum(-1) if terms.shape[-1] == n else terms[..., 0] * n


def refuse(y, h, l, u, w, weighted, sense=0, check_finite=True):  # noqa: E741
    """The refusals of the compiled core, as torch operations: the first vector whose set
    is empty or ill defined (for ``sense`` as the kernels take it), else (with
    ``check_finite``) the first whose y is not finite; when all is well, project_sorted's
    ``shape`` of the sets and its ``scalars`` (one host sync in all)."""
    if y.numel() and not any(any(t.stride()) for t in (h, l, u, w)):
        return _refuse_shared(y, h, l, u, w, weighted, sense, check_finite)
    acc = accumulator(y.device)
    n = y.shape[-1]
    # A set the same along the vectors (one per vector, broadcast) is checked once a vector.
    hd, ld, ud, wd = (t.to(acc) for t in (h, _column(l), _column(u), _column(w)))
    bad = ~torch.isfinite(hd) | (ld == torch.inf).any(-1) | (ud == -torch.inf).any(-1)
    bad |= (ld > ud).any(-1) | (ld != ld).any(-1) | (ud != ud).any(-1)
    bad |= ~(torch.isfinite(wd) & (wd > 0)).all(-1)
    if sense >= 0:
        bad |= _vector_sum(wd * ld, n) > hd
    if sense <= 0:
        bad |= _vector_sum(wd * ud, n) < hd
    bad = bad.broadcast_to(y.shape[:-1]).reshape(-1)
    if check_finite:
        nonfinite = ~torch.isfinite(y).all(-1).reshape(-1)
        flags = [(bad | nonfinite).any()]
    else:
        flags = [bad.any()]
    if not weighted and ld.shape[-1] == ud.shape[-1] == 1:
        # Which bound can bind: sum(x) = h with x >= l puts no x above h - (n-1)*l.
        ld, ud = ld[..., 0], ud[..., 0]
        finite_l, finite_u = torch.isfinite(ld), torch.isfinite(ud)
        flags.append((finite_l & (~finite_u | (hd - (n - 1) * ld <= ud))).all())
        flags.append((finite_u & (~finite_l | (hd - (n - 1) * ud >= ld))).all())
        flags.append((finite_l & finite_u).all())
    flags = torch.stack(flags).tolist() + [False] * 3
    if not flags[0]:
        shape = next((s for s, f in zip(("lower", "upper", "two"), flags[1:]) if f), "both")
        return shape, None
    batch = tuple(y.shape[:-1])
    if bool(bad.any()):
        index = int(torch.nonzero(bad)[0, 0])
        # A set shared by every element is shown as one value, as the core shows it.
        rows = [
            float(t.reshape(-1)[0])
            if not any(t.stride())
            else t.detach().reshape(bad.shape[0], -1).cpu().double().numpy()
            for t in (l, u, w)
        ]
        h = h.detach().broadcast_to(batch)
        _raise_infeasible(
            index,
            batch,
            y.shape[-1],
            float(h.reshape(-1)[0])
            if not any(h.stride())
            else h.reshape(-1).cpu().double().numpy(),
            rows[0],
            rows[1],
            rows[2] if weighted else None,
            sense,
        )
    _raise_nonfinite(int(torch.nonzero(nonfinite)[0, 0]), batch)


def _refuse_shared(y, h, l, u, w, weighted, sense, check_finite):  # noqa: E741
    """refuse for one set shared by every vector: its four values checked on the host,
    read in the same sync as whether y is finite (when that is checked), and given back
    as project_sorted's ``scalars``."""
    one = [t.as_strided((), ()) for t in (h, l, u, w)]
    if check_finite:
        one.append(torch.isfinite(y).all().to(y.dtype))
    values = torch.stack(one).tolist()
    h, l, u, w = values[:4]  # noqa: E741
    finite = all(values[4:])
    n = y.shape[-1]
    bad = not (math.isfinite(h) and l < math.inf and u > -math.inf and l <= u)
    bad = bad or not (math.isfinite(w) and w > 0)
    bad = bad or (sense >= 0 and w * l * n > h) or (sense <= 0 and w * u * n < h)
    batch = tuple(y.shape[:-1])
    if bad:
        _raise_infeasible(0, batch, n, h, l, u, w if weighted else None, sense)
    if not finite:
        _raise_nonfinite(int(torch.nonzero(~torch.isfinite(y).all(-1).reshape(-1))[0, 0]), batch)
    return ("both" if weighted else shape_of(h, l, u, n)), (h, l, u)


def shape_of(h, l, u, n):  # noqa: E741
    """project_sorted's ``shape`` of one set of floats without weights, feasible."""
    finite_l, finite_u = math.isfinite(l), math.isfinite(u)
    if finite_l and (not finite_u or h - (n - 1) * l <= u):
        return "lower"
    if finite_u and (not finite_l or h - (n - 1) * u >= l):
        return "upper"
    return "two" if finite_l and finite_u else "both"


def classes(x, l, u, at_l=True):  # noqa: E741
    """Which elements are free, and (with ``at_l``, else None) which are at l (l == u
    counts as at l)."""
    return (x > l) & (x < u), (x == l) if at_l else None


def vjp(g, x, l, u, w, only_y=False):  # noqa: E741
    """(gy, gh, gl, gu) per element (gh per vector), as _derivatives.project_capped_simplex_vjp
    (w None: no weights; ``only_y``: gy alone); l and u floats or per element."""
    acc = accumulator(x.device)
    free, at_l = classes(x, l, u, not only_y)
    gd = g if g.dtype == acc else g.to(acc)
    if w is None:
        k = free.sum(-1, dtype=acc)
        # No free element: the sum is 0, and so is the mean.
        mean = torch.where(free, gd, 0).sum(-1).div_(k.clamp_(min=1))
        rest = gd - mean[..., None]
    else:
        wd = w.to(acc)
        k = torch.where(free, wd * wd, 0).sum(-1)
        has_free = k > 0
        mean = torch.where(has_free, torch.where(free, wd * gd, 0).sum(-1) / k, 0)
        rest = gd - mean[..., None] * wd
    gy = torch.where(free, rest, 0)
    if at_l is None:
        return _in_dtype(gy, x.dtype)
    at_u = ~(free | at_l)
    gl, gu = torch.where(at_l, rest, 0), torch.where(at_u, rest, 0)
    return tuple(_in_dtype(t, x.dtype) for t in (gy, mean, gl, gu))


def _in_dtype(t, dtype):
    return t if t.dtype == dtype else t.to(dtype)


def jvp(x, dy, dh, dl, du, l, u, w):  # noqa: E741
    """dx for per-element tangents dy, dl, du and per-vector dh, as _derivatives' JVP."""
    acc = accumulator(x.device)
    free, at_l = classes(x, l, u)
    dyd, dhd, dld, dud, wd = (t.to(acc) for t in (dy, dh, dl, du, w))
    zero = torch.zeros((), dtype=acc, device=x.device)
    at_bound = torch.where(at_l, dld, torch.where(free, zero, dud))
    k = torch.where(free, wd * wd, zero).sum(-1)
    num = torch.where(free, wd * dyd, zero).sum(-1) + (wd * at_bound).sum(-1) - dhd
    has_free = k > 0
    dtau = torch.where(has_free, num / torch.where(has_free, k, 1), zero)
    return torch.where(free, dyd - dtau[..., None] * wd, at_bound).to(x.dtype)
