"""tavorin.torch.project_capped_simplex and project_l1_ball: autograd, gradcheck,
torch.func, torch.compile, the custom operators, the sort method, half precision,
the one-sided sums and the NumPy bytes."""

import exact_reference
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
from support import _row_of, assert_near_reference, capped_sets, exact_projection

torch = pytest.importorskip(
    "torch",
    reason="torch is tested on CPython 3.11 only, where tavorin[torch]'s CPU build is pinned",
)

import tavorin  # noqa: E402
from tavorin import _torch_ops  # noqa: E402
from tavorin.torch import project_capped_simplex, project_l1_ball  # noqa: E402

KINDS = ["scalar", "per vector", "per element", "infinite lower", "infinite upper", "weights"]
# The sets beside the equality's, as (kind, form) rows: form a sense, or "l1" for the
# ball of radius 3h (some vectors inside it, some outside).
FORMS = [
    ("per vector", "<="),
    ("scalar", "<="),
    ("weights", ">="),
    ("infinite upper", ">="),
    ("per vector", "l1"),
    ("weights", "l1"),
]


def call(form, args, weights=None, method=None, **options):
    """The projection of one form: (y, h, l, u) for the sums, (y, h) for the ball."""
    if form == "l1":
        return project_l1_ball(args[0], 3 * args[1], weights=weights, method=method, **options)
    return project_capped_simplex(*args, weights=weights, sense=form, method=method, **options)


def numpy_call(form, args, weights=None):
    host = [a.detach().numpy() for a in args]
    options = {} if weights is None else {"weights": weights.numpy()}
    if form == "l1":
        return tavorin.project_l1_ball(host[0], 3 * host[1], **options)
    return exact_projection(*host, sense=form, **options)


# Beside support's kinds, (set, y on a grid of quarters): one finite bound that cannot
# bind (sum(x) = h keeps every x below h - (n-1)*l, or above h - (n-1)*u), and two
# that can with y, y - l and y - u tied across elements.
LOOSE = {
    "loose upper": (dict(h=1.0, l=0.0, u=1.0), True),
    "loose lower": (dict(h=-1.0, l=-2.0, u=0.0), False),
    "tied breakpoints": (dict(h=2.0, l=-0.25, u=0.5), True),
    "shared weights": (dict(h=1.0, l=0.0, u=1.0, weights=0.5), False),
}


def arguments(kind, m=4, n=7, dtype=torch.float64):
    """(y, h, l, u) as tensors of dtype, the finite ones requiring grad, and the weights."""
    if kind in LOOSE:
        y, _ = capped_sets("scalar", m, n)
        sets, grid = LOOSE[kind]
        y = np.round(4 * y) / 4 if grid else y
    else:
        y, sets = capped_sets(kind, m, n)
    tensors = [
        torch.tensor(np.asarray(v, float), dtype=dtype) for v in [y] + [sets[k] for k in "hlu"]
    ]
    for t in tensors:
        t.requires_grad_(bool(torch.isfinite(t).all()))
    weights = sets.get("weights")
    return tensors, None if weights is None else torch.tensor(weights, dtype=dtype)


@pytest.mark.parametrize("method", [None, "sort"])
@pytest.mark.parametrize("kind, form", [(k, "==") for k in KINDS + ["loose lower"]] + FORMS)
def test_gradcheck_and_gradgradcheck(kind, form, method):
    args, weights = arguments(kind)
    args = args[:2] if form == "l1" else args
    f = lambda *a: call(form, a, weights, method)  # noqa: E731
    assert torch.autograd.gradcheck(f, args, eps=1e-6, atol=1e-6)
    assert torch.autograd.gradgradcheck(f, args, eps=1e-6, atol=1e-6)


@pytest.mark.parametrize("dtype", [torch.float64, torch.float32])
@pytest.mark.parametrize(
    "kind, form, m",
    [(k, "==", 4) for k in ["scalar", "per vector", "weights"]]
    + [(k, f, 4) for k, f in FORMS]
    # Results of a megabyte and more, in memory of their own.
    + [("per vector", "==", 40000), ("per element", "==", 40000)],
)
def test_forward_gives_the_numpy_functions_bytes(kind, form, m, dtype):
    args, weights = arguments(kind, m=m, dtype=dtype)
    x = call(form, args, weights)
    expected = numpy_call(form, args, weights).astype(args[0].detach().numpy().dtype)
    assert x.dtype == dtype
    assert x.detach().numpy().tobytes() == expected.tobytes()
    if form == "==":  # and the backward, the VJP's
        c = torch.linspace(-1.0, 2.0, 7, dtype=dtype)
        x.backward(c.expand(x.shape))
        host = [a.detach().numpy() for a in [x] + args[1:]]
        options = {} if weights is None else {"weights": weights.numpy()}
        c_host = np.broadcast_to(c.numpy(), x.shape)
        gy = tavorin.project_capped_simplex_vjp(host[0], c_host, *host[1:], **options)[0]
        assert args[0].grad.numpy().tobytes() == gy.tobytes()


@pytest.mark.parametrize("method", [None, "sort"])
@pytest.mark.parametrize("dtype", [torch.float64, torch.float32])
def test_python_float_sets_are_doubles_and_the_ball_keeps_inner_vectors(dtype, method):
    y = torch.tensor([[0.9, -0.3, 0.55, 1.6], [-0.1, 0.7, -0.0, 0.35]], dtype=dtype)
    x = project_capped_simplex(y, 1.0, -0.3, 0.6, method=method)
    expected = tavorin.project_capped_simplex(y.numpy(), 1.0, -0.3, 0.6)
    assert_allclose(x.numpy(), expected, rtol=0, atol=4 * np.finfo(expected.dtype).eps)
    inside = project_l1_ball(y, torch.tensor([1.0, 1.2]), method=method)[1]
    assert inside.numpy().tobytes() == y[1].numpy().tobytes()
    if dtype == torch.float64:  # and the derivatives of such calls
        y.requires_grad_()
        for form in ["==", "<=", ">=", "l1"]:
            f = lambda y, form=form: call(form, (y, 0.5, -0.25, 0.6), method=method)  # noqa: E731
            assert torch.autograd.gradcheck(f, y) and torch.autograd.gradgradcheck(f, y)


# Float sets of each kind the sort method tells apart (only l can bind, only u, both,
# u with l infinite), on y of quarters with ties, and float32 y whose sum overflows.
FLOAT_SETS = [
    ((1.0, 0.0, 1.0), torch.float64, 1.0),
    ((-1.0, -2.0, 0.0), torch.float32, 1.0),
    ((2.0, -0.25, 0.5), torch.float64, 1.0),
    ((2.0, -0.25, 0.5), torch.float32, 1.0),
    ((1.0, -np.inf, 0.5), torch.float64, 1.0),
    ((1.0, 0.0, np.inf), torch.float32, 1e38),
]


@pytest.mark.parametrize("sets, dtype, scale", FLOAT_SETS)
def test_the_sort_method_gives_float_sets_the_bytes_of_the_same_sets_as_tensors(sets, dtype, scale):
    y, _ = capped_sets("scalar", 5, 7)
    y = torch.tensor(np.round(4 * y) / 4 * scale, dtype=dtype)
    c = torch.linspace(-1.0, 2.0, 7, dtype=dtype)
    results = []
    for given in (sets, [torch.tensor(v, dtype=dtype) for v in sets]):
        leaf = y.clone().requires_grad_()
        x = project_capped_simplex(leaf, *given, method="sort")
        (x * c).sum().backward()
        results.append((x.detach(), leaf.grad))
    (x, gy), (x_op, gy_op) = results
    assert x.numpy().tobytes() == x_op.numpy().tobytes()
    assert gy.numpy().tobytes() == gy_op.numpy().tobytes()
    core = project_capped_simplex(y, *sets)
    assert float((x - core).abs().max()) <= 4 * torch.finfo(dtype).eps * max(1.0, scale)


def test_only_the_inputs_that_require_grad_get_one_and_float32_stays_float32():
    (y, h, l, u), _ = arguments("per vector", dtype=torch.float32)  # noqa: E741
    h.requires_grad_(False)
    (project_capped_simplex(y, h, l, u, axis=-1) ** 2).sum().backward()
    assert h.grad is None
    assert [t.grad.dtype for t in (y, l, u)] == [torch.float32] * 3


def test_torch_func_grad_vmap_and_jacobians():
    (y, h, l, u), _ = arguments("per vector", m=6)  # noqa: E741
    y, h, l, u = (t.detach() for t in (y, h, l, u))  # noqa: E741

    def loss(y, h, l, u):  # noqa: E741
        return (project_capped_simplex(y, h, l, u) ** 3).sum()

    whole = torch.func.grad(loss, argnums=(0, 1, 2, 3))(y, h, l, u)
    mapped = torch.func.vmap(torch.func.grad(loss, argnums=(0, 1, 2, 3)))(y, h, l, u)
    for a, b in zip(whole, mapped):
        assert_allclose(a, b, atol=1e-14)
    shared = torch.func.vmap(lambda v: project_capped_simplex(v, 2.0, -0.3, 0.6))(y)
    assert torch.equal(shared, project_capped_simplex(y, 2.0, -0.3, 0.6))
    jacobian = torch.func.jacrev(lambda v: project_capped_simplex(v, h[0], l[0], u[0]))(y[0])
    assert_allclose(jacobian, jacobian.T, atol=1e-15)
    assert_allclose(jacobian.sum(dim=1), 0.0, atol=1e-15)


# torch.func.jvp's first call imports torch's own decompositions, which script
# functions with torch.jit (deprecated by torch itself).
@pytest.mark.filterwarnings("ignore:`torch.jit.script` is deprecated:DeprecationWarning")
@pytest.mark.parametrize("method", [None, "sort"])
@pytest.mark.parametrize(
    "kind, form",
    [(k, "==") for k in ["scalar", "per element", "weights", "floats"]] + FORMS,
)
def test_forward_mode_is_the_transpose_of_reverse_mode(kind, form, method):
    """Dual tensors and torch.func.jvp give the tangent whose products with any
    cotangent are those of the backward's gradients (tangents of every input that
    requires grad; "floats": the sets as Python floats, y alone differentiable)."""
    args, weights = arguments("scalar" if kind == "floats" else kind)
    args = args[:2] if form == "l1" else args
    if kind == "floats":
        args = args[:1] + [float(a.detach().reshape(-1)[0]) for a in args[1:]]
    primal = [a.detach() if isinstance(a, torch.Tensor) else a for a in args]
    moving = [i for i, a in enumerate(args) if isinstance(a, torch.Tensor) and a.requires_grad]
    tangents = {i: torch.randn_like(primal[i]) for i in moving}
    f = lambda *a: call(form, a, weights, method)  # noqa: E731
    with torch.autograd.forward_ad.dual_level():
        duals = [
            torch.autograd.forward_ad.make_dual(p, tangents[i]) if i in tangents else p
            for i, p in enumerate(primal)
        ]
        dual_x = torch.autograd.forward_ad.unpack_dual(f(*duals))
    x, dx = torch.func.jvp(
        lambda *m: f(*[m[moving.index(i)] if i in tangents else p for i, p in enumerate(primal)]),
        tuple(primal[i] for i in moving),
        tuple(tangents[i] for i in moving),
    )
    assert torch.equal(dual_x.primal, x) and torch.equal(dual_x.tangent, dx)
    c = torch.randn_like(x)
    grads = torch.autograd.grad((f(*args) * c).sum(), [args[i] for i in moving])
    assert_allclose(
        (c * dx).sum(),
        sum((g * tangents[i]).sum() for g, i in zip(grads, moving)),
        rtol=1e-12,
        atol=1e-12,
    )


@pytest.mark.parametrize("h, l, u", [(1.5, 0.5, 0.5), (3.0, 0.0, 1.0), (0.0, 0.0, 1.0)])
def test_no_free_element_gives_zero_gradients_not_nan(h, l, u):  # noqa: E741
    y = torch.tensor([[0.3, -2.0, 5.0]], dtype=torch.float64, requires_grad=True)
    ht = torch.tensor(h, dtype=torch.float64, requires_grad=True)
    (project_capped_simplex(y, ht, l, u) * torch.arange(3.0)).sum().backward()
    assert torch.equal(y.grad, torch.zeros_like(y)) and float(ht.grad) == 0.0


def assert_near_one_sided_reference(x, form, y, h, l, u, w):  # noqa: E741
    """Rows x near the rational clip-then-test projection (signs put back for the ball)."""
    n = x.shape[1]
    for i in range(x.shape[0]):
        row = [_row_of(v, i, n) if v is not None else None for v in (l, u, w)]
        h_i = float(np.broadcast_to(h, x.shape[:1])[i])
        if form == "l1":
            want, _ = exact_reference.l1_ball(y[i].tolist(), 3 * h_i, row[2])
            row[:2] = 0.0, np.inf
        else:
            want, _ = exact_reference.one_sided(y[i].tolist(), h_i, *row, form)
        scale = exact_reference.scale(y[i], want, row[0], row[1])
        assert np.max(np.abs(x[i] - want)) <= 8 * np.finfo(x.dtype).eps * scale, (i, x[i], want)


@pytest.mark.parametrize("dtype", [torch.float64, torch.float32])
@pytest.mark.parametrize(
    "kind, form", [(k, "==") for k in KINDS + list(LOOSE)] + FORMS + [("loose upper", "<=")]
)
def test_the_sort_method_is_near_the_core_and_the_rational_projection(kind, form, dtype):
    args, weights = arguments(kind, m=40, n=9, dtype=dtype)
    x = call(form, args, weights, "sort").detach()
    core = call(form, args, weights).detach()
    scale = max(1.0, float(core.abs().max()))
    assert x.dtype == dtype
    assert float((x - core).abs().max()) <= 4 * torch.finfo(dtype).eps * scale
    host = [a.detach().double().numpy() for a in args]
    w = None if weights is None else weights.double().numpy()
    if form == "==":
        assert_near_reference(x.numpy(), *host, w)
    else:
        assert_near_one_sided_reference(x.numpy(), form, *host, w)


@pytest.mark.parametrize("dtype", [torch.float16, torch.bfloat16])
@pytest.mark.parametrize("method", [None, "sort"])
def test_half_precision_is_the_float32_projection_rounded_once(method, dtype):
    (y, h, l, u), _ = arguments("per vector", dtype=torch.float32)  # noqa: E741
    y = y.detach().to(dtype).requires_grad_()
    x = project_capped_simplex(y, h.detach(), l.detach(), u.detach(), method=method)
    expected = project_capped_simplex(y.detach().float(), h, l, u).to(dtype)
    assert x.dtype == dtype and torch.equal(x, expected)
    (x * torch.arange(7.0)).sum().backward()
    assert y.grad.dtype == dtype


@pytest.mark.parametrize(
    "op, args",
    [
        (_torch_ops.project, ("y", "h", "l", "u", "w", "element,row,none", False, "==", True)),
        (_torch_ops.project, ("y", "h", "l", "u", "w", "element,row,none", True, "==", True)),
        (
            _torch_ops.project,
            ("y", "h", "l", "u", "weights", "element,row,element", False, "==", True),
        ),
        (_torch_ops.project, ("y", "h", "l", "u", "w", "element,row,none", False, "<=", True)),
        (
            _torch_ops.project,
            ("y", "h", "l", "u", "weights", "element,row,element", True, ">=", True),
        ),
        (_torch_ops.project, ("y", "h", "zero", "inf", "w", "row,row,none", False, "l1", True)),
        (
            _torch_ops.project,
            ("y", "h", "zero", "inf", "weights", "row,row,element", True, "l1", True),
        ),
        (_torch_ops.project, ("y", "h", "zero", "inf", "w", "row,row,none", False, "l1", False)),
        (_torch_ops.project, ("y", "h", "zero", "inf", "w", "row,row,none", True, "l1", False)),
        (_torch_ops.project_vjp, ("g", "x", "h", "l", "u", "w", "element,row,none", False, "==")),
        (_torch_ops.project_vjp, ("g", "x", "h", "l", "u", "w", "element,row,none", True, "==")),
        (_torch_ops.project_vjp, ("g", "x", "h", "l", "u", "w", "element,row,none", False, "<=")),
        (_torch_ops.project_vjp, ("g", "x", "h", "l", "u", "w", "element,row,none", True, ">=")),
        (_torch_ops.project_vjp, ("g", "y", "h", "zero", "inf", "w", "row,row,none", False, "l1")),
        (
            _torch_ops.project_jvp,
            ("x", "g", "h", "l", "u", "h", "l", "u", "w", "element,row,none", False, "=="),
        ),
        (
            _torch_ops.project_jvp,
            ("x", "g", "h", "l", "u", "h", "l", "u", "w", "element,row,none", True, "=="),
        ),
        (
            _torch_ops.project_jvp,
            ("x", "g", "h", "l", "u", "h", "l", "u", "w", "element,row,none", False, "<="),
        ),
        (
            _torch_ops.project_jvp,
            ("y", "g", "h", "h", "h", "h", "zero", "inf", "w", "row,row,none", True, "l1"),
        ),
    ],
)
def test_the_custom_operators_pass_opcheck(op, args):
    (y, h, l, _), _ = arguments("per element")  # noqa: E741
    u = (h / 2).detach().requires_grad_()
    values = {"y": y, "h": h, "l": l, "u": u, "w": torch.ones((), dtype=torch.float64)}
    values["zero"], values["inf"] = torch.zeros(4, dtype=torch.float64), torch.full((4,), np.inf)
    values["g"] = torch.randn(4, 7, dtype=torch.float64, requires_grad=True)
    values["weights"] = torch.full((4, 7), 0.5, dtype=torch.float64)
    x = _torch_ops.project(y, h, l, u, values["w"], "element,row,none", False, "==", True)
    values["x"] = x.detach()
    torch.library.opcheck(op, tuple(values.get(a, a) if isinstance(a, str) else a for a in args))


# Inductor itself touches deprecated parts of torch (torch.jit) on first use.
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.parametrize(
    "method, form", [(None, "=="), ("sort", "=="), (None, "<="), ("sort", "l1")]
)
def test_a_fullgraph_compiled_training_step_gives_the_eager_bytes(
    method, form, monkeypatch, tmp_path
):
    (y, h, l, u), _ = arguments("per vector")  # noqa: E741
    c = torch.linspace(-1.0, 2.0, 7, dtype=torch.float64)

    def step(y, h, l, u):  # noqa: E741
        x = call(form, (y, h, l, u), method=method)
        (x * c).sum().backward()
        return x

    eager = step(y, h, l, u), [t.grad for t in (y, h, l, u)]
    for t in (y, h, l, u):
        t.grad = None
    # Compiled, not taken from inductor's caches (shared by every build on the machine).
    monkeypatch.setenv("TORCHINDUCTOR_CACHE_DIR", str(tmp_path))
    compiled = torch.compile(lambda *a: call(form, a, method=method), fullgraph=True)
    x = compiled(y, h, l, u)
    (x * c).sum().backward()
    assert x.detach().numpy().tobytes() == eager[0].detach().numpy().tobytes()
    for t, g in zip((y, h, l, u), eager[1]):
        assert t.grad is g is None or torch.equal(t.grad, g)


@pytest.mark.parametrize("form", ["==", ">=", "l1"])
@pytest.mark.parametrize("dtype", [torch.float64, torch.bfloat16])
def test_meta_tensors_get_the_results_shape_and_dtype(dtype, form):
    y = torch.zeros(2, 5, 3, device="meta", dtype=dtype, requires_grad=True)
    u = torch.ones(1, 5, 3, device="meta")
    x = call(form, (y, torch.ones(2, 1, 3, device="meta"), 0.0, u), axis=1)
    assert (x.shape, x.dtype, x.device.type) == ((2, 5, 3), dtype, "meta")
    x.sum().backward()
    assert y.grad.shape == y.shape


@pytest.mark.parametrize("method", [None, "sort"])
@pytest.mark.parametrize(
    "form, y, h, error, message",
    [
        (
            "==",
            torch.zeros(2, 3),
            torch.tensor([1.0, 9.0]),
            ValueError,
            r"no feasible point .* index \(1,\)",
        ),
        ("==", torch.tensor([[0.0, 1.0], [0.0, torch.nan]]), 1.0, ValueError,
         r"NaN .* index \(1,\)"),
        # One set for every vector: the first vector is named.
        ("==", torch.zeros(2, 3), 9.0, ValueError,
         r"index \(0,\): .* and n\*l <= h <= n\*u; got h=9.0, l=0.0, u=1.0, n=3"),
        (">=", torch.zeros(2, 3), 3.5, ValueError, r"index \(0,\): .* and h <= n\*u; got h=3.5,"),
        (
            "==",
            torch.zeros(2, 3, dtype=torch.complex64),
            1.0,
            TypeError,
            r"real numbers, not (torch\.)?complex64",
        ),
        ("==", torch.zeros(2, 3, dtype=torch.float8_e4m3fn), 1.0, TypeError,
         "not torch.float8_e4m3fn"),
        # One side of the sum: only that side's bound empties the set.
        ("<=", torch.zeros(2, 3), torch.tensor([9.0, -1.0]), ValueError,
         r"index \(1,\): .* and n\*l <= h; got h=-1.0, l=0.0,"),
        (">=", torch.zeros(2, 3), torch.tensor([9.0, -1.0]), ValueError,
         r"index \(0,\): .* and h <= n\*u; got h=9.0, l=0.0,"),
        ("=", torch.zeros(2, 3), 1.0, ValueError, "sense must be '==', '<=' or '>=', got '='"),
        ("l1", torch.zeros(2, 3), torch.tensor([0.3, -0.5]), ValueError,
         r"radius must be finite and >= 0, got -0.5 for the vector at batch index \(1,\)"),
        ("l1", torch.tensor([[0.0, 1.0], [0.0, torch.inf]]), 1.0, ValueError,
         r"NaN .* index \(1,\)"),
    ],
)  # fmt: skip
def test_refusals_are_the_same_for_both_methods(form, y, h, error, message, method):
    with pytest.raises(error, match=message):
        if form == "l1":
            project_l1_ball(y, h, method=method)
        else:
            project_capped_simplex(y, h, 0.0, 1.0, sense=form, method=method)


# Rows with NaN and infinity among finite ones, inside the ball and outside it.
UNCHECKED = [[0.9, -0.3, 0.55, 1.6], [0.1, np.nan, -0.8, 0.35], [np.inf, 0.2, -0.1, 0.0],
             [-0.2, 0.1, 0.0, 0.3], [-np.inf, np.nan, 2.0, 0.5]]  # fmt: skip


@pytest.mark.parametrize("method", [None, "sort"])
@pytest.mark.parametrize(
    "dtype, radius, grad",
    [
        (torch.float64, 1.0, False),
        (torch.float64, 1.0, True),
        (torch.float32, 1.0, False),
        (torch.float64, torch.tensor([1.0, 1.0, 2.0, 1.0, 1.0]), False),
        (torch.float64, torch.tensor([1.0, 1.0, 2.0, 1.0, 1.0]), True),
        (torch.float64, 1.0, "weights"),
    ],
)
def test_check_finite_false_projects_what_it_is_given(dtype, radius, grad, method):
    y = torch.tensor(UNCHECKED, dtype=dtype, requires_grad=grad is True)
    weights = None if grad != "weights" else torch.ones(1, 4, dtype=dtype)
    x = project_l1_ball(y, radius, weights=weights, check_finite=False, method=method)
    assert x.shape == y.shape and x.dtype == dtype
    finite = [0, 3]
    kept = radius if isinstance(radius, float) else radius[finite]
    expected = project_l1_ball(y.detach()[finite], kept)
    assert x.detach()[finite].numpy().tobytes() == expected.numpy().tobytes()
    w = None if weights is None else weights.numpy()
    if method is None:  # the core's own result for the others, as the NumPy function's
        host = tavorin.project_l1_ball(
            y.detach().numpy(), np.asarray(radius), check_finite=False, weights=w
        )
        assert x.detach().numpy().tobytes() == host.tobytes()
    with pytest.raises(ValueError, match=r"NaN or infinity in the vector at batch index \(1,\)"):
        project_l1_ball(y, radius, weights=weights, method=method)


def for_torch(args, kwargs, message):
    """The rows of REFUSALS and L1_REFUSALS the torch functions take (they take sense)."""
    return for_frameworks(args, {k: v for k, v in kwargs.items() if k != "sense"}, message)


@pytest.mark.parametrize(
    "function, args, kwargs, error, message",
    [(project_capped_simplex, *r) for r in REFUSALS if for_torch(r[0], r[1], r[3])]
    + [(project_l1_ball, *r) for r in L1_REFUSALS if for_torch(r[0], r[1], r[3])]
    + [
        (project_l1_ball, (torch.ones(3, 4), 1.0), {"check_finite": 1}, TypeError,
         "check_finite must be True or False, not int"),
        (project_l1_ball, (torch.ones(3, 4), 1.0), {"check_finite": None, "method": "sort"},
         TypeError, "check_finite must be True or False, not NoneType"),
    ],
)  # fmt: skip
def test_refusals(function, args, kwargs, error, message):
    with pytest.raises(error) as info:
        function(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("row", SET_SHAPES, ids=set_shape_ids)
def test_set_shapes(row):
    def call(y, axis, **sets):
        tensors = {k: torch.as_tensor(v) for k, v in sets.items()}
        return project_capped_simplex(torch.as_tensor(y), axis=axis, **tensors)

    refused_or_projected(call, row)
