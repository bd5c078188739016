"""Acquisition of a caller's object as a writable 2-D view of doubles, the
hold counts of the view object, and the row sequences handed to min/max."""

import math
import struct
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from support import (
    BIG_ENDIAN,
    EMPTY_ROW,
    INDIRECT,
    ITEM_SIZE,
    MISMATCH,
    NEGATIVE,
    NO_STRIDES,
    NOT_C,
    NOT_SAME_DIM,
    OUT_OF_BOUNDS,
    READ_ONLY,
    SHORT,
    TOO_LARGE,
    WRONG_DIMS,
    bits,
    fields,
    named_cases,
)


def readonly(a):
    a.flags.writeable = False
    return a


NUMPY_ACCEPTED = [
    ("3x4", lambda: np.zeros((3, 4)), (3, 4), (32, 8)),
    ("0x5", lambda: np.zeros((0, 5)), (0, 5), (40, 8)),
    ("3x0", lambda: np.zeros((3, 0)), (3, 0), (0, 8)),
    ("1 row of a stepped slice", lambda: np.zeros((7, 4))[::3][:1], (1, 4), (32, 8)),
    ("1 row, negative step", lambda: np.zeros((7, 4))[::-1][:1], (1, 4), (32, 8)),
    ("native byte order spelt out", lambda: np.zeros((2, 3), "<f8"), (2, 3), (24, 8)),
]

NUMPY_REFUSED = [
    ("1-D", lambda: np.zeros(4), WRONG_DIMS.format(1)),
    ("3-D", lambda: np.zeros((2, 3, 4)), WRONG_DIMS.format(3)),
    ("float32", lambda: np.zeros((2, 2), np.float32), MISMATCH.format("'float'")),
    ("int64", lambda: np.zeros((2, 2), np.int64), MISMATCH.format("'long'")),
    ("complex128", lambda: np.zeros((2, 2), complex), MISMATCH.format("'complex double'")),
    ("big-endian", lambda: np.zeros((2, 2), ">f8"), BIG_ENDIAN),
    # NumPy refuses these requests itself; its message stands unchanged.
    ("read-only", lambda: readonly(np.zeros((2, 2))), "buffer source array is read-only"),
    ("Fortran order", lambda: np.zeros((3, 4), order="F"), "ndarray is not C-contiguous"),
    ("row step", lambda: np.zeros((6, 4))[::2], "ndarray is not C-contiguous"),
    ("column step", lambda: np.zeros((3, 8))[:, ::2], "ndarray is not C-contiguous"),
]  # fmt: skip


@named_cases("make, shape, strides", NUMPY_ACCEPTED)
def test_numpy_accepted(viewhooks, make, shape, strides):
    a = make()
    before = sys.getrefcount(a)
    info = viewhooks.acquire(a)
    assert info["shape"] == shape
    assert info["strides"] == strides
    assert info["suboffsets"] == (-1, -1)
    assert info["count"] == 1
    assert sys.getrefcount(a) == before


@named_cases("make, message", NUMPY_REFUSED)
def test_numpy_refused(viewhooks, make, message):
    a = make()
    before = sys.getrefcount(a)
    with pytest.raises(ValueError) as info:
        viewhooks.acquire(a)
    assert str(info.value) == message
    # The failed view let go of the array: its owner may resize it again.
    assert sys.getrefcount(a) == before


def test_none_gives_an_empty_view(viewhooks):
    info = viewhooks.acquire(None)
    assert info["owner_is_none"] and info["data_is_null"]
    assert info["shape"] == info["strides"] == info["suboffsets"] == (0, 0)
    assert info["count"] == 0


def test_other_objects_keep_the_hosts_error(viewhooks):
    with pytest.raises(TypeError, match="a bytes-like object is required"):
        viewhooks.acquire(3.0)
    b = bytearray(16)
    with pytest.raises(ValueError, match=r"^Buffer has wrong number"):
        viewhooks.acquire(b)
    b.extend(b"more")  # a bytearray refuses this while any export is live


# ---------------------------------------------------------------------------
# A test exporter that reports whatever each case sets
# ---------------------------------------------------------------------------


EXPORTER_ACCEPTED = [
    ("plain", fields(), (32, 8), (-1, -1)),
    *[(f"format {f}", fields(format=f), (32, 8), (-1, -1)) for f in ["@d", "=d", "<d", "^d"]],
    *[(f"format {f}", fields(format=f), (32, 8), (-1, -1)) for f in ["T{d}", "dx"]],
    ("no strides: computed row-major", fields(strides=None), (32, 8), (-1, -1)),
    ("all suboffsets negative", fields(suboffsets=(-1, -1)), (32, 8), (-1, -1)),
    ("1 x 1, no strides", fields(1, 1, strides=None, suboffsets=(-1, -5)), (8, 8), (-1, -5)),
    ("0 x 5, len 0", fields(0, 5, strides=(3, 5), suboffsets=(4, 4), len=0), (3, 5), (4, 4)),
    ("3 x 0, len 0", fields(3, 0, strides=(-7, 1), len=0), (-7, 1), (-1, -1)),
    ("1 x 4, any row stride", fields(1, 4, strides=(12345, 8)), (12345, 8), (-1, -1)),
    ("1 x 4, negative row stride", fields(1, 4, strides=(-8, 8)), (-8, 8), (-1, -1)),
    ("1 x 1, any strides", fields(1, 1, strides=(3, 5)), (3, 5), (-1, -1)),
    ("3 x 1, any element stride", fields(3, 1, strides=(8, 99)), (8, 99), (-1, -1)),
    ("longer than the shape needs", fields(len=200), (32, 8), (-1, -1)),
    ("null address, empty shape", fields(0, 4, null_buf=True, len=0), (32, 8), (-1, -1)),
]  # fmt: skip

EXPORTER_REFUSED = [
    ("1-D", fields(shape=(12,), ndim=1, strides=(8,)), WRONG_DIMS.format(1)),
    ("3-D", fields(shape=(1, 3, 4), ndim=3, strides=(96, 32, 8)), WRONG_DIMS.format(3)),
    ("format f", fields(format="f"), MISMATCH.format("'float'")),
    ("format l", fields(format="l"), MISMATCH.format("'long'")),
    ("format Zd", fields(format="Zd"), MISMATCH.format("'complex double'")),
    ("format >d", fields(format=">d"), BIG_ENDIAN),
    # An absent format means unsigned bytes.
    ("null format", fields(format=None), MISMATCH.format("'unsigned char'")),
    ("empty format", fields(format=""), MISMATCH.format("'unsigned char'")),
    ("item size 16", fields(itemsize=16), ITEM_SIZE.format("16 bytes")),
    ("item size 1", fields(itemsize=1), ITEM_SIZE.format("1 byte")),
    ("item size 0", fields(itemsize=0), ITEM_SIZE.format("0 byte")),
    ("item size 2**32 + 8", fields(itemsize=2**32 + 8), ITEM_SIZE.format("4294967304 bytes")),
    ("item size -8", fields(itemsize=-8), ITEM_SIZE.format("-8 byte")),
    ("rows apart", fields(strides=(40, 8), len=112), NOT_C),
    ("rows reversed", fields(strides=(-32, 8)), NOT_C),
    ("rows overlap", fields(strides=(4, 8)), NOT_SAME_DIM),
    ("elements apart", fields(strides=(32, 16)), NOT_SAME_DIM),
    ("elements reversed", fields(strides=(32, -8)), NOT_SAME_DIM),
    ("suboffsets, no strides, rows", fields(3, 1, strides=None, suboffsets=(-1, -1)), NO_STRIDES),
    ("suboffsets, no strides, cols", fields(1, 4, strides=None, suboffsets=(-1, -1)), NO_STRIDES),
    ("indirect rows", fields(suboffsets=(0, -1)), INDIRECT.format(0)),
    ("indirect rows, one row", fields(1, 4, suboffsets=(0, -1)), INDIRECT.format(0)),
    ("indirect elements", fields(suboffsets=(-1, 0)), INDIRECT.format(1)),
    ("indirect, 0 x 5 with a length", fields(0, 5, suboffsets=(3, -1), len=40), INDIRECT.format(0)),
    # The exporter is not trusted to describe memory that it has.
    ("read-only although writable was requested", fields(readonly=True), READ_ONLY),
    ("no shape", fields(shape=None), "Buffer exposes no shape"),
    ("negative rows", fields(shape=(-1, 4)), NEGATIVE.format(-1, 0)),
    ("negative columns", fields(shape=(3, -4), strides=None), NEGATIVE.format(-4, 1)),
    ("extents overflow", fields(shape=(2**62, 2**62)), TOO_LARGE.format(2**62, 2**62)),
    ("a row overflows", fields(shape=(0, 2**61), len=0), TOO_LARGE.format(0, 2**61)),
    ("len one short", fields(len=95), SHORT.format(95, 96)),
    ("len 0 with rows", fields(len=0), SHORT.format(0, 96)),
    ("negative len", fields(len=-1, strides=(1, 1)), SHORT.format(-1, 96)),
    ("2**31 rows claimed", fields(2**31, 1, strides=(8, 8)), SHORT.format(96, 2**34)),
    ("null address", fields(null_buf=True), "Buffer exposes a null address for a non-empty shape"),
]  # fmt: skip


@named_cases("spec, strides, suboffsets", EXPORTER_ACCEPTED)
def test_exporter_accepted(viewhooks, exporter_type, spec, strides, suboffsets):
    exporter = exporter_type(96, **spec)
    info = viewhooks.acquire(exporter)
    assert info["shape"] == spec["shape"]
    assert info["strides"] == strides
    assert info["suboffsets"] == suboffsets
    assert info["count"] == 1
    assert info["data_is_null"] == bool(spec.get("null_buf"))
    assert exporter.last_flags == 61
    assert exporter.live_exports == 0
    exporter.resize(8)


@named_cases("spec, message", EXPORTER_REFUSED)
def test_exporter_refused(viewhooks, exporter_type, spec, message):
    exporter = exporter_type(96, **spec)
    with pytest.raises(ValueError) as info:
        viewhooks.acquire(exporter)
    assert str(info.value) == message
    assert exporter.live_exports == 0
    exporter.resize(8)


@pytest.mark.parametrize("error", [BufferError("not now"), ZeroDivisionError, KeyError("k")])
def test_exporter_error_passes_through(viewhooks, exporter_type, error):
    exporter = exporter_type(96, **fields(error=error))
    expected = error if isinstance(error, type) else type(error)
    with pytest.raises(expected) as info:
        viewhooks.acquire(exporter)
    assert info.type is expected
    if not isinstance(error, type):
        assert info.value is error
    assert exporter.live_exports == 0


def test_extents_are_not_narrowed(viewhooks, exporter_type):
    # The exporter's length is trusted as far as the shape goes; nothing is read.
    n = 2**31 + 5
    exporter = exporter_type(96, **fields(1, n, strides=(8 * n, 8), len=8 * n))
    assert viewhooks.acquire(exporter)["shape"] == (1, n)
    row = viewhooks.row_sequence(exporter, 0)
    assert len(row) == n
    del row
    rows = 2**32 + 1
    exporter.shape, exporter.strides, exporter.len = (rows, 1), (8, 8), 8 * rows
    assert viewhooks.acquire(exporter)["shape"] == (rows, 1)
    assert exporter.live_exports == 0


def test_exporter_that_keeps_no_owner(viewhooks, exporter_type):
    # Without an owning object nothing will be released; the view must still work.
    exporter = exporter_type(96, **fields(leave_obj_null=True))
    assert viewhooks.acquire(exporter)["shape"] == (3, 4)
    assert viewhooks.hold_counts(exporter) == [1, 2, 1, 2, 1, 0]


def test_no_leaks_on_repetition(viewhooks, exporter_type):
    good = exporter_type(96, **fields())
    bad = exporter_type(96, **fields(format="f"))
    a = np.zeros((3, 4))
    counts = [sys.getrefcount(o) for o in (good, bad, a)]
    for _ in range(2000):
        viewhooks.acquire(good)
        viewhooks.acquire(a)
        with pytest.raises(ValueError):
            viewhooks.acquire(bad)
        viewhooks.row_sequence(a, 2)
    assert [sys.getrefcount(o) for o in (good, bad, a)] == counts
    assert good.live_exports == bad.live_exports == 0


# ---------------------------------------------------------------------------
# Holds
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("make", [lambda e: np.ones((3, 4)), lambda e: e(96, **fields())])
def test_hold_counts(viewhooks, exporter_type, make):
    # acquired, row made, row dropped, extra hold, extra hold released, released
    assert viewhooks.hold_counts(make(exporter_type)) == [1, 2, 1, 2, 1, 0]


def test_row_keeps_the_buffer_exported(viewhooks, exporter_type):
    exporter = exporter_type(96, **fields())
    row = viewhooks.row_sequence(exporter, 1)
    assert exporter.live_exports == 1
    with pytest.raises(BufferError):
        exporter.resize(8)
    del row
    assert exporter.live_exports == 0
    exporter.resize(8)


def test_broken_count_ends_the_process(viewhooks):  # skips when the hooks are not built
    script = (
        "import sys, numpy\n"
        f"sys.path.insert(0, {str(Path(__file__).parent)!r})\n"
        "from support import helper\n"
        'hooks = helper("_viewhooks")\n'
        "hooks.broken_release(numpy.zeros((2, 2)))\n"
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert done.returncode != 0
    assert "Acquisition count is 0 (line 3)" in done.stderr  # the test hooks' site


# ---------------------------------------------------------------------------
# Row sequences
# ---------------------------------------------------------------------------

SPECIAL = [
    0x7FF8000000000123,  # quiet NaN with a payload
    0xFFF4000000000001,  # signalling NaN, sign set
    0x8000000000000000,  # -0.0
    0x7FF0000000000000,  # inf
    0x0000000000000001,  # smallest subnormal
    0x3FF0000000000000,  # 1.0
]


@pytest.fixture
def special_rows(exporter_type):
    words = SPECIAL + [0x4000000000000000] * 6  # second row: 2.0 throughout
    return exporter_type(struct.pack("<12Q", *words), **fields(2, 6))


def test_row_items_keep_their_bits(viewhooks, special_rows):
    row = viewhooks.row_sequence(special_rows, 0)
    assert len(row) == 6
    assert bits([row[i] for i in range(6)]) == SPECIAL
    assert bits(row) == SPECIAL  # iterated
    assert list(viewhooks.row_sequence(special_rows, 1)) == [2.0] * 6


@pytest.mark.parametrize(("index", "expected"), [(0, 1), (3, 4), (-1, 4), (-4, 1), (-2, 3)])
def test_row_index(viewhooks, index, expected):
    row = viewhooks.row_sequence(np.arange(1.0, 9.0).reshape(2, 4), 0)
    assert row[index] == expected


@pytest.mark.parametrize("index", [4, 5, -5, -8, -9, 2**62, -(2**62)])
def test_row_index_out_of_bounds(viewhooks, index):
    row = viewhooks.row_sequence(np.arange(1.0, 9.0).reshape(2, 4), 0)
    with pytest.raises(IndexError) as info:
        row[index]
    assert str(info.value) == OUT_OF_BOUNDS


@pytest.mark.parametrize(
    ("values", "smallest", "largest"),
    [
        ([3.0, -1.0, 2.0], -1.0, 3.0),
        ([5.0], 5.0, 5.0),
        ([0.0, -0.0], 0.0, 0.0),  # equal elements: the first one stays
        ([-0.0, 0.0], -0.0, -0.0),
        ([math.nan, 1.0, -1.0], math.nan, math.nan),  # a NaN first is never replaced
        ([1.0, math.nan, -1.0], -1.0, 1.0),
        ([-math.inf, math.inf], -math.inf, math.inf),
    ],
)
def test_min_max_over_a_row(viewhooks, values, smallest, largest):
    a = np.array([values, values])
    row = viewhooks.row_sequence(a, 1)
    assert bits([min(row), max(row)]) == bits([smallest, largest])


def test_row_type(viewhooks):
    row = viewhooks.row_sequence(np.zeros((2, 3)), 0)
    row_type = type(row)
    assert (row_type.__module__, row_type.__name__) == ("tavorin.operators", "_memoryviewslice")
    base = row_type.__mro__[1]
    assert (base.__module__, base.__name__) == ("tavorin.operators", "memoryview")
    # The builtins iterate it as an old-style sequence.
    assert not hasattr(row_type, "__iter__")
    assert type(iter(row)).__name__ == "iterator"
    with pytest.raises(TypeError):
        row_type()
    with pytest.raises(TypeError):
        row["0"]


def test_empty_row(viewhooks):
    row = viewhooks.row_sequence(np.zeros((2, 0)), 1)
    assert len(row) == 0 and list(row) == []
    with pytest.raises(ValueError) as info:
        min(row)
    assert str(info.value) == EMPTY_ROW


@pytest.mark.parametrize(("obj", "row", "error", "message"), [
    (None, 0, ValueError, "Cannot take a row of an empty view"),
    (np.zeros((2, 3)), 2, IndexError, OUT_OF_BOUNDS),
    (np.zeros((2, 3)), -1, IndexError, OUT_OF_BOUNDS),
    (np.zeros((0, 3)), 0, IndexError, OUT_OF_BOUNDS),
])  # fmt: skip
def test_row_of_a_missing_row(viewhooks, obj, row, error, message):
    with pytest.raises(error) as info:
        viewhooks.row_sequence(obj, row)
    assert str(info.value) == message


def test_prepare_again(viewhooks):
    viewhooks.prepare()
    assert viewhooks.hold_counts(np.zeros((1, 1))) == [1, 2, 1, 2, 1, 0]
