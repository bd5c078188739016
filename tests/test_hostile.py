"""Hostile exporters and callers: whatever an exporter reports or does while
it is exported, and whatever a caller's conversion methods do mid-call, the
call ends with a clear exception or a correct result, and the buffer is
released."""

import weakref

import numpy as np
import pytest
import reference
from support import (
    DEEP,
    DIMENSIONS,
    INDIRECT,
    ITEM_SIZE,
    MISMATCH,
    NEGATIVE,
    NO_END,
    NOT_C,
    NOT_SAME_DIM,
    NUMBER,
    OFFSET,
    SHORT,
    TOO_LARGE,
    UNKNOWN,
    UNMATCHED,
    WRONG_DIMS,
    call_raw,
    named_cases,
    projected,
    rows,
)

from tavorin.operators import proj_csimplex

M = 2**63


def as_rows(exporter, m=3, n=4):
    return np.frombuffer(exporter.raw(), count=m * n).reshape(m, n)


REFUSED = [
    ("most negative len", dict(len=-M), SHORT.format(-M, 96)),
    ("rows beyond any address", dict(shape=(M - 1, 4)), TOO_LARGE.format(M - 1, 4)),
    ("extents whose product wraps", dict(shape=(2**32, 2**32)), TOO_LARGE.format(2**32, 2**32)),
    ("a row beyond any address", dict(shape=(1, 2**61)), TOO_LARGE.format(1, 2**61)),
    ("most negative extents", dict(shape=(-M, -M)), NEGATIVE.format(-M, 0)),
    ("shape shorter than ndim", dict(shape=(3,)), NOT_C),
    ("huge row stride", dict(strides=(2**62, 8)), NOT_C),
    ("most negative row stride", dict(strides=(-M, 8)), NOT_C),
    ("huge element stride", dict(strides=(32, M - 1)), NOT_SAME_DIM),
    ("most negative strides", dict(strides=(-M, -M)), NOT_SAME_DIM),
    ("largest suboffsets", dict(suboffsets=(M - 1, M - 1)), INDIRECT.format(0)),
    ("ndim 0", dict(ndim=0), WRONG_DIMS.format(0)),
    ("ndim -1", dict(ndim=-1), WRONG_DIMS.format(-1)),
    ("ndim 64", dict(ndim=64), WRONG_DIMS.format(64)),
    ("largest item size", dict(itemsize=M - 1), ITEM_SIZE.format(f"{M - 1} bytes")),
    ("most negative item size", dict(itemsize=-M), ITEM_SIZE.format(f"{-M} byte")),
    # format strings thousands of characters long or deeply nested
    ("100000 pad bytes", dict(format="x" * 100000 + "d"), OFFSET.format(100000)),
    ("10000 open structures", dict(format="T{" * 10000), DEEP),
    ("10000 nested structures", dict(format="T{" * 10000 + "d" + "}" * 10000), DEEP),
    ("65 nested structures", dict(format="T{" * 65 + "d" + "}" * 65), DEEP),
    ("5000-digit count", dict(format="1" * 5000 + "d"), NUMBER),
    ("5000 dimensions", dict(format="(" + "1," * 5000 + ")d"), DIMENSIONS.format(5000)),
    ("5000 complex items", dict(format="Zd" * 5000), MISMATCH.format("'complex double'")),
    ("10000 closing braces", dict(format="d" + "}" * 10000), UNMATCHED),
    ("unclosed 10000-character name", dict(format="d:" + "n" * 10000), NO_END.format(":")),
    ("1000 bytes above 127", dict(format=b"\xff" * 1000), UNKNOWN.format("\\xff")),
]  # fmt: skip

ACCEPTED = [
    ("one row, most negative row stride", dict(shape=(1, 4), strides=(-M, 8)), (1, 4)),
    ("one column, most negative element stride", dict(shape=(4, 1), strides=(8, -M)), (4, 1)),
    ("most negative suboffsets", dict(suboffsets=(-M, -M)), (3, 4)),
    ("null address, no rows", dict(null_buf=True, shape=(0, 4), len=0), (0, 4)),
    ("100000 blanks", dict(format="d" + " " * 100000), (3, 4)),
    ("100000-character field name", dict(format=":" + "n" * 100000 + ":d"), (3, 4)),
    ("100000 packings", dict(format="=" * 100000 + "d"), (3, 4)),
    ("64 nested structures", dict(format="T{" * 64 + "d" + "}" * 64), (3, 4)),
]  # fmt: skip


@named_cases("changes, message", REFUSED)
def test_lying_exporters_are_refused(double_exporter, changes, message):
    exporter = double_exporter(rows(), **changes)
    before = exporter.raw()
    with pytest.raises(ValueError) as info:
        proj_csimplex(exporter, 1.0, 0.0, 1.0)
    assert str(info.value) == message
    assert exporter.raw() == before
    assert exporter.live_exports == 0


@named_cases("changes, shape", ACCEPTED)
def test_odd_but_honest_exporters_give_the_right_rows(double_exporter, changes, shape):
    y = rows()
    exporter = double_exporter(y, **changes)
    assert proj_csimplex(exporter, 1.0, 0.0, 1.0) is None
    count = shape[0] * shape[1]
    want = projected(y.reshape(-1)[:count].reshape(shape), 1.0, 0.0, 1.0)
    assert as_rows(exporter, *shape).tobytes() == want.tobytes()
    assert exporter.live_exports == 0


@pytest.mark.unsanitized  # the sanitizer aborts on a request this large instead of failing it
def test_too_many_dimensions_to_describe(double_exporter):
    # The exporter itself cannot allocate the arrays it would report.
    exporter = double_exporter(rows(), ndim=2**31 - 1)
    with pytest.raises(MemoryError):
        proj_csimplex(exporter, 1.0, 0.0, 1.0)
    assert exporter.live_exports == 0


@pytest.mark.parametrize("error", [BufferError, KeyboardInterrupt, MemoryError,
                                   RecursionError("deep"), OSError(5, "io")])  # fmt: skip
def test_getbuffer_errors_pass_through(double_exporter, error):
    exporter = double_exporter(rows(), error=error)
    with pytest.raises(BaseException) as info:
        proj_csimplex(exporter, 1.0, 0.0, 1.0)
    assert info.type is (error if isinstance(error, type) else type(error))
    assert exporter.live_exports == 0


# ---------------------------------------------------------------------------
# Exporters that run code while they export or release
# ---------------------------------------------------------------------------


def once(action):
    """A hook that runs `action(exporter)` the first time only."""
    done = []

    def hook(exporter):
        if not done:
            done.append(True)
            action(exporter)

    return hook


def refuse_doubles(exporter):
    exporter.format = "f"


def shrink(exporter):
    exporter.resize(8)


def project_again(exporter):
    proj_csimplex(exporter, 1.0, 0.0, 1.0)


def fail(exporter):
    raise LookupError("hook failed")


EXPORT_HOOKS = [
    # (hook, what the call raises or None, the rows afterwards as a function of y)
    ("hook changes the format", refuse_doubles, ValueError, lambda y: y),
    ("hook shrinks the block", shrink, ValueError, lambda y: np.zeros((3, 4))),
    ("hook raises", fail, LookupError, lambda y: y),
    ("hook projects the same exporter first", project_again, None,
     lambda y: projected(projected(y, 1.0, 0.0, 1.0), 1.0, 0.0, 1.0)),
]  # fmt: skip


@named_cases("action, error, after", EXPORT_HOOKS)
def test_code_run_by_the_export(double_exporter, action, error, after):
    y = rows()
    exporter = double_exporter(y, on_export=once(action))
    if error is None:
        assert proj_csimplex(exporter, 1.0, 0.0, 1.0) is None
    else:
        with pytest.raises(error):
            proj_csimplex(exporter, 1.0, 0.0, 1.0)
    assert exporter.live_exports == 0
    if len(exporter.raw()) == 96:
        assert as_rows(exporter).tobytes() == after(y).tobytes()


RELEASE_HOOKS = [
    ("hook changes the format", refuse_doubles),
    ("hook shrinks the block", shrink),
    ("hook raises", fail),
    ("hook projects the same exporter again", project_again),
]


@named_cases("action", RELEASE_HOOKS)
@pytest.mark.parametrize("h", [1.0, "bad"])
def test_code_run_by_the_release(double_exporter, action, h):
    y = rows()
    seen = []

    def hook(exporter):
        seen.append(exporter.raw())
        action(exporter)

    exporter = double_exporter(y, on_release=once(hook))
    if h == "bad":
        # The call's own error is the one that reaches the caller.
        with pytest.raises(TypeError, match="must be real number, not str"):
            proj_csimplex(exporter, h, 0.0, 1.0)
        want = y
    else:
        assert proj_csimplex(exporter, h, 0.0, 1.0) is None
        want = projected(y, h, 0.0, 1.0)
    assert seen == [want.tobytes()]
    assert exporter.live_exports == 0


# ---------------------------------------------------------------------------
# A tolerance whose conversion acts on the caller's buffer mid-call
# ---------------------------------------------------------------------------


class Tolerance:
    """1e-05 as a float conversion that first runs `action` once per call."""

    def __init__(self, action):
        self.action = action
        self.outcomes = []

    def __float__(self):
        try:
            self.action()
            self.outcomes.append("done")
        except BufferError as error:
            self.outcomes.append(str(error))
        return 1e-05


def test_exporter_cannot_be_resized_or_reset_while_exported(double_exporter):
    y = rows()
    exporter = double_exporter(y)
    tolerances = [
        Tolerance(lambda: exporter.resize(8)),
        Tolerance(lambda: exporter.__init__(b"\0" * 8)),
    ]
    proj_csimplex(exporter, 1.0, 0.0, 1.0, *tolerances)
    assert tolerances[0].outcomes == ["Exporter has live exports and cannot be resized"] * 3
    assert tolerances[1].outcomes == ["Exporter has live exports"] * 3
    assert as_rows(exporter).tobytes() == projected(y, 1.0, 0.0, 1.0).tobytes()
    exporter.resize(8)


def test_array_dropped_by_the_caller_mid_call_stays_alive(double_exporter):
    y = rows()
    kwargs = {"y_view": double_exporter(y), "h": 1.0, "l": 0.0, "u": 1.0}
    kept = kwargs["y_view"]
    drop = Tolerance(lambda: kwargs.clear())
    kwargs["xtol"] = drop
    call_raw((), kwargs)
    assert drop.outcomes == ["done"] * 3
    assert as_rows(kept).tobytes() == projected(y, 1.0, 0.0, 1.0).tobytes()
    assert kept.live_exports == 0


class CollidesWithL(str):
    def __hash__(self):
        return hash("l")

    def __eq__(self, other):
        return self.action()


@pytest.mark.parametrize("when", ["h's conversion", "a key's comparison"])
def test_arguments_outlive_a_caller_that_empties_its_keyword_dict(when):
    kwargs = {}
    alive = []

    class Stop(Exception):
        pass

    def empty_and_stop(ref):
        kwargs.clear()
        alive.append(ref() is not None)
        raise Stop  # before the module can touch what it may have lost

    if when == "h's conversion":
        # xtol is only read once a row is reached, after h is converted.
        class H:
            def __float__(self):
                empty_and_stop(ref)

        args, lost = (np.zeros((2, 2)),), Tolerance(lambda: None)
        kwargs.update(h=H(), l=0.0, u=1.0, xtol=lost)
    else:
        # y_view and h are bound before the lookup of l compares this key.
        key = CollidesWithL("k")
        key.action = lambda: empty_and_stop(ref)
        args, lost = (), np.zeros((2, 2))
        kwargs.update(y_view=lost, h=1.0, u=1.0)
        kwargs[key] = 0.0
    ref = weakref.ref(lost)
    del lost
    with pytest.raises(Stop):
        call_raw(args, kwargs)
    assert alive == [True]


# ---------------------------------------------------------------------------
# Re-entry on the same array
# ---------------------------------------------------------------------------


def test_tolerance_that_projects_the_same_array_mid_call():
    y = rows(4, 5)
    a = y.copy()
    reentered = []

    class Reentrant:
        def __float__(self):
            if not reentered:
                reentered.append(True)
                proj_csimplex(a, 1.0, 0.0, 1.0)
            return 1e-05

    proj_csimplex(a, 1.0, 0.0, 1.0, Reentrant())
    # Row 0's bracket was taken before the inner call projected every row;
    # the outer call then projects the projected rows again.
    once_ = projected(y, 1.0, 0.0, 1.0).tolist()
    row0 = reference.project_row(once_[0], min(y[0]) - 1.0, max(y[0]) - 0.0, 1.0, 0.0, 1.0)
    want = [row0] + reference.proj_csimplex(once_[1:], 1.0, 0.0, 1.0)
    assert a.tobytes() == np.array(want).tobytes()
