"""The residual and the row projection, against the literal Python twin."""

import math
import random

import pytest
import reference
from support import bits

NAN = float("nan")
INF = float("inf")


def spaced(n, terms, fill=-1.0):
    """A row of n copies of `fill` with `terms` ({index: value}) in place."""
    row = [fill] * n
    for i, v in terms.items():
        row[i] = v
    return row


def gaussian(n, seed, scale=1.0):
    rng = random.Random(seed)
    return [rng.gauss(0.0, scale) for _ in range(n)]


# Rows long enough for the residual to leave its zero terms out of the sum,
# cut around the length of one compacted block (128) and the first length
# that is compacted at all (96); with x = 0, l = 0, a fill of -1.0 is a zero term.
CANCELLING = [1e16, 1.0, -1e16, 1.0, 1.0, 3.0, -1e16, 1e16, 0.5]
LONG_RESIDUAL_CASES = [
    # row, x, h, l, u
    ([-1.0] * 128, 0.0, 1.0, 0.0, 1.0),  # every term zero
    ([-1.0] * 257, 0.0, -0.0, 0.0, 1.0),
    ([-0.0] * 129, 0.0, 0.0, 0.0, 1.0),  # every term -0.0: the sum stays +0.0
    ([-1.0] * 130, 0.0, 0.0, -0.0, 1.0),  # every term -0.0, from l
    (spaced(257, {256: 0.75}), 0.0, 1.0, 0.0, 1.0),  # only the last term
    (spaced(131, {130: 0.75}), 0.0, 1.0, 0.0, 1.0),  # only the last, past the whole groups
    (spaced(257, {127: 0.75, 128: 0.125}), 0.0, 1.0, 0.0, 1.0),  # across a block's end
    (spaced(255, {0: NAN, 200: 0.5}), 0.0, 1.0, 0.0, 1.0),
    (spaced(131, {97: NAN}), 0.0, 1.0, 0.0, 1.0),
    (spaced(256, {255: NAN}), 0.0, 1.0, 0.0, 1.0),
    (spaced(200, {3: INF, 150: -INF}), 0.0, 0.0, 0.0, INF),  # -inf clips to zero
    (spaced(200, {3: INF, 150: -INF}, fill=0.0), 0.0, 0.0, -INF, INF),  # inf - inf
    (
        spaced(300, {7 + 31 * i: v for i, v in enumerate(CANCELLING)}, fill=-0.0),
        0.0,
        0.0,
        -INF,
        INF,
    ),
    (spaced(129, {4 * i + 3: v for i, v in enumerate(CANCELLING)}, fill=0.0), 0.0, 0.0, -INF, INF),
    ([1.0] * 129, -5.0, 1.0, 0.0, 1.0),  # every term u
    ([0.25 * (i % 5) for i in range(96)], 0.5, 1.0, 0.0, 1.0),
]
for _n in [95, 96, 97, 100, 127, 128, 129, 130, 131, 255, 256, 257, 1000]:
    _row = gaussian(_n, _n, 1.0 / math.sqrt(_n))
    for _x in [min(_row) - 1.0, -0.5, 0.0, 0.1, 0.3, max(_row)]:
        LONG_RESIDUAL_CASES.append((_row, _x, 1.0, 0.0, 1.0))
    _row = gaussian(_n, -_n)
    for _x in [-1.0, 0.25, 1.5]:
        LONG_RESIDUAL_CASES.append((_row, _x, 0.3 * _n, 0.0, 0.5))
        LONG_RESIDUAL_CASES.append((_row, _x, 0.0, -1.0, 1.0))

RESIDUAL_CASES = [
    # row, x, h, l, u
    ([], 0.3, 1.0, 0.0, 1.0),
    ([], 0.3, -2.5, 0.0, 1.0),
    ([0.2, 0.5, 0.9], 0.2, 1.0, 0.0, 1.0),
    ([0.2, 0.5, 0.9], -5.0, 1.0, 0.0, 1.0),
    ([0.2, 0.5, 0.9], 5.0, 1.0, 0.0, 1.0),
    ([0.2, NAN, 0.9], 0.1, 1.0, 0.0, 1.0),
    ([0.2, 0.5, 0.9], 0.1, 1.0, 2.0, 1.0),  # l > u: every term is l
    ([1.0, 1.0, 1.0], 0.0, 1.0, 0.0, 1.0),  # t == u keeps t
    ([-0.0, 0.0, -0.0], 0.0, 0.0, -1.0, 1.0),
    ([1e300, -1e300, 1.0, 1e-300], 0.5, 0.0, -INF, INF),
    ([INF, -INF, 3.0], 1.0, 0.0, 0.0, 1.0),
    *LONG_RESIDUAL_CASES,
]


@pytest.mark.parametrize("row, x, h, lo, hi", RESIDUAL_CASES)
def test_residual_is_bit_identical_to_the_sequential_sum(core, row, x, h, lo, hi):
    got = core.residual(row, x, h, lo, hi)
    want = reference.residual(row, x, h, lo, hi)
    assert bits([got]) == bits([want])


def test_residual_with_no_elements_is_minus_h(core):
    assert core.residual([], 0.7, 2.5, 0.0, 1.0) == -2.5


def test_residual_sums_strictly_left_to_right(core):
    # A reassociated sum of these terms gives another result.
    row = [1e16, 1.0, -1e16, 1.0, 1.0, 3.0, -1e16, 1e16, 0.5]
    want = reference.residual(row, 0.0, 0.0, -INF, INF)
    assert bits([core.residual(row, 0.0, 0.0, -INF, INF)]) == bits([want])
    assert want != math.fsum(row)


def project_both(core, row, h, lo, hi, xtol=1e-5, rtol=1e-5, mitr=20):
    xa = min(row) - hi
    xb = max(row) - lo
    got = core.project(row, xa, xb, h, lo, hi, xtol, rtol, mitr, reference.BRENTQ_CAPSULE)
    want = reference.project_row(row, xa, xb, h, lo, hi, xtol, rtol, mitr)
    return got, want


PROJECTION_CASES = [
    # row, h, l, u
    ([0.2, 0.5, 0.9], 1.0, 0.0, 1.0),
    ([0.25, 0.25, 0.5], 1.0, 0.0, 1.0),  # already inside
    ([1.0, 1.0, 1.0], 1.0, 0.0, 1.0),
    ([0.2, 0.5, 0.9], 1.0, 2.0, 1.0),  # l > u
    ([0.2, NAN, 0.9], 1.0, 0.0, 1.0),
    ([NAN, 0.2, 0.9], 1.0, 0.0, 1.0),
    ([5.0, -3.0, 2.0, 0.0], 10.0, 0.0, 1.0),  # h above n*u
    ([5.0, -3.0, 2.0, 0.0], 1.0, -0.0, 0.5),
    ([0.0, -0.0, 0.0], 0.0, -0.0, 0.0),
]


@pytest.mark.parametrize("row, h, lo, hi", PROJECTION_CASES)
def test_row_projection_matches_the_twin(core, row, h, lo, hi):
    got, want = project_both(core, row, h, lo, hi)
    assert bits(got) == bits(want)


def test_projection_example_values(core):
    got, _ = project_both(core, [0.2, 0.5, 0.9], 1.0, 0.0, 1.0)
    assert got[0] == pytest.approx(0.0, abs=1e-4)
    assert got[1:] == pytest.approx([0.3, 0.7], abs=1e-4)
    got, _ = project_both(core, [0.2, 0.5, 0.9], 1.0, 2.0, 1.0)
    assert got == [2.0, 2.0, 2.0]
    got, _ = project_both(core, [0.2, NAN, 0.9], 1.0, 0.0, 1.0)
    assert math.isnan(got[1])


@pytest.mark.parametrize("n", [96, 100, 128, 129, 257, 1000])
@pytest.mark.parametrize("seed", range(3))
def test_long_rows_match_the_twin(core, n, seed):
    # Long rows take the residual that leaves the zero terms out; every trial
    # shift brentq asks for must give the same bits, or the projections differ.
    row = gaussian(n, 1000 * n + seed, 1.0 / math.sqrt(n))
    for h, lo, hi in [(1.0, 0.0, 1.0), (0.3 * n, 0.0, 0.5), (0.0, -1.0, 1.0)]:
        got, want = project_both(core, row, h, lo, hi, 1e-14, 1e-15, 100)
        assert bits(got) == bits(want)


@pytest.mark.parametrize("seed", range(20))
@pytest.mark.parametrize("xtol, rtol, mitr", [(1e-5, 1e-5, 20), (1e-14, 1e-15, 100), (0.1, 0.1, 1)])
def test_random_rows_match_the_twin(core, seed, xtol, rtol, mitr):
    rng = random.Random(seed)
    n = rng.choice([1, 2, 3, 7, 50])
    row = [rng.gauss(0.0, 1.0) for _ in range(n)]
    lo = rng.choice([0.0, -1.0])
    hi = rng.choice([1.0, 0.5, 3.0])
    h = rng.uniform(n * lo, n * hi)
    got, want = project_both(core, row, h, lo, hi, xtol, rtol, mitr)
    assert bits(got) == bits(want)
