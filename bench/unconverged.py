"""How many long rows brentq leaves unconverged at the iteration limit, and what that costs.

    python bench/unconverged.py

On the 10 × 100000 workloads of run.py (same seeds), for several values of
``mitr``: the rows whose brentq stopped at the limit (the status the bare C
kernel records) and the worst |row sum − h| of the module's result, next to
that of ``project_capped_simplex``'s exact method.
"""

import numpy as np
from ckernels import Kernels
from run import DATASETS, RTOL, SHAPES_FULL, XTOL, Case

import tavorin
from tavorin.operators import proj_csimplex

SHAPE = (10, 100000)


def main():
    kernels = Kernels()
    index = SHAPES_FULL.index(SHAPE) * len(DATASETS)
    print(f"{SHAPE[0]} × {SHAPE[1]}, xtol = {XTOL:g}, rtol = {RTOL:g}")
    print()
    print('| data | mitr | rows stopped at the limit | max \\|row sum − h\\| | method="exact" |')
    print("|---|---|---|---|---|")
    for offset, dataset in enumerate(DATASETS):
        case = Case(index + offset, SHAPE, dataset)
        exact = tavorin.project_capped_simplex(case.y, case.h, case.l, case.u)
        exact_error = np.abs(exact.sum(axis=1) - case.h).max()
        for mitr in (20, 30, 100):
            record = kernels.record(case.y.copy(), case.h, case.l, case.u, XTOL, RTOL, mitr)
            stopped = int(np.count_nonzero(record["error_num"] == -2))
            x = case.y.copy()
            proj_csimplex(x, case.h, case.l, case.u, XTOL, RTOL, mitr)
            error = np.abs(x.sum(axis=1) - case.h).max()
            print(
                f"| {dataset} (h = {case.h:g}) | {mitr} | {stopped} of {SHAPE[0]} | {error:.1e} "
                f"| {exact_error:.1e} |"
            )


if __name__ == "__main__":
    main()
