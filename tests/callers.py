"""Ways of calling proj_csimplex and arguments that the tests share."""

import ctypes

from tavorin.operators import proj_csimplex

_call = ctypes.pythonapi.PyObject_Call
_call.restype = ctypes.py_object
_call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]


def call_raw(args, kwargs):
    """Calls through the C API with the caller's own keyword dict: no copy is
    made, so it can hold any key and can be changed while the call runs."""
    return _call(proj_csimplex, args, kwargs)


class IntReturns:
    """An object whose integer conversion returns ``result``."""

    def __init__(self, result):
        self.result = result

    def __int__(self):
        return self.result
