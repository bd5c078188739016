"""The sort method in jax.numpy and lax, for every platform (see _sort_torch for the method).

A device cannot raise without a host round trip, so a vector whose set is
empty or ill defined, or whose y holds NaN or infinity, comes back as NaN.
Every operand comes broadcast: y, and l, u, w per element, as (..., n); h as (...).
With the sum bounded from one side (sense 1: <= h, -1: >= h) a vector whose
clip satisfies it is that clip, any other the equality's projection.
"""

import jax
import jax.numpy as jnp


def accumulator():
    """The dtype of the sums: float64 when jax has it enabled."""
    return jnp.float64 if jax.config.jax_enable_x64 else jnp.float32


def _piece_point(lo, hi):
    """A point strictly inside (lo, hi) where the piece has width."""
    one = jnp.ones((), lo.dtype)
    finite_lo, finite_hi = jnp.isfinite(lo), jnp.isfinite(hi)
    return jnp.where(
        finite_lo & finite_hi,
        lo / 2 + hi / 2,
        jnp.where(
            finite_lo,
            lo + jnp.maximum(jnp.abs(lo), one),
            jnp.where(finite_hi, hi - jnp.maximum(jnp.abs(hi), one), jnp.zeros_like(lo)),
        ),
    )


def _refused(y, h, l, u, w, sense):  # noqa: E741
    """Per vector: the set is empty or ill defined, or y is not finite."""
    bad = ~jnp.isfinite(h) | jnp.any((l == jnp.inf) | (u == -jnp.inf) | (l > u), axis=-1)
    bad |= jnp.any(jnp.isnan(l) | jnp.isnan(u) | ~(jnp.isfinite(w) & (w > 0)), axis=-1)
    if sense >= 0:
        bad |= jnp.sum(w * l, axis=-1) > h
    if sense <= 0:
        bad |= jnp.sum(w * u, axis=-1) < h
    return bad | ~jnp.all(jnp.isfinite(y), axis=-1)


def project_sorted(y, h, l, u, w, sense=0):  # noqa: E741
    """x = clip(y - tau*w, l, u) with sum(w*x) = h (or, one-sided, the clip where it
    satisfies the sum), rounded once to y's dtype."""
    acc = accumulator()
    yd, hd, ld, ud, wd = (jnp.asarray(t).astype(acc) for t in (y, h, l, u, w))
    n = y.shape[-1]
    zero = jnp.zeros((), acc)
    wu = jnp.where(jnp.isinf(ud), zero, wd * ud)
    wl = jnp.where(jnp.isinf(ld), zero, wd * ld)
    wy, ww = wd * yd, wd * wd
    breaks = jnp.concatenate([(yd - ud) / wd, (yd - ld) / wd], axis=-1)
    # Passing a_j trades w_j*u_j for w_j*y_j - tau*w_j**2; passing b_j trades that for w_j*l_j.
    at, constant, slope = jax.lax.sort(
        (breaks, jnp.concatenate([wy - wu, wl - wy], -1), jnp.concatenate([ww, -ww], -1)),
        dimension=breaks.ndim - 1,
        num_keys=1,
    )
    constant = jnp.sum(wu, -1, keepdims=True) + jnp.cumsum(constant, -1)
    r = constant - at * jnp.cumsum(slope, -1)
    r = jnp.where(at == -jnp.inf, jnp.inf, jnp.where(at == jnp.inf, -jnp.inf, r))
    count = jnp.sum(r >= hd[..., None], axis=-1, keepdims=True)
    pick = lambda i: jnp.take_along_axis(at, jnp.clip(i, 0, 2 * n - 1), axis=-1)  # noqa: E731
    lo = jnp.where(count > 0, pick(count - 1), -jnp.inf)
    hi = jnp.where(count < 2 * n, pick(count), jnp.inf)
    point = _piece_point(lo, hi)
    upper = point <= breaks[..., :n]
    lower = ~upper & (point >= breaks[..., n:])
    free = ~(upper | lower)
    fixed = jnp.sum(jnp.where(upper, wu, jnp.where(lower, wl, wy)), -1, keepdims=True)
    k = jnp.sum(jnp.where(free, ww, zero), -1, keepdims=True)
    flat = jnp.where(jnp.isfinite(lo), lo, hi)
    tau = jnp.where(k > 0, (fixed - hd[..., None]) / jnp.where(k > 0, k, 1), flat)
    tau = jnp.clip(tau, lo, hi)
    x = jnp.minimum(jnp.maximum(yd - tau * wd, ld), ud)
    if sense:
        clip = jnp.minimum(jnp.maximum(yd, ld), ud)
        over = jnp.sum(wd * clip, axis=-1) - hd
        x = jnp.where((sense * over <= 0)[..., None], clip, x)
    x = jnp.where(_refused(yd, hd, ld, ud, wd, sense)[..., None], jnp.nan, x)
    return x.astype(y.dtype)
