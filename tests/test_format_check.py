"""The buffer format-string checker, against the element description of a double."""

import json
import subprocess
import sys
from pathlib import Path

import pytest
from format_model import formats, one_double_at_zero
from hypothesis import HealthCheck, given, settings
from support import (
    AFTER_END,
    BIG_ENDIAN,
    COMMA,
    DEEP,
    DIMENSIONS,
    MISMATCH,
    NO_BRACE,
    NO_END,
    NUMBER,
    OFFSET,
    TOO_OFTEN,
    UNKNOWN,
    UNMATCHED,
)

ACCEPTED = [
    "d", " d", "\nd\r", "1d", "@d", "=d", "<d", "^d", "=<@d",
    "d:value:", ":name:d", "T{d}", "T{d:value:}", "T{T{d}}",
    "()d", "( )d", "(\t\n\v\f\r)d", "1()d", "T{}d", "dT{}", "2T{ }d", "T{d", "T{T{d}",
    "dx", "d5x", "0xd", "0dd", "0d d",
    "d5",  # a count that nothing follows is read and ignored
    "16777216T{}d", "8388608T{ }d",  # repeated out to exactly 2**24 characters
    "T{d}5T{5T{", "d5T{5T{x",  # open structures after the element, repeated: still empty
]  # fmt: skip

REFUSED = [
    # what the element is
    ("", MISMATCH.format("end")),
    ("x", MISMATCH.format("end")),
    (":a:", MISMATCH.format("end")),
    ("f", MISMATCH.format("'float'")),
    ("q", MISMATCH.format("'long long'")),
    ("l", MISMATCH.format("'long'")),
    ("=l", MISMATCH.format("'long'")),  # 4 bytes in standard packing, still not a double
    ("8B", MISMATCH.format("'unsigned char'")),
    ("8c", MISMATCH.format("'char'")),
    ("8s", MISMATCH.format("a string")),
    ("?", MISMATCH.format("'bool'")),
    ("Zf", MISMATCH.format("'complex float'")),
    ("Zd", MISMATCH.format("'complex double'")),
    ("Zg", MISMATCH.format("'complex long double'")),
    ("g", MISMATCH.format("'long double'")),
    ("<g", MISMATCH.format("'long double'")),  # no standard size: the mismatch wins
    ("O", MISMATCH.format("Python object")),
    ("0id", MISMATCH.format("'int'")),
    # more than one element
    ("dd", AFTER_END.format("'double'")),
    ("2d", AFTER_END.format("'double'")),
    ("0d", AFTER_END.format("'double'")),
    ("d:a:d", AFTER_END.format("'double'")),
    ("2T{d}", AFTER_END.format("'double'")),
    ("T{5}d", AFTER_END.format("'double'")),  # the count is carried out of the structure
    ("T{d:a:i:b:}", AFTER_END.format("'int'")),
    ("d=d", AFTER_END.format("'double'")),
    ("di", AFTER_END.format("'int'")),
    ("d()", AFTER_END.format("an array")),
    # offsets: a pad is one byte, and native packing aligns the double to 8
    ("xd", OFFSET.format(8)),
    ("=xd", OFFSET.format(1)),
    ("^3xd", OFFSET.format(3)),
    ("9xd", OFFSET.format(16)),
    ("=1000000T{2x}d", OFFSET.format(2000000)),
    # characters the grammar does not know
    ("P", UNKNOWN.format("P")),
    ("\td", UNKNOWN.format("\t")),
    (",d", UNKNOWN.format(",")),
    (")", UNKNOWN.format(")")),
    ("{", UNKNOWN.format("{")),
    ("~", UNKNOWN.format("~")),
    ("d\x7f", UNKNOWN.format("\x7f")),
    (b"\x80d", UNKNOWN.format("\\x80")),
    (b"d\xff", UNKNOWN.format("\\xff")),
    ("\u00e9", UNKNOWN.format("\\xc3")),  # the first byte of its UTF-8 form
    (">d", BIG_ENDIAN),
    ("!d", BIG_ENDIAN),
    ("Zq", "Unexpected format string character: 'Z'"),
    ("Z", "Unexpected format string character: 'Z'"),
    ("T", NO_BRACE),
    ("Td", NO_BRACE),
    # dimension lists
    ("(2)d", DIMENSIONS.format(1)),
    ("( 2)d", DIMENSIONS.format(1)),
    ("(2,3)d", DIMENSIONS.format(2)),
    ("(2,", DIMENSIONS.format(1)),
    ("(2 )d", COMMA.format(" ")),
    ("(2x", COMMA.format("x")),
    ("(2", COMMA.format("\x00")),  # the end of the string is shown as its zero character
    ("(", NO_END.format(")")),
    ("(,)d", UNKNOWN.format(",")),
    ("(d)", UNKNOWN.format("d")),
    ("2(3)d", "Cannot handle repeated arrays in format string"),
    ("0()d", "Cannot handle repeated arrays in format string"),
    # malformed strings that must not slip through
    ("}", UNMATCHED),
    ("T{d}}", UNMATCHED),
    ("0T{d}", "Cannot handle structures repeated 0 times in format string"),
    ("d0T{}}", "Cannot handle structures repeated 0 times in format string"),
    ("d:name", NO_END.format(":")),
    ("d:", NO_END.format(":")),
    # numbers beyond 32 bits never wrap into a count
    ("2147483648d", NUMBER),
    ("18446744073709551617d", NUMBER),
    ("(99999999999)d", NUMBER),
    ("2147483647d", AFTER_END.format("'double'")),
    # bounded nesting and repetition
    ("T{" * 65 + "d" + "}" * 65, DEEP),
    ("2000000000T{2000000000T{}}d", TOO_OFTEN),
    ("2147483647T{" * 64 + "}" * 64, TOO_OFTEN),
    ("16777217T{}d", TOO_OFTEN),
    ("8388609T{ }d", TOO_OFTEN),
    ("d2147483647T{T{", TOO_OFTEN),
    # repeats derived from one scan of the body, exactly as if each were scanned
    ("2T{" * 20 + "x" + "}" * 20 + "d", OFFSET.format(2**20)),
    ("=2" + "T{T{x3}" * 10 + "3}" * 10 + "d", OFFSET.format(295238)),
    ("d5T{5T{5()", "Cannot handle repeated arrays in format string"),
]  # fmt: skip

# Structures left open at the end of the string, repeated and nested: each
# once kept the checker busy for seconds or for ever.  Checked in a child
# with a deadline, so that the fault coming back fails instead of hanging.
OPEN_REPEATS = [
    ("d2000000000T{", None),
    ("d2000000000T{2000000000T{", TOO_OFTEN),
    ("T{d}2147483647T{2147483647T{", TOO_OFTEN),
    ("d" + "2147483647T{" * 64, TOO_OFTEN),
]


@pytest.mark.parametrize("fmt", ACCEPTED)
def test_accepted(viewhooks, fmt):
    assert viewhooks.check_format(fmt) is None


def test_deepest_nesting_accepted(viewhooks):
    assert viewhooks.check_format("T{" * 64 + "d" + "}" * 64) is None


@pytest.mark.parametrize(("fmt", "message"), REFUSED)
def test_refused(viewhooks, fmt, message):
    with pytest.raises(ValueError) as info:
        viewhooks.check_format(fmt)
    assert str(info.value) == message
    assert info.type is ValueError


def test_open_repeats_end_in_time(viewhooks):
    script = (
        "import json, sys\n"
        f"sys.path.insert(0, {str(Path(__file__).parent)!r})\n"
        "from support import helper\n"
        'hooks = helper("_viewhooks")\n'
        "verdicts = []\n"
        "for fmt in json.loads(sys.argv[1]):\n"
        "    try:\n"
        "        verdicts.append(hooks.check_format(fmt))\n"
        "    except ValueError as error:\n"
        "        verdicts.append(str(error))\n"
        "print(json.dumps(verdicts))\n"
    )
    formats = [fmt for fmt, _ in OPEN_REPEATS]
    done = subprocess.run(
        [sys.executable, "-c", script, json.dumps(formats)],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout) == [message for _, message in OPEN_REPEATS]


# Property: the checker against the independent model of format_model.py.


@settings(
    max_examples=3000,
    deadline=1000,
    database=None,
    suppress_health_check=[HealthCheck.too_slow],
)
@given(formats)
def test_accepts_only_one_double_at_offset_zero(viewhooks, fmt):
    message = None
    try:
        viewhooks.check_format(fmt)
    except ValueError as error:
        message = str(error)
        assert message
    expected = one_double_at_zero(fmt)
    if message is None:
        assert expected, fmt
    elif b"0" not in fmt and "too often" not in message:
        # Zero counts (the checker counts a chunk of none as a mismatch) and
        # the bound on repeats aside, the model and the checker agree.
        assert not expected, fmt
