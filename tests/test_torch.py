"""tavorin.torch.project_capped_simplex: autograd, gradcheck, torch.func, torch.compile,
the custom operators, the sort method, half precision and the NumPy bytes."""

import numpy as np
import pytest
from numpy.testing import assert_allclose
from support import (
    REFUSALS,
    SET_SHAPES,
    assert_near_reference,
    capped_sets,
    exact_projection,
    for_frameworks,
    refused_or_projected,
    set_shape_ids,
)

torch = pytest.importorskip(
    "torch",
    reason="torch is tested on CPython 3.11 only, where tavorin[torch]'s CPU build is pinned",
)

from tavorin import _torch_ops  # noqa: E402
from tavorin.torch import project_capped_simplex  # noqa: E402

KINDS = ["scalar", "per vector", "per element", "infinite lower", "infinite upper", "weights"]


def arguments(kind, m=4, n=7, dtype=torch.float64):
    """(y, h, l, u) as tensors of dtype, the finite ones requiring grad, and the weights."""
    y, sets = capped_sets(kind, m, n)
    tensors = [
        torch.tensor(np.asarray(v, float), dtype=dtype) for v in [y] + [sets[k] for k in "hlu"]
    ]
    for t in tensors:
        t.requires_grad_(bool(torch.isfinite(t).all()))
    weights = sets.get("weights")
    return tensors, None if weights is None else torch.tensor(weights, dtype=dtype)


@pytest.mark.parametrize("method", [None, "sort"])
@pytest.mark.parametrize("kind", KINDS)
def test_gradcheck_and_gradgradcheck(kind, method):
    args, weights = arguments(kind)
    f = lambda *a: project_capped_simplex(*a, weights=weights, method=method)  # noqa: E731
    assert torch.autograd.gradcheck(f, args, eps=1e-6, atol=1e-6)
    assert torch.autograd.gradgradcheck(f, args, eps=1e-6, atol=1e-6)


@pytest.mark.parametrize("dtype", [torch.float64, torch.float32])
@pytest.mark.parametrize("kind", ["scalar", "per vector", "weights"])
def test_forward_gives_the_numpy_functions_bytes(kind, dtype):
    args, weights = arguments(kind, dtype=dtype)
    x = project_capped_simplex(*args, weights=weights)
    host = [a.detach().numpy() for a in args]
    options = {} if weights is None else {"weights": weights.numpy()}
    expected = exact_projection(*host, **options).astype(host[0].dtype)
    assert x.dtype == dtype
    assert x.detach().numpy().tobytes() == expected.tobytes()


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


@pytest.mark.parametrize("h, l, u", [(1.5, 0.5, 0.5), (3.0, 0.0, 1.0), (0.0, 0.0, 1.0)])
def test_no_free_element_gives_zero_gradients_not_nan(h, l, u):  # noqa: E741
    y = torch.tensor([[0.3, -2.0, 5.0]], dtype=torch.float64, requires_grad=True)
    ht = torch.tensor(h, dtype=torch.float64, requires_grad=True)
    (project_capped_simplex(y, ht, l, u) * torch.arange(3.0)).sum().backward()
    assert torch.equal(y.grad, torch.zeros_like(y)) and float(ht.grad) == 0.0


@pytest.mark.parametrize("dtype", [torch.float64, torch.float32])
@pytest.mark.parametrize("kind", KINDS)
def test_the_sort_method_is_near_the_core_and_the_rational_projection(kind, dtype):
    args, weights = arguments(kind, m=40, n=9, dtype=dtype)
    x = project_capped_simplex(*args, weights=weights, method="sort").detach()
    core = project_capped_simplex(*args, weights=weights).detach()
    scale = max(1.0, float(core.abs().max()))
    assert x.dtype == dtype
    assert float((x - core).abs().max()) <= 4 * torch.finfo(dtype).eps * scale
    host = [a.detach().double().numpy() for a in args]
    assert_near_reference(x.numpy(), *host, None if weights is None else weights.double().numpy())


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
        (_torch_ops.project, ("y", "h", "l", "u", "w", "element,row,none", False)),
        (_torch_ops.project, ("y", "h", "l", "u", "w", "element,row,none", True)),
        (_torch_ops.project, ("y", "h", "l", "u", "weights", "element,row,element", False)),
        (_torch_ops.project_vjp, ("g", "x", "h", "l", "u", "w", "element,row,none", False)),
        (_torch_ops.project_vjp, ("g", "x", "h", "l", "u", "w", "element,row,none", True)),
        (
            _torch_ops.project_jvp,
            ("x", "g", "h", "l", "u", "l", "u", "w", "element,row,none", False),
        ),
        (
            _torch_ops.project_jvp,
            ("x", "g", "h", "l", "u", "l", "u", "w", "element,row,none", True),
        ),
    ],
)
def test_the_custom_operators_pass_opcheck(op, args):
    (y, h, l, _), _ = arguments("per element")  # noqa: E741
    u = (h / 2).detach().requires_grad_()
    values = {"y": y, "h": h, "l": l, "u": u, "w": torch.ones((), dtype=torch.float64)}
    values["g"] = torch.randn(4, 7, dtype=torch.float64, requires_grad=True)
    values["weights"] = torch.full((4, 7), 0.5, dtype=torch.float64)
    x = _torch_ops.project(y, h, l, u, values["w"], "element,row,none", False)
    values["x"] = x.detach()
    torch.library.opcheck(op, tuple(values.get(a, a) if isinstance(a, str) else a for a in args))


# Inductor itself touches deprecated parts of torch (torch.jit) on first use.
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.parametrize("method", [None, "sort"])
def test_a_fullgraph_compiled_training_step_gives_the_eager_bytes(method, monkeypatch, tmp_path):
    (y, h, l, u), _ = arguments("per vector")  # noqa: E741
    c = torch.linspace(-1.0, 2.0, 7, dtype=torch.float64)

    def step(y, h, l, u):  # noqa: E741
        x = project_capped_simplex(y, h, l, u, method=method)
        (x * c).sum().backward()
        return x

    eager = step(y, h, l, u), [t.grad.clone() for t in (y, h, l, u)]
    for t in (y, h, l, u):
        t.grad = None
    # Compiled, not taken from inductor's caches (shared by every build on the machine).
    monkeypatch.setenv("TORCHINDUCTOR_CACHE_DIR", str(tmp_path))
    compiled = torch.compile(lambda *a: project_capped_simplex(*a, method=method), fullgraph=True)
    x = compiled(y, h, l, u)
    (x * c).sum().backward()
    assert x.detach().numpy().tobytes() == eager[0].detach().numpy().tobytes()
    assert all(torch.equal(t.grad, g) for t, g in zip((y, h, l, u), eager[1]))


@pytest.mark.parametrize("dtype", [torch.float64, torch.bfloat16])
def test_meta_tensors_get_the_results_shape_and_dtype(dtype):
    y = torch.zeros(2, 5, 3, device="meta", dtype=dtype, requires_grad=True)
    x = project_capped_simplex(y, 1.0, 0.0, torch.ones(1, 5, 3, device="meta"), axis=1)
    assert (x.shape, x.dtype, x.device.type) == ((2, 5, 3), dtype, "meta")
    x.sum().backward()
    assert y.grad.shape == y.shape


@pytest.mark.parametrize("method", [None, "sort"])
@pytest.mark.parametrize(
    "y, h, error, message",
    [
        (
            torch.zeros(2, 3),
            torch.tensor([1.0, 9.0]),
            ValueError,
            r"no feasible point .* index \(1,\)",
        ),
        (torch.tensor([[0.0, 1.0], [0.0, torch.nan]]), 1.0, ValueError, r"NaN .* index \(1,\)"),
        (
            torch.zeros(2, 3, dtype=torch.complex64),
            1.0,
            TypeError,
            r"real numbers, not (torch\.)?complex64",
        ),
        (torch.zeros(2, 3, dtype=torch.float8_e4m3fn), 1.0, TypeError, "not torch.float8_e4m3fn"),
    ],
)
def test_refusals_are_the_same_for_both_methods(y, h, error, message, method):
    with pytest.raises(error, match=message):
        project_capped_simplex(y, h, 0.0, 1.0, method=method)


@pytest.mark.parametrize(
    "args, kwargs, error, message", [r for r in REFUSALS if for_frameworks(r[0], r[1], r[3])]
)
def test_refusals(args, kwargs, error, message):
    with pytest.raises(error) as info:
        project_capped_simplex(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("row", SET_SHAPES, ids=set_shape_ids)
def test_set_shapes(row):
    def call(y, axis, **sets):
        tensors = {k: torch.as_tensor(v) for k, v in sets.items()}
        return project_capped_simplex(torch.as_tensor(y), axis=axis, **tensors)

    refused_or_projected(call, row)
