"""What the tests share: the module's names, trace lines and message texts, the
arrays they project, ways of calling proj_csimplex and of reading how a call ended."""

import ctypes
import enum
import inspect
import struct
import sys
import time
import traceback

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
