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
import os
import statistics
import time

# OpenBLAS threads left spinning by NumPy's set-up calls would take the cores
# from the timed columns (all of them alike, but noisily).
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import tavorin  # noqa: E402

SHAPES = [(1000, 1000), (10000, 100)]
EXACT = (
    {"method": "exact"}
    if "method" in inspect.signature(tavorin.project_capped_simplex).parameters
    else {"exact": True}
)


def timed(fn, inner=1):
    """Seconds per call of fn over inner calls in a row."""
    t0 = time.perf_counter()
    for _ in range(inner):
        fn()
    return (time.perf_counter() - t0) / inner


def interleaved(columns, reps, inner=1):
    """Median seconds per call of each column, and a function giving the median paired ratio
    of two columns."""
    samples = {name: [] for name in columns}
    names = list(columns)
    for r in range(reps):
        k = r % len(names)
        for name in names[k:] + names[:k]:
            samples[name].append(timed(columns[name], inner))

    def ratio(top, bottom):
        return statistics.median(a / b for a, b in zip(samples[top], samples[bottom]))

    return {n: statistics.median(s) for n, s in samples.items()}, ratio


def data(shape, seed=0):
    m, n = shape
    y = np.random.default_rng(seed).standard_normal(shape) / np.sqrt(n)
    return y, 1.0, 0.0, 1.0


def show(value):
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6)):
        if value >= scale:
            return f"{value / scale:.2f} {unit}"
    return f"{value / 1e-6:.2f} µs"


def core_columns(shape):
    y, h, l, u = data(shape)  # noqa: E741
    x = tavorin.project_capped_simplex(y, h, l, u, **EXACT)
    g = np.random.default_rng(1).standard_normal(shape)
    return {
        "forward": lambda: tavorin.project_capped_simplex(y, h, l, u, **EXACT),
        "vjp": lambda: tavorin.project_capped_simplex_vjp(x, g, h, l, u),
        "jvp": lambda: tavorin.project_capped_simplex_jvp(x, g, None, None, None, l, u),
    }


def core(reps):
    print("| shape | forward | vjp | jvp | vjp / forward | jvp / forward |")
    print("|---|---|---|---|---|---|")
    for shape in SHAPES:
        times, ratio = interleaved(core_columns(shape), reps)
        print(
            f"| {shape[0]} × {shape[1]} | {show(times['forward'])} | {show(times['vjp'])} | "
            f"{show(times['jvp'])} | {ratio('vjp', 'forward'):.2f}× | "
            f"{ratio('jvp', 'forward'):.2f}× |"
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

    forward = jax.jit(project_jax)
    both = jax.jit(jax.grad(lambda y, h, l, u, c: jnp.sum(project_jax(y, h, l, u) * c)))  # noqa: E741

    y3 = jnp.asarray([[0.2, -0.5, 1.3]])
    forward(y3, 1.0, 0.0, 1.0).block_until_ready()
    small = np.asarray(y3)
    times, ratio = interleaved(
        {
            "numpy": lambda: tavorin.project_capped_simplex(small, 1.0, 0.0, 1.0, **EXACT),
            "jax": lambda: forward(y3, 1.0, 0.0, 1.0).block_until_ready(),
        },
        reps,
        inner=200,
    )
    print(
        f"\nOne vector of 3: NumPy function {show(times['numpy'])}, tavorin.jax under jit "
        f"{show(times['jax'])} per call ({ratio('jax', 'numpy'):.1f}×).\n"
    )

    header = "| shape | NumPy forward | JAX forward | ratio | NumPy fwd + vjp | JAX grad | ratio |"
    if projection_box_section:
        header += " JAXopt grad | JAXopt / JAX | JAXopt max row-sum error |"
    print(header)
    print("|---" * (header.count("|") - 1) + "|")
    for shape in SHAPES:
        columns, box_error = jax_columns(shape, forward, both, projection_box_section)
        times, ratio = interleaved(columns, reps)
        line = (
            f"| {shape[0]} × {shape[1]} | {show(times['numpy'])} | {show(times['jax'])} | "
            f"{ratio('jax', 'numpy'):.2f}× | {show(times['numpy both'])} | "
            f"{show(times['jax both'])} | {ratio('jax both', 'numpy both'):.2f}× |"
        )
        if projection_box_section:
            line += (
                f" {show(times['jaxopt both'])} | "
                f"{ratio('jaxopt both', 'jax both'):.1f}× | {box_error:.1e} |"
            )
        print(line)


def jax_columns(shape, forward, both, projection_box_section):
    """The timed calls of one shape, and JAXopt's largest row-sum error (or None)."""
    import jax
    import jax.numpy as jnp

    y, h, l, u = data(shape)  # noqa: E741
    c = np.random.default_rng(1).standard_normal(shape)
    yj, cj = jnp.asarray(y), jnp.asarray(c)
    forward(yj, h, l, u).block_until_ready()
    both(yj, h, l, u, cj).block_until_ready()

    def numpy_both():
        x = tavorin.project_capped_simplex(y, h, l, u, **EXACT)
        return tavorin.project_capped_simplex_vjp(x, c, h, l, u)[0]

    columns = {
        "numpy": lambda: tavorin.project_capped_simplex(y, h, l, u, **EXACT),
        "jax": lambda: forward(yj, h, l, u).block_until_ready(),
        "numpy both": numpy_both,
        "jax both": lambda: both(yj, h, l, u, cj).block_until_ready(),
    }
    if not projection_box_section:
        return columns, None
    n = shape[1]
    params = (jnp.zeros(n), jnp.ones(n), jnp.ones(n), 1.0)

    def box(y):
        return jax.vmap(lambda r: projection_box_section(r, params))(y)

    box_forward = jax.jit(box)
    box_both = jax.jit(jax.grad(lambda y, c: jnp.sum(box(y) * c)))
    box_both(yj, cj).block_until_ready()
    columns["jaxopt both"] = lambda: box_both(yj, cj).block_until_ready()
    return columns, float(jnp.max(jnp.abs(box_forward(yj).sum(axis=1) - 1.0)))


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
