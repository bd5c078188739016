"""Fuzzing: argument binding driven with random calls, and random format
bytes through the real acquisition path.  Nothing may crash; every call
either binds and then behaves exactly like the positional call with the same
values, or is refused with the documented message."""

import os
import re
import warnings
from decimal import Decimal
from fractions import Fraction

import numpy as np
from format_model import formats, one_double_at_zero
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from support import (
    KEYS_NOT_STRINGS,
    Raises,
    Returns,
    TraceLine,
    call_raw,
    fewer,
    more,
    multiple,
    outcome,
    projected,
    rows,
    unexpected,
)

from tavorin.operators import proj_csimplex

NAMES = ("y_view", "h", "l", "u", "xtol", "rtol", "mitr")
DEFAULTS = (None, None, None, None, 1e-05, 1e-05, 20)


# ---------------------------------------------------------------------------
# What binding must do, written from the rules rather than from the code
# ---------------------------------------------------------------------------


def count_message(given):
    return fewer(given) if given < 4 else more(given)


def expected_binding(args, kwargs):
    """The seven bound values, or the message binding refuses the call with.
    Exceptions of the keys' own comparisons propagate, as they must from the
    call."""
    k = len(args)
    if kwargs is None or (not kwargs and 4 <= k <= 7):
        return list(args) + list(DEFAULTS[k:]) if 4 <= k <= 7 else count_message(k)
    if k > 7:
        return count_message(k)
    bound = list(args) + list(DEFAULTS[k:])
    left = len(kwargs)
    for i in range(k, 4):
        if NAMES[i] not in kwargs:
            return count_message(i)
        bound[i] = kwargs[NAMES[i]]
        left -= 1
    for i in range(max(k, 4), 7):
        if left and NAMES[i] in kwargs:
            bound[i] = kwargs[NAMES[i]]
            left -= 1
    if not left:
        return bound
    for key, value in kwargs.items():
        if not isinstance(key, str):
            return KEYS_NOT_STRINGS
        name = str.__str__(key)
        if name in NAMES[k:]:
            bound[NAMES.index(name)] = value
        elif name in NAMES[:k]:
            return multiple(name)
        else:
            return unexpected(name)
    return bound


# ---------------------------------------------------------------------------
# Values and keys
# ---------------------------------------------------------------------------


class Array:
    """A placeholder for a fresh array, made anew for every call."""

    def __init__(self, make):
        self.make = make


ARRAYS = [Array(rows), Array(lambda: np.empty((0, 3))), Array(lambda: np.empty((2, 0))),
          Array(lambda: np.zeros(4)), Array(lambda: np.zeros((2, 2), np.float32)),
          Array(lambda: np.ones((1, 1)))]  # fmt: skip


class IndexOnly:
    def __index__(self):
        return 3


VALUES = [
    1.0, 0.0, -1.0, 0.5, 1e-9, 1e-3, float("nan"), float("inf"), -0.0, 1e308, 5e-324,
    0, 1, 3, 20, -1, 2**31 - 1, 2**31, -(2**31) - 1, 2**63, 2**1100, True, False,
    None, "1.0", b"1", 1j, [1.0], (), {}, np.float64(0.25), np.int64(3), np.float32(0.5),
    np.array(2.0), np.array([1.0]), Fraction(1, 3), Decimal("0.1"), IndexOnly(),
    Returns(0.5), Returns(7), Returns(True), Returns(2.5), Raises(),
    *ARRAYS,
]  # fmt: skip


class Collides:
    """A non-string key that the lookup of `name` must compare with it."""

    def __init__(self, name, equal):
        self.name = name
        self.equal = equal

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        if self.equal is None:
            raise LookupError("no comparing")
        return self.equal

    def __repr__(self):
        return f"Collides({self.name!r}, {self.equal})"


class Name(str):
    pass


KEYS = [
    *NAMES, *NAMES,
    *["".join(list(n)) for n in NAMES],  # equal but not the interned objects
    *[Name(n) for n in ("h", "xtol", "mitr")],
    "tol", "H", "", "xtol ", "y_vieW", "\u00e9", Name("nope"),
    1, b"h", None, (1,), 1.5,
    Collides("l", False), Collides("xtol", True), Collides("u", None),
]  # fmt: skip

GOOD = (Array(rows), 1.0, 0.0, 1.0, 1e-9, 1e-9, 50)


@st.composite
def near_proper_calls(draw):
    """A call that binds, with a few things changed: keywords spelt other
    ways, odd values, extra keys and positional arguments."""
    value = st.sampled_from(VALUES)
    k = draw(st.integers(0, 7))
    args = [GOOD[i] if draw(st.integers(0, 4)) else draw(value) for i in range(k)]
    pairs = []
    for i in range(k, 7):
        if draw(st.integers(0, 6 if i < 4 else 1)):
            key = draw(st.sampled_from([NAMES[i], "".join(NAMES[i]), Name(NAMES[i])]))
            pairs.append((key, GOOD[i] if draw(st.integers(0, 4)) else draw(value)))
    pairs = draw(st.permutations(pairs))
    for _ in range(draw(st.integers(0, 2))):
        at = draw(st.integers(0, len(pairs)))
        pairs.insert(at, (draw(st.sampled_from(KEYS)), draw(value)))
    if draw(st.integers(0, 5)) == 0:
        args.append(draw(value))
    return args, (pairs if pairs or draw(st.booleans()) else None)


calls = st.one_of(
    near_proper_calls(),
    st.tuples(
        st.lists(st.sampled_from(VALUES), max_size=9),
        st.one_of(st.none(), st.lists(st.tuples(st.sampled_from(KEYS), st.sampled_from(VALUES)),
                                      max_size=8)),
    ),
)  # fmt: skip


def instantiate(value, made):
    if isinstance(value, Array):
        made.append(value.make())
        return made[-1]
    return value


# The sanitized build runs about three times slower; it gets a third of the
# examples so that both runs take about as long.
BUDGET = 2000 if os.environ.get("TAVORIN_SANITIZED") else 6000

FUZZ = settings(
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much],
)


@settings(FUZZ, max_examples=BUDGET)
@given(calls)
def test_binding_matches_the_positional_call(call):
    args, pairs = call
    made = []
    real_args = tuple(instantiate(v, made) for v in args)
    kwargs = None
    if pairs is not None:
        try:
            kwargs = {key: instantiate(v, made) for key, v in pairs}
        except LookupError:
            return  # a key refused to be compared while the dict was built
    pristine = [a.copy() for a in made]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        try:
            bound = expected_binding(real_args, kwargs)
        except LookupError as error:
            bound = (LookupError, str(error), TraceLine.CALL)
        if kwargs is None:
            got = outcome(lambda: proj_csimplex(*real_args))
        else:
            got = outcome(lambda: call_raw(real_args, dict(kwargs)))
        if not isinstance(bound, list):
            refused = (TypeError, bound, TraceLine.CALL) if isinstance(bound, str) else bound
            assert got is not None and got[:3] == refused
            assert all(a.tobytes() == b.tobytes() for a, b in zip(made, pristine))
            return
        # The same values positionally, with fresh copies of the arrays.
        index = {id(a): i for i, a in enumerate(made)}
        twins = {}
        for i in (index.get(id(v)) for v in bound):
            if i is not None:
                twins[i] = pristine[i].copy()
        fresh = [twins[index[id(v)]] if id(v) in index else v for v in bound]
        want = outcome(lambda: proj_csimplex(*fresh))
    assert got == want
    assert all(made[i].tobytes() == twin.tobytes() for i, twin in twins.items())


# ---------------------------------------------------------------------------
# Random format bytes through the acquisition of a real call
# ---------------------------------------------------------------------------

FORMAT_MESSAGES = re.compile(
    "|".join(
        [
            r"Buffer dtype mismatch, expected (end|'double') but got .+",
            r"Buffer dtype mismatch; next field is at offset \d+ but 0 expected",
            r"Does not understand character buffer dtype format string \('(.|\\x[0-9a-f]{2})'\)",
            r"Big-endian buffer not supported on little-endian compiler",
            r"Unexpected format string character: 'Z'",
            r"Buffer acquisition: Expected '\{' after 'T'",
            r"Expected a comma in format string, got '(.|\\x[0-9a-f]{2})'",
            r"Expected 0 dimension\(s\), got \d+",
            r"Unexpected end of format string, expected '[):]'",
            r"Cannot handle repeated arrays in format string",
            r"Cannot handle structures repeated 0 times in format string",
            r"Unmatched '\}' in format string",
            r"Number in format string exceeds 2147483647",
            r"Buffer format string nests structures deeper than 64 levels",
            r"Buffer format string repeats structures too often to be checked",
        ]
    ),
    re.S,
)


@settings(FUZZ, max_examples=BUDGET)
@given(st.one_of(st.binary(max_size=60), formats))
def test_random_format_bytes_through_a_call(double_exporter, fmt):
    y = rows()
    exporter = double_exporter(y, format=fmt)
    try:
        proj_csimplex(exporter, 1.0, 0.0, 1.0)
    except ValueError as error:
        assert FORMAT_MESSAGES.fullmatch(str(error)), (fmt, str(error))
        assert exporter.raw() == y.tobytes()
    else:
        # The exporter's format ends at its first zero byte, like any C string.
        assert one_double_at_zero(fmt.split(b"\0")[0]), fmt
        assert exporter.raw() == projected(y, 1.0, 0.0, 1.0).tobytes()
    assert exporter.live_exports == 0
