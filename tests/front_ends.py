"""What every front end (NumPy, Dask, JAX, torch, the derivatives) is tested against
alike: the shapes a set may be given in, and the refusals with their messages."""

from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest
from support import AxisError

import tavorin

# ---------------------------------------------------------------------------
# The shapes a set may be given in, for every front end
# ---------------------------------------------------------------------------

# y's shape, axis, the set, its shape, and how it counts: "scalar", "vector",
# "element", or the (exception, message) every front end refuses it with.
SET_SHAPES = [
    ((2, 3), -1, "h", (), "scalar"),
    ((2, 3), -1, "h", (1,), "scalar"),
    ((2, 3), -1, "h", (2,), "vector"),
    ((2, 3), -1, "h", (2, 1), "vector"),  # keepdims=True
    ((2, 3), -1, "h", (3,), (ValueError, "h of shape (3,) does not broadcast to the batch "
                                         "shape (2,)")),
    ((2, 3), -1, "h", (2, 3), (ValueError, "h of shape (2, 3) does not broadcast to (2, 1)")),
    ((2, 3), -1, "u", (2, 1), "vector"),
    ((2, 3), -1, "u", (1, 3), "element"),
    ((2, 3), -1, "l", (2, 3), "element"),
    ((2, 3), -1, "u", (3,), (ValueError, "u of shape (3,) does not broadcast to the batch "
                                         "shape (2,)")),
    ((2, 3), -1, "l", (2, 2), (ValueError, "l of shape (2, 2) does not broadcast to (2, 1) (one "
                                           "value per vector) or (2, 3) (one per element)")),
    ((2, 3), -1, "u", (1, 2, 3), (ValueError, "u of shape (1, 2, 3) has more dimensions than "
                                              "y (2)")),
    ((2, 3), -1, "weights", (2,), "vector"),
    ((2, 3), -1, "weights", (1, 3), "element"),
    ((3, 2), 0, "l", (1, 2), "vector"),
    ((3, 2), 0, "u", (3, 1), "element"),
    ((3, 2), 0, "h", (3, 1), (ValueError, "h of shape (3, 1) does not broadcast to (1, 2)")),
    ((4, 2, 3), -1, "l", (2,), "vector"),  # broadcast over the first batch axis
    ((4, 2, 3), -1, "u", (4, 1, 1), "vector"),
    ((4, 2, 3), -1, "weights", (4, 1, 3), "element"),
    ((4, 2, 3), -1, "h", (4, 1), "vector"),
    ((4, 2, 3), -1, "h", (2, 4), (ValueError, "h of shape (2, 4) does not broadcast to the batch "
                                             "shape (4, 2)")),
]  # fmt: skip


def set_shape_ids(row):
    y_shape, axis, name, shape, _ = row
    return f"{name}{shape} for y{y_shape} axis {axis}"


def set_shape_call(y_shape, axis, name, shape, how):
    """(y, sets, canonical): float64 y, the keyword sets of the row (feasible), and the
    same sets in the shapes every front end took before the rule was written down
    (per vector: the batch shape; per element: y's shape)."""
    rng = np.random.default_rng(len(y_shape) + axis)
    y = rng.standard_normal(y_shape)
    values = {
        "h": rng.uniform(0.5, 1.5, shape),
        "l": -rng.uniform(0.5, 1.0, shape),
        "u": rng.uniform(1.0, 2.0, shape),
        "weights": rng.uniform(0.5, 2.0, shape),
    }
    sets = dict(h=1.0, l=-0.5, u=1.0)
    sets[name] = values[name]
    canonical = dict(sets)
    batch = y_shape[: axis % len(y_shape)] + y_shape[axis % len(y_shape) + 1 :]
    value = values[name]
    if how == "element":
        canonical[name] = np.broadcast_to(value, y_shape)
    elif how in ("vector", "scalar"):
        if value.ndim == len(y_shape):
            value = np.squeeze(value, axis)
        canonical[name] = np.broadcast_to(value, batch)
    return y, sets, canonical


def refused_or_projected(call, row):
    """Runs a front end's ``call(y, axis, **sets)`` on a row of SET_SHAPES: its refusal
    must be the row's, its result the NumPy function's on the sets' canonical shapes."""
    y_shape, axis, _, _, how = row
    y, sets, canonical = set_shape_call(*row)
    if isinstance(how, tuple):
        with pytest.raises(how[0]) as info:
            call(y, axis, **sets)
        assert str(info.value) == how[1]
        return
    got = np.asarray(call(y, axis, **sets))
    assert got.tobytes() == tavorin.project_capped_simplex(y, axis=axis, **canonical).tobytes()


# ---------------------------------------------------------------------------
# Refusals, for every front end
# ---------------------------------------------------------------------------


class Opaque:
    pass


Y = np.zeros((3, 4))
NO_POINT = (
    "no feasible point for the vector at batch index {}: needs a finite h, l < +inf, "
    "u > -inf, l <= u"
)
NAN_ROW = np.array([[0.0] * 4, [0.0] * 4, [0.0, np.nan, 0.0, 0.0]])
# Large enough for threads: the last vector's NaN is found after the others were read.
NAN_LAST = np.zeros((64, 1024))
NAN_LAST[-1, -1] = np.nan
# Short vectors, the NaN's many vectors after the first: the ball solves them a block at a time.
NAN_LATE = np.ones((3000, 10))
NAN_LATE[2500, 3] = -np.inf
# Vectors longer than the l1 ball's blocks, the second holding a NaN.
NAN_LONG = np.ones((3, 9000))
NAN_LONG[1, 8000] = np.nan
MASKED = (
    "{0} is a masked array, and the projection would ignore its mask: pass {0}.filled(value) "
    "to choose the masked values, or {0}.compressed() to drop them"
)
REFUSALS = [
    # arguments, keywords, exception, message
    (([[1 + 2j, 0]], 1, 0, 1), {}, TypeError, "y must be an array of real numbers, not complex128"),
    ((["a", "b"], 1, 0, 1), {}, TypeError, "y must be an array of real numbers, not <U1"),
    (([Opaque()], 1, 0, 1), {}, TypeError, "y must be an array of real numbers, not object"),
    ((Y, 1j, 0, 1), {}, TypeError, "h must be an array of real numbers, not complex128"),
    ((Y, 1, None, 1), {}, TypeError, "l must be an array of real numbers, not object"),
    ((Y, 1, 0, "1"), {}, TypeError, "u must be an array of real numbers, not <U1"),
    ((Y, 1, 0, 1), {"weights": "2"}, TypeError,
     "weights must be an array of real numbers, not <U1"),
    ((Y, [1, 2], 0, 1), {}, ValueError,
     "h of shape (2,) does not broadcast to the batch shape (3,)"),
    ((Y, 1, np.zeros((3, 2)), 1), {}, ValueError,
     "l of shape (3, 2) does not broadcast to (3, 1) (one value per vector) or (3, 4) "
     "(one per element)"),
    ((Y, np.ones((3, 4)), 0, 1), {}, ValueError, "h of shape (3, 4) does not broadcast to (3, 1)"),
    ((Y, 1, 0, np.ones((1, 3, 4))), {}, ValueError,
     "u of shape (1, 3, 4) has more dimensions than y (2)"),
    ((np.zeros((3, 0)), 1, 0, 1), {}, ValueError,
     "y has no elements along axis -1: nothing to project"),
    ((np.zeros((0, 3)), 1, 0, 1), {"axis": 0}, ValueError,
     "y has no elements along axis 0: nothing to project"),
    ((3.0, 1, 0, 1), {}, ValueError, "y must have at least one dimension"),
    ((Y, 1, 0, 1), {"axis": 2}, AxisError,
     "axis 2 is out of bounds for array of dimension 2"),
    # The options: strict types, SciPy's limits.
    ((Y, 1, 0, 1), {"method": True}, TypeError, "method must be 'exact' or 'brentq', not bool"),
    ((Y, 1, 0, 1), {"method": "Brent"}, ValueError,
     "method must be 'exact' or 'brentq', got 'Brent'"),
    ((Y, 1, 0, 1), {"check_finite": "no"}, TypeError,
     "check_finite must be True or False, not str"),
    ((Y, 1, 0, 1), {"xtol": "1e-3"}, TypeError, "xtol must be a real number, not str"),
    ((Y, 1, 0, 1), {"rtol": True}, TypeError, "rtol must be a real number, not bool"),
    ((Y, 1, 0, 1), {"xtol": np.nan}, ValueError, "xtol must be finite and > 0, got nan"),
    ((Y, 1, 0, 1), {"xtol": 10**400}, ValueError,
     "xtol must be finite and > 0, got a number beyond the largest double"),
    ((Y, 1, 0, 1), {"rtol": Fraction(-(10**400))}, ValueError,
     "rtol must be finite and >= 4*eps = 8.881784197001252e-16, got a number beyond the "
     "largest double"),
    ((Y, 1, 0, 1), {"xtol": Decimal("1e-3")}, TypeError, "xtol must be a real number, not Decimal"),
    ((Y, 1, 0, 1), {"rtol": 4.5e-16}, ValueError,
     "rtol must be finite and >= 4*eps = 8.881784197001252e-16, got 4.5e-16"),
    ((Y, 1, 0, 1), {"maxiter": 0}, ValueError, "maxiter must be between 1 and 2147483647, got 0"),
    ((Y, 1, 0, 1), {"maxiter": 2**31}, ValueError,
     "maxiter must be between 1 and 2147483647, got 2147483648"),
    ((Y, 1, 0, 1), {"maxiter": 2.5}, TypeError,
     "'float' object cannot be interpreted as an integer"),
    ((Y, 1, 0, 1), {"maxiter": True}, TypeError, "maxiter must be an integer, not bool"),
    ((Y, 1, 0, 1), {"workers": 0}, ValueError, "workers must not be zero"),
    ((Y, 1, 0, 1), {"workers": -1000}, ValueError,
     "workers value out of range; got -1000, must not be less than -{usable}"),
    ((Y, 1, 0, 1), {"workers": 10**30}, ValueError,
     "workers value out of range; got 10**30, must not be more than 9223372036854775807"
     .replace("10**30", str(10**30))),
    ((Y, 1, 0, 1), {"exact": True}, TypeError,
     "project_capped_simplex() got an unexpected keyword argument 'exact'"),
    # out
    ((Y, 1, 0, 1), {"out": [[0.0] * 4] * 3}, TypeError, "out must be a numpy.ndarray, not list"),
    ((Y, 1, 0, 1), {"out": np.zeros((3, 4), np.int64)}, TypeError,
     "out must have dtype float64 or float32, not int64"),
    ((Y, 1, 0, 1), {"out": np.zeros((4, 3))}, ValueError,
     "out has shape (4, 3), but the result has shape (3, 4)"),
    ((Y, 1, 0, 1), {"out": np.broadcast_to(0.0, (3, 4))}, ValueError, "out is read-only"),
    # Masked arrays: their masks would be ignored.
    ((np.ma.masked_equal(Y, 0), 1, 0, 1), {}, TypeError, MASKED.format("y")),
    ((Y, np.ma.masked_equal([1, 2, 3], 2), 0, 1), {}, TypeError, MASKED.format("h")),
    ((Y, 1, 0, 1), {"out": np.ma.zeros((3, 4))}, TypeError, MASKED.format("out")),
    # What method="brentq" cannot take.
    ((Y, 1, 0, 1), {"method": "brentq", "weights": 2.0}, ValueError,
     "method='brentq' takes no weights; use method='exact'"),
    ((Y, 1, np.zeros((3, 4)), 1), {"method": "brentq"}, ValueError,
     "method='brentq' takes no per-element l; use method='exact'"),
    ((Y, 1, 0, np.inf), {"method": "brentq"}, ValueError,
     "method='brentq' needs finite bounds, got u=inf; use method='exact'"),
    # Bounds whose sum over a vector overflows: brentq's residual would be NaN.
    ((Y, 0, -1e308, 1e308), {"method": "brentq"}, ValueError,
     "method='brentq' needs n*|l| and n*|u| within the largest double (its residual would "
     "overflow), got l=-1e+308 and n=4; use method='exact'"),
    ((Y, 1, 0, [1, 1e308, 1]), {"method": "brentq"}, ValueError,
     "method='brentq' needs n*|l| and n*|u| within the largest double (its residual would "
     "overflow), got u=1e+308 and n=4 for the vector at batch index (1,); use method='exact'"),
    ((Y, 1, [0, -np.inf, 0], 1), {"method": "brentq"}, ValueError,
     "method='brentq' needs finite bounds, got l=-inf for the vector at batch index (1,); "
     "use method='exact'"),
    # Empty or ill-defined sets, and non-finite y: nothing is written.
    ((Y, 5.0, 0, 1), {}, ValueError,
     NO_POINT.format("(0,)") + " and n*l <= h <= n*u; got h=5.0, l=0.0, u=1.0, n=4"),
    ((Y, [1, 2, -1], 0, 1), {}, ValueError,
     NO_POINT.format("(2,)") + " and n*l <= h <= n*u; got h=-1.0, l=0.0, u=1.0, n=4"),
    # Scalar sets checked whatever the others are (tavorin.dask: with no look at the arrays).
    ((Y, [1, 1, 1], 0.6, 0.5), {}, ValueError, "l must not exceed u, got l=0.6, u=0.5"),
    ((Y, [1, 1, 1], 0, 1j), {}, TypeError, "u must be an array of real numbers, not complex128"),
    ((Y, np.nan, 0, [1, 2, 3]), {}, ValueError, "h must be finite, got nan"),
    ((Y, 1, np.inf, 1), {}, ValueError, "l must not be NaN or +inf, got inf"),
    ((Y, 1, 0, np.nan), {}, ValueError, "u must not be NaN or -inf, got nan"),
    ((Y, 1, 0, 1), {"weights": -1.0}, ValueError, "weights must be finite and > 0, got -1.0"),
    ((np.zeros((2, 3, 2)), 1, [[0, 0, 0], [0, np.nan, 0]], 1), {}, ValueError,
     NO_POINT.format("(1, 1)") + " and n*l <= h <= n*u; got h=1.0, l=nan, u=1.0, n=2"),
    ((Y, 1, 0, [[1, 1, 1, 1], [1, 0, -1, 1], [1, 1, 1, 1]]), {}, ValueError,
     NO_POINT.format("(1,)") + " and sum(l) <= h <= sum(u); got h=1.0, l=0.0, "
     "u=[1.0, 0.0, -1.0, 1.0], n=4"),
    ((Y, [1, 9, 1], 0, 1), {"weights": [[1], [2], [3]]}, ValueError,
     NO_POINT.format("(1,)") + ", finite weights > 0 and sum(w*l) <= h <= sum(w*u); got h=9.0, "
     "l=0.0, u=1.0, n=4, weights=2.0"),
    ((Y, 1, 0, np.inf), {"weights": np.arange(12.0).reshape(3, 4)}, ValueError,
     NO_POINT.format("(0,)") + ", finite weights > 0 and sum(w*l) <= h <= sum(w*u); got h=1.0, "
     "l=0.0, u=inf, n=4, weights=[0.0, 1.0, 2.0, 3.0]"),
    ((NAN_ROW, 1, 0, 1), {}, ValueError, "y holds NaN or infinity in the vector at batch index "
     "(2,) (check_finite=False projects it anyway, into an unspecified result)"),
    ((NAN_ROW, 1, 0, 1), {"out": NAN_ROW}, ValueError, "y holds NaN or infinity in the vector at "
     "batch index (2,) (check_finite=False projects it anyway, into an unspecified result)"),
    ((NAN_LAST, 1, 0, 1), {"out": np.ones((64, 1024)), "workers": 2}, ValueError,
     "y holds NaN or infinity in the vector at batch index (63,) (check_finite=False projects "
     "it anyway, into an unspecified result)"),
    ((NAN_ROW, 1, 0, 1), {"method": "brentq", "out": np.ones((3, 4))}, ValueError,
     "y holds NaN or infinity in the vector at batch index (2,) (check_finite=False projects it "
     "anyway, into an unspecified result)"),
    ((Y, 5.0, 0, 1), {"out": np.ones((3, 4))}, ValueError,
     NO_POINT.format("(0,)") + " and n*l <= h <= n*u; got h=5.0, l=0.0, u=1.0, n=4"),
    # The sum bounded from one side: only that side's bound can make the set empty.
    ((Y, 1, 0, 1), {"sense": 1}, TypeError, "sense must be '==', '<=' or '>=', not int"),
    ((Y, 1, 0, 1), {"sense": "<"}, ValueError, "sense must be '==', '<=' or '>=', got '<'"),
    ((Y, 1, 0, 1), {"sense": "<=", "method": "brentq"}, ValueError,
     "method='brentq' takes only sense='==', got '<='; use method='exact'"),
    ((Y, -1.0, 0, 1), {"sense": "<="}, ValueError,
     NO_POINT.format("(0,)") + " and n*l <= h; got h=-1.0, l=0.0, u=1.0, n=4"),
    ((Y, [1, 5, 1], 0, 1), {"sense": ">="}, ValueError,
     NO_POINT.format("(1,)") + " and h <= n*u; got h=5.0, l=0.0, u=1.0, n=4"),
    ((Y, [1, 9, 1], 0, 1), {"sense": ">=", "weights": [[1], [2], [3]]}, ValueError,
     NO_POINT.format("(1,)") + ", finite weights > 0 and h <= sum(w*u); got h=9.0, "
     "l=0.0, u=1.0, n=4, weights=2.0"),
    ((Y, np.inf, 0, 1), {"sense": "<="}, ValueError, "h must be finite, got inf"),
]  # fmt: skip

# project_l1_ball's own refusals (the rest are project_capped_simplex's).
L1_REFUSALS = [
    # arguments, keywords, exception, message
    ((Y, -1.0), {}, ValueError, "radius must be finite and >= 0, got -1.0"),
    ((Y, [1.0, np.nan, 1.0]), {}, ValueError,
     "radius must be finite and >= 0, got nan for the vector at batch index (1,)"),
    ((Y, np.inf), {}, ValueError, "radius must be finite and >= 0, got inf"),
    ((Y, "1"), {}, TypeError, "radius must be an array of real numbers, not <U1"),
    ((Y, [1.0, 2.0]), {}, ValueError,
     "radius of shape (2,) does not broadcast to the batch shape (3,)"),
    ((Y, np.ones((3, 4))), {}, ValueError, "radius of shape (3, 4) does not broadcast to (3, 1)"),
    ((Y, 1.0), {"weights": 0.0}, ValueError, "weights must be finite and > 0, got 0.0"),
    ((NAN_ROW, 1.0), {}, ValueError, "y holds NaN or infinity in the vector at batch index "
     "(2,) (check_finite=False projects it anyway, into an unspecified result)"),
    ((Y, 1.0), {"out": np.zeros((4, 3))}, ValueError,
     "out has shape (4, 3), but the result has shape (3, 4)"),
    ((NAN_LATE, 1.0), {"workers": 1}, ValueError, "y holds NaN or infinity in the vector at "
     "batch index (2500,) (check_finite=False projects it anyway, into an unspecified result)"),
    ((NAN_LATE, 1.0), {"out": np.zeros((3000, 10))}, ValueError, "y holds NaN or infinity in "
     "the vector at batch index (2500,) (check_finite=False projects it anyway, into an "
     "unspecified result)"),
    ((Y, 1.0), {"sense": "<="}, TypeError,
     "project_l1_ball() got an unexpected keyword argument 'sense'"),
    ((NAN_LONG, 1.0), {}, ValueError, "y holds NaN or infinity in the vector at batch index "
     "(1,) (check_finite=False projects it anyway, into an unspecified result)"),
    ((NAN_LONG, 1.0), {"out": np.zeros((3, 9000)), "workers": 1}, ValueError, "y holds NaN or "
     "infinity in the vector at batch index (1,) (check_finite=False projects it anyway, into "
     "an unspecified result)"),
]  # fmt: skip


def for_frameworks(args, kwargs, message):
    """Whether a row of REFUSALS applies to tavorin.jax and tavorin.torch: they take
    no options but the weights and the axis, read masked arrays as arrays, and
    check the sets' values only in the projection (as arrays, so the messages of
    the scalar checks are the NumPy function's for arrays)."""
    if not set(kwargs) <= {"weights", "axis"}:
        return False
    if any(isinstance(a, np.ma.MaskedArray) for a in (*args, kwargs.get("weights"))):
        return False
    checks = "no feasible", "y holds", "h must be finite", "l must not", "u must not"
    return not message.startswith((*checks, "weights must be finite"))
