"""What a second worker gains through tavorin.project_capped_simplex, call by call.

    python bench/workers.py [--reps N]

For each shape, workers=1 and workers=2 are timed alternately (the order
rotates each round) with a new result, with a preallocated ``out`` and
``check_finite=True`` (the finiteness check then reads ``y`` before anything
is written), and, as the ceiling, the compiled solver alone
(``tavorin._simplex.solve`` into a preallocated array); each figure is the
median of the paired ratios t(workers=1) / t(workers=2).  Run it on a quiet
machine with no other library's thread pool in the process.
"""

import argparse
import statistics
import time

import numpy as np

import tavorin
from tavorin import _simplex

project = tavorin.project_capped_simplex
SHAPES = [(1000, 1000), (10000, 100), (100000, 10), (10, 100000), (1, 1000000)]


def columns(y, out):
    h, lo, hi = 0.3 * y.shape[1], 0.0, 1.0
    return {
        "new result": lambda w: project(y, h, lo, hi, workers=w),
        "out, check_finite": lambda w: project(y, h, lo, hi, out=out, workers=w),
        "solver alone": lambda w: _simplex.solve(y, out, h, lo, hi, None, False, w),
    }


def ratio(call, reps):
    ratios = []
    for k in range(reps):
        times = {}
        for w in (1, 2) if k % 2 == 0 else (2, 1):
            start = time.perf_counter()
            call(w)
            times[w] = time.perf_counter() - start
        ratios.append(times[1] / times[2])
    return statistics.median(ratios)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=15)
    args = parser.parse_args()
    rng = np.random.default_rng(0)
    print("speed-up of workers=2 over workers=1: median of paired ratios")
    names = list(columns(np.zeros((1, 1)), np.zeros((1, 1))))
    print(f"{'shape':>14} " + " ".join(f"{name:>18}" for name in names))
    for shape in SHAPES:
        y = rng.standard_normal(shape)
        out = np.empty_like(y)
        cells = [ratio(call, args.reps) for call in columns(y, out).values()]
        print(f"{str(shape):>14} " + " ".join(f"{c:18.2f}" for c in cells))


if __name__ == "__main__":
    main()
