"""The one-sided sums and the l1 ball against the equality, np.clip and the peers.

    python bench/sets.py [--reps N] [--only NAME]

Columns (medians of N interleaved calls, ratios the medians of paired ratios, as in
bench/exact.py): `<=/==`, tavorin._simplex.solve with sense "<=" against "==" on the
same data (random: N(0,1)/sqrt(n), h=1, l=0, u=1: active in every vector from rows of
100 on, in about two thirds of the rows of 10); `<=/== all`, the same with each vector's
h half its clip's sum, where the constraint is active in every vector whose clip's sum
is not 0 (a scalar h cannot be: some rows of 10 have every element at or below 0, whose
clip's sum 0 would make h = 0 = n*l, the set's single point, for every vector); `<=
in/clip`, "<=" where every vector's clip satisfies the sum (h = n) against one
np.clip(y, 0, 1, out=...); `l1/|y|`, tavorin.project_l1_ball (radius 1) against
tavorin.project_capped_simplex(|y|, 1, 0, inf, sense="<=") with a precomputed |y|, and
`l1/abs` against the same with np.abs(y) taken in the call (a fresh array each time, as
the ball's own is: the solver on the very array it had just solved runs faster, which
the first ratio flatters the other side with); and, when installed
(bench/requirements-peers.txt), `optax/l1`: Optax's projection_l1_ball under jit+vmap,
timed after compilation. With jax installed, tavorin.jax on the CPU (the compiled core
through XLA) under jit+vmap, timed after compilation: `jax l1/l1` and `jax <=/<=`
against the NumPy functions (target: within 1.2x), and `optax/jax l1`, Optax's ball
against tavorin.jax.project_l1_ball (target: at least 4x).
"""

import argparse
import math
import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402
from exact import measure, paired  # noqa: E402

import tavorin  # noqa: E402
from tavorin import _simplex  # noqa: E402

SHAPES = [(1000, 1000), (10000, 100), (100000, 10), (10, 100000), (1, 10**6)]


def optax_ball():
    try:
        import jax
        import optax.projections as op

        jax.config.update("jax_enable_x64", True)
        ball = jax.jit(jax.vmap(op.projection_l1_ball, in_axes=(0, None)))
        return jax, ball
    except Exception as error:  # noqa: BLE001 (any failure only drops the column)
        print(f"# optax column skipped: {type(error).__name__}: {error}")
        return None


def jax_columns(y):
    """tavorin.jax's ball and one-sided sum under jit+vmap on y, compiled; {} without jax."""
    try:
        import jax

        import tavorin.jax as tj
    except ImportError:
        return {}
    jax.config.update("jax_enable_x64", True)
    device = jax.device_put(y)
    ball = jax.jit(jax.vmap(lambda v: tj.project_l1_ball(v, 1.0)))
    budget = jax.jit(jax.vmap(lambda v: tj.project_capped_simplex(v, 1.0, 0.0, 1.0, sense="<=")))
    for f in (ball, budget):
        f(device).block_until_ready()  # compiled here, not timed
    return {
        "jax l1": lambda: ball(device).block_until_ready(),
        "jax <=": lambda: budget(device).block_until_ready(),
        "numpy <=": lambda: tavorin.project_capped_simplex(y, 1.0, 0.0, 1.0, sense="<="),
    }


def columns(y, peer):
    n = y.shape[1]
    a = np.abs(y)
    out = np.empty_like(y)
    low = 0.5 * np.clip(y, 0.0, 1.0).sum(axis=1)
    cols = {
        "==": lambda: _simplex.solve(y, out, 1.0, 0.0, 1.0, None, True, 1, 0),
        "<=": lambda: _simplex.solve(y, out, 1.0, 0.0, 1.0, None, True, 1, 1),
        "== all": lambda: _simplex.solve(y, out, low, 0.0, 1.0, None, True, 1, 0),
        "<= all": lambda: _simplex.solve(y, out, low, 0.0, 1.0, None, True, 1, 1),
        "<= in": lambda: _simplex.solve(y, out, float(n), 0.0, 1.0, None, True, 1, 1),
        "clip": lambda: np.clip(y, 0.0, 1.0, out=out),
        "l1": lambda: tavorin.project_l1_ball(y, 1.0),
        "|y|": lambda: tavorin.project_capped_simplex(a, 1.0, 0.0, math.inf, sense="<="),
        "abs": lambda: tavorin.project_capped_simplex(np.abs(y), 1.0, 0.0, math.inf, sense="<="),
    }
    if peer is not None:
        jax, ball = peer
        device = jax.device_put(y)
        ball(device, 1.0).block_until_ready()  # compiled here, not timed
        cols["optax"] = lambda: ball(device, 1.0).block_until_ready()
    cols.update(jax_columns(y))
    return cols


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--reps", type=int, default=7)
    parser.add_argument("--only", default=None)
    args = parser.parse_args()
    peer = optax_ball()
    rng = np.random.default_rng(36)
    head = f"{'workload':<20} {'<=/==':>7} {'<=/== all':>10} {'<= in/clip':>11}"
    head += f" {'l1/|y|':>7} {'l1/abs':>7}"
    print(head + f" {'optax/l1':>9} {'jax l1/l1':>10} {'jax <=/<=':>10} {'optax/jax l1':>13}")
    for m, n in SHAPES:
        name = f"random {m}x{n}"
        if args.only and args.only not in name:
            continue
        y = rng.standard_normal((m, n)) / math.sqrt(n)
        cols = columns(y, peer)
        samples = measure(cols, args.reps)
        line = f"{name:<20} {paired(samples, '<=', '=='):>6.2f}x"
        line += f" {paired(samples, '<= all', '== all'):>9.2f}x"
        line += f" {paired(samples, '<= in', 'clip'):>10.2f}x {paired(samples, 'l1', '|y|'):>6.2f}x"
        line += f" {paired(samples, 'l1', 'abs'):>6.2f}x"
        line += f" {paired(samples, 'optax', 'l1'):>8.1f}x" if peer else f" {'':>9}"
        if "jax l1" in cols:
            line += f" {paired(samples, 'jax l1', 'l1'):>9.2f}x"
            line += f" {paired(samples, 'jax <=', 'numpy <='):>9.2f}x"
            line += f" {paired(samples, 'optax', 'jax l1'):>12.1f}x" if peer else ""
        print(line, flush=True)


if __name__ == "__main__":
    main()
