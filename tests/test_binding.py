"""Argument binding of proj_csimplex and the conversions of its scalars."""

import traceback
import warnings

import numpy as np
import pytest
import reference
from support import (
    FUNCTION_NAME,
    INT_REQUIRED,
    INT_SUBCLASS_DEPRECATED,
    INT_TOO_LARGE,
    KEYS_NOT_STRINGS,
    LONG_TOO_LARGE,
    NOT_REAL,
    SOURCE_FILE,
    Returns,
    TraceLine,
    call_raw,
    exported,
    fails,
    fewer,
    more,
    multiple,
    projected,
    rows,
    unexpected,
)

from tavorin.operators import proj_csimplex

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
        fails(TypeError, message, TraceLine.CALL, lambda: proj_csimplex(*args))
    else:
        fails(TypeError, message, TraceLine.CALL, lambda: proj_csimplex(*args, **kwargs))
    assert np.array_equal(y, before)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({1: 2}, KEYS_NOT_STRINGS),
        ({"xtol": 1.0, 1: 2}, KEYS_NOT_STRINGS),
        ({"h": 1.0, 1: 2}, multiple("h")),
        ({"bogus": 1, 1: 2}, unexpected("bogus")),
        ({1: 2, "bogus": 1}, KEYS_NOT_STRINGS),
    ],
)
def test_non_string_keys(kwargs, message):
    fails(TypeError, message, TraceLine.CALL, lambda: call_raw((rows(), 1.0, 0.0, 1.0), kwargs))


@pytest.mark.parametrize(
    "args, line",
    [
        ((), TraceLine.CALL),
        ((Y, 1.0, "zero", 1.0), TraceLine.L),
        ((Y, 1.0, 0.0, 1.0, 1e-5, 1e-5, "20"), TraceLine.ROW_SCALARS),
    ],
)
def test_printed_traceback_shows_the_entry(args, line):
    # The host prints the entry from the code object's line table, which is
    # what carries the line from 3.11 on.
    args = tuple(rows() if a is Y else a for a in args)
    with pytest.raises(TypeError) as info:
        proj_csimplex(*args)
    printed = traceback.format_exception(info.type, info.value, info.value.__traceback__)
    assert printed[-2] == f'  File "{SOURCE_FILE}", line {line}, in {FUNCTION_NAME}\n'


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
    y = rows()
    proj_csimplex(y, *args, **kwargs)
    assert y.tobytes() == projected(rows(), 1.0, 0.0, 1.0, 1e-9, 1e-9, 50).tobytes()


def test_all_keywords_and_defaults():
    y = rows()
    proj_csimplex(y_view=y, u=1.0, l=0.0, h=1.0)
    assert y.tobytes() == projected(rows(), 1.0, 0.0, 1.0, 1e-5, 1e-5, 20).tobytes()


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
    fails(TypeError, NOT_REAL.format("str"), TraceLine.L, lambda: proj_csimplex(None, 1, "x", 1))


def test_zero_rows_never_convert_per_row_scalars():
    assert proj_csimplex(np.empty((0, 5)), 1.0, 0.0, 1.0, "x", None, "y") is None


@pytest.mark.parametrize(
    "args, message, line",
    [
        (("one", 0.0, 1.0), NOT_REAL.format("str"), TraceLine.H),
        ((1.0, "zero", 1.0), NOT_REAL.format("str"), TraceLine.L),
        ((1.0, 0.0, None), NOT_REAL.format("NoneType"), TraceLine.U),
    ],
)
def test_h_l_u_conversion_failures_release_the_buffer(args, message, line):
    data, view = exported(rows())
    before = bytes(data)
    fails(TypeError, message, line, lambda: proj_csimplex(view, *args))
    view.release()  # raises BufferError while any export is alive
    assert bytes(data) == before


INT_MAX = 2**31 - 1


class MyInt(int):
    pass


@pytest.mark.parametrize(
    "mitr, exc_type, message",
    [
        (INT_MAX + 1, OverflowError, INT_TOO_LARGE),
        (-INT_MAX - 2, OverflowError, INT_TOO_LARGE),
        (2**40, OverflowError, INT_TOO_LARGE),
        (2**59 + 3, OverflowError, INT_TOO_LARGE),
        (-(2**62), OverflowError, INT_TOO_LARGE),
        (2**70, OverflowError, LONG_TOO_LARGE),
        (-(2**70), OverflowError, LONG_TOO_LARGE),
        ("20", TypeError, INT_REQUIRED),
        (None, TypeError, INT_REQUIRED),
        (Returns(2.5), TypeError, "__int__ returned non-int (type float)"),
        (Returns(2**31), OverflowError, INT_TOO_LARGE),
        (1e300, OverflowError, LONG_TOO_LARGE),
        (float("inf"), OverflowError, "cannot convert float infinity to integer"),
    ],
)
def test_mitr_refusals(mitr, exc_type, message):
    y = rows()
    before = y.copy()
    call = lambda: proj_csimplex(y, 1.0, 0.0, 1.0, 1e-5, 1e-5, mitr)  # noqa: E731
    fails(exc_type, message, TraceLine.ROW_SCALARS, call)
    assert np.array_equal(y, before)


@pytest.mark.parametrize(
    "mitr, same_as",
    [
        (20.9, 20),
        (True, 1),
        (MyInt(7), 7),
        (Returns(7), 7),
        (INT_MAX, INT_MAX),
        (-INT_MAX - 1, -INT_MAX - 1),
        (-1, -1),
        (0, 0),
        (2**30, 2**30),
        (-(2**30) - 5, -(2**30) - 5),
    ],
)
def test_mitr_accepted(mitr, same_as):
    y = rows()
    proj_csimplex(y, 1.0, 0.0, 1.0, 1e-5, 1e-5, mitr)
    assert y.tobytes() == projected(rows(), 1.0, 0.0, 1.0, 1e-5, 1e-5, same_as).tobytes()


# Around each width the host may read in place: one 30-bit digit (and, from
# 3.12, a "compact" int), two digits, and the 32 bits of the result.
@pytest.mark.parametrize(
    "mitr",
    [0, 1, 2, 3, -1, -3, True, False, MyInt(3), MyInt(2**30 + 3), 2**30 - 1, 2**30, 2**30 + 3,
     -(2**30) + 1, -(2**30), -(2**30) - 3, INT_MAX, -INT_MAX - 1],
)  # fmt: skip
def test_mitr_reaches_the_root_finder_unchanged(mitr):
    # Rows and tolerances that take brentq eleven iterations, so each limit up
    # to ten gives other bytes; the twin passes the limit on through ctypes.
    y = rows(2, 20, seed=1)
    want = reference.proj_csimplex(y.tolist(), 1.0, 0.0, 1.0, 1e-12, 1e-12, int(mitr))
    proj_csimplex(y, 1.0, 0.0, 1.0, 1e-12, 1e-12, mitr)
    assert y.tolist() == want


def test_int_subclass_from_int_warns_per_row():
    y = rows(3, 3)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        proj_csimplex(y, 1.0, 0.0, 1.0, 1e-5, 1e-5, Returns(True))
    warned = [(w.category, str(w.message)) for w in caught]
    assert warned == [(DeprecationWarning, INT_SUBCLASS_DEPRECATED)] * 3
    assert y.tobytes() == projected(rows(3, 3), 1.0, 0.0, 1.0, 1e-5, 1e-5, 1).tobytes()


def test_int_subclass_warning_as_error_fails_on_first_row():
    y = rows(3, 3)
    before = y.copy()
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        call = lambda: proj_csimplex(y, 1.0, 0.0, 1.0, 1e-5, 1e-5, Returns(True))  # noqa: E731
        fails(DeprecationWarning, INT_SUBCLASS_DEPRECATED, TraceLine.ROW_SCALARS, call)
    assert np.array_equal(y, before)


@pytest.mark.parametrize("name, position", [("xtol", 4), ("rtol", 5)])
def test_bad_tolerance_fails_at_line_45(name, position):
    y = rows()
    before = y.copy()
    args = [y, 1.0, 0.0, 1.0, 1e-5, 1e-5, 20]
    args[position] = "tight"
    fails(TypeError, NOT_REAL.format("str"), TraceLine.ROW_SCALARS, lambda: proj_csimplex(*args))
    assert np.array_equal(y, before)


def test_scalars_are_taken_as_given():
    # -1.0, NaN and infinity are values, not failures.
    y = np.array([[0.5, 0.25]])
    proj_csimplex(y, -1.0, float("nan"), float("inf"))
    y = np.array([[0.5, 0.25]])
    proj_csimplex(y, -1.0, -1.0, -1.0, -1.0, -1.0, -1)
    assert y.tolist() == [[-1.0, -1.0]]
