"""The projection onto {x : l <= x <= u, sum_j w_j x_j = h}, computed independently of the solver.

Short vectors in rational arithmetic (every breakpoint of the residual, the
root on its piece solved exactly, each element rounded once); long vectors by
sorting the breakpoints and bisecting over them with math.fsum, then the
shift from the final classes' exact sums.
"""

import math
from fractions import Fraction

import numpy as np

INF = math.inf


def _clip(t, lo, hi):
    if lo != -INF and t <= lo:
        return lo
    if hi != INF and t >= hi:
        return hi
    return t


def _rounded(q):
    """A rational rounded to the nearest double, past the largest one an infinity."""
    try:
        return float(q)
    except OverflowError:
        return INF if q > 0 else -INF


def exact(y, h, l, u, w=None):  # noqa: E741
    """x as float64 values, each the exact rational projection rounded once (an
    element beyond the doubles, on the side of an infinite bound, is infinite)."""
    n = len(y)
    w = [1.0] * n if w is None else list(w)
    l = list(l) if np.ndim(l) else [l] * n  # noqa: E741
    u = list(u) if np.ndim(u) else [u] * n
    fy = [Fraction(v) for v in y]
    fw = [Fraction(v) for v in w]
    fl = [v if v == -INF else Fraction(v) for v in l]
    fu = [v if v == INF else Fraction(v) for v in u]
    fh = Fraction(h)

    def residual(t):
        return sum(fw[j] * _clip(fy[j] - t * fw[j], fl[j], fu[j]) for j in range(n)) - fh

    points = sorted(
        {(fy[j] - b) / fw[j] for j in range(n) for b in (fl[j], fu[j]) if b not in (INF, -INF)}
    )
    if not points:
        tau = (sum(fw[j] * fy[j] for j in range(n)) - fh) / sum(v * v for v in fw)
    else:
        values = [residual(p) for p in points]
        if values[0] <= 0:
            # Left of every breakpoint the free elements are those without an
            # upper bound, right of them those without a lower one.
            lo, r = points[0], values[0]
            slope = sum(fw[j] ** 2 for j in range(n) if fu[j] == INF)
            tau = lo + r / slope if r and slope else lo
        elif values[-1] >= 0:
            hi, r = points[-1], values[-1]
            slope = sum(fw[j] ** 2 for j in range(n) if fl[j] == -INF)
            tau = hi + r / slope if r and slope else hi
        else:
            k = next(i for i in range(len(points)) if values[i] <= 0)
            a, b, ra, rb = points[k - 1], points[k], values[k - 1], values[k]
            tau = b if rb == 0 else a + (b - a) * ra / (ra - rb)
    return np.array([_rounded(_clip(fy[j] - tau * fw[j], fl[j], fu[j])) for j in range(n)])


def _dot(a, b):
    """sum_j a_j b_j exactly (a product rounded would reach the shift over a small weight)."""
    return sum((Fraction(p) * Fraction(q) for p, q in zip(a.tolist(), b.tolist())), Fraction(0))


def sorted_search(y, h, l, u, w=None):  # noqa: E741
    """The same for long vectors, in floating point: breakpoints sorted, residual by fsum."""
    y = np.asarray(y, dtype=float)
    n = y.size
    w = np.ones(n) if w is None else np.broadcast_to(np.asarray(w, float), (n,))
    l = np.broadcast_to(np.asarray(l, float), (n,))  # noqa: E741
    u = np.broadcast_to(np.asarray(u, float), (n,))

    def residual(t):
        # At 2^-64 of its size no sum of terms below the largest double overflows.
        return math.fsum(np.ldexp(w * np.clip(y - t * w, l, u), -64)) - math.ldexp(h, -64)

    points = np.concatenate([(y - u) / w, (y - l) / w])
    points = np.unique(points[np.isfinite(points)])
    if not points.size:
        num = Fraction(math.fsum(w * y)) - Fraction(h)
        return y - float(num / Fraction(math.fsum(w**2))) * w
    lo, hi = 0, points.size - 1
    past = 0.0  # the root is past every breakpoint: -1 left of them, +1 right
    if residual(points[lo]) <= 0:
        hi, past = lo, -1.0
    elif residual(points[hi]) >= 0:
        lo, past = hi, 1.0
    while hi - lo > 1:
        mid = (lo + hi) // 2
        if residual(points[mid]) > 0:
            lo = mid
        else:
            hi = mid
    # Classes inside the root's piece (past the breakpoints: beyond them).
    t = (points[lo] + points[hi]) / 2 + past * (abs(points[lo]) + 1.0)
    at_u = y - t * w >= u
    at_l = ~at_u & (y - t * w <= l)
    free = ~(at_u | at_l)
    if not free.any():
        return np.clip(y - t * w, l, u)
    fixed = _dot(w[at_u], u[at_u]) + _dot(w[at_l], l[at_l])
    num = _dot(w[free], y[free]) + fixed - Fraction(h)
    tau = float(num / Fraction(math.fsum(w[free] ** 2)))
    return np.clip(y - tau * w, l, u)


def scale(y, x, l, u):  # noqa: E741
    """The vector's scale: its largest finite magnitude among y, x and the bounds."""
    values = [np.abs(np.asarray(v, float)).ravel() for v in (y, x, l, u)]
    values = np.concatenate(values)
    values = values[np.isfinite(values)]
    return float(values.max()) if values.size else 1.0


def _fractions(values, n):
    return [
        Fraction(v) if math.isfinite(v) else v
        for v in (list(values) if np.ndim(values) else [values] * n)
    ]


def one_sided(y, h, l, u, w=None, sense="<="):  # noqa: E741
    """The projection onto {l <= x <= u, sum_j w_j x_j <= h} (or >= h) and whether it
    is the clip: clip(y, l, u) where its exact weighted sum satisfies the sense, else
    the equality's projection."""
    n = len(y)
    fy, fl, fu = _fractions(y, n), _fractions(l, n), _fractions(u, n)
    fw = _fractions([1.0] * n if w is None else w, n)
    clip = [min(max(fy[j], fl[j]), fu[j]) for j in range(n)]
    total = sum(fw[j] * clip[j] for j in range(n)) - Fraction(h)
    if (total <= 0) if sense == "<=" else (total >= 0):
        return np.array([float(c) for c in clip]), True
    return exact(y, h, l, u, w), False


def l1_ball(y, radius, w=None):
    """The projection onto {x : sum_j w_j |x_j| <= radius} and whether y was inside:
    the signs put back by hand on the projection of |y| onto {z >= 0, sum w z = radius}."""
    n = len(y)
    w = [1.0] * n if w is None else list(w)
    size = sum(Fraction(wj) * abs(Fraction(yj)) for wj, yj in zip(w, y))
    if size <= Fraction(radius):
        return np.array(y, float), True
    z = exact([abs(v) for v in y], radius, 0.0, INF, w)
    return np.array(
        [-zj if yj < 0 or (yj == 0 and math.copysign(1, yj) < 0) else zj for zj, yj in zip(z, y)]
    ), False
