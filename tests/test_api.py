"""tavorin.project_capped_simplex: the bytes of proj_csimplex whatever the threads, per-row
bounds, the exact refinement, axes and outputs, refusals, fork safety and the released lock."""

import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest
from support import AxisError, projected, rows
from test_projection import ADVERSARIAL_ROWS, SETTINGS

import tavorin
from tavorin.operators import proj_csimplex

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "bench"))
import numpy_methods  # noqa: E402  (the sort-based exact method lives with the benchmarks)

project = tavorin.project_capped_simplex
WORKERS = [None, 1, 2, 3, -1]


def feasible(n, h, lo, hi):
    return lo <= hi and n * lo <= h <= n * hi


def adversarial_block(rows, width, seed):
    """Many rows of `width`: the adversarial rows of that width among random ones,
    enough elements for several threads."""
    rng = np.random.default_rng(seed)
    y = rng.standard_normal((9000, width)) * rng.choice([1e-3, 1.0, 1e3], size=(9000, 1))
    special = [r for r in rows if len(r) == width]
    for k, row in enumerate(special):
        y[k * 997 % 9000] = row
        y[-1 - k] = row[::-1]
    return y


@pytest.mark.parametrize("workers", WORKERS)
@pytest.mark.parametrize("setting", SETTINGS, ids=range(len(SETTINGS)))
def test_bytes_of_proj_csimplex_for_any_workers(setting, workers):
    h, lo, hi, xtol, rtol, mitr = setting
    arrays = [np.array([row, row[::-1]]) for row in ADVERSARIAL_ROWS]
    arrays += [adversarial_block(ADVERSARIAL_ROWS, w, w) for w in (3, 4)]
    tested = 0
    for y in arrays:
        if not feasible(y.shape[1], h, lo, hi) or mitr < 1:
            continue
        want = projected(y, *setting)
        got = project(y, h, lo, hi, xtol=xtol, rtol=rtol, maxiter=mitr, workers=workers)
        assert got.tobytes() == want.tobytes()
        inplace = y.copy()
        assert project(inplace, h, lo, hi, xtol=xtol, rtol=rtol, maxiter=mitr, out=inplace,
                       workers=workers) is inplace  # fmt: skip
        assert inplace.tobytes() == want.tobytes()
        tested += 1
    assert tested or not feasible(3, h, lo, hi) or mitr < 1


def random_bounds(rng, shape, n):
    lo = rng.uniform(-1.0, 0.5, shape)
    hi = lo + rng.uniform(0.0, 1.0, shape)
    h = rng.uniform(n * lo, n * hi)
    return h, lo, hi


@pytest.mark.parametrize("workers", [1, 2])
@pytest.mark.parametrize(
    "shape, bounds_shape, misaligned",
    [
        ((40, 7), (40,), False),
        ((40, 7), (40,), True),  # bounds at an odd address, as a received buffer may be
        ((6, 5, 9), (6, 5), False),
        ((6, 5, 9), (5,), False),  # broadcast over the first batch axis
        ((6, 5, 9), (6, 1), False),
        ((20000, 3), (20000,), False),  # enough for threads
    ],
)
def test_per_row_bounds_match_a_loop_of_the_operator(shape, bounds_shape, misaligned, workers):
    rng = np.random.default_rng(sum(shape))
    y = rng.standard_normal(shape)
    n = shape[-1]
    h, lo, hi = random_bounds(rng, bounds_shape, n)
    if misaligned:
        odd = np.zeros(h.nbytes + 1, np.uint8)[1:].view(np.float64)
        assert not odd.flags.aligned
        odd[...] = h
        h = odd
    got = project(y, h, lo, hi, workers=workers)
    hb, lb, ub = (np.broadcast_to(v, shape[:-1]) for v in (h, lo, hi))
    for index in np.ndindex(*shape[:-1]):
        want = projected(y[index][None], hb[index], lb[index], ub[index])[0]
        assert got[index].tobytes() == want.tobytes()


def exact_cases():
    rng = np.random.default_rng(5)
    yield "random", rng.standard_normal((300, 50)) / 7, 1.0, 0.0, 1.0
    yield "box", rng.standard_normal((300, 50)), 15.0, 0.0, 0.5
    yield "long rows", rng.standard_normal((4, 20000)), 0.3 * 20000, 0.0, 0.5
    yield "ties", rng.integers(-3, 4, (500, 12)).astype(float), 4.0, -1.0, 2.0
    yield "one element", rng.standard_normal((50, 1)), 0.25, 0.0, 1.0
    yield "l = u", rng.standard_normal((50, 6)), 3.0, 0.5, 0.5
    yield "h = n*u", rng.standard_normal((50, 6)), 6.0, 0.0, 1.0
    yield "h = n*l", rng.standard_normal((50, 6)), 0.0, 0.0, 1.0
    yield "large", rng.standard_normal((200, 30)) * 1e6, 1e6, -1e5, 2e5


@pytest.mark.parametrize("workers", [1, 2])
@pytest.mark.parametrize("case", list(exact_cases()), ids=lambda c: c[0])
def test_exact_matches_the_sort_based_method_and_sums_to_h(case, workers):
    _, y, h, lo, hi = case
    got = project(y, h, lo, hi, exact=True, workers=workers)
    n = y.shape[1]
    scale = max(np.abs(y).max(), abs(h), abs(lo), abs(hi))
    if lo < hi:
        want = y.copy()
        numpy_methods.sort_based(want, h, lo, hi)
        assert np.abs(got - want).max() <= 1e-13 * scale
    assert ((got >= lo) & (got <= hi)).all()
    row_sum = np.array([sum(row) for row in got.tolist()])  # sequential, like the bound below
    assert np.abs(row_sum - h).max() <= 4 * n * np.finfo(float).eps * scale


@pytest.mark.parametrize("row", [[0.3, np.nan, 0.2], [np.inf, 0.2, 0.3], [0.1, -np.inf, 0.5]])
def test_exact_gives_non_finite_rows_as_nan(row):
    got = project([row, [0.2, 0.5, 0.9]], 1.0, 0.0, 1.0, exact=True)
    assert np.isnan(got[0]).all()
    np.testing.assert_allclose(got[1], [0.0, 0.3, 0.7], atol=1e-15)


def base(shape, dtype=np.float64):
    return rows(int(np.prod(shape[:-1])), shape[-1], seed=len(shape)).reshape(shape).astype(dtype)


# name -> (y, axis, out maker or None, whether the result must be y itself)
LAYOUTS = {
    "last axis": (base((4, 6)), -1, None),
    "first axis": (base((5, 3)), 0, None),
    "middle axis": (base((3, 5, 4)), 1, None),
    "one vector": (base((7,)), 0, None),
    "no batch rows": (base((0, 5)), -1, None),
    "ints": (np.arange(24).reshape(4, 6) % 5, -1, None),
    "float32": (base((4, 6), np.float32), -1, None),
    "bools": (np.eye(4, dtype=bool), 1, None),
    "nested lists": (base((3, 4)).tolist(), -1, None),
    "out is y": (base((4, 6)), -1, "y"),
    "out is y, first axis": (base((5, 3)), 0, "y"),
    "out is y, strided rows": (base((8, 12))[::2, 3:9], -1, "y"),
    "out is y, every other column": (base((4, 12))[:, ::2], -1, "y"),
    "fresh out": (base((4, 6)), -1, "empty"),
    "Fortran out": (base((4, 6)), -1, "fortran"),
    "float32 into out": (base((4, 6), np.float32), 0, "empty"),
}


@pytest.mark.parametrize("workers", [1, 2])
@pytest.mark.parametrize("name", LAYOUTS)
def test_axes_and_outputs(name, workers):
    y, axis, out_kind = LAYOUTS[name]
    y = y.copy() if isinstance(y, np.ndarray) else y
    array = np.asarray(y)
    before = array.copy()
    out = {
        None: None,
        "y": y,
        "empty": np.full(array.shape, np.nan),
        "fortran": np.full(array.shape, np.nan, order="F"),
    }[out_kind]
    moved = np.moveaxis(array.astype(np.float64), axis, -1)
    want = projected(np.ascontiguousarray(moved).reshape(-1, moved.shape[-1]), 2.0, 0.0, 1.0)
    got = project(y, 2.0, 0.0, 1.0, axis=axis, out=out, workers=workers)
    assert got.dtype == np.float64 and got.shape == array.shape
    assert (got is out) if out is not None else not np.shares_memory(got, array)
    assert np.moveaxis(got, axis, -1).reshape(want.shape).tobytes() == want.tobytes()
    if out_kind != "y":
        assert np.asarray(y).tobytes() == before.tobytes()


class Opaque:
    pass


Y = np.zeros((3, 4))
REFUSALS = [
    # arguments, keywords, exception, message
    (([[1 + 2j, 0]], 1, 0, 1), {}, TypeError, "y must be an array of real numbers, not complex128"),
    ((["a", "b"], 1, 0, 1), {}, TypeError, "y must be an array of real numbers, not <U1"),
    (([Opaque()], 1, 0, 1), {}, TypeError, "y must be an array of real numbers, not object"),
    ((Y, 1j, 0, 1), {}, TypeError, "h must be an array of real numbers, not complex128"),
    ((Y, 1, None, 1), {}, TypeError, "l must be an array of real numbers, not object"),
    ((Y, 1, 0, "1"), {}, TypeError, "u must be an array of real numbers, not <U1"),
    ((Y, [1, 2], 0, 1), {}, ValueError,
     "h of shape (2,) does not broadcast to the batch shape (3,)"),
    ((Y, 1, np.zeros((3, 1)), 1), {}, ValueError,
     "l of shape (3, 1) does not broadcast to the batch shape (3,)"),
    ((np.zeros((3, 0)), 1, 0, 1), {}, ValueError,
     "y has no elements along axis -1: nothing to project"),
    ((np.zeros((0, 3)), 1, 0, 1), {"axis": 0}, ValueError,
     "y has no elements along axis 0: nothing to project"),
    ((3.0, 1, 0, 1), {}, ValueError, "y must have at least one dimension"),
    ((Y, 1, 0, 1), {"axis": 2}, AxisError,
     "axis 2 is out of bounds for array of dimension 2"),
    ((Y, 1, 0, 1), {"maxiter": 0}, ValueError, "maxiter must be between 1 and 2147483647, got 0"),
    ((Y, 1, 0, 1), {"maxiter": 2**31}, ValueError,
     "maxiter must be between 1 and 2147483647, got 2147483648"),
    ((Y, 1, 0, 1), {"maxiter": 2.5}, TypeError,
     "'float' object cannot be interpreted as an integer"),
    ((Y, 1, 0, 1), {"workers": 0}, ValueError, "workers must not be zero"),
    ((Y, 1, 0, 1), {"workers": -1000}, ValueError,
     "workers value out of range; got -1000, must not be less than -{usable}"),
    ((Y, 1, 0, 1), {"out": [[0.0] * 4] * 3}, TypeError, "out must be a numpy.ndarray, not list"),
    ((Y, 1, 0, 1), {"out": np.zeros((3, 4), np.float32)}, TypeError,
     "out must have dtype float64, not float32"),
    ((Y, 1, 0, 1), {"out": np.zeros((4, 3))}, ValueError,
     "out has shape (4, 3), but the result has shape (3, 4)"),
    ((Y, 1, 0, 1), {"out": np.broadcast_to(0.0, (3, 4))}, ValueError, "out is read-only"),
    # Vectors without a feasible point: nothing is written.
    ((Y, 5.0, 0, 1), {}, ValueError,
     "no feasible point for the vector at batch index (0,): needs finite h, l, u with "
     "l <= u and n*l <= h <= n*u, got h=5.0, l=0.0, u=1.0, n=4"),
    ((Y, [1, 2, -1], 0, 1), {}, ValueError,
     "no feasible point for the vector at batch index (2,): needs finite h, l, u with "
     "l <= u and n*l <= h <= n*u, got h=-1.0, l=0.0, u=1.0, n=4"),
    ((Y, 1, 0.6, 0.5), {}, ValueError,
     "no feasible point for the vector at batch index (0,): needs finite h, l, u with "
     "l <= u and n*l <= h <= n*u, got h=1.0, l=0.6, u=0.5, n=4"),
    ((np.zeros((2, 3, 2)), 1, [[0, 0, 0], [0, np.nan, 0]], 1), {}, ValueError,
     "no feasible point for the vector at batch index (1, 1): needs finite h, l, u with "
     "l <= u and n*l <= h <= n*u, got h=1.0, l=nan, u=1.0, n=2"),
    ((Y, 1, -np.inf, 1), {}, ValueError,
     "no feasible point for the vector at batch index (0,): needs finite h, l, u with "
     "l <= u and n*l <= h <= n*u, got h=1.0, l=-inf, u=1.0, n=4"),
]  # fmt: skip


@pytest.mark.parametrize("args, kwargs, error, message", REFUSALS)
def test_refusals(args, kwargs, error, message):
    import os

    message = message.format(usable=len(os.sched_getaffinity(0)))
    out = kwargs.get("out")
    kept = [a.copy() for a in (args[0], out) if isinstance(a, np.ndarray)]
    with pytest.raises(error) as info:
        project(*args, **kwargs)
    assert str(info.value) == message
    left = [a for a in (args[0], out) if isinstance(a, np.ndarray)]
    assert all(a.tobytes() == b.tobytes() for a, b in zip(left, kept))


FORK = """
import os, sys
import numpy as np
import tavorin
y = np.random.default_rng(1).standard_normal((4000, 50))
first = tavorin.project_capped_simplex(y, 1.0, 0.0, 1.0, workers=2)
pid = os.fork()
if pid == 0:
    again = tavorin.project_capped_simplex(y, 1.0, 0.0, 1.0, workers=2)
    os._exit(0 if again.tobytes() == first.tobytes() else 3)
_, status = os.waitpid(pid, 0)
sys.exit(os.waitstatus_to_exitcode(status))
"""

# The program ends while a daemon thread is in a long call without the lock.
DAEMON_AT_EXIT = """
import threading, time
import numpy as np
import tavorin
y = np.random.default_rng(1).standard_normal((2000, 1000))
tavorin.project_capped_simplex(y[:1], 1.0, 0.0, 1.0)  # imports done on this thread
long_call = lambda: tavorin.project_capped_simplex(
    y, 1.0, 0.0, 1.0, out=y, xtol=1e-300, rtol=4.5e-16, maxiter=500, workers=2)
threading.Thread(target=long_call, daemon=True).start()
time.sleep(0.05)
"""


@pytest.mark.parametrize("script", [FORK, DAEMON_AT_EXIT], ids=["fork", "daemon at exit"])
def test_processes_end_cleanly(script):
    proc = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=60
    )
    assert (proc.returncode, proc.stderr) == (0, "")


NO_THREADS = """
import resource
import numpy as np
import tavorin
y = np.random.default_rng(1).standard_normal((4000, 50))
before = y.copy()
tavorin.project_capped_simplex(y, 1.0, 0.0, 1.0, out=y, workers=1)  # everything loaded
y[...] = before
used = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (used + (1 << 20), hard))
try:
    tavorin.project_capped_simplex(y, 1.0, 0.0, 1.0, out=y, workers=4)
except RuntimeError as e:
    print(e)
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
print(y.tobytes() == before.tobytes())
"""


@pytest.mark.unsanitized  # the sanitizer's own mappings do not fit under an address-space limit
def test_threads_that_cannot_start_raise_and_write_nothing():
    proc = subprocess.run(
        [sys.executable, "-c", NO_THREADS], capture_output=True, text=True, timeout=60
    )
    assert proc.stdout.splitlines() == [
        "workers: could not start 3 threads; nothing was projected",
        "True",
    ], proc.stderr


def operator_call(y):
    proj_csimplex(y, 1.0, 0.0, 1.0)


def api_call(y):
    project(y, 1.0, 0.0, 1.0, out=y)


@pytest.mark.parametrize("call, releases", [(operator_call, False), (api_call, True)])
def test_another_thread_runs_during_a_long_call(call, releases):
    # With a long switch interval the interpreter never takes the lock away
    # from this thread by itself: the counter moves during the call only if
    # the call lets go of the lock.
    counter = [0]
    stop = threading.Event()

    def count():
        while not stop.is_set():
            counter[0] += 1
            time.sleep(1e-4)  # not runnable meanwhile: never in the way of the lock's return

    y = rows(2000, 1000, seed=2)
    before = sys.getswitchinterval()
    sys.setswitchinterval(100.0)
    worker = threading.Thread(target=count)
    try:
        worker.start()
        progress = []
        for _ in range(3):
            work = y.copy()  # NumPy lets go of the lock for large copies
            start = counter[0]
            call(work)
            progress.append(counter[0] - start)
    finally:
        stop.set()
        sys.setswitchinterval(before)
        worker.join()
    assert (max(progress) > 0) == releases, progress
