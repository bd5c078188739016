"""tavorin.project_capped_simplex: the bytes of proj_csimplex with method="brentq" whatever the
threads and per-row bounds; the exact method against exact arithmetic on every kind of set; axes,
dtypes and outputs; refusals before anything is written; fork safety and the released lock."""

import os
import subprocess
import sys
import threading
import time
from fractions import Fraction

import numpy as np
import pytest
from exact_reference import exact, l1_ball, one_sided, sorted_search
from front_ends import (
    L1_REFUSALS,
    NAN_ROW,
    REFUSALS,
    SET_SHAPES,
    refused_or_projected,
    set_shape_ids,
)
from support import ADVERSARIAL_ROWS, SETTINGS, projected, rows

import tavorin
from tavorin.operators import proj_csimplex

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
        # The API refuses what SciPy's brentq refuses (rtol below 4*eps) and empty sets.
        if not feasible(y.shape[1], h, lo, hi) or mitr < 1 or rtol < 4 * np.finfo(float).eps:
            continue
        want = projected(y, *setting)
        brentq = dict(method="brentq", check_finite=False, xtol=xtol, rtol=rtol, maxiter=mitr)
        got = project(y, h, lo, hi, workers=workers, **brentq)
        assert got.tobytes() == want.tobytes()
        inplace = y.copy()
        assert project(inplace, h, lo, hi, out=inplace, workers=workers, **brentq) is inplace
        assert inplace.tobytes() == want.tobytes()
        tested += 1
    assert tested or not feasible(3, h, lo, hi) or mitr < 1 or rtol < 4 * np.finfo(float).eps


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
        ((6, 5, 9), (6, 5, 1), False),  # the shape keepdims=True gives
        ((6, 5, 9), (1, 1, 1), False),
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
    got = project(y, h, lo, hi, method="brentq", workers=workers)
    hb, lb, ub = (np.broadcast_to(np.squeeze(v, -1) if v.ndim == 3 else v, shape[:-1])
                  for v in (h, lo, hi))  # fmt: skip
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
    got = project(y, h, lo, hi, workers=workers)
    n = y.shape[1]
    scale = max(np.abs(y).max(), abs(h), abs(lo), abs(hi))
    if lo < hi:
        want = np.array([sorted_search(row, h, lo, hi) for row in y])
        assert np.abs(got - want).max() <= 1e-13 * scale
    assert ((got >= lo) & (got <= hi)).all()
    row_sum = np.array([sum(row) for row in got.tolist()])  # sequential, like the bound below
    assert np.abs(row_sum - h).max() <= 4 * n * np.finfo(float).eps * scale


def set_cases():
    rng = np.random.default_rng(20)
    normal = rng.standard_normal
    lo = rng.uniform(-1.0, 0.0, (30, 8))
    hi = lo + rng.uniform(0.0, 1.0, (30, 8))
    mid = (lo + hi).sum(1) / 2
    w = rng.uniform(0.1, 3.0, (30, 8))
    tails = normal((30, 12)) * 10.0 ** rng.uniform(-8, 8, (30, 12))
    small_w = [[7.574359618308917, 1.2784341458449142e-09]]
    small_u = [[9.413104084079327, 1.0]]
    wide_w = 10.0 ** rng.uniform(-9, 9, (30, 8))
    wide_mid = (wide_w * (lo + hi)).sum(1) / 2
    # name, y, h, l, u, weights
    yield "left merely clipped by brentq", [[20.4, -25.6, 4.2, -5.7, -4.5]], 0.5, 0.1, 0.5, None
    yield "h = n*u as rounded", normal((3, 100)), 100 * 0.03, 0.0, 0.03, None
    yield "h an ulp inside n*l", normal((20, 7)) * 1e6, np.nextafter(0.7, 1), 0.1, 0.5, None
    yield "u = inf", normal((30, 8)), 1.0, 0.0, np.inf, None
    yield "l = -inf", normal((30, 8)), 1.0, -np.inf, 0.5, None
    yield "hyperplane", normal((30, 8)), 2.0, -np.inf, np.inf, None
    yield "per-element bounds", normal((30, 8)), mid, lo, hi, None
    yield "infinite per element", normal((30, 8)), 1.0, np.where(lo < -0.5, -np.inf, lo), 1.0, None
    yield "weights per element", normal((30, 8)), w.sum(1) / 3, 0.0, 1.0, w
    yield "weights per vector", normal((30, 8)), 1.0, 0.0, 1.0, w[:, :1]
    yield "weights, u = inf", normal((30, 8)), 2.0, 0.0, np.inf, w
    # A free element's small weight divides the rounding of the others' terms by itself.
    yield "one small free weight", [[10.0, 0.0]], 71.29823545802842, 0.0, small_u, small_w
    yield "weights 10^-9..10^9", normal((30, 8)), wide_mid, lo, hi, wide_w
    yield "near overflow", normal((20, 6)) * 1e307, 0.0, -1e308, 1e308, None
    yield "heavy tails", tails, 1.0, 0.0, 1.0, None
    yield "ties, integer h", rng.integers(0, 3, (40, 9)).astype(float), 3.0, 0.0, 1.0, None
    yield "no free element", [[5.0, 5.0, -5.0, -5.0]], 1.0, 0.0, 0.5, None
    yield "float32", normal((30, 20)).astype(np.float32), 1.0, 0.0, 1.0, None
    yield "float32, per element", normal((30, 8)).astype(np.float32), mid, lo, hi, None
    # For the one-sided decision, four vectors at a time: runs of clipped and unclipped
    # vectors of every length, and h on the clip's sum exactly (quarters: exact sums).
    yield "mixed runs, rows of 10", normal((61, 10)), 3.4, 0.0, 1.0, None
    yield "mixed runs, h per vector", normal((37, 40)), rng.uniform(11.0, 16.0, 37), 0.0, 1.0, None
    lo_v, hi_v = rng.uniform(-0.2, 0.0, (53, 1)), rng.uniform(0.6, 1.0, (53, 1))
    yield "mixed runs, bounds per vector", normal((53, 12)), 3.0, lo_v, hi_v, None
    quarters = rng.integers(-4, 8, (13, 256)) / 4
    on_sum = np.clip(quarters, 0.0, 1.0).sum(1) - np.arange(13) % 3 * 0.25
    yield "h on the clip's sum, rows of 256", quarters, on_sum, 0.0, 1.0, None
    # Mostly not clipped, so that calls of vectors go side by side unchecked (the
    # kernel tells their clips): a few clipped, a few on the clip's sum.
    tenths = rng.integers(-4, 12, (200, 10)) / 8
    sums = np.clip(tenths, 0.0, 1.0).sum(1)
    some = np.where(np.arange(200) % 23 == 19, sums + 0.5, np.minimum(0.2, sums / 2))
    some = np.where(np.arange(200) % 37 == 30, sums, some)
    yield "rows of 10, a few clipped or on the clip's sum", tenths, some, 0.0, 1.0, None
    # Longer than the side-by-side rows, one at a time: h on the clip's sum, a quarter and
    # 2**-30 either side of it, in an order where each follows vectors of both kinds.
    long = rng.integers(-4, 8, (10, 2100)) / 4
    t = 2.0**-30
    beside = np.array([-0.25, t, 0.25, -t, 0.0, 0.25, -t, -0.25, 0.0, t])
    long_sums = np.clip(long, 0.0, 1.0).sum(1)
    yield "long, h beside the clip's sum", long, long_sums + beside, 0.0, 1.0, None
    # One weight a vector, and free elements of every bit: h an ulp from w times the clip's
    # sum s, where h/w, rounded, lies on the other side of s than h/w.
    some_bits = long.copy()
    some_bits[:, :3] = rng.uniform(0.1, 0.9, (10, 3))
    w_long, h_long = [], []
    for row in np.clip(some_bits, 0.0, 1.0):
        s = sum(map(Fraction, row))
        found = []
        while not found:
            w = float(rng.uniform(0.5, 2.0))
            ends = np.nextafter(w * float(s), [-np.inf, np.inf])
            found = [h for h in ends if (Fraction(w) * s - Fraction(h)) * (s - Fraction(h / w)) < 0]
        w_long.append([w])
        h_long.append(found[0])
    yield "long, a weight each, h by the clip's sum", some_bits, h_long, 0.0, 1.0, w_long
    beyond = [[1.5e308, 1.5e308, -1.0, 2.0]]
    yield "finite y, its sum beyond the doubles", beyond, 0.0, -1e308, 1e308, None


@pytest.mark.parametrize("workers", [1, 2])
@pytest.mark.parametrize("case", list(set_cases()), ids=lambda c: c[0])
def test_exact_matches_exact_arithmetic_on_every_kind_of_set(case, workers):
    _, y, h, lo, hi, w = case
    y = np.asarray(y)
    got = project(y, h, lo, hi, weights=w, workers=workers)
    assert got.dtype == y.dtype
    # The solver's dtype holds the per-element sets: the caller's values, rounded.
    given = [v if np.ndim(v) == 0 else np.asarray(v) for v in (h, lo, hi, 1.0 if w is None else w)]
    given = [v.astype(y.dtype) if np.shape(v) == y.shape else v for v in given]
    for i in range(len(y)):
        row = (np.broadcast_to(v if np.ndim(v) == 0 else v[i], y.shape[1:]).tolist() for v in given)
        h_i, l_i, u_i, w_i = row
        want = exact(y[i].tolist(), h_i[0], l_i, u_i, w_i)
        scale = max(np.abs(y[i]).max(), np.abs(want).max())
        assert np.abs(got[i] - want).max() <= 4 * np.finfo(y.dtype).eps * scale, i


@pytest.mark.parametrize("sense", ["<=", ">="])
@pytest.mark.parametrize("case", list(set_cases()), ids=lambda c: c[0])
def test_one_sided_sums_against_exact_arithmetic(case, sense):
    _, y, h, lo, hi, w = case
    y = np.asarray(y)
    got = project(y, h, lo, hi, weights=w, sense=sense, workers=2)
    assert got.dtype == y.dtype
    given = [v if np.ndim(v) == 0 else np.asarray(v) for v in (h, lo, hi, 1.0 if w is None else w)]
    given = [v.astype(y.dtype) if np.shape(v) == y.shape else v for v in given]
    for i in range(len(y)):
        row = (np.broadcast_to(v if np.ndim(v) == 0 else v[i], y.shape[1:]).tolist() for v in given)
        h_i, l_i, u_i, w_i = row
        want, clipped = one_sided(y[i].tolist(), h_i[0], l_i, u_i, w_i, sense)
        if clipped:  # the clip needs no rounding: its bytes
            assert got[i].tobytes() == want.astype(y.dtype).tobytes(), i
        else:
            scale = max(np.abs(y[i]).max(), np.abs(want).max())
            assert np.abs(got[i] - want).max() <= 4 * np.finfo(y.dtype).eps * scale, i


def l1_cases():
    rng = np.random.default_rng(36)
    normal = rng.standard_normal
    w = rng.uniform(0.1, 3.0, (30, 8))
    signed_zeros = [[0.0, -0.0, 3.0, -2.0], [-0.0, 0.0, 0.1, -0.1], [-0.0, 0.0, -0.0, 0.0]]
    # name, y, radius, weights
    yield "inside and outside", normal((40, 9)), 3.0, None
    yield "radius per vector", normal((30, 8)), rng.uniform(0.0, 4.0, 30), None
    yield "weights", normal((30, 8)), rng.uniform(0.0, 4.0, (30, 1)), w
    yield "radius 0", normal((5, 6)), 0.0, None
    yield "signed zeros", signed_zeros, 1.0, None
    yield "on the sphere", [[0.5, -0.25, 0.25], [1.0, 0.0, -0.0]], 1.0, None
    yield "float32", normal((30, 20)).astype(np.float32), 4.0, None
    yield "ints", rng.integers(-3, 4, (20, 6)), 5, None
    yield "blocks of short vectors", normal((900, 10)), rng.uniform(4.0, 12.0, 900), None
    # Longer than a block; integers keep the reference quick. Radii past, on and short of
    # the sum of |y| (on it and 2**-30 short of it, rounding leaves the sign to the exact
    # decision).
    long = rng.integers(-3, 4, (3, 8200)).astype(float)
    size = np.abs(long).sum(axis=1)
    yield "long vectors", long, size + [1.0, 0.0, -(2.0**-30)], None
    w_long = np.where(long > 0, 2.0, 1.0)
    w_size = (w_long * np.abs(long)).sum(axis=1)
    yield "long, weights", long, w_size - [0.0, 3.0, 500.0], w_long
    yield "long, float32", long.astype(np.float32), size - [0.0, 1.0, 2000.0], None


@pytest.mark.parametrize("case", list(l1_cases()), ids=lambda c: c[0])
def test_l1_ball_against_exact_arithmetic(case):
    _, y, radius, w = case
    y = np.asarray(y)
    got = tavorin.project_l1_ball(y, radius, weights=w, workers=2)
    assert got.dtype == (np.float32 if y.dtype == np.float32 else np.float64)
    for i in range(len(y)):
        r_i = float(np.ravel(radius)[i] if np.ndim(radius) else radius)
        w_i = None if w is None else w[i].tolist()
        want, inside = l1_ball(y[i].astype(float).tolist(), r_i, w_i)
        if inside:  # unchanged, signed zeros and all
            assert got[i].tobytes() == y[i].astype(got.dtype).tobytes(), i
        else:
            scale = max(np.abs(y[i]).max(), np.abs(want).max())
            assert np.abs(got[i] - want).max() <= 4 * np.finfo(got.dtype).eps * scale, i
            assert (np.signbit(got[i]) == np.signbit(want)).all(), i


@pytest.mark.parametrize("n", [9000, 270000], ids=["a block", "split over threads"])
def test_l1_ball_of_a_long_vector_is_the_signed_simplex_of_its_magnitudes(n):
    # Past a block the result's write takes y's signs as it goes, on every thread.
    y = np.random.default_rng(n).standard_normal((1, n))
    y[:, ::7] = -0.0
    radius = np.abs(y).sum() / 3
    z = tavorin.project_capped_simplex(np.abs(y), radius, 0.0, np.inf, sense="<=", workers=1)
    for workers in (1, 2):
        got = tavorin.project_l1_ball(y, radius, workers=workers)
        assert got.tobytes() == np.copysign(z, y).tobytes()


def mixed_batch(seed, n, dtype=np.float64):
    """Vectors inside and outside the one-sided sets and the ball, alike and not; in float32
    with signed zeros among them."""
    rng = np.random.default_rng(seed)
    y = rng.standard_normal((70, n)) * rng.choice([0.05, 1.0, 30.0], (70, 1))
    if dtype == np.float32:
        zero = rng.random(y.shape) < 0.2
        y[zero] = np.copysign(0.0, rng.standard_normal(zero.sum()))
    return y.astype(dtype)


@pytest.mark.parametrize("dtype", [np.float64, np.float32], ids=["float64", "float32"])
@pytest.mark.parametrize("n", [5, 10, 300, 2500, 9000, 20000])
@pytest.mark.parametrize(
    "call",
    [
        lambda y, **o: project(y, 0.2 * y.shape[1], -1.0, 2.0, sense="<=", **o),
        lambda y, **o: project(y, -0.2 * y.shape[1], -2.0, 1.0, sense=">=", **o),
        # l a signed zero in float32: the clip's zeros take its sign
        lambda y, **o: project(y, 0.3 * y.shape[1], -1e-50, 1.0, sense="<=", **o),
        lambda y, **o: tavorin.project_l1_ball(y, 0.5 * y.shape[1], **o),
    ],
    ids=["<=", ">=", "<= l rounding to -0", "l1 ball"],
)
def test_one_sided_results_depend_on_the_vector_alone_and_not_on_out(call, n, dtype):
    y = mixed_batch(n, n, dtype)
    order = np.random.default_rng(1).permutation(len(y))
    whole = call(y, workers=2)
    assert whole.tobytes() == call(y[order], workers=2)[np.argsort(order)].tobytes()
    assert all(whole[i].tobytes() == call(y[i : i + 1])[0].tobytes() for i in range(len(y)))
    in_place = y.copy()  # y read before each vector's clip is known to be its result
    assert call(in_place, out=in_place, workers=2).tobytes() == whole.tobytes()
    # Apart, a clip may be written as it is summed and then overwritten, or not.
    apart = np.full_like(y, 7.0)
    assert call(y, out=apart, workers=2).tobytes() == whole.tobytes()


@pytest.mark.parametrize("method", ["exact", "brentq"])
@pytest.mark.parametrize("row", [[0.3, np.nan, 0.2], [np.inf, 0.2, 0.3], [0.1, -np.inf, 0.5]])
def test_non_finite_y_with_check_finite_false_gives_a_result(row, method):
    # Any result for that vector (the refusal is in the table below), the others exact.
    got = project([[0.2, 0.5, 0.9], row], 1.0, 0.0, 1.0, method=method, check_finite=False)
    np.testing.assert_allclose(got[0], [0.0, 0.3, 0.7], atol=1e-5)


def base(shape, dtype=np.float64):
    return rows(int(np.prod(shape[:-1])), shape[-1], seed=len(shape)).reshape(shape).astype(dtype)


def unaligned(shape, dtype=np.float64):
    size = np.dtype(dtype).itemsize * int(np.prod(shape))
    array = np.zeros(size + 1, np.uint8)[1:].view(dtype).reshape(shape)
    assert not array.flags.aligned and array.flags.c_contiguous
    return array


def same_layout_copy(y):
    """A copy of ``y`` with its strides and offset in a copy of its base."""
    if not isinstance(y, np.ndarray) or y.base is None:
        return y.copy() if isinstance(y, np.ndarray) else y
    base = np.array(y.base, copy=True, order="K")
    offset = y.__array_interface__["data"][0] - y.base.__array_interface__["data"][0]
    return np.ndarray(y.shape, y.dtype, buffer=base, offset=offset, strides=y.strides)


# name -> (y, axis, kind of out or None)
LAYOUTS = {
    "last axis": (base((4, 6)), -1, None),
    "first axis": (base((5, 3)), 0, None),
    "middle axis": (base((3, 5, 4)), 1, None),
    "one vector": (base((7,)), 0, None),
    "no batch rows": (base((0, 5)), -1, None),
    "ints": (np.arange(24).reshape(4, 6) % 5, -1, None),
    "float32": (base((4, 6), np.float32), -1, None),
    "float16": (base((4, 6), np.float16), -1, None),
    "bools": (np.eye(4, dtype=bool), 1, None),
    "nested lists": (base((3, 4)).tolist(), -1, None),
    "big-endian": (base((4, 6)).astype(">f8"), 0, None),
    "out is y": (base((4, 6)), -1, "y"),
    "out is y, first axis": (base((5, 3)), 0, "y"),
    "out is y, strided rows": (base((8, 12))[::2, 3:9], -1, "y"),
    "out is y, every other column": (base((4, 12))[:, ::2], -1, "y"),
    "out is y, float32": (base((4, 6), np.float32), -1, "y"),
    "out is y, unaligned": (unaligned((4, 6)), -1, "y"),
    "fresh out": (base((4, 6)), -1, "empty"),
    "Fortran out": (base((4, 6)), -1, "fortran"),
    "float32 into out": (base((4, 6), np.float32), 0, "empty"),
    "float64 into a float32 out": (base((4, 6)), -1, "float32"),
    "unaligned out": (base((4, 6)), -1, "unaligned"),
    "big-endian out": (base((4, 6)), 0, "big-endian"),
    "out overlapping y": (base((5, 6))[:4], -1, "shifted"),
    # Outputs of 2 MB or more, stored past the caches where their alignment allows.
    "big out, 8 bytes past a line": (base((300, 1000)), -1, "offset"),
    "big out, rows unevenly apart": (base((300, 1000)), -1, "wide rows"),
    "long vectors, 8 bytes past a line": (base((3, 100000)), -1, "offset"),
    "long float32 vectors, 4 bytes past a line": (base((3, 200000), np.float32), -1, "offset"),
}


@pytest.mark.parametrize("workers", [1, 2])
@pytest.mark.parametrize("method", ["brentq", "exact"])
@pytest.mark.parametrize("name", LAYOUTS)
def test_axes_and_outputs(name, method, workers):
    y, axis, out_kind = LAYOUTS[name]
    y = same_layout_copy(y)
    array = np.asarray(y)
    before = array.copy()
    out = {
        None: lambda: None,
        "y": lambda: y,
        "empty": lambda: np.full(array.shape, np.nan),
        "fortran": lambda: np.full(array.shape, np.nan, order="F"),
        "float32": lambda: np.full(array.shape, np.nan, np.float32),
        "unaligned": lambda: unaligned(array.shape),
        "big-endian": lambda: np.full(array.shape, np.nan, ">f8"),
        "shifted": lambda: np.ndarray(array.shape, array.dtype, buffer=y.base, offset=48),
        "offset": lambda: np.full(array.size + 1, np.nan, array.dtype)[1:].reshape(array.shape),
        "wide rows": lambda: np.full((len(array), array.shape[1] + 3), np.nan)[:, : array.shape[1]],
    }[out_kind]()
    # The bytes of the plain call: proj_csimplex, or the exact method on a C-contiguous copy.
    moved = np.ascontiguousarray(np.moveaxis(before, axis, -1)).reshape(-1, array.shape[axis])
    if method == "brentq":
        want = projected(moved, 2.0, 0.0, 1.0)
    else:
        want = project(
            moved.astype(np.float32 if array.dtype == np.float32 else np.float64), 2.0, 0.0, 1.0
        )
    got = project(y, 2.0, 0.0, 1.0, axis=axis, method=method, out=out, workers=workers)
    single = array.dtype == np.float32 and out is None
    assert got.dtype == (np.float32 if single else np.float64 if out is None else out.dtype)
    assert got.shape == array.shape
    assert (got is out) if out is not None else not np.shares_memory(got, array)
    got = np.moveaxis(got, axis, -1).reshape(want.shape)
    assert got.tobytes() == want.astype(got.dtype).tobytes()
    if out_kind not in ("y", "shifted"):
        assert np.asarray(y).tobytes() == before.tobytes()


def needs_data(args, kwargs, message):
    arrays = [v for v in (*args[1:], kwargs.get("weights")) if np.ndim(v) > 0]
    return message.startswith("y holds") or ("batch index" in message and arrays != [])


@pytest.mark.parametrize("front", ["numpy", "dask"])
@pytest.mark.parametrize(
    "name, args, kwargs, error, message",
    [("project_capped_simplex", *row) for row in REFUSALS]
    + [("project_l1_ball", *row) for row in L1_REFUSALS],
)
def test_refusals(name, args, kwargs, error, message, front):
    message = message.format(usable=len(os.sched_getaffinity(0)))
    out = kwargs.get("out")
    kept = [a.copy() for a in (args[0], out) if isinstance(a, np.ndarray)]
    call = lambda: getattr(tavorin, name)(*args, **kwargs)  # noqa: E731
    if front == "dask":  # the same refusals, when the graph is built where the data is not needed
        if out is not None:
            pytest.skip("tavorin.dask takes no out")
        lazy = getattr(pytest.importorskip("tavorin.dask"), name)
        call = lambda: lazy(*args, **kwargs)  # noqa: E731
        if needs_data(args, kwargs, message):
            call = lambda: lazy(*args, **kwargs).compute(scheduler="sync")  # noqa: E731
            message += f" (in the chunk of y that starts at index {(0,) * np.ndim(args[0])})"
    with pytest.raises(error) as info:
        call()
    assert str(info.value) == message
    left = [a for a in (args[0], out) if isinstance(a, np.ndarray)]
    assert all(a.tobytes() == b.tobytes() for a, b in zip(left, kept))


@pytest.mark.parametrize("front", ["numpy", "dask"])
@pytest.mark.parametrize("row", SET_SHAPES, ids=set_shape_ids)
def test_set_shapes(row, front):
    if front == "numpy":
        refused_or_projected(lambda y, axis, **sets: project(y, axis=axis, **sets), row)
        return
    lazy = pytest.importorskip("tavorin.dask").project_capped_simplex
    refused_or_projected(lambda y, axis, **sets: lazy(y, axis=axis, **sets).compute(), row)


# The calls the lean path takes (float64 or float32 ndarrays, vectors contiguous, float sets,
# or per-row float64 arrays for 2-D y), and some beside them that it must leave alone.
LEAN_CALLS = [
    ("1x3", lambda r: (r.standard_normal((1, 3)), 1.0, 0.0, 1.0)),
    ("int sets", lambda r: (r.standard_normal((4, 3)), 1, 0, np.full(4, 1.0))),
    ("ints beyond a double", lambda r: (r.standard_normal((2, 3)), 1, -(2**60 + 1), 2**60 + 1)),
    ("ints beyond int64", lambda r: (r.standard_normal((2, 3)), 1, 0, 2**64)),
    ("one vector", lambda r: (r.standard_normal(7), 2.0, 0.0, 1.0)),
    ("3-d", lambda r: (r.standard_normal((2, 3, 5)), 1.0, -1.0, 1.0)),
    ("float32", lambda r: (r.standard_normal((4, 6)).astype(np.float32), 1.0, 0.0, np.inf)),
    ("per-row arrays", lambda r: (r.standard_normal((5, 4)), np.full(5, 1.5), np.zeros(5), 1.0)),
    ("no rows", lambda r: (np.zeros((0, 3)), 1.0, 0.0, 1.0)),
    ("strided rows", lambda r: (r.standard_normal((6, 8))[::2], 1.0, 0.0, 1.0)),
    ("columns apart", lambda r: (r.standard_normal((6, 8))[:, ::2], 1.0, 0.0, 1.0)),
    ("unaligned", lambda r: (unaligned((3, 4)), 1.0, 0.0, 1.0)),
    ("per-row float32", lambda r: (r.standard_normal((5, 4)), np.ones(5, np.float32), 0.0, 1.0)),
    ("NaN in y", lambda r: (NAN_ROW.copy(), 1.0, 0.0, 1.0)),
    ("h too large", lambda r: (r.standard_normal((3, 4)), 5.0, 0.0, 1.0)),
    ("l > u", lambda r: (r.standard_normal((3, 4)), 1.0, 0.6, 0.5)),
    ("h NaN", lambda r: (r.standard_normal((3, 4)), np.nan, 0.0, 1.0)),
    ("row 2 infeasible", lambda r: (r.standard_normal((3, 4)), np.array([1.0, 1, 9]), 0.0, 1.0)),
    ("empty vectors", lambda r: (np.zeros((3, 0)), 1.0, 0.0, 1.0)),
]


@pytest.mark.parametrize("make", [row[1] for row in LEAN_CALLS], ids=[r[0] for r in LEAN_CALLS])
def test_the_lean_path_gives_the_full_paths_bytes_and_refusals(make):
    # A check_finite that is not the True object is the same call through the full path.
    results = []
    for options in ({}, {"check_finite": np.True_}):
        y, h, lo, hi = make(np.random.default_rng(9))
        try:
            results.append(project(y, h, lo, hi, **options).tobytes())
        except (TypeError, ValueError) as error:
            results.append(str(error))
    assert results[0] == results[1]


@pytest.mark.parametrize(
    "kwargs, first_nonfinite, solve_checks, workers",
    [
        ({}, False, True, 1),  # the check rides along the solver's first pass
        # y scanned whole on the solve's threads before the caller's array is written
        ({"out": "y"}, False, 2, 1),
        ({"check_finite": False, "out": "y"}, False, False, 1),
        ({"workers": 10**9}, False, True, len(os.sched_getaffinity(0))),  # capped
    ],
)
def test_what_reaches_the_solver(kwargs, first_nonfinite, solve_checks, workers, monkeypatch):
    from tavorin import _api

    calls = []
    for name in ("first_nonfinite", "solve"):
        real = getattr(_api._simplex, name)
        spy = lambda *a, real=real, name=name: calls.append((name, a[6:8])) or real(*a)  # noqa: E731
        monkeypatch.setattr(_api._simplex, name, spy)
    y = rows(4, 5)
    project(y, 1.0, 0.0, 1.0, **{**kwargs, **({"out": y} if "out" in kwargs else {})})
    assert calls == [("first_nonfinite", ())] * first_nonfinite + [
        ("solve", (solve_checks, workers))
    ]


def shared(where, y):
    """Per-vector h whose values sit in the first row of ``where`` (y or out): a row
    projected before the others are read would change them."""
    h = where.reshape(-1)[: len(y)]
    h[...] = [1.0, 2.0, 1.5]
    return h


@pytest.mark.parametrize("method", ["exact", "brentq"])
@pytest.mark.parametrize("where", ["y", "out"])
def test_sets_sharing_memory_with_out_are_read_before_anything_is_written(where, method):
    y = rows(3, 4, seed=3)
    out = y if where == "y" else np.zeros_like(y)
    h = shared(out, y)
    want = project(y.copy(), h.copy(), 0.0, 2.0, method=method)
    got = project(y, h, 0.0, 2.0, method=method, out=out)
    assert got.tobytes() == want.tobytes()


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
    y, 1.0, 0.0, 1.0, out=y, method="brentq", xtol=1e-300, rtol=9e-16, maxiter=500,
    workers=2)
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
y = np.random.default_rng(1).standard_normal({shape})
out = {out}
before = y.copy(), out.copy()
tavorin.project_capped_simplex(y, 1.0, 0.0, 1.0, out=out, method="{method}", workers=1)  # loaded
y[...], out[...] = before
used = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (used + (1 << 20), hard))
try:
    tavorin.project_capped_simplex(y, 1.0, 0.0, 1.0, out=out, method="{method}", workers=4)
    print("started")  # the one thread two cores allow got a stack the C library had cached
except RuntimeError as e:
    print(type(e).__name__)
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
print(y.tobytes() == before[0].tobytes(), out.tobytes() == before[1].tobytes())
"""


@pytest.mark.unsanitized  # the sanitizer's own mappings do not fit under an address-space limit
@pytest.mark.parametrize(
    "method, shape",
    [("exact", (4000, 50)), ("brentq", (4000, 50)), ("exact", (1, 300000))],
    ids=["exact", "brentq", "exact, one vector split"],
)
@pytest.mark.parametrize("out", ["y", "np.full_like(y, 7.0)"])
def test_threads_that_cannot_start_raise_and_write_nothing(out, method, shape):
    if len(os.sched_getaffinity(0)) < 2:
        pytest.skip("one usable core: no thread is started")
    script = NO_THREADS.format(out=out, method=method, shape=shape)
    proc = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=60
    )
    if proc.stdout.startswith("started"):
        pytest.skip("a thread could start under the limit: nothing to test here")
    assert proc.stdout.splitlines() == ["RuntimeError", "True True"], proc.stderr


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
