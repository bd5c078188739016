"""Benchmarks of the derivatives: the backward pass against the forward, and the JAX path.

    python bench/derivatives.py [--reps N] [--no-jax]

On 1000 x 1000 and 10000 x 100 (the random data of run.py: h = 1, l = 0, u = 1,
standard normal / sqrt(n)), one thread, float64:
  - forward (project_capped_simplex, exact) against project_capped_simplex_vjp
    and _jvp at its result (target: backward <= 1.5x forward);
  - tavorin.jax under jit against the NumPy function, forward alone and
    forward plus backward (jax.grad of sum(x * c) against forward + vjp)
    (target <= 1.2x on these large batches), and the JAX path's cost per call
    on one vector of 3;
  - JAXopt's projection_box_section under vmap and jax.grad, when installed
    (target: tavorin.jax >= 4x faster forward plus backward), with its row-sum error.
Every figure is the median of interleaved repetitions, ratios the medians of
the paired ratios of one run.
"""

import argparse
import inspect
import statistics
import time

import numpy as np

import tavorin

SHAPES = [(1000, 1000), (10000, 100)]
EXACT = (
    {"method": "exact"}
    if "method" in inspect.signature(tavorin.project_capped_simplex).parameters
    else {"exact": True}
)


def timed(fn):
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def interleaved(columns, reps, inner=1):
    """Median seconds per call of each column, and the paired ratios to the first column."""
    samples = {name: [] for name in columns}
    names = list(columns)
    for r in range(reps):
        k = r % len(names)
        for name in names[k:] + names[:k]:
            fn = columns[name]
            samples[name].append(timed(lambda: [fn() for _ in range(inner)]) / inner)
    base = samples[names[0]]
    ratios = {n: statistics.median(a / b for a, b in zip(samples[n], base)) for n in names}
    return {n: statistics.median(s) for n, s in samples.items()}, ratios


def data(shape, seed=0):
    m, n = shape
    y = np.random.default_rng(seed).standard_normal(shape) / np.sqrt(n)
    return y, 1.0, 0.0, 1.0


def show(value):
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6)):
        if value >= scale:
            return f"{value / scale:.2f} {unit}"
    return f"{value / 1e-6:.2f} µs"


def core(reps):
    print("| shape | forward | vjp | jvp | vjp / forward | jvp / forward |")
    print("|---|---|---|---|---|---|")
    for shape in SHAPES:
        y, h, l, u = data(shape)  # noqa: E741
        x = tavorin.project_capped_simplex(y, h, l, u, **EXACT)
        g = np.random.default_rng(1).standard_normal(shape)
        times, ratios = interleaved(
            {
                "forward": lambda: tavorin.project_capped_simplex(y, h, l, u, **EXACT),
                "vjp": lambda: tavorin.project_capped_simplex_vjp(x, g, h, l, u),
                "jvp": lambda: tavorin.project_capped_simplex_jvp(x, g, None, None, None, l, u),
            },
            reps,
        )
        print(
            f"| {shape[0]} × {shape[1]} | {show(times['forward'])} | {show(times['vjp'])} | "
            f"{show(times['jvp'])} | {ratios['vjp']:.2f}× | {ratios['jvp']:.2f}× |"
        )


def with_jax(reps):
    import jax
    import jax.numpy as jnp

    jax.config.update("jax_enable_x64", True)
    from tavorin.jax import project_capped_simplex as project_jax

    try:
        from jaxopt.projection import projection_box_section
    except ImportError:
        projection_box_section = None

    def numpy_both(y, h, l, u, c):  # noqa: E741
        x = tavorin.project_capped_simplex(y, h, l, u, **EXACT)
        return tavorin.project_capped_simplex_vjp(x, c, h, l, u)[0]

    forward = jax.jit(project_jax)
    both = jax.jit(jax.grad(lambda y, h, l, u, c: jnp.sum(project_jax(y, h, l, u) * c)))  # noqa: E741

    y3 = jnp.asarray([[0.2, -0.5, 1.3]])
    forward(y3, 1.0, 0.0, 1.0).block_until_ready()
    small = np.asarray(y3)
    times, ratios = interleaved(
        {
            "numpy": lambda: tavorin.project_capped_simplex(small, 1.0, 0.0, 1.0, **EXACT),
            "jax": lambda: forward(y3, 1.0, 0.0, 1.0).block_until_ready(),
        },
        reps,
        inner=200,
    )
    print(
        f"\nOne vector of 3: NumPy function {show(times['numpy'])}, tavorin.jax under jit "
        f"{show(times['jax'])} per call ({ratios['jax']:.1f}×).\n"
    )

    header = "| shape | NumPy forward | JAX forward | ratio | NumPy fwd + vjp | JAX grad | ratio |"
    if projection_box_section:
        header += " JAXopt grad | JAXopt / JAX | JAXopt max row-sum error |"
    print(header)
    print("|---" * (header.count("|") - 1) + "|")
    for shape in SHAPES:
        y, h, l, u = data(shape)  # noqa: E741
        c = np.random.default_rng(1).standard_normal(shape)
        yj, cj = jnp.asarray(y), jnp.asarray(c)
        forward(yj, h, l, u).block_until_ready()
        both(yj, h, l, u, cj).block_until_ready()
        columns = {
            "numpy": lambda: tavorin.project_capped_simplex(y, h, l, u, **EXACT),
            "jax": lambda: forward(yj, h, l, u).block_until_ready(),
            "numpy both": lambda: numpy_both(y, h, l, u, c),
            "jax both": lambda: both(yj, h, l, u, cj).block_until_ready(),
        }
        if projection_box_section:
            n = shape[1]
            params = (jnp.zeros(n), jnp.ones(n), jnp.ones(n), 1.0)

            def box_loss(y, c):
                x = jax.vmap(lambda r: projection_box_section(r, params))(y)
                return jnp.sum(x * c)

            box_forward = jax.jit(jax.vmap(lambda r: projection_box_section(r, params)))
            box_both = jax.jit(jax.grad(box_loss))
            box_both(yj, cj).block_until_ready()
            box_error = float(jnp.max(jnp.abs(box_forward(yj).sum(axis=1) - 1.0)))
            columns["jaxopt both"] = lambda: box_both(yj, cj).block_until_ready()
        times, ratios = interleaved(columns, reps)
        line = (
            f"| {shape[0]} × {shape[1]} | {show(times['numpy'])} | {show(times['jax'])} | "
            f"{ratios['jax']:.2f}× | {show(times['numpy both'])} | {show(times['jax both'])} | "
            f"{ratios['jax both'] / ratios['numpy both']:.2f}× |"
        )
        if projection_box_section:
            line += (
                f" {show(times['jaxopt both'])} | "
                f"{ratios['jaxopt both'] / ratios['jax both']:.1f}× | {box_error:.1e} |"
            )
        print(line)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--reps", type=int, default=15)
    parser.add_argument("--no-jax", action="store_true")
    args = parser.parse_args()
    core(args.reps)
    if not args.no_jax:
        with_jax(args.reps)


if __name__ == "__main__":
    main()
