"""tavorin._simplex.solve, the exact method, against an independent exact reference; its
lane kernels against their plain twins and its threads against one; first_infeasible,
first_nonfinite, the refusals of the buffer intake, and project's copy into out."""

import math
import threading

import exact_reference as ref
import numpy as np
import pytest
from support import named_cases

from tavorin import _simplex
from tavorin.operators import proj_csimplex

INF = math.inf
EPS = {np.float64: np.finfo(np.float64).eps, np.float32: np.finfo(np.float32).eps}


def rng(seed):
    return np.random.default_rng(seed)


def solve(y, h, l, u, w=None, *, workers=1, check_finite=True, out=None):  # noqa: E741
    out = np.empty_like(y) if out is None else out
    first = _simplex.solve(y, out, h, l, u, w, check_finite, workers)
    return first, out


def as_operand(value, dtype, m):
    """A float stays a float; a per-vector list becomes float64, per-element rows y's type."""
    if value is None or isinstance(value, float):
        return value
    array = np.asarray(value, dtype=float)
    if array.ndim == 1 and array.size == m:
        return array
    return np.ascontiguousarray(array.reshape(m, -1), dtype=dtype)


def expected_row(y, h, l, u, w):  # noqa: E741
    n = y.size
    short = n <= 40
    if short:
        return ref.exact(y, h, l, u, w)
    return ref.sorted_search(y, h, l, u, w)


def operand_row(value, i, n):
    if value is None:
        return None
    if isinstance(value, float):
        return value
    value = np.asarray(value, dtype=float)
    return float(value[i]) if value.ndim == 1 and value.size != n else value[i].astype(float)


def check_against_reference(y, h, l, u, w=None, ulps=8, rows=None):  # noqa: E741
    """The whole batch solved, and each of `rows` of it (default all) against the reference."""
    dtype = y.dtype.type
    m, n = y.shape
    ops = [as_operand(v, dtype, m) for v in (l, u, w)]
    first, x = solve(y, h, *ops)
    assert first == -1
    for i in range(m) if rows is None else rows:
        row_h = h if isinstance(h, float) else float(h[i])
        row_l, row_u, row_w = (operand_row(v, i, n) for v in ops)
        if isinstance(row_w, float):
            row_w = np.full(n, row_w)
        want = expected_row(y[i].astype(float), row_h, row_l, row_u, row_w)
        if dtype is np.float32:
            # The float32 result is the exact one rounded to float32.
            assert np.max(np.abs(x[i] - want.astype(np.float32))) <= 2 * EPS[dtype] * max(
                1.0, np.max(np.abs(want))
            )
        else:
            scale = ref.scale(y[i], want, row_l, row_u)
            # An element beyond the doubles (its bound infinite) is that infinity.
            beyond = ~np.isfinite(want)
            assert (x[i][beyond] == want[beyond]).all(), (i, x[i], want)
            error = np.abs(x[i][~beyond] - want[~beyond])
            assert np.max(error, initial=0.0) <= ulps * EPS[dtype] * scale, (i, x[i], want)


def box_rows(m, n, seed):
    return rng(seed).standard_normal((m, n))


def per_element_bounds(m, n, seed):
    g = rng(seed)
    l = g.uniform(-1, 0, (m, n))  # noqa: E741
    u = l + g.uniform(0, 2, (m, n))
    l[:, ::5] = -INF
    u[:, 1::7] = INF
    return l, u


def _cases():
    g = rng(7)
    cases = []
    for n in (1, 2, 3, 7, 10, 16, 17, 40, 100, 600, 3000, 20000):
        y = box_rows(3, n, n)
        cases += [
            (f"simplex n={n}", y / math.sqrt(n), 1.0, 0.0, 1.0, None),
            (f"box n={n}", y, 0.3 * n, 0.0, 0.5, None),
            (f"u=inf n={n}", y, 0.5 * n, -0.2, INF, None),
            (f"l=-inf n={n}", y, -0.2 * n, -INF, 0.3, None),
            (f"hyperplane n={n}", y, 2.0, -INF, INF, None),
            # y - tau rounds far more coarsely than y is spaced
            (f"bounds far from y n={n}", y, (1e10 - 0.5) * n, 1e10 - 1, 1e10, None),
        ]
        l, u = per_element_bounds(3, n, n)  # noqa: E741
        finite_l = np.where(np.isfinite(l), l, -1.0)
        finite_u = np.where(np.isfinite(u), u, 1.0)
        h = list(0.5 * (finite_l.sum(axis=1) + finite_u.sum(axis=1)))
        cases.append((f"per-element bounds n={n}", y, np.array(h), l, u, None))
        w = g.uniform(0.1, 3.0, (3, n))
        hw = list((w * finite_l).sum(axis=1) * 0.5 + (w * finite_u).sum(axis=1) * 0.5)
        cases.append((f"per-element weights n={n}", y, np.array(hw), l, u, w))
        cases.append((f"weights, scalar bounds n={n}", y, 1.0, 0.0, 1.0, w))
        # h near sum w*l: few free elements, whose weights divide the others' rounding.
        wide = 10.0 ** g.uniform(-9, 9, (3, n))
        hw = (wide * finite_l).sum(axis=1) * 0.995 + (wide * finite_u).sum(axis=1) * 0.005
        cases.append((f"weights 10^-9..10^9, h near sum w*l n={n}", y, hw, l, u, wide))
        cases.append((f"weights 10^-1..10, u = 1 n={n}", y, 0.2 * n, 0.0, 1.0, wide ** (1 / 9)))
        cases.append((f"one weight per vector n={n}", y, 1.0, 0.0, 1.0, [0.5, 2.0, 3.0]))
        cases.append((f"per-vector bounds n={n}", y, [1.0, 0.5, 2.0], [0.0, -1.0, 0.1], 1.0, None))
    # Long enough that the filtering pass leaves its candidates in pieces, whose
    # band the finish takes with the other elements' sums.
    n = 400000
    y = box_rows(1, n, n)
    l, u = per_element_bounds(1, n, n)  # noqa: E741
    w = g.uniform(0.1, 3.0, (1, n))
    hw = (w * np.where(np.isfinite(l), l, -1.0)).sum(axis=1) * 0.3
    hw += (w * np.where(np.isfinite(u), u, 1.0)).sum(axis=1) * 0.7
    cases.append((f"per-element weights n={n}", y, hw, l, u, w))
    cases.append((f"weights, scalar bounds n={n}", y, 0.3 * w.sum(axis=1), 0.0, 1.0, w))
    for n in (2, 5, 9):
        # Many short vectors: which of them has one small free weight is chance.
        y = box_rows(300, n, n)
        l, u = per_element_bounds(300, n, n)  # noqa: E741
        l, u = np.where(np.isfinite(l), l, -1.0), np.where(np.isfinite(u), u, 1.0)  # noqa: E741
        for low, high, share in ((-3, 3, 0.05), (-9, 9, 0.005)):
            w = 10.0 ** g.uniform(low, high, (300, n))
            hw = (w * l).sum(axis=1) * (1 - share) + (w * u).sum(axis=1) * share
            cases.append((f"weights 10^{low}..10^{high}, h near sum w*l, 300x{n}", y, hw, l, u, w))
    # A free element of weight near 10^-9 whose answer is near 1e299: the
    # shift, about x / w, passes the largest double while every x_j is one.
    for n in (2, 4):
        cases.append((f"small free weight, shift beyond the doubles, 300x{n}", *_far_shifts(n, g)))
    two = np.zeros((3, 2))
    l, u = np.array([[-INF, 0.0]] * 3), np.array([[INF, 1.0]] * 3)  # noqa: E741
    w = np.array([[1e-9, 1e9], [1e-9, 1.0], [1e-9, 1e9]])
    # The last row's x_0 = (h - 1e9) / 1e-9 is beyond the doubles: +inf.
    cases.append(("x_0 = 1e300, its shift -1e309", two, np.array([1e291, 1e291, 1e300]), l, u, w))
    return cases


def _far_shifts(n, g, m=300):
    """Rows whose element 0 has a weight of 10^-9..10^-8 and an infinite bound on the
    side h pushes it to, h about w_0 times 10^295..10^299.5; y_0 near 1e299 on some."""
    w = 10.0 ** g.uniform(-9, 9, (m, n))
    w[:, 0] = 10.0 ** g.uniform(-9, -8, m)
    y = g.standard_normal((m, n)) * 10.0 ** g.uniform(0, 10, (m, n))
    l = -g.uniform(0, 10, (m, n))  # noqa: E741
    u = g.uniform(0, 10, (m, n))
    up = g.random(m) < 0.5
    u[up, 0] = INF
    l[~up, 0] = -INF
    sign = np.where(up, 1.0, -1.0)
    h = sign * w[:, 0] * 10.0 ** g.uniform(295, 299.5, m)
    far = g.random(m) < 0.3
    y[far, 0] = -sign[far] * 10.0 ** g.uniform(290, 299, far.sum())
    return y, h, l, u, w


@named_cases("y, h, l, u, w", _cases())
def test_matches_the_exact_reference(y, h, l, u, w):  # noqa: E741
    h = h if isinstance(h, float) else np.asarray(h, dtype=float)
    check_against_reference(np.ascontiguousarray(y), h, l, u, w)


def adversarial(n, kind, seed):
    g = rng(seed)
    if kind == "heavy":
        return g.standard_normal((2, n)) * 10.0 ** g.uniform(-8, 8, (2, n))
    if kind == "ties":
        return np.round(g.standard_normal((2, n)) * 2) / 2
    if kind == "geometric":
        return np.stack([g.permutation(2.0 ** -np.arange(n, dtype=float))] * 2)
    return g.integers(0, 5, (2, n)).astype(float)  # integer data with integer h


@pytest.mark.parametrize("kind", ["heavy", "ties", "geometric", "integers"])
@pytest.mark.parametrize("n", [9, 30, 700, 20000])
def test_adversarial_rows(kind, n):
    y = adversarial(n, kind, n)
    check_against_reference(y, 1.0, 0.0, 1.0)
    check_against_reference(y, min(3.0, n * 0.5), 0.0, 0.5)


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("m, n", [(4, 5), (4, 10), (11, 300), (4, 1000), (2, 20000)])
def test_float32_is_the_exact_result_rounded(dtype, m, n):
    y = box_rows(m, n, n).astype(dtype)
    check_against_reference(y, 0.3 * n, 0.0, 0.5)
    check_against_reference(y, 1.0, 0.0, INF)
    check_against_reference(y, -0.2 * n, -INF, 0.3)
    check_against_reference(y, (1e10 - 0.5) * n, 1e10 - 1, 1e10)


@pytest.mark.parametrize(
    "m, n, kind",
    [
        (400, 10, None),
        (3, 10, None),
        (72, 33, None),
        (260, 45, None),
        (300, 300, None),
        (72, 300, "top-k"),
        (2000, 12, "top-k"),
        (3000, 10, "ties"),
        (6, 20, "ties"),
        (3000, 5, "box"),
        (1000, 23, "box"),
        (400, 24, None),
        (400, 100, "box"),
        (200, 512, "ties"),
        (24, 2049, None),
        (64, 2500, None),
        (48, 3000, "top-k"),
        (48, 2100, "ties"),
        (48, 4097, "box"),
        (400, 12, "heavy"),
        (400, 70, "heavy"),
        (300, 8, "midpoint"),
        (40, 300, "midpoint"),
        (400, 10, "tiny"),
        (200, 23, "tiny"),
    ],
)
def test_batches_of_unlike_vectors(m, n, kind):
    # Vectors start from their neighbours' shifts (or their offsets from
    # the hyperplane's, or from 24 elements Newton's step from their mean
    # shift with their mean slope; over 2048 elements from the last one's
    # shift): scales of 1e-6..1e6, bounds per vector (some
    # infinite), top-k rows of integers, rows of quarters (roots an ulp
    # from a breakpoint) and box rows of 5 (roots at the end of a flat
    # piece) must not mislead them, nor change their bytes.
    g = rng(n)
    y = g.standard_normal((m, n)) * 10.0 ** g.uniform(-6, 6, (m, 1))
    l = g.uniform(-1, 0, m) * np.abs(y).max(axis=1)  # noqa: E741
    u = l + g.uniform(0.1, 2, m) * np.abs(y).max(axis=1)
    l[::7], u[3::11] = -INF, INF
    both = np.isfinite(l) & np.isfinite(u)
    low = np.where(np.isfinite(l), l, np.where(np.isfinite(u), u - 1, 0))
    h = n * low + g.uniform(0, 1, m) * n * np.where(both, u - l, 1)
    if kind == "top-k":
        y, h, l, u = g.integers(0, 100, (m, n)).astype(float), 10.0, 0.0, 1.0  # noqa: E741
    if kind == "heavy":  # 1e-8..1e8 in a row: roots where rounding blurs r's sign
        y, h, l, u = y * 10.0 ** g.uniform(-8, 8, (m, n)), 0.3 * n, 0.0, 0.5  # noqa: E741
    if kind in ("ties", "box"):
        y = g.standard_normal((m, n))
        y, h, l, u = np.round(y * 4) / 4 if kind == "ties" else y, 0.3 * n, 0.0, 0.5  # noqa: E741
    if kind == "midpoint":  # two free elements whose root lies halfway between doubles
        scale = 2.0 ** g.integers(-20, 20, m)
        y = np.full((m, n), -50.0)
        y[:, 0] = 3.0 + g.integers(0, 8, m) * 2.0**-51
        y[:, 1] = y[:, 0] + 2.0**-51
        y = g.permuted(y, axis=1) * scale[:, None]
        h, l, u = -10.0 * (n - 2) * scale, -10.0 * scale, 10.0 * scale  # noqa: E741
    if kind == "tiny":  # shifts of 2^-1000..2^-900, some beside the least normal doubles
        scale = 2.0 ** g.uniform(-1000, -900, (m, 1))
        y, h, l, u = g.standard_normal((m, n)) * scale, scale[:, 0], 0.0, INF  # noqa: E741
    # The reference (in Python) on at most about 150 of the vectors, spread over
    # the batch; the byte comparisons below take every one.
    check_against_reference(y, h, l, u, rows=range(0, m, max(1, m // 150)))
    apart = solve(y, h, l, u)[1]
    flip = [v[::-1] if np.ndim(v) else v for v in (y, h, l, u)]
    assert solve(*flip)[1][::-1].tobytes() == apart.tobytes()
    assert solve(y, h, l, u, workers=3)[1].tobytes() == apart.tobytes()
    # In place, where no write may run ahead of a vector's verification.
    in_place = y.copy()
    solve(in_place, h, l, u, out=in_place)
    assert in_place.tobytes() == apart.tobytes()


def _unreachable_roots():
    # Breakpoints spaced so that rounds approach the root from one side only,
    # or a sample of outliers that rounds back onto its own shift.
    fact = np.array([float(math.factorial(k)) for k in range(1, 101)])
    outliers = rng(5).standard_normal(3000)
    outliers[(np.arange(16) * 3000) // 16] = rng(6).choice([-1e20, 1e20], 16)
    # A long vector whose sampled runs of eight (spread evenly) sit a unit
    # above or below the rest: the band around the sample's shift misses the root.
    n = 20000
    runs = (int(2 * math.sqrt(n)) // 8 * 8) // 8
    sampled = np.zeros(n)
    for r in range(runs):
        first = int(r * (n - 8) / runs)
        sampled[first : first + 8] = 1.0
    rest = rng(7).standard_normal(n) * 0.01
    return [
        ("a sample above the rest", rest + sampled, 1.0, 0.0, 1.0),
        ("a sample below the rest", rest - sampled, 1.0, 0.0, 1.0),
        ("a sample above the rest, u=inf", rest + sampled, 20.0, 0.0, INF),
        ("factorials u=1e300", -fact, 0.5, 0.0, 1e300),
        ("factorials u=inf", -fact, 0.5, 0.0, INF),
        ("mirrored factorials", fact, -0.5, -1e300, 0.0),
        ("10^linspace(0,200) u=1e290", -(10.0 ** np.linspace(0, 200, 100)), 0.5, 0.0, 1e290),
        ("2^arange(700) u=1e300", -(2.0 ** np.arange(700)), 0.5, 0.0, 1e300),
        ("10^arange(300) h=1e10", -(10.0 ** np.arange(300)), 1e10, 0.0, 1e300),
        ("factorials then -1e200", np.concatenate([-fact, np.full(3000, -1e200)]), 0.5, 0.0, 1e300),
        ("outliers at the sampled places", outliers, 1.0, -1.0, 1.0),
    ]


@named_cases("y, h, low, high", _unreachable_roots())
def test_rows_whose_rounds_cannot_reach_the_root(y, h, low, high):
    # Against the projection's own scale: y's would hide any error here.
    x = solve(y[None, :], h, low, high)[1][0]
    want = expected_row(y, h, low, high, np.ones(y.size))
    scale = max(abs(h), np.max(np.abs(want)))
    assert np.max(np.abs(x - want)) <= 8 * EPS[np.float64] * scale
    assert abs(math.fsum(x) - h) <= 8 * EPS[np.float64] * scale * y.size


def _determinism_rows(kind, m, n, g):
    if kind.startswith("heavy"):
        y = g.choice([-1.0, 1.0], (m, n)) * 10.0 ** g.uniform(-8, 8, (m, n))
        return y, n / 4, 0.0, 1.0 if kind == "heavy u=1" else INF, None
    if kind == "h below the sums' rounding":
        return g.standard_normal((m, n)) * 1e8, 1e-9, -INF, INF, None
    if kind == "ties":
        return g.integers(-3, 4, (m, n)).astype(float), 1.5, 0.0, 1.0, None
    if kind == "geometric":
        return -(2.0 ** g.uniform(0, 60, (m, n))), 0.5, 0.0, 1e300, None
    if kind == "top-k":
        return g.integers(0, 100, (m, n)).astype(float), float(max(1, n // 3)), 0.0, 1.0, None
    if kind == "no free element":
        # Every shift in [0, 0.5] puts each element at a bound: one of them is the answer.
        y = g.integers(-3, 4, (m, n)).astype(float)
        return y, 0.5 * (y > 0).sum(1), 0.0, 0.5, None
    if kind == "per element":
        low = -g.random((m, n))
        high = g.random((m, n))
        return g.standard_normal((m, n)), 0.5 * (low.sum(1) + high.sum(1)), low, high, None
    w = 10.0 ** g.uniform(-1, 1, (m, n))
    return g.standard_normal((m, n)), 0.3 * w.sum(1), 0.0, 1.0, w


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("n", [3, 40, 700, 3000, 20000])
@pytest.mark.parametrize(
    "kind",
    [
        "heavy u=1",
        "heavy u=inf",
        "h below the sums' rounding",
        "ties",
        "geometric",
        "top-k",
        "no free element",
        "per element",
        "weights",
    ],
)
def test_bytes_depend_on_the_vector_alone(kind, n, dtype):
    # Against the batch: reversed, on two threads, in place, cut in two, each
    # vector alone (rounds start from neighbours, samples or probes alike).
    g = rng(n)
    m = 24
    y, h, low, high, w = _determinism_rows(kind, m, n, g)
    y = y.astype(dtype)
    ops = [as_operand(v, dtype, m) for v in (low, high, w)]
    h = np.broadcast_to(np.asarray(h, dtype=float), (m,)).copy()

    def part(rows):
        return [v[rows] if isinstance(v, np.ndarray) else v for v in ops]

    whole = solve(y, h, *ops)[1]
    flipped = slice(None, None, -1)
    assert solve(y[flipped], h[flipped], *part(flipped))[1][flipped].tobytes() == whole.tobytes()
    assert solve(y, h, *ops, workers=2)[1].tobytes() == whole.tobytes()
    # Written over y, where nothing is written before a vector is settled.
    in_place = y.copy()
    assert solve(in_place, h, *ops, out=in_place)[1].tobytes() == whole.tobytes()
    cut = slice(0, 7), slice(7, None)
    pieces = [solve(y[c], h[c], *part(c))[1] for c in cut]
    assert np.concatenate(pieces).tobytes() == whole.tobytes()
    for i in (0, 13):
        alone = slice(i, i + 1)
        assert solve(y[alone], h[alone], *part(alone))[1].tobytes() == whole[alone].tobytes()


def _boundaries():
    rows = []
    for n in (5, 100, 2000, 3000):
        for low, high in ((0.1, 0.5), (0.0, 0.03), (-3.0, 7.0)):
            rows += [
                (f"h=n*l n={n} [{low},{high}]", n, n * low, low, high, "low"),
                (f"h=n*u n={n} [{low},{high}]", n, n * high, low, high, "high"),
                (f"ulp above n*l n={n}", n, np.nextafter(n * low, INF), low, high, "low"),
                (f"ulp below n*u n={n}", n, np.nextafter(n * high, -INF), low, high, "high"),
            ]
    return rows


@named_cases("n, h, low, high, end", _boundaries())
def test_h_at_an_end_of_its_range_gives_the_bound_row(n, h, low, high, end):
    y = rng(n).standard_normal((3, n)) * 30
    first, x = solve(y, float(h), low, high)
    assert first == -1
    bound = low if end == "low" else high
    # Never a merely clipped row: every element at the bound, up to h's own
    # distance from n times it and a few ulps of the vector's scale.
    slack = abs(h - n * bound) + 8 * EPS[np.float64] * np.abs(y).max()
    assert np.abs(x - bound).max() <= slack


def test_the_reported_clipped_row():
    y = np.array([[20.4, -25.6, 4.2, -5.7, -4.5]])
    assert solve(y, 0.5, 0.1, 0.5)[1].tolist() == [[0.1] * 5]


@pytest.mark.parametrize("n", [1, 3, 1000, 20000])
def test_bounds_near_overflow_give_finite_exact_rows(n):
    y = rng(n).standard_normal((2, n))
    first, x = solve(y, 0.5, -1e308, 1e308)
    assert first == -1 and np.isfinite(x).all()
    check_against_reference(y, 0.5, -1e308, 1e308)
    check_against_reference(np.full((1, n), 0.5e308), 1e308, 0.0, 1e308)
    check_against_reference(y * 1e300, 0.0, -1e308, 1e308)
    if n == 3:
        # One weight per vector, with h / w beyond the doubles (the rational reference).
        check_against_reference(y[:1] * 1e307, 1e308, 0.0, 1e308, [0.5])


def test_empty_free_sets_and_equal_bounds():
    y = rng(1).standard_normal((4, 50))
    assert (solve(y, 0.2 * 50, 0.2, 0.2)[1] == 0.2).all()
    top_k = np.tile(np.arange(50, dtype=float), (4, 1))
    x = solve(top_k, 10.0, 0.0, 1.0)[1]
    assert (x[:, 40:] == 1.0).all() and (x[:, :40] == 0.0).all()


def _layouts():
    g = rng(3)
    layouts = []
    # The last two write 2.4 MB apart from y: float64 stores past the caches.
    shapes = ((9, 3), (9, 10), (9, 16), (5, 100), (13, 300), (3, 3000), (1, 70000))
    for m, n in shapes + ((300, 1000), (3, 100000)):
        y = g.standard_normal((m, n))
        l, u = per_element_bounds(m, n, n)  # noqa: E741
        w = g.uniform(0.5, 2.0, (m, n))
        layouts += [
            (f"scalar {m}x{n}", y, 0.3 * n, 0.0, 0.5, None, np.float64),
            (f"float32 {m}x{n}", y, 0.3 * n, 0.0, 0.5, None, np.float32),
            (f"per-element {m}x{n}", y, 0.0, l, u, w, np.float64),
            (f"per-element float32 {m}x{n}", y, 0.0, l, u, w, np.float32),
        ]
    y = g.standard_normal((13, 300))
    for dtype in (np.float64, np.float32):
        far = (y, (1e10 - 0.5) * 300, 1e10 - 1, 1e10, None, dtype)
        layouts.append((f"bounds far from y {dtype.__name__}", *far))
        layouts.append((f"h = n*u {dtype.__name__}", y * 9, 150.0, -0.25, 0.5, None, dtype))
        layouts.append((f"h = n*l {dtype.__name__}", y * 9, -75.0, -0.25, 0.5, None, dtype))
    return layouts


@named_cases("y, h, l, u, w, dtype", _layouts())
def test_the_lane_kernels_give_their_plain_twins_bytes(y, h, l, u, w, dtype):  # noqa: E741
    m = y.shape[0]
    y = y.astype(dtype)
    ops = [as_operand(v, dtype, m) for v in (l, u, w)]
    lanes = solve(y, h, *ops)[1]
    previous = _simplex._plain_kernels(True)
    try:
        plain = solve(y, h, *ops)[1]
    finally:
        _simplex._plain_kernels(previous)
    assert lanes.tobytes() == plain.tobytes()


@pytest.mark.parametrize(
    "shape, per_element, checked",
    [
        ((64, 3000), False, False),
        ((64, 3000), True, False),
        ((1, 300000), False, False),
        # Candidates enough to be classified where the filtering pass left them.
        ((1, 800000), False, True),
        ((1, 800000), True, False),
        ((1, 800000), "weights", False),
        ((2, 100000), "weights", True),
        ((203, 10), False, False),
        ((600, 300), False, False),
        ((1, 3 << 20), False, False),
    ],
)
def test_threads_give_the_bytes_of_one(shape, per_element, checked):
    g = rng(shape[1])
    y = g.standard_normal(shape)
    bounds = per_element_bounds(*shape, 5) if per_element else (0.0, 0.5)
    h = 0.0 if per_element else 0.3 * shape[1]
    w = g.uniform(0.5, 2.0, shape) if per_element == "weights" else None
    if checked:
        check_against_reference(y, h, *bounds, w)
    one = solve(y, h, *bounds, w)[1]
    for workers in (2, 3):
        assert solve(y, h, *bounds, w, workers=workers)[1].tobytes() == one.tobytes()


def test_long_vectors_solved_on_several_threads_at_once_give_the_bytes_of_one():
    # Their candidates' scratch blocks pass from call to call.
    ys = [rng(n).standard_normal((1, n)) for n in (300000, 800000, 500000, 300000)]
    wanted = [solve(y, 0.3 * y.shape[1], 0.0, 0.5)[1].tobytes() for y in ys]
    failures = []

    def run(k):
        for _ in range(4):
            got = solve(ys[k], 0.3 * ys[k].shape[1], 0.0, 0.5)[1].tobytes()
            failures.extend([k] if got != wanted[k] else [])

    threads = [threading.Thread(target=run, args=(k,)) for k in range(len(ys))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


def test_non_finite_vectors():
    y = rng(0).standard_normal((6, 2000))
    y[4, 7] = np.nan
    y[2, 1999] = -INF
    for workers in (1, 2):
        assert solve(y, 1.0, 0.0, 1.0, workers=workers)[0] == 2
    # Threads take ranges of vectors as they come free: the lowest is still named.
    wide = rng(1).standard_normal((64, 3000))
    wide[[50, 30, 31], [0, 2999, 5]] = [np.nan, INF, np.nan]
    for workers in (1, 2, 3):
        assert solve(wide, 1.0, 0.0, 1.0, workers=workers)[0] == 30
    for workers in (1, 2, 3):
        assert _simplex.first_nonfinite(y, workers) == 2
        assert _simplex.first_nonfinite(y[3:].astype(np.float32), workers) == 1
        assert _simplex.first_nonfinite(y[:2], workers) == -1
        assert _simplex.first_nonfinite(wide, workers) == 30
        # Rows with gaps between them: the INF beyond the view's rows is not read.
        assert _simplex.first_nonfinite(wide[:, :2000], workers) == 31
    # Short adjacent rows are read as runs of rows, the row then found in the run.
    short_rows = np.zeros((5000, 10))
    short_rows[[4321, 4999], [9, 0]] = [np.nan, INF]
    for workers in (1, 2):
        assert _simplex.first_nonfinite(short_rows, workers) == 4321
        assert _simplex.first_nonfinite(short_rows[:4321], workers) == -1
    # One long vector is scanned in pieces on every thread; a row of rows further on too.
    long = rng(2).standard_normal((3, 300000))
    long[[2, 1], [5, 299999]] = [np.nan, INF]
    for workers in (1, 2, 3):
        assert _simplex.first_nonfinite(long, workers) == 1
        assert _simplex.first_nonfinite(long[2:], workers) == 0
        assert _simplex.first_nonfinite(long[:1], workers) == -1
    # Unchecked, any result, but an answer.
    short = np.array([[np.nan, 1.0, 2.0], [INF, -INF, 0.0], [1e308, 1e308, 1e308]])
    for rows in (short, y):
        assert solve(rows, 1.0, 0.0, 1.0, check_finite=False)[0] == -1


def _infeasible():
    ones = np.ones((2, 3))
    ulp = EPS[np.float64]
    return [
        ("h not finite", 2, 3, np.array([1.0, np.nan]), 0.0, 1.0, None, 1),
        ("l above u", 2, 3, 1.0, np.array([0.0, 2.0]), 1.0, None, 1),
        ("l = +inf", 2, 3, 1.0, INF, INF, None, 0),
        ("u = -inf", 2, 3, -1.0, -INF, -INF, None, 0),
        ("l NaN", 2, 3, 1.0, np.nan, 1.0, None, 0),
        ("h below n*l", 2, 3, np.array([0.0, 2.9]), 1.0, 2.0, None, 0),
        ("h above n*u", 2, 3, np.array([6.0, 6.1]), 1.0, 2.0, None, 1),
        ("h above sum w u", 2, 3, 3.5, 0.0, 1.0, np.array([1.0, 1.0]), 0),
        ("weight zero", 2, 3, 1.0, 0.0, 1.0, np.array([1.0, 0.0]), 1),
        ("weight NaN", 2, 3, 1.0, 0.0, 1.0, ones * np.array([[1.0], [np.nan]]), 1),
        ("per element l > u", 2, 3, 0.0, ones * -1, ones * np.array([[1.0], [-2.0]]), None, 1),
        ("u = inf feasible", 2, 3, 100.0, 0.0, INF, None, -1),
        ("hyperplane", 2, 3, -5.0, -INF, INF, None, -1),
        ("at n*u exactly", 2, 3, 1.5, 0.1, 0.5, None, -1),
        ("near overflow", 2, 3, 0.0, -1e308, 1e308, None, -1),
        ("sum beyond the largest double", 2, 3, 1.7e308, 0.0, 1e308, None, -1),
        ("one element, h above u", 1, 1, 1.5e308, 0.0, 1e308, None, 0),
        ("ulp above n*u", 2, 3, np.nextafter(1.5, 2.0), 0.1, 0.5, None, -1),
        # One l and u a vector: plain products decide far from an end, the exact sums near it.
        ("16 ulps above n*u", 2, 3, np.array([1.5, 1.5 * (1 + 16 * ulp)]), 0.1, 0.5, None, 1),
        ("100 ulps below n*l", 2, 3, np.array([0.3 * (1 - 100 * ulp), 1.5]), 0.1, 0.5, None, 0),
        ("rows repeated, then one off", 4, 3, np.array([1.0, 1.0, 1.0, 9.0]), 0.0, 1.0, None, 3),
        # Per element: the plain sums decide where h is clear of an end, the
        # compensated ones near it (cancelling terms) or where a product overflows.
        ("per element l = +inf", 2, 3, 1.0, ones * [[0.0], [INF]], INF, None, 1),
        ("per element u = -inf", 2, 3, -1.0, -INF, ones * [[0.0], [-INF]], None, 1),
        ("per element weight inf", 2, 3, 1.0, 0.0, 1.0, ones * [[1.0], [INF]], 1),
        ("cancelling l, h within the slack", 2, 3, -9.0, ones * [1e16, -1e16, 1], INF, None, -1),
        (
            "cancelling l, h beyond it",
            2,
            3,
            np.array([1.0, -30.0]),
            ones * [1e16, -1e16, 1],
            INF,
            None,
            1,
        ),
        (
            "cancelling l, h far beyond it",
            2,
            3,
            np.array([1.0, -1e3]),
            ones * [1e16, -1e16, 1],
            INF,
            None,
            1,
        ),
        ("per element products overflow", 2, 3, 1e308, 0.0, ones * 1e300, ones * 1e10, -1),
        ("per element h above sum w u", 2, 3, np.array([3.0, 3.5]), 0.0, ones, ones, 1),
    ]


@named_cases("m, n, h, l, u, w, first", _infeasible())
def test_first_infeasible(m, n, h, l, u, w, first):  # noqa: E741
    assert _simplex.first_infeasible(m, n, h, l, u, w) == first


def unaligned(shape):
    return np.frombuffer(bytearray(8 * math.prod(shape) + 1), "f8", math.prod(shape), 1).reshape(
        shape
    )


def _refusals():
    y = np.zeros((3, 4))
    wide = np.zeros((3, 5))
    read_only = np.broadcast_to(0.0, (3, 4))
    return [
        ("y 1-D", lambda: solve(np.zeros(4), 1.0, 0.0, 1.0), ValueError),
        ("y of ints", lambda: solve(np.zeros((3, 4), int), 1.0, 0.0, 1.0), TypeError),
        ("y big-endian", lambda: solve(np.zeros((3, 4), ">f8"), 1.0, 0.0, 1.0), TypeError),
        ("rows not contiguous", lambda: solve(y[:, ::2], 1.0, 0.0, 1.0), ValueError),
        ("out of another shape", lambda: solve(y, 1.0, 0.0, 1.0, out=wide), ValueError),
        ("out of another type", lambda: solve(y, 1.0, 0.0, 1.0, out=y.astype("f4")), ValueError),
        ("out read-only", lambda: solve(y, 1.0, 0.0, 1.0, out=read_only), ValueError),
        ("h of the wrong length", lambda: solve(y, np.ones(2), 0.0, 1.0), ValueError),
        ("h as float32", lambda: solve(y, np.ones(3, np.float32), 0.0, 1.0), TypeError),
        ("l per element of another shape", lambda: solve(y, 1.0, wide, 1.0), ValueError),
        ("l per element of another type", lambda: solve(y, 1.0, y.astype("f4"), 1.0), TypeError),
        ("w a string", lambda: solve(y, 1.0, 0.0, 1.0, "w"), TypeError),
        ("unaligned y", lambda: solve(unaligned((3, 4)), 1.0, 0.0, 1.0), ValueError),
        ("workers zero", lambda: solve(y, 1.0, 0.0, 1.0, workers=0), ValueError),
        ("empty vectors", lambda: solve(np.zeros((3, 0)), 1.0, 0.0, 1.0), ValueError),
        ("copy into another shape", lambda: _simplex.copy(y, wide, 1), ValueError),
        ("copy into another type", lambda: _simplex.copy(y, y.astype("f4"), 1), ValueError),
        ("copy into read-only", lambda: _simplex.copy(y, read_only, 1), ValueError),
        ("copy of ints", lambda: _simplex.copy(y.astype(int), y.copy(), 1), TypeError),
        ("copy on no thread", lambda: _simplex.copy(y, y.copy(), 0), ValueError),
    ]  # fmt: skip


@named_cases("call, error", _refusals())
def test_refusals_come_before_anything_is_written(call, error):
    with pytest.raises(error):
        call()


def test_out_overlapping_y_is_refused_and_untouched():
    block = np.arange(20.0).reshape(4, 5)
    before = block.copy()
    with pytest.raises(ValueError, match="overlaps"):
        _simplex.solve(block[:3], block[1:], 1.0, 0.0, 1.0, None, True, 1)
    with pytest.raises(ValueError, match="overlaps"):
        _simplex.project(block[:3], block[1:], 1.0, 0.0, 1.0, 1e-5, 1e-5, 20, 1)
    assert (block == before).all()


@pytest.mark.parametrize("workers", [1, 2, 3])
@pytest.mark.parametrize("dtype", ["f8", "f4"])
def test_copy_gives_numpys_bytes_between_any_layouts(dtype, workers):
    block = rng(5).standard_normal((900, 70)).astype(dtype)
    sources = [block, block.T, block[::3, 5:40]]
    if dtype == "f8":
        sources.append(unaligned(block.shape))
        sources[-1][...] = block
    for source in sources:
        for target in (np.empty(source.shape, dtype), np.empty(source.shape[::-1], dtype).T):
            _simplex.copy(source, target, workers)
            assert target.tobytes() == np.ascontiguousarray(source).tobytes()


@pytest.mark.parametrize("workers", [1, 2])
def test_project_copies_y_into_out_as_the_operator_projects_a_copy(workers):
    y = rng(4).standard_normal((300, 40))
    before = y.copy()
    out = np.full_like(y, np.nan)
    assert _simplex.project(y, out, 1.0, 0.0, 1.0, 1e-5, 1e-5, 20, workers) is None
    expected = y.copy()
    proj_csimplex(expected, 1.0, 0.0, 1.0)
    assert (y == before).all() and out.tobytes() == expected.tobytes()
    _simplex.project(y, y, 1.0, 0.0, 1.0, 1e-5, 1e-5, 20, workers)
    assert y.tobytes() == expected.tobytes()
