"""tavorin.torch.project_capped_simplex: autograd, gradcheck, torch.func and the NumPy bytes."""

import numpy as np
import pytest
from numpy.testing import assert_allclose
from support import (
    REFUSALS,
    SET_SHAPES,
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


@pytest.mark.parametrize("kind", KINDS)
def test_gradcheck_and_gradgradcheck(kind):
    args, weights = arguments(kind)
    f = lambda *a: project_capped_simplex(*a, weights=weights)  # noqa: E731
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


def test_tensors_off_the_cpu_are_refused():
    y = torch.zeros(2, 3, device="meta")
    with pytest.raises(ValueError, match="tavorin.torch works on CPU tensors, not meta ones"):
        project_capped_simplex(y, 1.0, 0.0, 1.0)
