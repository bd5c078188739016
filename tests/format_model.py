"""An independent model of "exactly one double at offset 0" for buffer format
strings, and a strategy drawing format strings near that boundary: shared by
the property tests of the format checker and the fuzz-corpus tests."""

import re

from hypothesis import strategies as st


class Refused(Exception):
    pass


EMPTY_DIMENSIONS = re.compile(rb"\([ \t\n\v\f\r]*\)")
ITEM_CHARS = b"?cbBhHiIlLqQfdgOsp"


class Layout:
    """Expands a format string into its items and pad bytes.

    Counts stay pending until an item, a pad, a structure or a dimension list
    uses them.  A structure's body is expanded once per repeat; from the
    second repeat on every repeat starts from the same state, so only two are
    expanded and the rest are counted.
    """

    def __init__(self, text):
        self.text = text
        self.pending = None
        self.pad = 0  # bytes before the first item
        self.items = []

    def count(self):
        n = 1 if self.pending is None else self.pending
        self.pending = None
        return n

    def item(self, code, complex_):
        n = self.count()
        if n >= 2 or (n == 1 and self.items):
            raise Refused("more than one item")
        if n == 1:
            self.items.append((code, complex_, self.pad))

    def run(self, pos, depth):
        text = self.text
        while True:
            if pos == len(text):
                return pos  # at any depth: an unclosed structure ends with the string
            c = text[pos : pos + 1]
            if c in b" \n\r":
                pos += 1
            elif c in b"@=^<":
                pos += 1
            elif c in b">!":
                raise Refused("big-endian")
            elif c == b"x":
                n = self.count()
                if not self.items:
                    self.pad += n
                pos += 1
            elif c == b":":
                end = text.find(b":", pos + 1)
                if end < 0:
                    raise Refused("unclosed name")
                pos = end + 1
            elif c == b"(":
                match = EMPTY_DIMENSIONS.match(text, pos)
                if not match or self.pending not in (None, 1) or self.items:
                    raise Refused("an array")
                self.pending = None
                pos = match.end()
            elif c == b"T":
                if text[pos + 1 : pos + 2] != b"{":
                    raise Refused("no brace")
                n = self.count()
                if n == 0 or depth >= 64:
                    raise Refused("structure")
                pos = self.structure(pos + 2, n, depth + 1)
            elif c == b"}":
                if not depth:
                    raise Refused("unmatched brace")
                return pos + 1
            elif c.isdigit():
                match = re.compile(rb"[0-9]+").match(text, pos)
                if int(match.group()) > 2**31 - 1:
                    raise Refused("number")
                self.pending = int(match.group())
                pos = match.end()
            elif c == b"Z" and text[pos + 1 : pos + 2] in (b"f", b"d", b"g"):
                self.item(text[pos + 1 : pos + 2], True)
                pos += 2
            elif c and c in ITEM_CHARS:
                self.item(c, False)
                pos += 1
            else:
                raise Refused("unknown character")

    def structure(self, body, n, depth):
        end = self.run(body, depth)
        if n >= 2:
            items, pad = len(self.items), self.pad
            end = self.run(body, depth)
            if n >= 3:
                if len(self.items) != items:
                    raise Refused("more than one item")
                self.pad += (n - 2) * (self.pad - pad)
        return end


def one_double_at_zero(text):
    layout = Layout(text)
    try:
        layout.run(0, 0)
    except Refused:
        return False
    return layout.items == [(b"d", False, 0)]


TOKENS = [
    "d", "d", "d", "f", "g", "q", "l", "i", "c", "B", "?", "O", "s", "p",
    "Zd", "Zf", "Zg", "Zq", "Z",
    "x", "x", "0", "1", "2", "3", "10", "2147483647", "2147483648",
    "@", "=", "<", "^", ">", "!",
    " ", "\t", "\n", "\r",
    "T{", "T{", "}", "}", "T", "{",
    ":a:", ":", "()", "( )", "(2)", "(2,3)", "(", ")", "(2 )", ",",
    "P", "~", "\x80", "\xff",
]  # fmt: skip
ALPHABET = "dfgqlicB?OspZxT{}:()@=<^>!,0123456789 \t\n\rP~"

BEFORE = ["", " ", "@", "=", "<", "^", "\n", ":a:", "()", "( )", "T{}", "2T{ }", "1", "0x"]
AFTER = ["", " ", "x", "3x", ":b:", "T{}", "T{x}", "5", "@", "=", "\r"]


@st.composite
def near_one_double(draw):
    """One double among harmless neighbours, sometimes with one token inserted."""
    parts = draw(st.lists(st.sampled_from(BEFORE), max_size=3))
    parts.append("d")
    parts += draw(st.lists(st.sampled_from(AFTER), max_size=3))
    text = "".join(parts)
    for _ in range(draw(st.integers(0, 3))):
        text = "T{" + text + "}"
    if draw(st.booleans()):
        at = draw(st.integers(0, len(text)))
        text = text[:at] + draw(st.sampled_from(TOKENS)) + text[at:]
    return text


formats = st.one_of(
    st.lists(st.sampled_from(TOKENS), max_size=14).map("".join),
    st.text(alphabet=ALPHABET, max_size=20),
    near_one_double(),
).map(lambda s: s.encode("latin-1"))
