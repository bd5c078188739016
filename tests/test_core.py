"""The residual and the row projection, against the literal Python twin."""

import math
import random

import pytest
import reference
from support import INF, NAN, PROJECTION_CASES, RESIDUAL_CASES, bits, gaussian


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
