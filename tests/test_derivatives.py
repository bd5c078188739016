"""project_capped_simplex_jvp and _vjp: against finite differences, each other, a literal twin
of the kernels, hand-computed rows, and bad input."""

import math
import subprocess

import numpy as np
import pytest
from front_ends import SET_SHAPES, set_shape_call, set_shape_ids
from numpy.testing import assert_allclose
from support import BUILD_DIR, AxisError, capped_sets, exact_projection

import tavorin
from tavorin import _simplex

jvp = tavorin.project_capped_simplex_jvp
vjp = tavorin.project_capped_simplex_vjp

KINDS = ["scalar", "per vector", "per element", "infinite lower", "infinite upper", "weights"]


def split(sets):
    """(h, l, u, options) of a set from capped_sets."""
    options = {"weights": sets["weights"]} if "weights" in sets else {}
    return sets["h"], sets["l"], sets["u"], options


def synthetic(kind, m=4, n=7, seed=0):
    """x: y clipped to the bounds (a third or so of the elements at one), with its set.
    The kernels read only which elements are free, so x need not sum to h."""
    y, sets = capped_sets(kind, m, n, seed, projected=False)
    h, l, u, options = split(sets)  # noqa: E741
    lower = np.broadcast_to(
        np.asarray(l, float).reshape(np.shape(l) + (1,) * (np.ndim(l) < 2)), y.shape
    )
    upper = np.broadcast_to(
        np.asarray(u, float).reshape(np.shape(u) + (1,) * (np.ndim(u) < 2)), y.shape
    )
    return np.clip(y, lower, upper), h, l, u, options


def tangents(x, h, l, u, seed=1):  # noqa: E741
    """Random tangents shaped as the inputs; none for an infinite bound."""
    rng = np.random.default_rng(seed)

    def like(value):
        value = np.asarray(value, float)
        return np.where(np.isfinite(value), rng.standard_normal(value.shape), 0.0)

    return rng.standard_normal(x.shape), like(h), like(l), like(u)


# Between them, the one-sided sums put vectors of every kind of set inside (the clip) and on h.
SENSES = ["==", "<=", ">="]


@pytest.mark.parametrize("sense", SENSES)
@pytest.mark.parametrize("kind", KINDS)
def test_jvp_matches_finite_differences_of_the_projection(kind, sense):
    y, sets = capped_sets(kind)
    h, l, u, options = split(sets)  # noqa: E741
    options["sense"] = sense
    x = exact_projection(y, h, l, u, **options)
    dy, dh, dl, du = tangents(x, h, l, u)

    def moved(e):
        return exact_projection(y + e * dy, h + e * dh, l + e * dl, u + e * du, **options)

    eps = 1e-6
    expected = (moved(eps) - moved(-eps)) / (2 * eps)
    assert_allclose(jvp(x, dy, dh, dl, du, l, u, h=h, **options), expected, atol=1e-7)


@pytest.mark.parametrize("sense", SENSES)
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("kind", KINDS)
def test_vjp_is_the_adjoint_of_jvp(kind, dtype, sense):
    x, h, l, u, options = synthetic(kind)  # noqa: E741
    if sense != "==":  # projected, so that some vectors sit on h
        y, _ = capped_sets(kind)
        options["sense"] = sense
        x = exact_projection(y, h, l, u, **options)
    x = x.astype(dtype)
    dy, dh, dl, du = tangents(x, h, l, u)
    g = np.random.default_rng(2).standard_normal(x.shape)
    dx = jvp(x, dy, dh, dl, du, l, u, h=h, **options)
    gy, gh, gl, gu = vjp(x, g, h, l, u, **options)
    assert dx.dtype == gy.dtype == dtype
    assert [np.shape(v) for v in (gh, gl, gu)] == [np.shape(v) for v in (h, l, u)]
    back = np.sum(gy * dy) + np.sum(gh * dh) + np.sum(gl * dl) + np.sum(gu * du)
    assert_allclose(np.sum(g * dx), back, rtol=1e-5 if dtype == np.float32 else 1e-12)


L1_CASES = [
    # radius, weights: vectors inside the ball and on its sphere
    (2.0, None),
    (np.linspace(0.5, 4.0, 4), None),
    (np.linspace(0.5, 4.0, 4)[:, None], np.random.default_rng(3).uniform(0.5, 2.0, (4, 7))),
]


@pytest.mark.parametrize("radius, weights", L1_CASES, ids=range(len(L1_CASES)))
def test_l1_ball_derivatives_match_finite_differences_and_each_other(radius, weights):
    rng = np.random.default_rng(4)
    y = rng.standard_normal((4, 7)) * [[0.1], [1.0], [0.2], [2.0]]
    x = tavorin.project_l1_ball(y, radius, weights=weights)
    dy, dr, g = rng.standard_normal(y.shape), rng.standard_normal(np.shape(radius)), y[::-1]

    def moved(e):
        return tavorin.project_l1_ball(y + e * dy, radius + e * dr, weights=weights)

    eps = 1e-6
    dx = tavorin.project_l1_ball_jvp(x, dy, dr, radius, weights=weights)
    assert_allclose(dx, (moved(eps) - moved(-eps)) / (2 * eps), atol=1e-7)
    gy, gr = tavorin.project_l1_ball_vjp(x, g, radius, weights=weights)
    assert np.shape(gr) == np.shape(radius)
    assert_allclose(np.sum(g * dx), np.sum(gy * dy) + np.sum(gr * dr), rtol=1e-12)


@pytest.mark.parametrize("kind", ["scalar", "per vector", "per element", "weights"])
def test_the_y_jacobian_is_a_symmetric_projection_that_keeps_the_weighted_sum(kind):
    x, h, l, u, options = synthetic(kind, m=1, n=9)  # noqa: E741
    n = x.shape[1]
    # One vector n times, moved along each axis of y once.
    rows = lambda v: np.repeat(np.asarray(v), n, axis=0) if np.ndim(v) else v  # noqa: E731
    many = {k: rows(v) for k, v in options.items()}
    jacobian = jvp(rows(x), np.eye(n), None, None, None, rows(l), rows(u), **many).T
    weights = options.get("weights", np.ones((1, n)))[0]
    assert_allclose(jacobian, jacobian.T, atol=1e-15)
    assert_allclose(jacobian @ jacobian, jacobian, atol=1e-14)
    assert_allclose(jacobian @ weights, 0.0, atol=1e-14)


@pytest.mark.parametrize("row", SET_SHAPES, ids=set_shape_ids)
def test_every_set_shape_the_forward_takes(row):
    y_shape, axis, name, shape, how = row
    y, sets, canonical = set_shape_call(*row)
    if isinstance(how, tuple):
        with pytest.raises(how[0], match=r"^" + name):
            vjp(y, y, sets["h"], sets["l"], sets["u"], axis=axis, weights=sets.get("weights"))
        return
    x = exact_projection(y, axis=axis, **canonical)
    g = np.random.default_rng(5).standard_normal(y_shape)

    def both(given):
        h, l, u, w = (given.get(k) for k in ("h", "l", "u", "weights"))  # noqa: E741
        back = vjp(x, g, h, l, u, axis=axis, weights=w)
        tangent = {k: given[k] if k == name else None for k in "hlu"}
        dx = jvp(x, g, tangent["h"], tangent["l"], tangent["u"], l, u, axis=axis, weights=w)
        return back, dx

    (gy, *cotangents), dx = both(sets)
    (want_gy, *want_cotangents), want_dx = both(canonical)
    assert gy.tobytes() == want_gy.tobytes() and dx.tobytes() == want_dx.tobytes()
    if name != "weights":
        i = "hlu".index(name)
        assert np.shape(cotangents[i]) == shape
        assert_allclose(np.sum(cotangents[i]), np.sum(want_cotangents[i]), rtol=1e-12)


# x, l, u: one vector at hand-picked places; g; the expected gy, gh, gl, gu.
HAND_ROWS = [
    # l and u ties count as clipped: F = {1, 2}, m = (2 + 4) / 2.
    ("ties", [0.6, 0.1, 0.2, -0.1], -0.1, 0.6, [1.0, 2.0, 4.0, 8.0], [0, -1, 1, 0], 3.0, 5.0, -2.0),
    # No free element: nothing moves tau, the bounds take g as it is.
    ("all at u", [0.5, 0.5], 0.0, 0.5, [1.0, 2.0], [0, 0], 0.0, 0.0, 3.0),
    ("all at l", [0.0, 0.0], 0.0, 0.5, [1.0, 2.0], [0, 0], 0.0, 3.0, 0.0),
    ("l == u", [0.25, 0.25, 0.25], 0.25, 0.25, [1.0, 2.0, 4.0], [0, 0, 0], 0.0, 7.0, 0.0),
    ("one free", [0.0, 0.3, 0.5], 0.0, 0.5, [1.0, 2.0, 4.0], [0, 0, 0], 2.0, -1.0, 2.0),
]


@pytest.mark.parametrize(
    "x, l, u, g, gy, gh, gl, gu", [row[1:] for row in HAND_ROWS], ids=[row[0] for row in HAND_ROWS]
)
def test_hand_computed_rows(x, l, u, g, gy, gh, gl, gu):  # noqa: E741
    got = vjp(np.array(x), np.array(g), 1.0, l, u)
    assert [got[0].tolist(), *map(float, got[1:])] == [gy, gh, gl, gu]
    dx = jvp(np.array(x), np.array(g), 0.0, 0.0, 0.0, l, u)
    assert np.isfinite(dx).all()


# ---------------------------------------------------------------------------
# The literal twin: the kernels' arithmetic in plain Python floats, in the
# same order (element j in running sum j % 4, joined as (s0 + s1) + (s2 + s3); sum_F w^2
# of per-element weights as FreeWeight keeps it).
# ---------------------------------------------------------------------------


def joined(s):
    return (s[0] + s[1]) + (s[2] + s[3])


class FreeWeight:
    """sum_F w^2 as the kernels keep it: per-element weights with each square's and each
    lane's rounding error (Dekker's product, two_sum), joined as a twofold sum."""

    def __init__(self, each):
        self.each, self.hi, self.lo = each, [0.0] * 4, [0.0] * 4

    def add(self, j, free, w):
        if not self.each:
            self.hi[j % 4] += w * w if free else 0.0
            return
        w = w if free else 0.0
        c = 134217729.0 * w
        w_hi = c - (c - w)
        w_lo = w - w_hi
        p = w * w
        e = ((w_hi * w_hi - p) + w_hi * w_lo + w_lo * w_hi) + w_lo * w_lo
        hi = self.hi[j % 4]
        s = hi + p
        bb = s - hi
        self.lo[j % 4] += ((hi - (s - bb)) + (p - bb)) + e
        self.hi[j % 4] = s

    def value(self):
        if not self.each:
            return joined(self.hi)
        hi = lo = 0.0
        for a, b in zip(self.hi, self.lo):
            s = hi + a
            bb = s - hi
            lo = lo + ((hi - (s - bb)) + (a - bb))
            hi = s
            lo += b
        return hi + lo if math.isfinite(hi) else hi


def element_views(x, value, rounded):
    """value per element of x's rows: per-row values rounded to x's float type if asked."""
    value = np.asarray(value, float)
    if value.ndim == 2:
        return value.astype(x.dtype).astype(float)
    if rounded:
        value = value.astype(x.dtype).astype(float)
    return np.broadcast_to(value.reshape(-1, 1) if value.ndim else value, x.shape)


def places(xj, lj, uj):
    at_l = xj == lj
    return lj < xj < uj, at_l, not at_l and xj == uj


def twin_vjp(x, g, l, u, w):  # noqa: E741
    lb, ub = element_views(x, l, True), element_views(x, u, True)
    wb, gb = element_views(x, w, False), g.astype(x.dtype).astype(float)
    gy, gl, gu = (np.zeros(x.shape, x.dtype) for _ in range(3))
    gh, gl_rows, gu_rows = (np.zeros(x.shape[0]) for _ in range(3))
    for i in range(x.shape[0]):
        num, k = [0.0] * 4, FreeWeight(np.ndim(w) == 2)
        for j in range(x.shape[1]):
            free, _, _ = places(float(x[i, j]), lb[i, j], ub[i, j])
            num[j % 4] += wb[i, j] * gb[i, j] if free else 0.0
            k.add(j, free, wb[i, j])
        m = joined(num) / k.value() if k.value() > 0.0 else 0.0
        to_l, to_u = [0.0] * 4, [0.0] * 4
        for j in range(x.shape[1]):
            free, at_l, at_u = places(float(x[i, j]), lb[i, j], ub[i, j])
            rest = gb[i, j] - m * wb[i, j]
            gy[i, j], gl[i, j], gu[i, j] = (rest if p else 0.0 for p in (free, at_l, at_u))
            to_l[j % 4] += rest if at_l else 0.0
            to_u[j % 4] += rest if at_u else 0.0
        gh[i], gl_rows[i], gu_rows[i] = m, joined(to_l), joined(to_u)
    return gy, gh, gl, gu, gl_rows, gu_rows


def twin_jvp(x, dy, dh, dl, du, l, u, w):  # noqa: E741
    lb, ub = element_views(x, l, True), element_views(x, u, True)
    wb, dyb = element_views(x, w, False), dy.astype(x.dtype).astype(float)
    dlb, dub = element_views(x, dl, False), element_views(x, du, False)
    dx = np.zeros(x.shape, x.dtype)
    for i in range(x.shape[0]):
        num, k = [0.0] * 4, FreeWeight(np.ndim(w) == 2)
        for j in range(x.shape[1]):
            free, at_l, at_u = places(float(x[i, j]), lb[i, j], ub[i, j])
            w_ = wb[i, j]
            num[j % 4] += (
                (w_ * dyb[i, j] if free else 0.0) + (w_ * dlb[i, j] if at_l else 0.0)
            ) + (w_ * dub[i, j] if at_u else 0.0)
            k.add(j, free, w_)
        dtau = (joined(num) - dh[i]) / k.value() if k.value() > 0.0 else 0.0
        for j in range(x.shape[1]):
            free, at_l, at_u = places(float(x[i, j]), lb[i, j], ub[i, j])
            dx[i, j] = dlb[i, j] if at_l else (dub[i, j] if at_u else dyb[i, j] - dtau * wb[i, j])
    return dx


def kernel_arguments(kind, n, dtype):
    x, h, l, u, options = synthetic(kind, m=3, n=n, seed=n)  # noqa: E741
    x = x.astype(dtype)
    cast = lambda v: np.asarray(v, dtype) if np.ndim(v) == 2 else v  # noqa: E731
    w = cast(options.get("weights", 1.0))
    return x, cast(l), cast(u), w


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("kind", ["per vector", "per element", "infinite upper", "weights"])
@pytest.mark.parametrize("n", range(1, 14))
def test_kernels_give_the_bytes_of_their_literal_twin(n, kind, dtype):
    x, l, u, w = kernel_arguments(kind, n, dtype)  # noqa: E741
    rng = np.random.default_rng(n)
    g = rng.standard_normal(x.shape).astype(dtype)
    m = x.shape[0]
    gy, gl, gu = (np.empty_like(x) for _ in range(3))
    gh, gl_rows, gu_rows = (np.empty(m) for _ in range(3))
    _simplex.vjp(x, g, l, u, w, gy, gh, gl, gu, 1)
    _simplex.vjp(x, g, l, u, w, gy, gh, gl_rows, gu_rows, 1)
    for got, want in zip((gy, gh, gl, gu, gl_rows, gu_rows), twin_vjp(x, g, l, u, w)):
        assert got.tobytes() == want.tobytes()
    dh, dl, du = rng.standard_normal(m), rng.standard_normal(m), rng.standard_normal(x.shape)
    dx = np.empty_like(x)
    _simplex.jvp(x, g, dh, dl, du.astype(dtype), l, u, w, dx, 1)
    assert dx.tobytes() == twin_jvp(x, g, dh, dl, du.astype(dtype), l, u, w).tobytes()


def test_threads_give_the_same_bytes():
    x, h, l, u, options = synthetic("weights", m=400, n=100)  # noqa: E741
    g = np.random.default_rng(3).standard_normal(x.shape)
    one = vjp(x, g, h, l, u, **options, workers=1)
    two = vjp(x, g, h, l, u, **options, workers=2)
    assert all(a.tobytes() == b.tobytes() for a, b in zip(one, two))
    assert jvp(x, g, h, l, u, l, u, workers=2).tobytes() == jvp(x, g, h, l, u, l, u).tobytes()


def test_any_axis_and_scalar_results():
    x, h, l, u, _ = synthetic("per vector", m=3, n=5)  # noqa: E741
    g = np.random.default_rng(4).standard_normal(x.shape)
    along_rows = vjp(x, g, h, l, u)
    along_columns = vjp(x.T.copy(), g.T, h, l, u, axis=0)
    assert all(
        np.array_equal(np.asarray(a), np.asarray(b).T) for a, b in zip(along_rows, along_columns)
    )
    gy, gh, gl, gu = vjp(x, g, float(h[0]), -1.0, 1.0)
    assert all(type(v) is np.float64 for v in (gh, gl, gu))


BAD_INPUT = [
    (
        "one-sided jvp without h",
        lambda x: jvp(x, x, None, None, None, 0.0, 1.0, sense="<="),
        TypeError,
        "sense='<=' needs h, the sum the projection was given",
    ),
    (
        "sense of the vjp",
        lambda x: vjp(x, x, 1.0, 0.0, 1.0, sense="="),
        ValueError,
        "sense must be '==', '<=' or '>=', got '='",
    ),
    (
        "complex x",
        lambda x: vjp(x + 0j, x, 1.0, 0.0, 1.0),
        TypeError,
        "x must be an array of real numbers, not complex128",
    ),
    (
        "0-d x",
        lambda x: vjp(x[0, 0], x[0, 0], 1.0, 0.0, 1.0),
        ValueError,
        "x must have at least one dimension",
    ),
    (
        "axis",
        lambda x: jvp(x, x, 0.0, 0.0, 0.0, 0.0, 1.0, axis=2),
        AxisError,
        "axis 2 is out of bounds for array of dimension 2",
    ),
    (
        "l's shape",
        lambda x: vjp(x, x, 1.0, np.zeros(5), 1.0),
        ValueError,
        "l of shape (5,) does not broadcast to the batch shape (3,)",
    ),
    (
        "h per element",
        lambda x: vjp(x, x, x, 0.0, 1.0),
        ValueError,
        "h of shape (3, 4) does not broadcast to (3, 1)",
    ),
    (
        "dh per element",
        lambda x: jvp(x, x, x, 0.0, 0.0, 0.0, 1.0),
        ValueError,
        "dh of shape (3, 4) does not broadcast to (3, 1)",
    ),
    (
        "more dimensions than x",
        lambda x: jvp(x, x, 0.0, 0.0, 0.0, 0.0, np.ones((1, 3, 4))),
        ValueError,
        "u of shape (1, 3, 4) has more dimensions than x (2)",
    ),
    (
        "x of ints",
        lambda x: _simplex.vjp(np.ones((3, 4), int), x, 0.0, 1.0, None, x, None, None, None, 1),
        TypeError,
        "x: expected native float64 ('d') or float32 ('f') elements",
    ),
    (
        "g of x32",
        lambda x: _simplex.vjp(x.astype(np.float32), x, 0.0, 1.0, None, x, None, None, None, 1),
        ValueError,
        "g: expected a 2-D buffer of x's shape and format",
    ),
    (
        "gh strided",
        lambda x: _simplex.vjp(x, x, 0.0, 1.0, None, x.copy(), np.zeros(6)[::2], None, None, 1),
        ValueError,
        "gh: the doubles must be adjacent",
    ),
    (
        "read-only dx",
        lambda x: _simplex.jvp(x, x, 0.0, 0.0, 0.0, 0.0, 1.0, None, x, 1),
        ValueError,
        "buffer source array is read-only",
    ),
    (
        "no l",
        lambda x: _simplex.jvp(x, x, 0.0, 0.0, 0.0, None, 1.0, None, x.copy(), 1),
        TypeError,
        "l, u: expected a bound",
    ),
    (
        "workers",
        lambda x: _simplex.jvp(x, x, 0.0, 0.0, 0.0, 0.0, 1.0, None, x.copy(), 0),
        ValueError,
        "workers: expected at least one thread",
    ),
]


@pytest.mark.parametrize(
    "call, error, message", [row[1:] for row in BAD_INPUT], ids=[row[0] for row in BAD_INPUT]
)
def test_bad_input_is_refused_with_its_reason(call, error, message):
    x = np.linspace(0.0, 1.0, 12).reshape(3, 4)
    x.flags.writeable = False
    kept = x.copy()
    with pytest.raises(error) as info:
        call(x)
    assert str(info.value) == message
    assert np.array_equal(x, kept)


def test_the_kernels_and_their_plain_twins_give_the_same_bytes():
    """The AVX2 kernels (where the processor has AVX2) against the plain twins that
    processors without it run, on every tail length and mix of set kinds
    (tests/core/derivatives_twin.cpp, built with the tests)."""
    program = BUILD_DIR / "tests" / "core" / "derivatives_twin"
    if not program.exists():
        pytest.skip(f"{program} not built (meson -Dtests=true)")
    result = subprocess.run([str(program)], capture_output=True, text=True, timeout=300)
    assert (result.returncode, result.stdout.splitlines()[0]) == (0, "0 of 22080 cases differ")
