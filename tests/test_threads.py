"""Several threads calling proj_csimplex at once.  The call holds the
interpreter lock throughout, except where a caller's own conversion method
lets it go; each thread's own array must come out exactly as it does on its
own, and a shared array must stay sane."""

import sys
import threading
import time

import numpy as np
import pytest
from support import FailsAtRow, TraceLine, module_line, projected, rows

from tavorin.operators import proj_csimplex

M, N = 200, 16
CALLS = 200


class Yielding:
    """1e-05, whose conversion (once per row) lets the other threads run."""

    def __float__(self):
        time.sleep(0)
        return 1e-05


@pytest.fixture
def fast_switching():
    before = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(before)


def start_together(targets):
    """Runs each target on its own thread, all released at once; re-raises
    the first failure."""
    barrier = threading.Barrier(len(targets))
    errors = []

    def run(target):
        try:
            barrier.wait()
            target()
        except BaseException as error:  # reported on the main thread
            errors.append(error)

    threads = [threading.Thread(target=run, args=(t,)) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]


def data(seed):
    return rows(M, N, seed, scale=(1e-3, 1.0, 1e3)[seed % 3])


def test_own_arrays_match_the_single_threaded_result(fast_switching, double_exporter):
    setting = (1.0, 0.0, 1.0)
    inputs = [data(seed) for seed in range(6)]
    wanted = [projected(y, *setting).tobytes() for y in inputs]

    def own_numpy(k, tol):
        def run():
            for _ in range(CALLS):
                y = inputs[k].copy()
                proj_csimplex(y, *setting, tol, tol)
                assert y.tobytes() == wanted[k]

        return run

    def own_exporter(k):
        def run():
            for _ in range(CALLS):
                exporter = double_exporter(inputs[k])
                proj_csimplex(exporter, *setting, Yielding())
                assert exporter.raw() == wanted[k]
                assert exporter.live_exports == 0

        return run

    def failing(k):
        def run():
            for _ in range(CALLS):
                y = inputs[k].copy()
                with pytest.raises(ArithmeticError) as info:
                    proj_csimplex(y, *setting, 1e-05, FailsAtRow(50))
                assert module_line(info.value) == TraceLine.ROW_SCALARS
                assert y[:50].tobytes() == wanted[k][: 50 * N * 8]
                assert y[50:].tobytes() == inputs[k][50:].tobytes()

        return run

    start_together([own_numpy(0, 1e-05), own_numpy(1, Yielding()), own_numpy(2, Yielding()),
                    own_exporter(3), own_exporter(4), failing(5)])  # fmt: skip


def test_shared_array_stays_sane(fast_switching):
    shared = data(7)
    shared[3, 5] = np.nan  # a row that stays NaN whoever projects it

    def project(lo, hi):
        def run():
            for _ in range(CALLS):
                proj_csimplex(shared, 1.0, lo, hi, Yielding())

        return run

    start_together([project(0.0, 1.0), project(0.0, 1.0), project(0.0, 0.5)])
    finite = np.ones(shared.shape, bool)
    finite[3] = False
    assert np.isnan(shared[3, 5])
    assert np.isfinite(shared[finite]).all()
    assert (shared[finite] >= 0.0).all() and (shared[finite] <= 1.0).all()
