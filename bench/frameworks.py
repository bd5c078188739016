"""Benchmarks of tavorin.torch and tavorin.jax, both methods, against the NumPy function.

    python bench/frameworks.py [--reps N] [--no-torch] [--no-jax] [--no-sort | --only-sort]

On the random data of run.py (h = 1, l = 0, u = 1, standard normal / sqrt(n)),
one thread, CPU tensors and arrays:
  - tavorin.torch (the compiled core, and method="sort") against
    tavorin.project_capped_simplex, forward alone and forward plus backward
    (x.backward(c) against the forward + project_capped_simplex_vjp at c),
    in float64 and float32 (target: the core within 1.2x; one vector of 3 in
    at most 30 µs);
  - tavorin.jax under jit (the foreign function, and method="sort") against the
    same, forward alone (target: within 1.2x on every workload);
  - beside the sort method, the vectorised NumPy sort method of run.py
    (numpy_methods.sort_based: scalar bounds, no weights) as a yardstick of
    what sorting costs in array operations, Optax's projection_simplex
    under jit and vmap when installed (bench/requirements-peers.txt), and
    when installed entmax's sparsemax and POT's ot.utils.proj_simplex on the
    same tensors (at h = 1, l = 0 the bound u = 1 binds nothing: the same
    set; POT projects columns, so it gets the transpose, made once), forward
    and forward plus backward (target: the torch sort method within 3x).
--no-sort leaves the sort columns out (they take the longest), --only-sort
times only them.
Every figure is the median of interleaved repetitions, ratios the medians of
the paired ratios of one run.
"""

import argparse
import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402
import numpy_methods  # noqa: E402
from derivatives import EXACT, data, interleaved, show  # noqa: E402

import tavorin  # noqa: E402

SHAPES = [(1, 3), (100000, 10), (10000, 100), (1000, 1000), (10, 100000)]


def numpy_columns(y, h, l, u, c, methods):  # noqa: E741
    def both():
        x = tavorin.project_capped_simplex(y, h, l, u, **EXACT)
        return tavorin.project_capped_simplex_vjp(x, c, h, l, u)

    columns = {"numpy": lambda: tavorin.project_capped_simplex(y, h, l, u, **EXACT)}
    if None in methods:
        columns["numpy+vjp"] = both
    if "sort" in methods:
        columns["numpy sort"] = lambda: numpy_methods.sort_based(y.astype(np.float64), h, l, u)
    return columns


def torch_columns(y, h, l, u, c, methods):  # noqa: E741
    import torch

    from tavorin.torch import project_capped_simplex as project

    torch.set_num_threads(1)
    yt, ct = torch.from_numpy(y), torch.from_numpy(c)
    columns = {}
    # "torch": float sets (the short path to the core); "torch op": the same sets as
    # tensors, through the custom operators.
    tensors = [torch.tensor(v, dtype=yt.dtype) for v in (h, l, u)]
    for name, method, sets in (
        ("torch", None, (h, l, u)),
        ("torch op", None, tensors),
        ("torch sort", "sort", (h, l, u)),
    ):
        if method not in methods:
            continue

        def forward(method=method, sets=sets):
            with torch.no_grad():
                return project(yt, *sets, method=method)

        def both(method=method, sets=sets):
            leaf = yt.detach().requires_grad_()
            project(leaf, *sets, method=method).backward(ct)
            return leaf.grad

        columns[name], columns[name + "+bwd"] = forward, both
    if "sort" in methods:
        columns.update(torch_peers(yt, ct, project(yt, h, l, u)))
    return columns


def torch_peers(yt, ct, expected):
    """entmax's sparsemax and POT's proj_simplex, each checked against ``expected``."""
    import torch

    peers = {}
    try:
        from entmax import sparsemax

        peers["sparsemax"] = lambda v: sparsemax(v, dim=-1)
    except ImportError:
        pass
    try:
        from ot.utils import proj_simplex

        peers["pot"] = lambda v: proj_simplex(v.T).T  # v is the transpose, below
    except ImportError:
        pass
    columns = {}
    for name, peer in peers.items():
        source = yt.T.contiguous() if name == "pot" else yt
        got = peer(source.T if name == "pot" else source)
        scale = torch.finfo(yt.dtype).eps * 64
        assert float((got - expected).abs().max()) <= scale, name

        def forward(peer=peer, source=source, name=name):
            with torch.no_grad():
                return peer(source.T if name == "pot" else source)

        def both(peer=peer, source=source, name=name):
            leaf = source.detach().requires_grad_()
            peer(leaf.T if name == "pot" else leaf).backward(ct)
            return leaf.grad

        columns[name], columns[name + "+bwd"] = forward, both
    return columns


def jax_columns(y, h, l, u, c, methods):  # noqa: E741
    import jax
    import jax.numpy as jnp

    from tavorin.jax import project_capped_simplex as project

    yj = jnp.asarray(y)
    columns = {}
    for name, method in (("jax", None), ("jax sort", "sort")):
        if method not in methods:
            continue
        f = jax.jit(lambda v, method=method: project(v, h, l, u, method=method))
        f(yj).block_until_ready()
        columns[name] = lambda f=f: f(yj).block_until_ready()
    try:
        from optax.projections import projection_simplex
    except ImportError:
        return columns
    if "sort" not in methods:
        return columns
    # Optax's simplex has no upper bound: at u = 1 and h = 1 it is the same set.
    optax = jax.jit(jax.vmap(lambda v: projection_simplex(v, h)))
    optax(yj).block_until_ready()
    columns["optax"] = lambda: optax(yj).block_until_ready()
    return columns


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--reps", type=int, default=15)
    parser.add_argument("--no-torch", action="store_true")
    parser.add_argument("--no-jax", action="store_true")
    which = parser.add_mutually_exclusive_group()
    which.add_argument("--no-sort", action="store_true")
    which.add_argument("--only-sort", action="store_true")
    args = parser.parse_args()
    methods = (None,) if args.no_sort else ("sort",) if args.only_sort else (None, "sort")
    if not args.no_jax:
        import jax

        jax.config.update("jax_enable_x64", True)
    for dtype in (np.float64, np.float32):
        print(f"\n{np.dtype(dtype).name}: median per call, ratios to the NumPy function\n")
        rows = []
        for shape in SHAPES:
            y, h, l, u = data(shape)  # noqa: E741
            y = y.astype(dtype)
            c = np.random.default_rng(1).standard_normal(shape).astype(dtype)
            columns = numpy_columns(y, h, l, u, c, methods)
            if not args.no_torch:
                columns.update(torch_columns(y, h, l, u, c, methods))
            if not args.no_jax:
                columns.update(jax_columns(y, h, l, u, c, methods))
            # One vector of 3 takes far less than the clock's grain to be worth timing alone.
            inner = 200 if shape[0] * shape[1] < 1000 else 1
            times, ratio = interleaved(columns, args.reps, inner)
            rows.append((shape, times, ratio))
        names = [n for n in rows[0][1] if not n.startswith(("sparsemax", "pot"))]
        print("| shape | " + " | ".join(names) + " |")
        print("|---|" + "---|" * len(names))
        for shape, times, ratio in rows:
            cells = []
            for name in names:
                base = "numpy+vjp" if name.endswith(("+bwd", "+vjp")) else "numpy"
                if "sort" in name and "numpy sort" in times and name != "numpy sort":
                    base = "numpy sort"
                share = "" if name == base else f" ({ratio(name, base):.2f}×)"
                cells.append(show(times[name]) + share)
            print(f"| {shape[0]} × {shape[1]} | " + " | ".join(cells) + " |")
        peers = [n for n in rows[0][1] if n.startswith(("sparsemax", "pot"))]
        if peers:
            print("\n| shape | " + " | ".join(f"{n} (torch sort / {n})" for n in peers) + " |")
            print("|---|" + "---|" * len(peers))
            for shape, times, ratio in rows:
                cells = []
                for name in peers:
                    ours = "torch sort+bwd" if name.endswith("+bwd") else "torch sort"
                    cells.append(f"{show(times[name])} ({ratio(ours, name):.2f}×)")
                print(f"| {shape[0]} × {shape[1]} | " + " | ".join(cells) + " |")


if __name__ == "__main__":
    main()
