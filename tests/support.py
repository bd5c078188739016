"""What the tests share: the module's names, trace lines and message texts, the
arrays they project, ways of calling proj_csimplex and of reading how a call ended."""

import ctypes
import enum
import importlib.util
import inspect
import math
import os
import random
import struct
import sys
import sysconfig
import time
import traceback
from pathlib import Path

import numpy as np
import pytest

import tavorin
from tavorin.operators import proj_csimplex

FUNCTION_NAME = "tavorin.operators.proj_csimplex"
INIT_NAME = "init tavorin.operators"
SOURCE_FILE = "src/tavorin/operators"


class TraceLine(enum.IntEnum):
    """The line of each failure site's traceback entry, as the module's own enum
    names them.  These are stable numbers that callers see (and may match on),
    not lines of any file in this tree."""

    STARTUP = 1
    CALL = 28
    H = 29
    L = 30
    U = 31
    LOWER_BRACKET = 43
    UPPER_BRACKET = 44
    ROW_SCALARS = 45


STARTUP_ENTRY = [INIT_NAME, SOURCE_FILE, TraceLine.STARTUP]

# ---------------------------------------------------------------------------
# Test helper extensions
# ---------------------------------------------------------------------------

ROOT = Path(__file__).resolve().parents[1]
# The build directory of the running interpreter, as ./dev lays it out, or the
# one TAVORIN_BUILD_DIR names (the sanitizer run's).
BUILD_DIR = ROOT / os.environ.get(
    "TAVORIN_BUILD_DIR", "build/meson-{}.{}".format(*sys.version_info)
)


def helper(name):
    """The test-only extension ``name`` (tests/helpers/), as meson built it into
    the build directory with -Dtests=true; skips the test when it is not built."""
    if name in sys.modules:
        return sys.modules[name]
    path = BUILD_DIR / "tests" / "helpers" / (name + sysconfig.get_config_var("EXT_SUFFIX"))
    if not path.exists():
        version = "{}.{}".format(*sys.version_info)
        pytest.skip(
            f"test helper {name} not built: `./dev test-on {version}` builds it"
            f" into {BUILD_DIR} (meson -Dtests=true)"
        )
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module
    spec.loader.exec_module(module)
    return module


# ---------------------------------------------------------------------------
# Message texts
# ---------------------------------------------------------------------------


def fewer(k):
    return f"proj_csimplex() takes at least 4 positional arguments ({k} given)"


def more(k):
    return f"proj_csimplex() takes at most 7 positional arguments ({k} given)"


def multiple(name):
    return f"proj_csimplex() got multiple values for keyword argument '{name}'"


def unexpected(name):
    return f"proj_csimplex() got an unexpected keyword argument '{name}'"


KEYS_NOT_STRINGS = "proj_csimplex() keywords must be strings"
NOT_REAL = "must be real number, not {}"
INT_REQUIRED = "an integer is required"
INT_TOO_LARGE = "value too large to convert to int"
LONG_TOO_LARGE = "Python int too large to convert to C long"
INT_SUBCLASS_DEPRECATED = (
    "__int__ returned non-int (type bool).  The ability to return an instance of a strict "
    "subclass of int is deprecated, and may be removed in a future version of Python."
)
# The builtins' own message for min() of an empty sequence, reworded by 3.12.
EMPTY_ROW = (
    "min() arg is an empty sequence"
    if sys.version_info < (3, 12)
    else "min() iterable argument is empty"
)

# NumPy's own exception for a bad axis, which NumPy 1.25 moved to numpy.exceptions.
AxisError = getattr(np, "exceptions", np).AxisError

# acquiring the caller's buffer, and its rows
WRONG_DIMS = "Buffer has wrong number of dimensions (expected 2, got {})"
ITEM_SIZE = "Item size of buffer ({}) does not match size of 'double' (8 bytes)"
NOT_C = "Buffer not C contiguous."
NOT_SAME_DIM = "Buffer and memoryview are not contiguous in the same dimension."
INDIRECT = "Buffer not compatible with direct access in dimension {}."
NO_STRIDES = "Buffer exposes suboffsets but no strides"
READ_ONLY = "Buffer is read-only but a writable buffer was requested"
NEGATIVE = "Buffer has negative extent {} in dimension {}."
TOO_LARGE = "Buffer shape ({}, {}) is too large to address."
SHORT = "Buffer length ({} bytes) is smaller than its shape requires ({} bytes)."
OUT_OF_BOUNDS = "Out of bounds on buffer access (axis 0)"

# the buffer's format string
MISMATCH = "Buffer dtype mismatch, expected 'double' but got {}"
AFTER_END = "Buffer dtype mismatch, expected end but got {}"
OFFSET = "Buffer dtype mismatch; next field is at offset {} but 0 expected"
BIG_ENDIAN = "Big-endian buffer not supported on little-endian compiler"
UNKNOWN = "Does not understand character buffer dtype format string ('{}')"
NO_BRACE = "Buffer acquisition: Expected '{' after 'T'"
DIMENSIONS = "Expected 0 dimension(s), got {}"
COMMA = "Expected a comma in format string, got '{}'"
UNMATCHED = "Unmatched '}' in format string"
NO_END = "Unexpected end of format string, expected '{}'"
NUMBER = "Number in format string exceeds 2147483647"
DEEP = "Buffer format string nests structures deeper than 64 levels"
TOO_OFTEN = "Buffer format string repeats structures too often to be checked"

# ---------------------------------------------------------------------------
# Arrays and exporters
# ---------------------------------------------------------------------------


def rows(m=3, n=4, seed=0, scale=1.0):
    """A fresh m x n float64 array of seeded standard normal values."""
    return np.random.default_rng(seed).standard_normal((m, n)) * scale


def projected(y, *args):
    """A projected copy of ``y`` (anything NumPy makes a float64 array of)."""
    y = np.array(y, dtype=float)
    assert proj_csimplex(y, *args) is None
    return y


def exported(array):
    """A bytearray holding a copy of the 2-D float64 ``array``, and a memoryview
    exporting it as such: released views show whether an export is alive."""
    array = np.ascontiguousarray(array, dtype=np.float64)
    data = bytearray(array.tobytes())
    return data, memoryview(data).cast("B").cast("d", array.shape)


def fields(m=3, n=4, **changes):
    """The fields of the test exporter describing an m x n C-contiguous float64
    block, with ``changes`` made."""
    described = dict(format="d", ndim=2, shape=(m, n), strides=(8 * n, 8), itemsize=8)
    described.update(changes)
    return described


def named_cases(argnames, table):
    """Parametrizes over ``table``, whose rows start with the case's name."""
    single = "," not in argnames
    values = [row[1] if single else row[1:] for row in table]
    return pytest.mark.parametrize(argnames, values, ids=[row[0] for row in table])


def bits(values):
    """The bit patterns of floats, so that -0.0 and NaN payloads count."""
    return [struct.unpack("<Q", struct.pack("<d", v))[0] for v in values]


# ---------------------------------------------------------------------------
# Rows for the numerical core (also fed to the builds compared by ./dev test)
# ---------------------------------------------------------------------------

NAN = float("nan")
INF = float("inf")


def spaced(n, terms, fill=-1.0):
    """A row of n copies of `fill` with `terms` ({index: value}) in place."""
    row = [fill] * n
    for i, v in terms.items():
        row[i] = v
    return row


def gaussian(n, seed, scale=1.0):
    rng = random.Random(seed)
    return [rng.gauss(0.0, scale) for _ in range(n)]


# Rows long enough for the residual to leave its zero terms out of the sum,
# cut around the length of one compacted block (128) and the first length
# that is compacted at all (96); with x = 0, l = 0, a fill of -1.0 is a zero term.
CANCELLING = [1e16, 1.0, -1e16, 1.0, 1.0, 3.0, -1e16, 1e16, 0.5]
LONG_RESIDUAL_CASES = [
    # row, x, h, l, u
    ([-1.0] * 128, 0.0, 1.0, 0.0, 1.0),  # every term zero
    ([-1.0] * 257, 0.0, -0.0, 0.0, 1.0),
    ([-0.0] * 129, 0.0, 0.0, 0.0, 1.0),  # every term -0.0: the sum stays +0.0
    ([-1.0] * 130, 0.0, 0.0, -0.0, 1.0),  # every term -0.0, from l
    (spaced(257, {256: 0.75}), 0.0, 1.0, 0.0, 1.0),  # only the last term
    (spaced(131, {130: 0.75}), 0.0, 1.0, 0.0, 1.0),  # only the last, past the whole groups
    (spaced(257, {127: 0.75, 128: 0.125}), 0.0, 1.0, 0.0, 1.0),  # across a block's end
    (spaced(255, {0: NAN, 200: 0.5}), 0.0, 1.0, 0.0, 1.0),
    (spaced(131, {97: NAN}), 0.0, 1.0, 0.0, 1.0),
    (spaced(256, {255: NAN}), 0.0, 1.0, 0.0, 1.0),
    (spaced(200, {3: INF, 150: -INF}), 0.0, 0.0, 0.0, INF),  # -inf clips to zero
    (spaced(200, {3: INF, 150: -INF}, fill=0.0), 0.0, 0.0, -INF, INF),  # inf - inf
    (
        spaced(300, {7 + 31 * i: v for i, v in enumerate(CANCELLING)}, fill=-0.0),
        0.0,
        0.0,
        -INF,
        INF,
    ),
    (spaced(129, {4 * i + 3: v for i, v in enumerate(CANCELLING)}, fill=0.0), 0.0, 0.0, -INF, INF),
    ([1.0] * 129, -5.0, 1.0, 0.0, 1.0),  # every term u
    ([0.25 * (i % 5) for i in range(96)], 0.5, 1.0, 0.0, 1.0),
]
for _n in [95, 96, 97, 100, 127, 128, 129, 130, 131, 255, 256, 257, 1000]:
    _row = gaussian(_n, _n, 1.0 / math.sqrt(_n))
    for _x in [min(_row) - 1.0, -0.5, 0.0, 0.1, 0.3, max(_row)]:
        LONG_RESIDUAL_CASES.append((_row, _x, 1.0, 0.0, 1.0))
    _row = gaussian(_n, -_n)
    for _x in [-1.0, 0.25, 1.5]:
        LONG_RESIDUAL_CASES.append((_row, _x, 0.3 * _n, 0.0, 0.5))
        LONG_RESIDUAL_CASES.append((_row, _x, 0.0, -1.0, 1.0))

RESIDUAL_CASES = [
    # row, x, h, l, u
    ([], 0.3, 1.0, 0.0, 1.0),
    ([], 0.3, -2.5, 0.0, 1.0),
    ([0.2, 0.5, 0.9], 0.2, 1.0, 0.0, 1.0),
    ([0.2, 0.5, 0.9], -5.0, 1.0, 0.0, 1.0),
    ([0.2, 0.5, 0.9], 5.0, 1.0, 0.0, 1.0),
    ([0.2, NAN, 0.9], 0.1, 1.0, 0.0, 1.0),
    ([0.2, 0.5, 0.9], 0.1, 1.0, 2.0, 1.0),  # l > u: every term is l
    ([1.0, 1.0, 1.0], 0.0, 1.0, 0.0, 1.0),  # t == u keeps t
    ([-0.0, 0.0, -0.0], 0.0, 0.0, -1.0, 1.0),
    ([1e300, -1e300, 1.0, 1e-300], 0.5, 0.0, -INF, INF),
    ([INF, -INF, 3.0], 1.0, 0.0, 0.0, 1.0),
    *LONG_RESIDUAL_CASES,
]

PROJECTION_CASES = [
    # row, h, l, u
    ([0.2, 0.5, 0.9], 1.0, 0.0, 1.0),
    ([0.25, 0.25, 0.5], 1.0, 0.0, 1.0),  # already inside
    ([1.0, 1.0, 1.0], 1.0, 0.0, 1.0),
    ([0.2, 0.5, 0.9], 1.0, 2.0, 1.0),  # l > u
    ([0.2, NAN, 0.9], 1.0, 0.0, 1.0),
    ([NAN, 0.2, 0.9], 1.0, 0.0, 1.0),
    ([5.0, -3.0, 2.0, 0.0], 10.0, 0.0, 1.0),  # h above n*u
    ([5.0, -3.0, 2.0, 0.0], 1.0, -0.0, 0.5),
    ([0.0, -0.0, 0.0], 0.0, -0.0, 0.0),
]

# ---------------------------------------------------------------------------
# Calling, and how a call ended
# ---------------------------------------------------------------------------

_call = ctypes.pythonapi.PyObject_Call
_call.restype = ctypes.py_object
_call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]


def call_raw(args, kwargs):
    """Calls through the C API with the caller's own keyword dict: no copy is
    made, so it can hold any key and can be changed while the call runs."""
    return _call(proj_csimplex, args, kwargs)


class Returns:
    """An object whose float and integer conversions return ``result``."""

    def __init__(self, result):
        self.result = result

    def __float__(self):
        return self.result

    def __int__(self):
        return self.result


class Raises:
    """An object whose float and integer conversions raise."""

    def __float__(self):
        raise ArithmeticError("no float")

    def __int__(self):
        raise ArithmeticError("no int")


class FailsAtRow:
    """A tolerance of 1e-05 whose conversion fails for row ``row`` (from 0).
    Each conversion first lets other threads run."""

    def __init__(self, row):
        self.row = row
        self.calls = 0

    def __float__(self):
        time.sleep(0)
        self.calls += 1
        if self.calls > self.row:
            raise ArithmeticError("tolerance gone")
        return 1e-05


def trace(exc):
    """The traceback of ``exc`` as (function, file, line), outermost first."""
    return [(e.name, e.filename, e.lineno) for e in traceback.extract_tb(exc.__traceback__)]


def module_line(exc):
    """The line of the module's one traceback entry, which must name the
    module's source file (Python code the module called comes after it)."""
    (entry,) = [e for e in trace(exc) if e[0] == FUNCTION_NAME]
    assert entry[1] == SOURCE_FILE, entry
    return entry[2]


def fails(exc_type, message, line, call):
    """Runs ``call``, which must raise ``exc_type`` with ``message`` and a last
    traceback entry of the module's at ``line``; returns the exception."""
    with pytest.raises(exc_type) as info:
        call()
    assert str(info.value) == message
    assert trace(info.value)[-1] == (FUNCTION_NAME, SOURCE_FILE, line)
    return info.value


def outcome(call):
    """None on success, else (type, message, the line and code object of the
    module's traceback entry, or None for both where it has none)."""
    try:
        assert call() is None
    except Exception as error:
        tb = error.__traceback__
        while tb is not None and tb.tb_frame.f_code.co_name != FUNCTION_NAME:
            tb = tb.tb_next
        line, code = (None, None) if tb is None else (tb.tb_lineno, tb.tb_frame.f_code)
        tb = None  # the traceback holds this frame: no cycle may outlive the call
        return type(error), str(error), line, code
    return None


# ---------------------------------------------------------------------------
# Sets for the derivatives and the framework wrappers
# ---------------------------------------------------------------------------

SET_KINDS_OF_THE_EXACT_SOLVER = {"per element", "infinite lower", "infinite upper", "weights"}


def has_exact_solver():
    """Whether project_capped_simplex has the exact solver (per-element and
    infinite bounds, weights, float32) or only the brentq path with exact=True."""
    return "method" in inspect.signature(tavorin.project_capped_simplex).parameters


def capped_sets(kind, m=4, n=7, seed=0, projected=True):
    """Random y and the set of one kind as project_capped_simplex takes them,
    with ties improbable; when the test projects, skips the kinds the
    installed projection lacks."""
    if projected and kind in SET_KINDS_OF_THE_EXACT_SOLVER and not has_exact_solver():
        pytest.skip(f"{kind} sets need the exact solver (method='exact')")
    rng = np.random.default_rng(seed)
    y = rng.standard_normal((m, n))
    lower = -rng.uniform(0.0, 0.5, m)
    upper = rng.uniform(0.5, 1.0, m)
    sums = rng.uniform(1.0, 2.0, m)
    sets = {
        "scalar": dict(h=2.0, l=-0.3, u=0.6),
        "per vector": dict(h=sums, l=lower, u=upper),
        "per element": dict(h=sums, l=lower[:, None] - rng.uniform(0, 0.3, (m, n)), u=1.0),
        "infinite lower": dict(h=sums, l=-np.inf, u=upper),
        "infinite upper": dict(h=1.0, l=0.0, u=np.inf),
        # sum_j w_j u_j >= n / 4 > h: feasible.
        "weights": dict(h=sums / 2, l=lower, u=upper, weights=rng.uniform(0.5, 2.0, (m, n))),
    }[kind]
    return y, sets


def exact_projection(y, h, l, u, **options):  # noqa: E741
    exact = {"method": "exact"} if has_exact_solver() else {"exact": True}
    return tavorin.project_capped_simplex(y, h, l, u, **exact, **options)


# Rows and settings on which the projection's results are compared bit for bit
# (the operator against its twin, the NumPy-style function against the operator).
ADVERSARIAL_ROWS = [
    [NAN, 0.2, 0.9],
    [0.2, NAN, 0.9, NAN],
    [INF, 0.2, 0.3],
    [-INF, 0.2, 0.3],
    [0.0, -0.0, 0.0, -0.0],
    [-0.0, 0.0],
    [0.5, 0.5, 0.5, 0.5],
    [1e308, -1e308, 0.0],
    [5e-324, -5e-324, 0.0],
    [0.3],
]

SETTINGS = [
    # h, l, u, xtol, rtol, mitr
    (1.0, 0.0, 1.0, 1e-5, 1e-5, 20),
    (1.0, 2.0, 1.0, 1e-5, 1e-5, 20),  # l > u
    (10.0, 0.0, 1.0, 1e-5, 1e-5, 20),  # h above n*u
    (-3.0, 0.0, 1.0, 1e-5, 1e-5, 20),  # h below n*l
    (1.0, 0.0, 1.0, 1e-5, 1e-5, 0),
    (1.0, 0.0, 1.0, 1e-5, 1e-5, -1),
    (1.0, 0.0, 1.0, 1e-5, 1e-5, 1),
    (1.0, 0.0, 1.0, 1e-15, 4.5e-16, 100),
    (1.0, -0.0, 0.4, 10.0, 0.5, 100),
]


def _row_of(value, i, n):
    """Row i of a set value given once, per vector or per element, as n floats."""
    a = np.asarray(value, float)
    return np.full(n, a if a.ndim == 0 else a[i]) if a.ndim < 2 else a[i]


def assert_near_reference(x, y, h, l, u, weights=None, ulps=8):  # noqa: E741
    """Rows x within ``ulps`` of x's eps times each row's scale of the rational projection."""
    import exact_reference

    x = np.asarray(x)
    m, n = x.shape
    for i in range(m):
        row_h = float(np.asarray(h, float).reshape(-1)[i if np.ndim(h) else 0])
        row_l, row_u = _row_of(l, i, n), _row_of(u, i, n)
        w = None if weights is None else _row_of(weights, i, n)
        want = exact_reference.exact(np.asarray(y, float)[i], row_h, row_l, row_u, w)
        scale = exact_reference.scale(np.asarray(y, float)[i], want, row_l, row_u)
        assert np.max(np.abs(x[i] - want)) <= ulps * np.finfo(x.dtype).eps * scale, (i, x[i], want)
