"""The sets h, l, u and the weights: one rule for how they are given, for every way in.

The NumPy-style function, tavorin.dask, the derivatives and the JAX and torch
functions all read a set's shape with ``kind_of`` (a ``Kind`` and the same
``ValueError`` for a shape that fits nowhere) and check its dtype with
``check_real_dtype`` (the same ``TypeError``).  NumPy arrays become what the
compiled kernels take with ``given`` (one set) or ``describe`` (a call's
four): a ``Kind`` and the value broadcast to the vectors.  The frameworks
arrange their own arrays with ``vectors_last`` and their own ``broadcast_to``
and ``moveaxis``, so that jit, vmap and autograd see ordinary array
operations; ``sum_back`` takes a cotangent back to the shape a set was given in.

The rule, for ``y`` of shape ``y_shape`` with its vectors along ``axis``: a
set with fewer dimensions than ``y`` broadcasts to the batch shape (``y``'s
shape without ``axis``) and holds one value per vector; one with ``y``'s
number of dimensions lines up with ``y``: length 1 along ``axis`` is one value
per vector (what ``keepdims=True`` gives), ``y``'s length there one per
element (not for ``h``).  A set of one value is a scalar either way.
"""

import enum
import math
import sys
from typing import NamedTuple, Optional, Tuple, Union

import numpy as np

from . import _simplex

__all__ = [
    "Kind",
    "Given",
    "Sets",
    "describe",
    "refuse_masked",
    "check_real_dtype",
    "kind_of",
    "given",
    "vectors_last",
    "sum_back",
    "VARIES",
    "check_scalar_sets",
    "refuse_for_brentq",
    "refuse_brentq_bound",
    "raise_infeasible",
    "SENSES",
    "check_sense",
]

# Booleans, integers and real floats; complex, object, string and time types are refused.
_REAL_KINDS = "biuf"
_FLOAT64 = np.dtype(np.float64)
_DOUBLE_MAX = sys.float_info.max


class Kind(enum.IntEnum):
    """How a set's values are given."""

    SCALAR = 0  # one value for every vector
    PER_VECTOR = 1
    PER_ELEMENT = 2


class Given(NamedTuple):
    """A set as the kernels take it: ``value`` is a float (SCALAR), m float64 values
    (PER_VECTOR) or an (m, n) array of the vectors' dtype (PER_ELEMENT), contiguous
    and aligned; ``shape`` is the shape it was given in."""

    kind: Kind
    value: Union[float, np.ndarray]
    shape: Tuple[int, ...]


def dtype_name(dtype):
    """A dtype's name as NumPy writes it, for NumPy's, JAX's and torch's dtypes."""
    return str(dtype).replace("torch.", "")


def refuse_masked(value, name):
    # NumPy's functions would read the data under the mask as if it were valid.
    if isinstance(value, np.ma.MaskedArray):
        raise TypeError(
            f"{name} is a masked array, and the projection would ignore its mask: pass "
            f"{name}.filled(value) to choose the masked values, or {name}.compressed() to "
            "drop them"
        )


def real_array(value, name):
    """``value`` as a NumPy array of real numbers (not masked)."""
    refuse_masked(value, name)
    array = np.asarray(value)
    check_real_dtype(array.dtype, name)
    return array


def check_real_dtype(dtype, name):
    """Refuses a dtype that is not real: NumPy's (and JAX's) dtypes, or torch's."""
    kind = getattr(dtype, "kind", None)
    if kind is None:  # a torch.dtype
        real = not dtype.is_complex
    else:
        real = kind in _REAL_KINDS
    if not real:
        raise TypeError(f"{name} must be an array of real numbers, not {dtype_name(dtype)}")


def _broadcasts(shape, target):
    return all(s in (1, t) for s, t in zip(shape[::-1], target[::-1]))


def kind_of(name, shape, y_shape, axis, per_element=True, y_name="y"):
    """How a set of ``shape`` is given for ``y`` of ``y_shape`` (``axis`` in range,
    non-negative); ``per_element=False`` for ``h`` and its tangent."""
    shape, y_shape = tuple(shape), tuple(y_shape)
    n = y_shape[axis]
    batch = y_shape[:axis] + y_shape[axis + 1 :]
    if shape == batch:  # the common case, first
        return Kind.SCALAR if math.prod(shape) == 1 else Kind.PER_VECTOR
    if len(shape) == len(y_shape):
        kept = y_shape[:axis] + (1,) + y_shape[axis + 1 :]
        if shape[axis] == 1 and _broadcasts(shape, kept):
            return Kind.SCALAR if math.prod(shape) == 1 else Kind.PER_VECTOR
        if per_element and shape[axis] == n and _broadcasts(shape, y_shape):
            return Kind.PER_ELEMENT
        also = f" (one value per vector) or {y_shape} (one per element)" if per_element else ""
        raise ValueError(f"{name} of shape {shape} does not broadcast to {kept}{also}")
    if len(shape) > len(y_shape):
        raise ValueError(
            f"{name} of shape {shape} has more dimensions than {y_name} ({len(y_shape)})"
        )
    if not _broadcasts(shape, batch):
        raise ValueError(f"{name} of shape {shape} does not broadcast to the batch shape {batch}")
    return Kind.SCALAR if math.prod(shape) == 1 else Kind.PER_VECTOR


def vectors_last(value, kind, y_shape, axis, broadcast_to, moveaxis):
    """A framework's set array arranged as the vectors are with their axis last:
    y's shape for PER_ELEMENT, else the batch shape, by the framework's own
    ``broadcast_to`` and ``moveaxis``."""
    y_shape = tuple(y_shape)
    if kind == Kind.PER_ELEMENT:
        if tuple(value.shape) != y_shape:
            value = broadcast_to(value, y_shape)
        return value if axis == len(y_shape) - 1 else moveaxis(value, axis, -1)
    batch = y_shape[:axis] + y_shape[axis + 1 :]
    if len(value.shape) == len(y_shape):
        value = value.reshape(tuple(value.shape[:axis]) + tuple(value.shape[axis + 1 :]))
    return value if tuple(value.shape) == batch else broadcast_to(value, batch)


def given(value, name, y_shape, axis, dtype, per_element=True, y_name="y"):
    """A NumPy set as the kernels take it (see ``Given``); ``dtype`` is the vectors'."""
    if type(value) is float:
        return Given(Kind.SCALAR, value, ())
    array = real_array(value, name)
    kind = kind_of(name, array.shape, y_shape, axis, per_element, y_name)
    if kind == Kind.SCALAR:
        return Given(kind, float(array.reshape(-1)[0]), array.shape)
    arranged = vectors_last(array, kind, y_shape, axis, np.broadcast_to, np.moveaxis)
    if kind == Kind.PER_ELEMENT:
        rows = kernel_array(arranged, dtype)
        return Given(kind, rows.reshape(-1, y_shape[axis]), array.shape)
    return Given(kind, kernel_array(arranged, _FLOAT64).reshape(-1), array.shape)


class Sets(NamedTuple):
    """The four sets of one call, each a ``Given`` (``w`` None without weights)."""

    h: Given
    l: Given  # noqa: E741
    u: Given
    w: Optional[Given]


def describe(y_shape, axis, dtype, h, l, u, weights=None):  # noqa: E741
    """Every set of a call on ``y`` of ``y_shape`` (vectors along ``axis``, in range and
    non-negative, computed in ``dtype``) as the kernels take it, by the one rule."""
    return Sets(
        given(h, "h", y_shape, axis, dtype, per_element=False),
        given(l, "l", y_shape, axis, dtype),
        given(u, "u", y_shape, axis, dtype),
        None if weights is None else given(weights, "weights", y_shape, axis, dtype),
    )


def kernel_array(array, dtype):
    """``array`` as the kernels read it: C-contiguous and aligned, of ``dtype`` in the
    machine's byte order; a copy only when it is not that already (an unaligned
    array, a buffer received over the network say, is copied)."""
    flags = array.flags
    if array.dtype == dtype and flags.c_contiguous and flags.aligned:
        return array
    return np.array(array, dtype, order="C")


def sum_back(values, kind, shape, y_shape, axis):
    """The inverse of broadcasting a set of ``shape`` and ``kind`` out to the kernels:
    m per-vector values (SCALAR or PER_VECTOR) or (m, n) rows (PER_ELEMENT), summed
    back over the axes the set was broadcast along."""
    y_shape = tuple(y_shape)
    batch = y_shape[:axis] + y_shape[axis + 1 :]
    if kind == Kind.PER_ELEMENT:
        full = np.moveaxis(values.reshape(batch + (y_shape[axis],)), -1, axis)
    else:
        full = values.reshape(batch)
        if len(shape) == len(y_shape):
            full = np.expand_dims(full, axis)
    lead = full.ndim - len(shape)
    if lead:
        full = full.sum(axis=tuple(range(lead)))
    kept = tuple(i for i, size in enumerate(shape) if size == 1 and full.shape[i] != 1)
    if kept:
        full = full.sum(axis=kept, keepdims=True)
    return full


# ---------------------------------------------------------------------------
# The feasibility check's inputs, and its refusals
# ---------------------------------------------------------------------------

# Weights given per vector or per element, for check_scalar_sets.
VARIES = object()

# The sum's relation to h, as the kernels take it.
SENSES = {"==": 0, "<=": 1, ">=": -1}


def check_sense(sense, method="exact"):
    """``sense`` validated: its code for the kernels (0, 1 or -1)."""
    if not isinstance(sense, str):
        raise TypeError(f"sense must be '==', '<=' or '>=', not {type(sense).__name__}")
    if sense not in SENSES:
        raise ValueError(f"sense must be '==', '<=' or '>=', got {sense!r}")
    if method == "brentq" and sense != "==":
        raise ValueError(
            f"method='brentq' takes only sense='==', got {sense!r}; use method='exact'"
        )
    return SENSES[sense]


def check_scalar_sets(n, h, l, u, w, sense=0):  # noqa: E741
    """The refusals that the scalar sets allow whatever the others are, so that
    tavorin.dask makes them when it builds the graph.  ``h``, ``l``, ``u``: a
    float, or None when given per vector or per element; ``w``: None (no
    weights), a float, or VARIES.  Returns whether every set is a scalar (then
    every vector has been checked)."""
    if h is not None and not math.isfinite(h):
        raise ValueError(f"h must be finite, got {h!r}")
    if l is not None and (math.isnan(l) or l == math.inf):
        raise ValueError(f"l must not be NaN or +inf, got {l!r}")
    if u is not None and (math.isnan(u) or u == -math.inf):
        raise ValueError(f"u must not be NaN or -inf, got {u!r}")
    if w is not None and w is not VARIES and not (math.isfinite(w) and w > 0):
        raise ValueError(f"weights must be finite and > 0, got {w!r}")
    if l is not None and u is not None and l > u:
        raise ValueError(f"l must not exceed u, got l={l!r}, u={u!r}")
    if None in (h, l, u) or w is VARIES:
        return False
    if _simplex.first_infeasible(1, n, h, l, u, w, sense) >= 0:
        raise_infeasible(0, (1,), n, h, l, u, w, sense)
    return True


def refuse_for_brentq(kinds, n, l, u, w):  # noqa: E741
    """The sets the brentq method cannot take (its residual has no weights and one
    finite bound pair per vector, whose sum over n elements must stay finite),
    refused before any data is looked at: ``kinds`` of l and u, their floats (None
    when arrays), and the weights (None without)."""
    if w is not None:
        raise ValueError("method='brentq' takes no weights; use method='exact'")
    for name, kind in zip("lu", kinds):
        if kind == Kind.PER_ELEMENT:
            raise ValueError(f"method='brentq' takes no per-element {name}; use method='exact'")
    for name, value in (("l", l), ("u", u)):
        if isinstance(value, float):
            refuse_brentq_bound(name, value, n)


def refuse_brentq_bound(name, value, n, where=""):
    """Refuses a bound brentq's residual cannot take: infinite, or so large that the
    residual at the bracket's ends (n elements at the bound) overflows into NaN."""
    if math.isinf(value):
        raise ValueError(
            f"method='brentq' needs finite bounds, got {name}={value!r}{where}; use method='exact'"
        )
    if abs(value) > _DOUBLE_MAX / n:
        raise ValueError(
            f"method='brentq' needs n*|l| and n*|u| within the largest double (its residual "
            f"would overflow), got {name}={value!r} and n={n}{where}; use method='exact'"
        )


def _shown(value):
    if np.ndim(value) == 0:
        return repr(float(value))
    values = [float(v) for v in value]
    if len(values) > 6:
        return "[{}, ..., {}]".format(", ".join(map(repr, values[:3])), repr(values[-1]))
    return "[{}]".format(", ".join(map(repr, values)))


def raise_infeasible(index, batch_shape, n, h, l, u, w, sense=0):  # noqa: E741
    """The refusal of the vector at flat ``index``, with the values the kernels took
    (``sense`` as check_sense gives it)."""
    at = tuple(int(i) for i in np.unravel_index(index, batch_shape))
    values = [v if v is None or isinstance(v, float) else v[index] for v in (h, l, u, w)]
    needs = "a finite h, l < +inf, u > -inf, l <= u"
    if w is not None:
        needs += ", finite weights > 0 and "
        low, high = "sum(w*l)", "sum(w*u)"
    elif np.ndim(values[1]) == np.ndim(values[2]) == 0:
        needs += " and "
        low, high = "n*l", "n*u"
    else:
        needs += " and "
        low, high = "sum(l)", "sum(u)"
    needs += {0: f"{low} <= h <= {high}", 1: f"{low} <= h", -1: f"h <= {high}"}[sense]
    got = "h={}, l={}, u={}, n={}".format(*map(_shown, values[:3]), n)
    if w is not None:
        got += f", weights={_shown(values[3])}"
    raise ValueError(
        f"no feasible point for the vector at batch index {at}: needs {needs}; got {got}"
    )
