"""The projection done the ways a NumPy/SciPy user would do it, and the accuracy checks.

All of these work in place on a 2-D float64 array, like the module.
"""

import math

import numpy as np
import scipy.optimize


def scipy_brentq_rows(y, h, lo, hi, xtol=1e-5, rtol=1e-5, mitr=20, rows=None):
    """Per-row ``scipy.optimize.brentq`` with a NumPy residual, on the first ``rows`` rows."""
    rows = y.shape[0] if rows is None else rows
    for i in range(rows):
        row = y[i]
        x = scipy.optimize.brentq(
            lambda t, row=row: np.clip(row - t, lo, hi).sum() - h,
            row.min() - hi,
            row.max() - lo,
            xtol=xtol,
            rtol=rtol,
            maxiter=mitr,
            disp=False,
        )
        np.clip(row - x, lo, hi, out=row)


def bisection_steps(y, lo, hi, accuracy=1e-10):
    """Halvings of the widest bracket needed to pin every shift to ``accuracy``."""
    width = float(np.max(y.max(axis=1) - y.min(axis=1))) + (hi - lo)
    return max(1, math.ceil(math.log2(max(width, accuracy) / accuracy)))


def bisection(y, h, lo, hi, steps):
    """All rows at once: halve every row's bracket ``steps`` times, then clip at the middle."""
    left = y.min(axis=1) - hi
    right = y.max(axis=1) - lo
    work = np.empty_like(y)
    for _ in range(steps):
        mid = 0.5 * (left + right)
        np.subtract(y, mid[:, None], out=work)
        np.clip(work, lo, hi, out=work)
        # The residual decreases with the shift: a positive one means the root is above mid.
        above = work.sum(axis=1) > h
        left = np.where(above, mid, left)
        right = np.where(above, right, mid)
    mid = 0.5 * (left + right)
    np.subtract(y, mid[:, None], out=y)
    np.clip(y, lo, hi, out=y)


def sort_based(y, h, lo, hi):
    """The exact breakpoint method, vectorised over rows.

    sum_j clip(y_j - t, l, u) is piecewise linear and non-increasing in t, with
    breakpoints at y_j - u (element j leaves the upper bound) and y_j - l (it reaches
    the lower one).  Sorting the 2n breakpoints gives the function's value at each
    of them by a running sum of slope times step; the segment where it crosses h
    fixes which elements are free, and the shift follows in closed form from those.
    Needs l < u and n*l <= h <= n*u.
    """
    m, n = y.shape
    points = np.concatenate([y - hi, y - lo], axis=1)
    # +1 where an element starts to fall (leaves u), -1 where it stops (reaches l).
    kinds = np.concatenate([np.ones((m, n)), -np.ones((m, n))], axis=1)
    order = np.argsort(points, axis=1, kind="stable")
    points = np.take_along_axis(points, order, axis=1)
    kinds = np.take_along_axis(kinds, order, axis=1)
    falling = np.cumsum(kinds, axis=1)  # free elements just after each breakpoint
    values = n * hi - np.concatenate(
        [np.zeros((m, 1)), np.cumsum(falling[:, :-1] * np.diff(points, axis=1), axis=1)], axis=1
    )
    # Last breakpoint where the function is still at or above h.
    k = np.clip((values >= h).sum(axis=1) - 1, 0, 2 * n - 2)
    rows = np.arange(m)
    middle = 0.5 * (points[rows, k] + points[rows, k + 1])
    shifted = y - middle[:, None]
    upper = shifted >= hi
    lower = shifted <= lo
    free = ~(upper | lower)
    count = free.sum(axis=1)
    fixed = upper.sum(axis=1) * hi + lower.sum(axis=1) * lo
    free_sum = np.where(free, y, 0.0).sum(axis=1)
    with np.errstate(invalid="ignore", divide="ignore"):
        tau = np.where(count > 0, (free_sum + fixed - h) / count, middle)
    np.subtract(y, tau[:, None], out=y)
    np.clip(y, lo, hi, out=y)


def accuracy(x, h, lo, hi, exact):
    """Worst row-sum error, worst bound violation and worst distance to ``exact``."""
    return {
        "sum": float(np.max(np.abs(x.sum(axis=1) - h))),
        "bounds": float(max(np.max(lo - x), np.max(x - hi), 0.0)),
        "exact": float(np.max(np.abs(x - exact))),
    }
