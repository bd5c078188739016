"""What a second worker gains through tavorin.project_capped_simplex, call by call.

    python bench/workers.py [--reps N]

For each shape, workers=1 and workers=2 are timed alternately (the order
rotates each round) with a new result, with a preallocated ``out`` and
``check_finite=True`` (the finiteness check then reads ``y`` before anything
is written), and, as the ceiling, the compiled solver alone
(``tavorin._simplex.solve`` into a preallocated array); each figure is the
median of the paired ratios t(workers=1) / t(workers=2).  A second table
gives what the public function costs over the solver alone at workers=2
(medians of paired ratios again: the serial parts around the solve, which a
second core does not shorten), a figure a busy machine moves less.  Run it on
a quiet machine with no other library's thread pool in the process (torch's
and XLA's spinning threads take the second core).
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


def over_solver(cells, reps):
    """Median of paired ratios t(cell) / t(solver alone), both with workers=2."""
    ratios = {name: [] for name in cells if name != "solver alone"}
    for k in range(reps):
        for name in ratios:
            times = {}
            for which in (name, "solver alone") if k % 2 == 0 else ("solver alone", name):
                start = time.perf_counter()
                cells[which](2)
                times[which] = time.perf_counter() - start
            ratios[name].append(times[name] / times["solver alone"])
    return [statistics.median(r) for r in ratios.values()]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=15)
    args = parser.parse_args()
    rng = np.random.default_rng(0)
    print("speed-up of workers=2 over workers=1: median of paired ratios")
    names = list(columns(np.zeros((1, 1)), np.zeros((1, 1))))
    print(f"{'shape':>14} " + " ".join(f"{name:>18}" for name in names))
    arrays = [(rng.standard_normal(shape), np.empty(shape)) for shape in SHAPES]
    for y, out in arrays:
        cells = [ratio(call, args.reps) for call in columns(y, out).values()]
        print(f"{str(y.shape):>14} " + " ".join(f"{c:18.2f}" for c in cells))
    print("\nworkers=2, time over the solver alone's: median of paired ratios")
    print(f"{'shape':>14} " + " ".join(f"{name:>18}" for name in names[:-1]))
    for y, out in arrays:
        cells = over_solver(columns(y, out), args.reps)
        print(f"{str(y.shape):>14} " + " ".join(f"{c:18.2f}" for c in cells))


if __name__ == "__main__":
    main()
