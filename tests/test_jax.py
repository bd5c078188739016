"""tavorin.jax.project_capped_simplex under jit, vmap, grad, jacfwd and jacrev; the sort
method, the lowering for a GPU, and half precision."""

import re

import numpy as np
import pytest
from front_ends import (
    L1_REFUSALS,
    REFUSALS,
    SET_SHAPES,
    for_frameworks,
    refused_or_projected,
    set_shape_ids,
)
from numpy.testing import assert_allclose
from support import assert_near_reference, capped_sets, exact_projection

jax = pytest.importorskip("jax", reason="tavorin.jax needs jax (the tavorin[jax] extra)")
# jaxlib is not built for the sanitizers, and these tests reach the C++ only through the forward.
pytestmark = pytest.mark.unsanitized
jnp = jax.numpy
jax.config.update("jax_enable_x64", True)

from jax.test_util import check_grads  # noqa: E402

import tavorin  # noqa: E402
import tavorin.jax as tavorin_jax  # noqa: E402
from tavorin.jax import project_capped_simplex, project_l1_ball  # noqa: E402

KINDS = ["scalar", "per vector", "per element", "infinite lower", "infinite upper", "weights"]
# (the sum's sense, or the l1 ball; the kind of set): every kind with the equality,
# some with each other form.
FORMS = [("==", kind) for kind in KINDS] + [
    ("<=", "per vector"),
    ("<=", "infinite lower"),
    ("<=", "weights"),
    (">=", "scalar"),
    (">=", "per element"),
    (">=", "infinite upper"),
    ("l1", "scalar"),
    ("l1", "per vector"),
    ("l1", "weights"),
]


def arguments(kind, m=4, n=7, dtype=np.float64, form="=="):
    """(y, h, l, u), or (y, radius) for the ball, as JAX arrays of dtype, and the weights
    (or None).  One-sided and in the ball, every other vector has its constraint
    inactive (its clip meets the sum; it lies inside the ball)."""
    y, sets = capped_sets(kind, m, n)
    weights = sets.get("weights")
    as_jax = lambda v: jnp.asarray(v, dtype)  # noqa: E731
    odd = np.arange(m) % 2
    if form == "l1":
        y = y * np.where(odd, 0.2, 1.0)[:, None]
        radius = np.abs(y).sum(axis=1) * (0.5 + odd) if kind == "per vector" else 2.0
        return [as_jax(y), as_jax(radius)], weights
    if form != "==":
        y = y + 0.8 * (1 - 2 * odd)[:, None]
    return [as_jax(y)] + [as_jax(sets[k]) for k in "hlu"], weights


def project(form, *args, **options):
    if form == "l1":
        return project_l1_ball(*args, **options)
    return project_capped_simplex(*args, sense=form, **options)


def numpy_projection(form, *args, **options):
    if form == "l1":
        return tavorin.project_l1_ball(*args, **options)
    return exact_projection(*args, sense=form, **options)


@pytest.mark.parametrize("method", [None, "sort"])
@pytest.mark.parametrize("form, kind", FORMS)
def test_gradients_match_finite_differences_both_ways(form, kind, method):
    args, weights = arguments(kind, form=form)
    finite = [a for a in args if bool(jnp.all(jnp.isfinite(a)))]
    infinite = {i: a for i, a in enumerate(args) if not bool(jnp.all(jnp.isfinite(a)))}

    def f(*finite_args):
        full = list(finite_args)
        for i, a in sorted(infinite.items()):
            full.insert(i, a)
        return project(form, *full, weights=weights, method=method)

    check_grads(f, finite, order=1, modes=("fwd", "rev"), eps=1e-6, atol=1e-6, rtol=1e-6)


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("form, kind", FORMS)
def test_forward_gives_the_numpy_functions_bytes(form, kind, dtype):
    args, weights = arguments(kind, dtype=dtype, form=form)
    options = {} if weights is None else {"weights": weights}
    x = jax.jit(lambda *a: project(form, *a, **options))(*args)
    host = [np.asarray(a) for a in args]
    assert x.dtype == dtype
    want = numpy_projection(form, *host, **options).astype(dtype)
    assert np.asarray(x).tobytes() == want.tobytes()


@pytest.mark.parametrize(
    "change, message",
    [
        ({"h": [1.0, 9.0, 1.0, 1.0]}, r"no feasible point for the vector at batch index \(1,\)"),
        ({"y": (2, 3, np.nan)}, r"y holds NaN or infinity in the vector at batch index \(2,\)"),
        ({"y": (0, 1, np.inf)}, r"y holds NaN or infinity in the vector at batch index \(0,\)"),
        ({"h": [1.0, 1.0, -1.0, 9.0], "form": "<="}, r"batch index \(2,\): .*(sum\(l\)|n\*l) <= h"),
        ({"h": [1.0, 1.0, -1.0, 9.0], "form": ">="}, r"batch index \(3,\): .*h <= (sum\(u\)|n\*u)"),
        ({"h": [1.0, 1.0, 1.0, -1.0], "form": "l1"}, r"got -1.0 for the vector at .* \(3,\)"),
        ({"y": (1, 0, np.inf), "form": "l1"}, r"NaN or infinity in the vector at .* \(1,\)"),
    ],
)
def test_refusals_name_the_vector(change, message):
    y = np.random.default_rng(2).standard_normal((4, 5))
    h = np.asarray(change.get("h", 1.0))
    if "y" in change:
        i, j, value = change["y"]
        y[i, j] = value
    form = change.get("form", "==")
    bounds = () if form == "l1" else (0.0, 1.0)
    with pytest.raises(Exception, match=message):
        jax.jit(lambda *a: project(form, *a))(y, h, *bounds).block_until_ready()
    # A device cannot raise: the sort method gives the vector NaN, and only it.
    x = np.asarray(jax.jit(lambda *a: project(form, *a, method="sort"))(y, h, *bounds))
    bad = int(re.search(r"(\d+),\\\)", message).group(1))
    assert np.isnan(x[bad]).all() and not np.isnan(np.delete(x, bad, axis=0)).any()


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("form, kind", FORMS)
def test_the_sort_method_is_near_the_core_and_the_rational_projection(form, kind, dtype):
    args, weights = arguments(kind, m=40, n=9, dtype=dtype, form=form)
    x = jax.jit(lambda *a: project(form, *a, weights=weights, method="sort"))(*args)
    core = project(form, *args, weights=weights)
    assert x.dtype == dtype
    scale = max(1.0, float(jnp.max(jnp.abs(core))))
    assert float(jnp.max(jnp.abs(x - core))) <= 4 * np.finfo(dtype).eps * scale
    if form == "==":  # the core is held to the rational projection in every form by test_api
        assert_near_reference(x, *(np.asarray(a, float) for a in args), weights)


@pytest.mark.skipif(not hasattr(jax.jit(abs), "trace"), reason="jax before jit(f).trace")
@pytest.mark.parametrize("form", ["==", "<=", "l1"])
def test_the_gpu_program_sorts_on_the_device_with_no_host_call(form):
    args, _ = arguments("per vector", form=form)
    everything = tuple(range(len(args)))
    loss = jax.jit(jax.grad(lambda *a: jnp.sum(project(form, *a) ** 2), everything))
    gpu = loss.trace(*args).lower(lowering_platforms=("cuda",)).as_text()
    cpu = loss.trace(*args).lower(lowering_platforms=("cpu",)).as_text()
    assert "tavorin" not in gpu and "sort" in gpu
    # Without jax.ffi the CPU's branch is a callback, which jax of that age
    # lowers for every platform too (a branch the device never takes).
    assert "callback" not in gpu or not tavorin_jax._HAS_FFI
    assert "tavorin" in cpu or not tavorin_jax._HAS_FFI


@pytest.mark.parametrize("dtype", [jnp.float16, jnp.bfloat16])
@pytest.mark.parametrize("method", [None, "sort"])
@pytest.mark.parametrize("form", ["==", "l1"])
def test_half_precision_is_the_float32_projection_rounded_once(form, method, dtype):
    (y, *sets), _ = arguments("per vector", dtype=np.float32, form=form)
    f = lambda v: project(form, v, *sets, method=method)  # noqa: E731
    x = f(y.astype(dtype))
    assert x.dtype == dtype
    assert np.array_equal(x, project(form, y.astype(dtype).astype(np.float32), *sets).astype(dtype))
    assert (
        jax.grad(lambda v: jnp.sum(f(v) * jnp.arange(7.0, dtype=dtype)))(y.astype(dtype)).dtype
        == dtype
    )


@pytest.mark.parametrize(
    "y, error, message",
    [
        (np.zeros((2, 3), np.complex64), TypeError, "real numbers, not complex64"),
        (np.zeros((2, 3)), ValueError, "method must be None or 'sort', not 'exact'"),
    ]
    + [
        (jnp.zeros((2, 3), getattr(jnp, name)), TypeError, f"not {name}")
        for name in ["float8_e4m3fn"]
        if hasattr(jnp, name)
    ],
)
def test_other_dtypes_and_methods_are_refused(y, error, message):
    with pytest.raises(error, match=message):
        project_capped_simplex(y, 1.0, 0.0, 1.0, method="exact" if error is ValueError else None)


_Y = np.zeros((2, 3))
_NOT_BOOL = "check_finite must be True or False, not int"


def _framework_rows(rows):
    """The rows of a refusal table for tavorin.jax, which takes sense= too."""
    without_sense = lambda kwargs: {k: v for k, v in kwargs.items() if k != "sense"}  # noqa: E731
    return [r for r in rows if for_frameworks(r[0], without_sense(r[1]), r[3])]


@pytest.mark.parametrize(
    "function, args, kwargs, error, message",
    [(project_capped_simplex, *r) for r in _framework_rows(REFUSALS)]
    + [(project_l1_ball, *r) for r in _framework_rows(L1_REFUSALS)]
    + [
        (project_l1_ball, (_Y, 1.0), {"check_finite": 1}, TypeError, _NOT_BOOL),
        # A JAX array's values are known when the call is traced outside jit.
        (project_l1_ball, (_Y, jnp.array(-1.0)), {}, ValueError, L1_REFUSALS[0][3]),
    ],
)
def test_refusals(function, args, kwargs, error, message):
    with pytest.raises(error) as info:
        function(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("row", SET_SHAPES, ids=set_shape_ids)
def test_set_shapes(row):
    refused_or_projected(lambda y, axis, **sets: project_capped_simplex(y, axis=axis, **sets), row)


@pytest.mark.parametrize(
    "args, attrs, results",
    [
        ((_Y, np.ones((2, 3))), {}, [(2, 3)]),  # no kinds
        ((_Y, np.ones((2, 3))), {"kinds": np.int32(3)}, [(2, 3)]),  # kinds out of range
        ((_Y, np.ones((2, 3))), {"kinds": np.int32(5 | 2 << 4)}, [(2, 3)]),  # weights missing
        ((_Y, np.ones((2, 2))), {"kinds": np.int32(5)}, [(2, 3)]),  # too few columns
        ((_Y, np.ones((3, 3))), {"kinds": np.int32(5)}, [(2, 3)]),  # too many vectors
        ((_Y, np.ones((2, 3), np.float32)), {"kinds": np.int32(5)}, [(2, 3)]),  # mixed types
        ((_Y.astype(np.int32), np.ones((2, 3))), {"kinds": np.int32(5)}, [(2, 3)]),  # integers
        ((_Y, np.ones((2, 3))), {"kinds": np.int32(5)}, [(2, 4)]),  # result of another shape
        ((_Y, np.ones((2, 3))), {"kinds": np.int32(5)}, [(2, 3), (3,)]),  # free weights, bad shape
        ((_Y, np.ones((2, 3))), {"kinds": np.int32(5), "mode": np.int32(3)}, [(2, 3)]),  # no sense
        ((_Y, np.ones((2, 1))), {"kinds": np.int32(0), "mode": np.int32(4)}, [(2, 3)]),  # ball, ==
        ((_Y, np.ones((2, 3))), {"kinds": np.int32(5), "mode": np.int32(5)}, [(2, 3)]),  # ball, l u
    ],
)
def test_malformed_foreign_calls_are_refused(args, attrs, results):
    import tavorin.jax

    if not tavorin.jax._HAS_FFI:
        pytest.skip("this jax has no jax.ffi.ffi_call: the projection is a callback")
    shapes = [jax.ShapeDtypeStruct(shape, np.float64) for shape in results]
    call = jax.ffi.ffi_call(tavorin.jax._TARGET, shapes)
    with pytest.raises(Exception, match="unexpected call of the projection"):
        jax.block_until_ready(call(*args, **attrs))


@pytest.mark.parametrize("shape", [(1, 1), (2, 1), (1, 3), (2, 3)])
def test_foreign_calls_broadcast_the_values_given_per_vector(shape):
    if not tavorin_jax._HAS_FFI:
        pytest.skip("this jax has no jax.ffi.ffi_call: the projection is a callback")
    y = np.random.default_rng(3).standard_normal((2, 3, 4))
    rows = np.stack(
        np.broadcast_arrays(
            np.arange(1.0, 1.0 + shape[0] * shape[1]).reshape(shape) / 4, -0.5, 1.0
        ),
        -1,
    )
    call = jax.ffi.ffi_call(tavorin_jax._TARGET, jax.ShapeDtypeStruct(y.shape, y.dtype))
    x = call(y, rows, kinds=np.int32(5))
    h, l, u = (np.broadcast_to(rows[..., i], (2, 3)) for i in range(3))  # noqa: E741
    assert np.asarray(x).tobytes() == exact_projection(y, h, l, u).tobytes()


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_the_ball_of_many_vectors_has_the_numpy_bytes_and_names_a_late_vector(dtype):
    y = np.random.default_rng(5).standard_normal((3000, 50)).astype(dtype)
    radius = np.random.default_rng(6).uniform(0.0, 60.0, 3000).astype(dtype)  # some inside
    want = tavorin.project_l1_ball(y, radius)
    assert np.asarray(jax.jit(project_l1_ball)(y, radius)).tobytes() == want.tobytes()
    y[2999, 7] = np.nan
    with pytest.raises(Exception, match=r"batch index \(2999,\)"):
        jax.jit(project_l1_ball)(y, radius).block_until_ready()


@pytest.mark.parametrize("weighted", [False, True], ids=["unweighted", "weights"])
def test_the_balls_gradient_on_long_vectors_is_the_numpy_vjp(weighted):
    # Longer than a block of the free weights' |x| (and of the core's ball).
    g = np.random.default_rng(8)
    y = g.standard_normal((3, 9000))
    c = g.standard_normal((3, 9000))
    w = g.uniform(0.5, 2.0, (3, 9000)) if weighted else None
    x = tavorin.project_l1_ball(y, 30.0, weights=w)
    want, _ = tavorin.project_l1_ball_vjp(x, c, 30.0, weights=w)
    grad = jax.grad(lambda v: jnp.sum(c * project_l1_ball(v, 30.0, weights=w)))(jnp.asarray(y))
    assert_allclose(np.asarray(grad), want, rtol=1e-12, atol=1e-12)


def test_the_jacobian_is_symmetric_with_zero_row_sums_forward_and_back():
    (y, h, l, u), _ = arguments("scalar")  # noqa: E741
    f = lambda v: project_capped_simplex(v, h, l, u)  # noqa: E731
    forward, backward = jax.jacfwd(f)(y[0]), jax.jacrev(f)(y[0])
    assert_allclose(forward, backward, atol=1e-15)
    assert_allclose(forward, forward.T, atol=1e-15)
    assert_allclose(forward.sum(axis=1), 0.0, atol=1e-15)
    # Piecewise linear: the second derivatives exist and are zero.
    assert not np.any(jax.jacfwd(jax.jacrev(f))(y[0]))


def test_vmap_of_grad_is_grad_of_the_batch_for_any_number_of_batch_axes():
    (y, h, l, u), _ = arguments("per vector", m=6)  # noqa: E741

    def loss(y, h, l, u):  # noqa: E741
        return jnp.sum(project_capped_simplex(y, h, l, u) ** 3)

    whole = jax.grad(loss, argnums=(0, 1, 2, 3))(y, h, l, u)
    mapped = jax.vmap(jax.grad(loss, argnums=(0, 1, 2, 3)))(y, h, l, u)
    nested = jax.vmap(jax.vmap(jax.grad(loss, argnums=(0, 1, 2, 3))))(
        y.reshape(2, 3, -1), h.reshape(2, 3), l.reshape(2, 3), u.reshape(2, 3)
    )
    for a, b, c in zip(whole, mapped, nested):
        assert_allclose(a, b, atol=1e-14)
        assert_allclose(a, c.reshape(a.shape), atol=1e-14)
    # Nested vmaps batching different arguments: h outside, y inside.
    crossed = jax.vmap(lambda s: jax.vmap(lambda v: project_capped_simplex(v, s, -1.0, 1.0))(y))(h)
    for s, got in zip(h, crossed):
        assert np.array_equal(got, project_capped_simplex(y, jnp.full(6, s), -1.0, 1.0))
    # Shared bounds under vmap: the batch of vectors against one h.
    shared = jax.vmap(lambda v: project_capped_simplex(v, 2.0, -0.3, 0.6))(y)
    assert np.array_equal(shared, project_capped_simplex(y, 2.0, -0.3, 0.6))


def test_jit_compiles_once_per_shape():
    traced = []

    @jax.jit
    def loss(y):
        traced.append(y.shape)
        return jnp.sum(project_capped_simplex(y, 1.0, 0.0, 1.0) ** 2)

    step = jax.jit(jax.grad(loss))
    for seed in range(3):
        for shape in [(5, 4), (2, 3)]:
            step(jnp.asarray(np.random.default_rng(seed).standard_normal(shape)))
    assert traced == [(5, 4), (2, 3)]


@pytest.mark.parametrize("h, l, u", [(1.5, 0.5, 0.5), (3.0, 0.0, 1.0), (0.0, 0.0, 1.0)])
def test_no_free_element_gives_zero_gradients_not_nan(h, l, u):  # noqa: E741
    y = jnp.asarray([[0.3, -2.0, 5.0]])
    grads = jax.grad(lambda *a: jnp.sum(project_capped_simplex(*a) * jnp.arange(3.0)), (0, 1))(
        y, h, l, u
    )
    assert all(np.array_equal(g, np.zeros_like(g)) for g in grads)


def test_float32_gradients_stay_float32():
    (y, h, l, u), _ = arguments("per vector", dtype=np.float32)  # noqa: E741
    grads = jax.grad(lambda *a: jnp.sum(project_capped_simplex(*a) ** 2), (0, 1, 2, 3))(y, h, l, u)
    assert [g.dtype for g in grads] == [np.float32] * 4
