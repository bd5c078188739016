"""The exact method against brentq, the memory floor and the peers: one interleaved run a workload.

    python bench/exact.py [--quick] [--reps N] [--only NAME] [--json FILE]

Columns (each the median of N timed calls; the columns of one workload are
interleaved, the order rotating each round, and each ratio is the median of
the paired ratios): `exact` and `exact w2` (tavorin._simplex.solve, out not y,
workers 1 and 2), `brentq` (tavorin._simplex.project, the operator's method,
one worker), `floor` (one np.add(a, 0.0, out=a) on the same array), and when
installed (bench/requirements-peers.txt) `jaxopt` (projection_box_section under
jit+vmap, timed after compilation) and on the random data `optax`
(projection_simplex under jit+vmap).  Rows: the two data sets on each shape
(random: N(0,1)/sqrt(n), h=1, l=0, u=1; box: N(0,1), l=0, u=0.5, h=0.3n),
float32, and adversarial rows on 1000x1000.
"""

import argparse
import json
import math
import os
import statistics
import time

# OpenBLAS threads left spinning by NumPy's set-up calls would take the cores
# from the timed columns (all of them alike, but noisily).
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

from tavorin import _simplex  # noqa: E402

SHAPES = [(1000, 1000), (10000, 100), (100000, 10), (10, 100000), (1, 10**6), (1, 10**7)]
QUICK = [(1000, 1000), (10000, 100), (100000, 10), (10, 100000), (1, 10**6)]


def random_data(shape, rng):
    return rng.standard_normal(shape) / math.sqrt(shape[1]), 1.0, 0.0, 1.0


def box_data(shape, rng):
    return rng.standard_normal(shape), 0.3 * shape[1], 0.0, 0.5


def heavy(shape, rng):
    y = rng.standard_normal(shape) * 10.0 ** rng.uniform(-8, 8, shape)
    return y, 1.0, 0.0, 1.0


def ties(shape, rng):
    return np.round(rng.standard_normal(shape) * 4) / 4, 0.3 * shape[1], 0.0, 0.5


def geometric(shape, rng):
    y = np.broadcast_to(2.0 ** -np.arange(shape[1], dtype=float) * 100, shape).copy()
    return rng.permuted(y, axis=1), 1.0, 0.0, 1.0


def top_k(shape, rng):
    return rng.integers(0, 100, shape).astype(float), 10.0, 0.0, 1.0


def empty_free(shape, rng):
    # h at the top of its range: every element at u.
    return rng.standard_normal(shape), 0.5 * shape[1], 0.0, 0.5


DATA = {"random": random_data, "box": box_data}
ADVERSARIAL = {
    "heavy 1e±8": heavy,
    "ties": ties,
    "geometric": geometric,
    "top-k ints": top_k,
    "empty free set": empty_free,
}


def peers():
    found = {}
    try:
        import jax

        jax.config.update("jax_enable_x64", True)
        import jax.numpy as jnp
        from jaxopt.projection import projection_box_section

        def box(y, h, lo, hi):
            n = y.shape[1]
            alpha = jnp.full(n, lo, dtype=y.dtype)
            beta = jnp.full(n, hi, dtype=y.dtype)
            w = jnp.ones(n, dtype=y.dtype)
            one = jax.vmap(lambda row: projection_box_section(row, (alpha, beta, w, h)))
            return one(y)

        found["jaxopt"] = (jax, jax.jit(box, static_argnums=(1, 2, 3)))
    except Exception as error:  # noqa: BLE001 (any failure only drops the column)
        print(f"# jaxopt column skipped: {type(error).__name__}: {error}")
    try:
        import jax
        import optax.projections as op

        simplex = jax.jit(jax.vmap(op.projection_simplex, in_axes=(0, None)))
        found["optax"] = (jax, lambda y, h, lo, hi: simplex(y, h))
    except Exception as error:  # noqa: BLE001
        print(f"# optax column skipped: {type(error).__name__}: {error}")
    return found


def columns(y, h, lo, hi, name, jax_peers):
    out = np.empty_like(y)
    floor = y.copy()
    cols = {
        "exact": lambda: _simplex.solve(y, out, h, lo, hi, None, True, 1),
        "exact w2": lambda: _simplex.solve(y, out, h, lo, hi, None, True, 2),
        "floor": lambda: np.add(floor, 0.0, out=floor),
    }
    if y.dtype == np.float64:
        cols["brentq"] = lambda: _simplex.project(y, out, h, lo, hi, 1e-5, 1e-5, 20, 1)
    for peer, (jax, fn) in jax_peers.items():
        if peer == "optax" and not name.startswith("random"):
            continue
        if y.size > 10**6:
            continue
        device = jax.device_put(y)
        fn(device, h, lo, hi).block_until_ready()  # compiled here, not timed
        cols[peer] = lambda fn=fn, device=device: fn(device, h, lo, hi).block_until_ready()
    return cols


def measure(cols, reps):
    names = list(cols)
    samples = {n: [] for n in names}
    for r in range(reps):
        k = r % len(names)
        for name in names[k:] + names[:k]:
            t0 = time.perf_counter()
            cols[name]()
            samples[name].append(time.perf_counter() - t0)
    return samples


def paired(samples, a, b):
    return statistics.median(x / y for x, y in zip(samples[a], samples[b]))


def workloads(quick):
    rng = np.random.default_rng(2026)
    for shape in QUICK if quick else SHAPES:
        for data, make in DATA.items():
            y, h, lo, hi = make(shape, rng)
            yield f"{data} {shape[0]}x{shape[1]}", y, h, lo, hi
    for shape in [(1000, 1000), (10, 100000)]:
        for data, make in DATA.items():
            y, h, lo, hi = make(shape, rng)
            yield f"{data} {shape[0]}x{shape[1]} float32", y.astype(np.float32), h, lo, hi
    for name, make in ADVERSARIAL.items():
        y, h, lo, hi = make((1000, 1000), rng)
        yield f"{name} 1000x1000", y, h, lo, hi


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--reps", type=int, default=7)
    parser.add_argument("--only", default=None, help="workloads whose name contains this")
    parser.add_argument("--no-peers", action="store_true")
    parser.add_argument("--json", default=None)
    args = parser.parse_args()
    jax_peers = {} if args.no_peers else peers()
    rows = []
    header = f"{'workload':<30} {'exact':>9} {'/floor':>7} {'brentq/':>8} {'w1/w2':>6}" + "".join(
        f" {p + '/':>8}" for p in jax_peers
    )
    print(header)
    for name, y, h, lo, hi in workloads(args.quick):
        if args.only and args.only not in name:
            continue
        cols = columns(y, h, lo, hi, name, jax_peers)
        reps = args.reps if y.size <= 10**6 else max(3, args.reps // 2)
        samples = measure(cols, reps)
        result = {
            "workload": name,
            "exact_s": statistics.median(samples["exact"]),
            "exact_over_floor": paired(samples, "exact", "floor"),
            "w1_over_w2": paired(samples, "exact", "exact w2"),
        }
        line = f"{name:<30} {result['exact_s'] * 1e3:>7.2f}ms {result['exact_over_floor']:>6.1f}x"
        if "brentq" in samples:
            result["brentq_over_exact"] = paired(samples, "brentq", "exact")
            line += f" {result['brentq_over_exact']:>7.1f}x"
        else:
            line += f" {'':>8}"
        line += f" {result['w1_over_w2']:>5.2f}x"
        for peer in jax_peers:
            if peer in samples:
                result[f"{peer}_over_exact"] = paired(samples, peer, "exact")
                line += f" {result[f'{peer}_over_exact']:>7.1f}x"
            else:
                line += f" {'':>8}"
        print(line, flush=True)
        rows.append(result)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(rows, f, indent=1)


if __name__ == "__main__":
    main()
