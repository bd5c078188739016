"""proj_csimplex end to end: results bit for bit against the literal twin, the
order of its steps, and what a failure leaves behind."""

import json
import subprocess
import sys
import textwrap

import numpy as np
import pytest
import reference
from support import (
    ADVERSARIAL_ROWS,
    EMPTY_ROW,
    SETTINGS,
    FailsAtRow,
    TraceLine,
    exported,
    module_line,
    projected,
    rows,
)

from tavorin.operators import proj_csimplex

NAN = float("nan")
INF = float("inf")


def twin(y, h, lo, hi, *rest):
    return np.array(reference.proj_csimplex(y.tolist(), h, lo, hi, *rest)).reshape(y.shape)


def random_case(seed):
    rng = np.random.default_rng(seed)
    m = int(rng.integers(1, 6))
    n = int(rng.choice([1, 2, 3, 10, 33]))
    y = rng.standard_normal((m, n)) * rng.choice([1e-3, 1.0, 1e3])
    kind = seed % 4
    if kind == 0:
        lo, hi, h = 0.0, 1.0, 1.0
    elif kind == 1:
        lo, hi = -1.0, 2.0
        h = float(rng.uniform(n * lo, n * hi))
    elif kind == 2:
        lo, hi, h = 0.0, 0.5, 0.3 * n
    else:
        lo, hi = float(rng.uniform(-1, 0)), float(rng.uniform(0, 1))
        h = float(rng.uniform(n * lo - 1, n * hi + 1))  # may be infeasible
    return y, h, lo, hi


@pytest.mark.parametrize("seed", range(40))
def test_random_arrays_match_the_twin_bit_for_bit(seed):
    y, h, lo, hi = random_case(seed)
    want = twin(y, h, lo, hi)
    proj_csimplex(y, h, lo, hi)
    assert y.tobytes() == want.tobytes()


@pytest.mark.parametrize("setting", SETTINGS)
@pytest.mark.parametrize("row", ADVERSARIAL_ROWS, ids=range(len(ADVERSARIAL_ROWS)))
def test_adversarial_rows_match_the_twin(row, setting):
    y = np.array([row])
    want = twin(y, *setting)
    proj_csimplex(y, *setting)
    assert y.tobytes() == want.tobytes()


def boundary_case(n, scale, end, ulps, seed=0):
    """Rows whose h is n*l or n*u, or `ulps` steps inside: the rounded
    residual can have one sign over the whole bracket there."""
    y = np.random.default_rng(seed).standard_normal((2, n)) * scale
    lo, hi = -0.3 * scale, 0.7 * scale
    h = n * lo if end == "l" else n * hi
    for _ in range(ulps):
        h = float(np.nextafter(h, INF if end == "l" else -INF))
    return y, h, lo, hi, lo if end == "l" else hi


BOUNDARY_CASES = [
    # rows, h, l, u, the bound every element ends at
    ([[20.4, -25.6, 4.2, -5.7, -4.5]], 0.5, 0.1, 0.5, 0.1),
    (np.random.default_rng(5).random((3, 100)).tolist(), 100 * 0.03, 0.0, 0.03, 0.03),
] + [
    boundary_case(n, scale, end, ulps)
    for n in (1, 7, 100, 10_000)
    for scale in (1e-6, 1.0, 1e6)
    for end in "lu"
    for ulps in (0, 3)
]


@pytest.mark.parametrize("y, h, lo, hi, bound", BOUNDARY_CASES)
def test_a_feasible_row_at_an_end_of_its_range_goes_to_that_bound(y, h, lo, hi, bound):
    y = np.array(y)
    want = twin(y, h, lo, hi)
    proj_csimplex(y, h, lo, hi)
    assert y.tobytes() == want.tobytes()
    np.testing.assert_allclose(y, bound, rtol=1e-12, atol=1e-12 * abs(hi - lo))


def test_worked_example():
    y = np.array([[0.2, 0.5, 0.9], [1.0, 1.0, 1.0]])
    assert proj_csimplex(y, 1.0, 0.0, 1.0) is None
    np.testing.assert_allclose(y, [[0.0, 0.3, 0.7], [1 / 3, 1 / 3, 1 / 3]], atol=1e-4)


def test_rows_at_a_stride_and_strided_views_of_a_larger_buffer():
    base = rows(6, 5, seed=1)
    with pytest.raises(ValueError):  # NumPy refuses a C-contiguous export itself
        proj_csimplex(base[::2], 1.0, 0.0, 1.0)
    block = base[2:5]  # contiguous rows inside a larger array
    want = twin(block.copy(), 1.0, 0.0, 1.0)
    proj_csimplex(block, 1.0, 0.0, 1.0)
    assert block.tobytes() == want.tobytes()


def test_zero_columns_fail_at_the_first_bracket():
    y = np.empty((3, 0))
    with pytest.raises(ValueError) as info:
        proj_csimplex(y, 1.0, 0.0, 1.0)
    assert str(info.value) == EMPTY_ROW
    assert module_line(info.value) == TraceLine.LOWER_BRACKET


@pytest.mark.parametrize("position", [4, 5])
def test_failure_on_a_later_row_keeps_earlier_rows_projected(position):
    y = rows(4, 6, seed=7)
    want = twin(y, 1.0, 0.0, 1.0)
    args = [y, 1.0, 0.0, 1.0, 1e-5, 1e-5, 20]
    args[position] = FailsAtRow(2)
    before = y.copy()
    with pytest.raises(ArithmeticError) as info:
        proj_csimplex(*args)
    assert module_line(info.value) == TraceLine.ROW_SCALARS
    assert y[:2].tobytes() == want[:2].tobytes()
    assert y[2:].tobytes() == before[2:].tobytes()


def test_the_buffer_is_exported_exactly_during_the_call():
    y = rows(seed=3)
    data, view = exported(y)
    seen = []

    class Probe:
        def __float__(self):
            try:
                view.release()
                seen.append("released")
            except BufferError:
                seen.append("exported")
            return 1e-5

    want = twin(y, 1.0, 0.0, 1.0)
    proj_csimplex(view, 1.0, 0.0, 1.0, Probe())
    assert seen == ["exported"] * 3
    view.release()
    assert bytes(data) == want.tobytes()


LITERAL_PATH = """
import builtins, json, sys
import numpy as np
real_min, real_max = builtins.min, builtins.max
calls = []
def min(*a, **k):
    calls.append(type(a[0]).__name__)
    return real_min(*a, **k)
def max(*a, **k):
    calls.append(type(a[0]).__name__)
    return real_max(*a, **k)
builtins.min, builtins.max = min, max
from tavorin.operators import proj_csimplex
cases = json.loads(sys.stdin.read())
out = []
for rows, setting in cases:
    y = np.array(rows, dtype=float)
    proj_csimplex(y, *setting)
    out.append(y.tobytes().hex())
try:
    proj_csimplex(np.empty((2, 0)), 1.0, 0.0, 1.0)
except ValueError as e:
    out.append(str(e))
print(json.dumps([out, calls.count("_memoryviewslice")]))
"""


def test_literal_bracket_path_gives_the_same_bytes():
    cases = []
    for row in ADVERSARIAL_ROWS:
        for setting in SETTINGS[:4]:
            cases.append(([row, row[::-1]], setting))
    for seed in range(8):
        y, h, lo, hi = random_case(seed)
        cases.append((y.tolist(), (h, lo, hi)))
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(LITERAL_PATH)],
        input=json.dumps(cases),
        capture_output=True,
        text=True,
        timeout=120,
        check=True,
    )
    out, calls = json.loads(proc.stdout)
    expected = []
    for case_rows, setting in cases:
        expected.append(projected(case_rows, *setting).tobytes().hex())
    expected.append(EMPTY_ROW)
    assert out == expected
    # The replacements saw every row: both ends for each, min alone for the empty one.
    assert calls == 2 * sum(len(case_rows) for case_rows, _ in cases) + 1
