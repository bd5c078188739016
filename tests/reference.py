"""A literal Python twin of the projection, for bit-for-bit comparisons.

It calls the very same compiled ``brentq`` that the module binds (through its
capsule and ctypes) with a residual written in plain Python: the two-step clip
and a strictly left-to-right sum.  The bracket comes from Python's own ``min``
and ``max`` over the row's floats.
"""

import ctypes
import math

import scipy.optimize.cython_optimize._zeros as _zeros

CALLBACK = ctypes.CFUNCTYPE(ctypes.c_double, ctypes.c_double, ctypes.c_void_p)


class FullOutput(ctypes.Structure):
    """SciPy's status record of its compiled root finders."""

    _fields_ = [
        ("funcalls", ctypes.c_int),
        ("iterations", ctypes.c_int),
        ("error_num", ctypes.c_int),
        ("root", ctypes.c_double),
    ]


SIGN_ERROR = -1
_ROOT_FINDER = ctypes.CFUNCTYPE(
    ctypes.c_double,
    CALLBACK,
    ctypes.c_double,
    ctypes.c_double,
    ctypes.c_void_p,
    ctypes.c_double,
    ctypes.c_double,
    ctypes.c_int,
    ctypes.POINTER(FullOutput),
)

_get_name = ctypes.pythonapi.PyCapsule_GetName
_get_name.restype = ctypes.c_char_p
_get_name.argtypes = [ctypes.py_object]
_get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_get_pointer.restype = ctypes.c_void_p
_get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]

BRENTQ_CAPSULE = _zeros.__pyx_capi__["brentq"]
brentq = _ROOT_FINDER(_get_pointer(BRENTQ_CAPSULE, _get_name(BRENTQ_CAPSULE)))


def clip(t, lo, hi):
    c = hi if hi < t else t
    return lo if lo > c else c


def residual(row, x, h, lo, hi):
    s = 0.0
    for v in row:
        s += clip(v - x, lo, hi)
    return s - h


def project_row(row, xa, xb, h, lo, hi, xtol=1e-5, rtol=1e-5, mitr=20):
    """Returns the projected copy of ``row`` (a list of floats)."""
    callback = CALLBACK(lambda x, _args: residual(row, x, h, lo, hi))
    status = FullOutput()
    x = brentq(callback, xa, xb, None, xtol, rtol, mitr, ctypes.byref(status))
    n = float(len(row))
    if (
        status.error_num == SIGN_ERROR
        and lo < hi
        and n * lo <= h <= n * hi
        and math.isfinite(xa)
        and math.isfinite(xb)
    ):
        # One sign over a feasible row's bracket is rounding at one end of
        # [n*l, n*u]: the residual at xb says which end.
        at_xb = residual(row, xb, h, lo, hi)
        if at_xb > 0.0:
            x = xb
        elif at_xb <= 0.0:
            x = xa
    return [clip(v - x, lo, hi) for v in row]


def proj_csimplex(rows, h, lo, hi, xtol=1e-5, rtol=1e-5, mitr=20):
    """The whole operation on a list of rows; returns the new rows."""
    out = []
    for row in rows:
        row = [float(v) for v in row]
        xa = min(row) - hi
        xb = max(row) - lo
        out.append(project_row(row, xa, xb, h, lo, hi, xtol, rtol, mitr))
    return out
