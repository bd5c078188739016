"""The C reference kernels (kernels.c), compiled at run time and called through ctypes.

The kernels call SciPy's compiled ``brentq`` through the very function pointer that
its capsule exports, so the only difference from the module is everything around
the root finder.
"""

import ctypes
import os
import subprocess
import tempfile

import numpy as np
import scipy.optimize.cython_optimize._zeros as _zeros

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.join(HERE, "kernels.c")

_capsule_name = ctypes.pythonapi.PyCapsule_GetName
_capsule_name.restype = ctypes.c_char_p
_capsule_name.argtypes = [ctypes.py_object]
_capsule_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_capsule_pointer.restype = ctypes.c_void_p
_capsule_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]


def brentq_pointer():
    capsule = _zeros.__pyx_capi__["brentq"]
    return _capsule_pointer(capsule, _capsule_name(capsule))


def compile_kernels(build_dir=None):
    """Compiles kernels.c into a shared library in ``build_dir`` (a fresh temporary
    directory by default) and returns (library, compiler command line)."""
    if build_dir is None:
        build_dir = tempfile.mkdtemp(prefix="tavorin-bench-")
    os.makedirs(build_dir, exist_ok=True)
    target = os.path.join(build_dir, "kernels.so")
    command = ["gcc", "-O2", "-shared", "-fPIC", "-o", target, SOURCE]
    subprocess.run(command, check=True)
    return ctypes.CDLL(target), " ".join(command[:4])


_P = ctypes.c_void_p
_N = ctypes.c_ssize_t
_D = ctypes.c_double


def _ptr(a):
    return a.ctypes.data_as(ctypes.c_void_p)


class Kernels:
    def __init__(self, build_dir=None):
        self.lib, self.compiler = compile_kernels(build_dir)
        self.brentq = brentq_pointer()

        self._bare = self.lib.bare_project
        self._bare.restype = ctypes.c_int
        self._bare.argtypes = [_P, _N, _N, _N, _D, _D, _D, _D, _D, ctypes.c_int, _P]

        self._record = self.lib.recording_project
        self._record.restype = _N
        self._record.argtypes = [
            _P,
            _N,
            _N,
            _N,
            _D,
            _D,
            _D,
            _D,
            _D,
            ctypes.c_int,
            _P,
            _P,
            _N,
            _P,
            _P,
            _P,
            _P,
        ]

        self._floor = self.lib.floor_replay
        self._floor.restype = None
        self._floor.argtypes = [_P, _N, _N, _N, _D, _D, _D, _P, _N, _P, _P, _P]

    @staticmethod
    def _shape(y):
        if y.dtype != np.float64 or y.ndim != 2 or y.strides[1] != 8:
            raise ValueError("need a 2-D float64 array with contiguous rows")
        return y.shape[0], y.shape[1], y.strides[0] // 8

    # The *_call methods return (function, arguments) so that a timing loop can make
    # the foreign call with everything converted beforehand.

    def bare_call(self, y, h, lo, hi, xtol=1e-5, rtol=1e-5, mitr=20):
        m, n, stride = self._shape(y)
        if n == 0:
            raise ValueError("empty rows")
        return self._bare, (y.ctypes.data, m, n, stride, h, lo, hi, xtol, rtol, mitr, self.brentq)

    def bare(self, y, h, lo, hi, xtol=1e-5, rtol=1e-5, mitr=20):
        fn, args = self.bare_call(y, h, lo, hi, xtol, rtol, mitr)
        fn(*args)

    def record(self, y, h, lo, hi, xtol=1e-5, rtol=1e-5, mitr=20):
        """Projects ``y`` in place like ``bare`` and returns what brentq did per row."""
        m, n, stride = self._shape(y)
        # Two evaluations at the bracket ends, then at most one per iteration.
        capacity = max(mitr, 0) + 3
        rec = {
            "capacity": capacity,
            "trial_x": np.zeros((m, capacity)),
            "evaluations": np.zeros(m, np.int64),
            "iterations": np.zeros(m, np.int32),
            "error_num": np.zeros(m, np.int32),
            "shift": np.zeros(m),
        }
        overflow = self._record(
            _ptr(y),
            m,
            n,
            stride,
            h,
            lo,
            hi,
            xtol,
            rtol,
            mitr,
            self.brentq,
            _ptr(rec["trial_x"]),
            capacity,
            _ptr(rec["evaluations"]),
            _ptr(rec["iterations"]),
            _ptr(rec["error_num"]),
            _ptr(rec["shift"]),
        )
        if overflow != 0:
            raise RuntimeError(f"brentq made more evaluations than expected on {overflow} rows")
        rec["sink"] = np.zeros((m, capacity))
        return rec

    def floor_call(self, y, h, lo, hi, rec):
        m, n, stride = self._shape(y)
        return self._floor, (
            y.ctypes.data,
            m,
            n,
            stride,
            h,
            lo,
            hi,
            rec["trial_x"].ctypes.data,
            rec["capacity"],
            rec["evaluations"].ctypes.data,
            rec["shift"].ctypes.data,
            rec["sink"].ctypes.data,
        )

    def floor(self, y, h, lo, hi, rec):
        fn, args = self.floor_call(y, h, lo, hi, rec)
        fn(*args)
