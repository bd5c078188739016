"""What one small call of tavorin.project_capped_simplex costs, against the operator.

    python bench/small_calls.py [--reps N]

A warm loop of calls per case (a new result each call, as a projected-gradient
step makes), timed in rounds of 2000 calls; each figure is the median over the
rounds (and the fastest round, which a busy machine disturbs least), in
microseconds per call.  The operator's column projects a copy in
place (the copy is timed too: it is what the operator's caller pays for a new
array).
"""

import argparse
import statistics
import sys
import time

import numpy as np

import tavorin
from tavorin.operators import proj_csimplex

project = tavorin.project_capped_simplex
CALLS = 2000


def cases():
    rng = np.random.default_rng(0)
    for n in (3, 10, 100):
        yield f"1x{n}, scalar sets", rng.standard_normal((1, n)), 1.0, 0.0, 1.0
    yield "1x3 float32", rng.standard_normal(3).astype(np.float32), 1.0, 0.0, 1.0
    m = 10
    h, lo, hi = np.full(m, 1.0), np.full(m, 0.0), rng.uniform(0.5, 1.0, m)
    yield f"{m}x10, per-vector sets", rng.standard_normal((m, 10)), h, lo, hi


def per_call(call, args, reps):
    rounds = []
    for _ in range(CALLS):  # warm: the first calls load and allocate
        call(*args)
    for _ in range(reps):
        start = time.perf_counter()
        for _ in range(CALLS):
            call(*args)
        rounds.append((time.perf_counter() - start) / CALLS * 1e6)
    return f"{statistics.median(rounds):.2f} ({min(rounds):.2f})"


def operator_on_a_copy(y, h, lo, hi):
    proj_csimplex(y.copy(), h, lo, hi)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=15)
    args = parser.parse_args()
    print(f"CPython {sys.version.split()[0]}, NumPy {np.__version__}")
    print("µs per call: median (fastest) of the rounds")
    print(f"{'case':24} {'project_capped_simplex':>22} {'proj_csimplex (copy)':>21}")
    for name, y, h, lo, hi in cases():
        sets = (y, h, lo, hi)
        ours = per_call(project, sets, args.reps)
        if y.dtype == np.float64 and y.ndim == 2 and np.ndim(h) == 0:
            theirs = f"{per_call(operator_on_a_copy, sets, args.reps):>21}"
        else:
            theirs = f"{'-':>21}"
        print(f"{name:24} {ours:>22} {theirs}")


if __name__ == "__main__":
    main()
