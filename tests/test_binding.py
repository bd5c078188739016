"""Argument binding of proj_csimplex and the conversions of its scalars."""

import traceback
import warnings

import numpy as np
import pytest
from callers import IntReturns, call_raw

from tavorin.operators import proj_csimplex

FUNCTION = "tavorin.operators.proj_csimplex"
FILE = "src/tavorin/operators"


def last_entry(exc):
    entry = traceback.extract_tb(exc.__traceback__)[-1]
    return entry.name, entry.filename, entry.lineno


def fails(exc_type, message, line, call):
    with pytest.raises(exc_type) as info:
        call()
    assert str(info.value) == message
    assert last_entry(info.value) == (FUNCTION, FILE, line)
    return info.value


def rows(m=2, n=3):
    return np.linspace(0.1, 0.9, m * n).reshape(m, n)


def fewer(k):
    return f"proj_csimplex() takes at least 4 positional arguments ({k} given)"


def more(k):
    return f"proj_csimplex() takes at most 7 positional arguments ({k} given)"


def multiple(name):
    return f"proj_csimplex() got multiple values for keyword argument '{name}'"


def unexpected(name):
    return f"proj_csimplex() got an unexpected keyword argument '{name}'"


Y = object()  # stands for a fresh valid array


def dynamic(name):
    """An equal string that is not the interned literal."""
    return "".join(list(name))


REFUSALS = [
    # (positional, keywords, message)
    ((), None, fewer(0)),
    ((Y, 1.0, 0.0), None, fewer(3)),
    ((Y,) + (1.0,) * 7, None, more(8)),
    ((Y,) + (1.0,) * 7, {"mitr": 3}, more(8)),
    ((Y,) + (1.0,) * 8, {}, more(9)),
    ((Y, 1.0), {"u": 1.0}, fewer(2)),  # the count names the missing l
    ((Y, 1.0), {"l": 0.0}, fewer(3)),
    ((), {"h": 1.0, "l": 0.0, "u": 1.0}, fewer(0)),
    ((Y,), {"l": 0.0, "u": 1.0}, fewer(1)),
    ((Y, 1.0, 0.0), {}, fewer(3)),
    ((Y, 1.0, 0.0, 1.0), {"h": 1.0}, multiple("h")),
    ((Y, 1.0, 0.0, 1.0, 1e-5, 1e-5, 20), {"mitr": 5}, multiple("mitr")),
    ((Y, 1.0, 0.0, 1.0), {"tol": 1.0}, unexpected("tol")),
    ((None, 1.0, 0.0, 1.0), {"b": 1, "a": 2}, unexpected("b")),
    ((None, 1.0, 0.0, 1.0), {"a": 2, "b": 1}, unexpected("a")),
    ((None, 1.0, 0.0, 1.0), {"xtol": 1.0, "zz": 1, "h": 2}, unexpected("zz")),
    ((None, 1.0, 0.0, 1.0), {"h": 2, "zz": 1}, multiple("h")),
    # Refused before the (invalid) array is examined.
    (("not an array", 1.0, 0.0, 1.0), {"tol": 1.0}, unexpected("tol")),
    (("not an array", 1.0, 0.0, 1.0), {dynamic("h"): 1.0}, multiple("h")),
]


@pytest.mark.parametrize("args, kwargs, message", REFUSALS)
def test_binding_refusals(args, kwargs, message):
    y = rows()
    before = y.copy()
    args = tuple(y if a is Y else a for a in args)
    if kwargs is None:
        fails(TypeError, message, 28, lambda: proj_csimplex(*args))
    else:
        fails(TypeError, message, 28, lambda: proj_csimplex(*args, **kwargs))
    assert np.array_equal(y, before)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({1: 2}, "proj_csimplex() keywords must be strings"),
        ({"xtol": 1.0, 1: 2}, "proj_csimplex() keywords must be strings"),
        ({"h": 1.0, 1: 2}, multiple("h")),
        ({"bogus": 1, 1: 2}, unexpected("bogus")),
        ({1: 2, "bogus": 1}, "proj_csimplex() keywords must be strings"),
    ],
)
def test_non_string_keys(kwargs, message):
    fails(TypeError, message, 28, lambda: call_raw((rows(), 1.0, 0.0, 1.0), kwargs))


def projected(**kwargs):
    y = rows()
    assert proj_csimplex(y, **kwargs) is None
    return y


BASE = {"h": 1.0, "l": 0.0, "u": 1.0}


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((1.0, 0.0, 1.0, 1e-9, 1e-9, 50), {}),
        ((), {"h": 1.0, "l": 0.0, "u": 1.0, "mitr": 50, "rtol": 1e-9, "xtol": 1e-9}),
        ((1.0,), {"u": 1.0, "l": 0.0, "xtol": 1e-9, "rtol": 1e-9, "mitr": 50}),
        ((1.0, 0.0, 1.0), {dynamic("xtol"): 1e-9, dynamic("rtol"): 1e-9, dynamic("mitr"): 50}),
        ((1.0, 0.0, 1.0, 1e-9), {"mitr": 50, "rtol": 1e-9}),
    ],
)
def test_keywords_bind_like_positions(args, kwargs):
    want = rows()
    proj_csimplex(want, 1.0, 0.0, 1.0, 1e-9, 1e-9, 50)
    y = rows()
    proj_csimplex(y, *args, **kwargs)
    assert y.tobytes() == want.tobytes()


def test_all_keywords_and_defaults():
    y = rows()
    proj_csimplex(y_view=y, u=1.0, l=0.0, h=1.0)
    want = rows()
    proj_csimplex(want, 1.0, 0.0, 1.0, 1e-5, 1e-5, 20)
    assert y.tobytes() == want.tobytes()


class Counting:
    """A number that counts its conversions."""

    def __init__(self, value):
        self.value = value
        self.calls = 0

    def __float__(self):
        self.calls += 1
        return self.value

    def __int__(self):
        self.calls += 1
        return int(self.value)


@pytest.mark.parametrize("m", [0, 1, 4])
def test_per_row_conversions_run_once_per_row(m):
    xtol, rtol, mitr = Counting(1e-5), Counting(1e-5), Counting(20)
    h = Counting(1.0)
    proj_csimplex(np.ones((m, 3)), h, 0.0, 1.0, xtol, rtol, mitr)
    assert (h.calls, xtol.calls, rtol.calls, mitr.calls) == (1, m, m, m)


def test_none_array_converts_only_h_l_u():
    xtol = Counting(1e-5)
    assert proj_csimplex(None, 1.0, 0.0, 1.0, xtol, "bad", "bad") is None
    assert xtol.calls == 0
    fails(TypeError, "must be real number, not str", 30, lambda: proj_csimplex(None, 1, "x", 1))


def test_zero_rows_never_convert_per_row_scalars():
    assert proj_csimplex(np.empty((0, 5)), 1.0, 0.0, 1.0, "x", None, "y") is None


def exported_matrix(m=2, n=3):
    data = bytearray(np.linspace(0.1, 0.9, m * n).tobytes())
    return data, memoryview(data).cast("B").cast("d", (m, n))


@pytest.mark.parametrize(
    "args, line",
    [
        (("one", 0.0, 1.0), 29),
        ((1.0, "zero", 1.0), 30),
        ((1.0, 0.0, None), 31),
    ],
)
def test_h_l_u_conversion_failures_release_the_buffer(args, line):
    data, view = exported_matrix()
    before = bytes(data)
    with pytest.raises(TypeError) as info:
        proj_csimplex(view, *args)
    assert last_entry(info.value) == (FUNCTION, FILE, line)
    view.release()  # raises BufferError while any export is alive
    assert bytes(data) == before


INT_MAX = 2**31 - 1


class MyInt(int):
    pass


@pytest.mark.parametrize(
    "mitr, exc_type, message",
    [
        (INT_MAX + 1, OverflowError, "value too large to convert to int"),
        (-INT_MAX - 2, OverflowError, "value too large to convert to int"),
        (2**40, OverflowError, "value too large to convert to int"),
        (2**59 + 3, OverflowError, "value too large to convert to int"),
        (-(2**62), OverflowError, "value too large to convert to int"),
        (2**70, OverflowError, "Python int too large to convert to C long"),
        (-(2**70), OverflowError, "Python int too large to convert to C long"),
        ("20", TypeError, "an integer is required"),
        (None, TypeError, "an integer is required"),
        (IntReturns(2.5), TypeError, "__int__ returned non-int (type float)"),
        (IntReturns(2**31), OverflowError, "value too large to convert to int"),
        (1e300, OverflowError, "Python int too large to convert to C long"),
        (float("inf"), OverflowError, "cannot convert float infinity to integer"),
    ],
)
def test_mitr_refusals(mitr, exc_type, message):
    y = rows()
    before = y.copy()
    with pytest.raises(exc_type) as info:
        proj_csimplex(y, 1.0, 0.0, 1.0, 1e-5, 1e-5, mitr)
    assert str(info.value) == message
    assert last_entry(info.value) == (FUNCTION, FILE, 45)
    assert np.array_equal(y, before)


@pytest.mark.parametrize(
    "mitr, same_as",
    [
        (20.9, 20),
        (True, 1),
        (MyInt(7), 7),
        (IntReturns(7), 7),
        (INT_MAX, INT_MAX),
        (-INT_MAX - 1, -INT_MAX - 1),
        (-1, -1),
        (0, 0),
        (2**30, 2**30),
        (-(2**30) - 5, -(2**30) - 5),
    ],
)
def test_mitr_accepted(mitr, same_as):
    y, want = rows(), rows()
    proj_csimplex(y, 1.0, 0.0, 1.0, 1e-5, 1e-5, mitr)
    proj_csimplex(want, 1.0, 0.0, 1.0, 1e-5, 1e-5, same_as)
    assert y.tobytes() == want.tobytes()


def test_int_subclass_from_int_warns_per_row():
    y = rows(3, 3)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        proj_csimplex(y, 1.0, 0.0, 1.0, 1e-5, 1e-5, IntReturns(True))
    text = (
        "__int__ returned non-int (type bool).  The ability to return an instance of a strict "
        "subclass of int is deprecated, and may be removed in a future version of Python."
    )
    assert [(w.category, str(w.message)) for w in caught] == [(DeprecationWarning, text)] * 3
    want = rows(3, 3)
    proj_csimplex(want, 1.0, 0.0, 1.0, 1e-5, 1e-5, 1)
    assert y.tobytes() == want.tobytes()


def test_int_subclass_warning_as_error_fails_on_first_row():
    y = rows(3, 3)
    before = y.copy()
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning) as info:
            proj_csimplex(y, 1.0, 0.0, 1.0, 1e-5, 1e-5, IntReturns(True))
    assert last_entry(info.value) == (FUNCTION, FILE, 45)
    assert np.array_equal(y, before)


@pytest.mark.parametrize("name, position", [("xtol", 4), ("rtol", 5)])
def test_bad_tolerance_fails_at_line_45(name, position):
    y = rows()
    before = y.copy()
    args = [y, 1.0, 0.0, 1.0, 1e-5, 1e-5, 20]
    args[position] = "tight"
    fails(TypeError, "must be real number, not str", 45, lambda: proj_csimplex(*args))
    assert np.array_equal(y, before)


def test_scalars_are_taken_as_given():
    # -1.0, NaN and infinity are values, not failures.
    y = np.array([[0.5, 0.25]])
    proj_csimplex(y, -1.0, float("nan"), float("inf"))
    y = np.array([[0.5, 0.25]])
    proj_csimplex(y, -1.0, -1.0, -1.0, -1.0, -1.0, -1)
    assert y.tolist() == [[-1.0, -1.0]]
