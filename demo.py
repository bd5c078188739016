"""Projects 10000 rows of scores onto {x : 0 <= x_j <= 0.2, sum x_j = 1} twice, with the operator
and with the exact method, and compares what each gives."""

import time

import numpy as np

import tavorin
from tavorin.operators import proj_csimplex

H, LO, HI = 1.0, 0.0, 0.2
# Calls timed per method; the fastest is shown (the first pays for loading and page faults).
REPEATS = 5


def timed(call, fresh):
    """(the last result, the fastest of REPEATS calls of ``call(fresh())``)."""
    best = float("inf")
    for _ in range(REPEATS):
        argument = fresh()
        start = time.perf_counter()
        result = call(argument)
        best = min(best, time.perf_counter() - start)
    return argument, result, best


def sequential_sums(x):
    # Left to right, as a reader would add the row up (NumPy's pairwise sum hides less).
    return np.array([sum(row) for row in x.tolist()])


def main():
    rng = np.random.default_rng(2026)
    scores = rng.standard_normal((10_000, 100)) / 10.0

    by_operator, returned, operator_time = timed(lambda y: proj_csimplex(y, H, LO, HI), scores.copy)
    _, exact, exact_time = timed(
        lambda y: tavorin.project_capped_simplex(y, H, LO, HI), lambda: scores
    )

    np.set_printoptions(precision=4, suppress=True, linewidth=100)
    print(f"{scores.shape[0]} x {scores.shape[1]} scores onto {{x : {LO} <= x_j <= {HI}, ", end="")
    print(f"sum x_j = {H}}}\n")
    print(f"proj_csimplex(y, h={H}, l={LO}, u={HI}) returned {returned!r} (y changed in place)")
    print(f"tavorin.project_capped_simplex(y, {H}, {LO}, {HI}) returned a new array\n")
    print(f"row 0 before (first 8):        {scores[0, :8]}")
    print(f"row 0, operator (first 8):     {by_operator[0, :8]}")
    print(f"row 0, exact method (first 8): {exact[0, :8]}\n")

    rows = []
    for name, x, elapsed in (
        ("proj_csimplex (brentq per row)", by_operator, operator_time),
        ('project_capped_simplex ("exact")', exact, exact_time),
    ):
        error = np.abs(sequential_sums(x) - H).max()
        inside = bool(x.min() >= LO and x.max() <= HI)
        rows.append((name, elapsed, error, inside))
    print(
        f"{'':34} {'best of ' + str(REPEATS):>9} {'worst |row sum - h|':>20} {'within [l, u]':>14}"
    )
    for name, elapsed, error, inside in rows:
        print(f"{name:34} {elapsed * 1e3:6.1f} ms {error:20.3e} {str(inside):>14}")
    moved = np.abs(by_operator - exact).max()
    print(f"\nlargest difference between the two results: {moved:.3e}")
    print("(the operator stops brentq at xtol=rtol=1e-5; the exact method has no tolerance)")

    n = scores.shape[1]
    ok = all(inside for *_, inside in rows)
    ok = ok and rows[0][2] < 1e-3 and rows[1][2] <= 4 * n * np.finfo(float).eps
    print("\nall checks passed" if ok else "\nCHECKS FAILED")
    raise SystemExit(0 if ok else 1)


if __name__ == "__main__":
    main()
