"""Projects 10000 rows of scores onto {x : 0 <= x_j <= 0.2, sum x_j = 1} and checks the result."""

import time

import numpy as np

from tavorin.operators import proj_csimplex

H, LO, HI = 1.0, 0.0, 0.2


def main():
    rng = np.random.default_rng(2026)
    scores = rng.standard_normal((10_000, 100)) / 10.0
    y = scores.copy()

    start = time.perf_counter()
    result = proj_csimplex(y, H, LO, HI)
    elapsed = time.perf_counter() - start

    np.set_printoptions(precision=4, suppress=True, linewidth=100)
    print(f"proj_csimplex(y, h={H}, l={LO}, u={HI}) on a {y.shape[0]} x {y.shape[1]} array")
    print(f"returned {result!r}; the array was changed in place in {elapsed * 1e3:.1f} ms\n")
    for i in range(3):
        print(f"row {i} before (first 8): {scores[i, :8]}")
        print(f"row {i} after  (first 8): {y[i, :8]}")
    sums = y.sum(axis=1)
    print("\nchecks over all rows:")
    print(f"  max |row sum - h|        = {np.abs(sums - H).max():.3e}")
    print(f"  min element (>= l = {LO}) = {y.min():.6f}")
    print(f"  max element (<= u = {HI}) = {y.max():.6f}")
    print(f"  nonzero elements per row = {np.count_nonzero(y, axis=1).mean():.1f} on average")
    ok = np.abs(sums - H).max() < 1e-3 and y.min() >= LO and y.max() <= HI
    print("\nall checks passed" if ok else "\nCHECKS FAILED")
    raise SystemExit(0 if ok else 1)


if __name__ == "__main__":
    main()
