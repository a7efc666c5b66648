"""Generated JSON texts for the reader, writer and stress tests: hypothesis strategies for
small documents (random whitespace, escapes and number spellings, and mutations of
them), and a seeded generator of larger ones built around the reader's and writer's
edges (key lengths around eight, repeated shapes, escapes across chunk edges, integer
widths)."""

import json
import random

from hypothesis import strategies as st

WHITESPACE = st.text(alphabet=" \t\n\r", max_size=2)
SHORT_ESCAPES = {'"': '\\"', "\\": "\\\\", "/": "\\/", "\b": "\\b", "\f": "\\f",
                 "\n": "\\n", "\r": "\\r", "\t": "\\t"}


@st.composite
def string_tokens(draw):
    out = ['"']
    for ch in draw(st.text(max_size=8)):
        style = draw(st.integers(0, 2))
        if ch in SHORT_ESCAPES and style:
            out.append(SHORT_ESCAPES[ch])
        elif ord(ch) < 0x20 or ch in '"\\' or style == 2:  # as \u escapes, astral ones in pairs
            units = ch.encode("utf-16-be").hex()
            out += ["\\u" + (units[i:i + 4].upper() if style == 1 else units[i:i + 4])
                    for i in range(0, len(units), 4)]
        else:
            out.append(ch)
    return "".join(out) + '"'


@st.composite
def number_tokens(draw):
    sign = draw(st.sampled_from(["", "-"]))
    integer = draw(st.one_of(
        st.just("0"),
        st.from_regex(r"[1-9][0-9]{0,24}", fullmatch=True),
        st.sampled_from(["18446744073709551615", "18446744073709551616", "9223372036854775808",
                         "9223372036854775809", "9007199254740993"]),
    ))
    fraction = draw(st.one_of(st.just(""), st.from_regex(r"\.[0-9]{1,22}", fullmatch=True)))
    exponent = ""
    if draw(st.booleans()):
        value = draw(st.one_of(st.integers(0, 400),
                               st.sampled_from([2147483647, 2147483648, 2147483646, 10**12])))
        exponent = (draw(st.sampled_from(["e", "E"])) + draw(st.sampled_from(["", "+", "-"]))
                    + "0" * draw(st.integers(0, 2)) + str(value))
    return sign + integer + fraction + exponent


SCALARS = st.one_of(
    st.sampled_from(["null", "true", "false"]),
    number_tokens(),
    st.floats(allow_nan=False, allow_infinity=False).map(repr),
    st.integers(-2**64, 2**65).map(str),
    string_tokens(),
)


def _render(draw, node) -> str:
    ws = lambda: draw(WHITESPACE)  # noqa: E731
    if isinstance(node, str):
        return node
    if isinstance(node, list):  # array; a tuple of (key, value) pairs is an object
        inner = ",".join(ws() + _render(draw, item) + ws() for item in node)
        return "[" + (inner or ws()) + "]"
    members = ",".join(ws() + key + ws() + ":" + ws() + _render(draw, value) + ws()
                       for key, value in node)
    return "{" + (members or ws()) + "}"


TREES = st.recursive(
    SCALARS,
    lambda children: st.one_of(
        st.lists(children, max_size=4),
        st.lists(st.tuples(string_tokens(), children), max_size=4).map(tuple),
    ),
    max_leaves=12,
)


@st.composite
def json_texts(draw):
    tree = draw(st.one_of(st.lists(TREES, min_size=1, max_size=4), TREES))
    return draw(WHITESPACE) + _render(draw, tree) + draw(WHITESPACE)


MUTATION_CHARS = st.sampled_from(list(' \n\t"\\,:[]{}0123456789.eE+-tnfuxé\x00\x1f\x7f'))
MUTATION_BYTES = st.sampled_from([b" ", b"\n", b'"', b"\\", b",", b":", b"[", b"]", b"{", b"}",
                                  b"0", b"9", b".", b"e", b"-", b"u", b"d8", b"\x00", b"\x80",
                                  b"\xc3", b"\xed\xa0\x80", b"\xf4\x90", b"\xff"])


@st.composite
def mutated(draw, texts, pieces):
    text = draw(texts)
    for _ in range(draw(st.integers(1, 2))):
        kind = draw(st.sampled_from(["insert", "delete", "replace", "truncate"]))
        at = len(text) - draw(st.integers(0, len(text)))
        if kind == "truncate":
            text = text[:max(at, 1)]
        elif kind == "insert":
            text = text[:at] + draw(pieces) + text[at:]
        elif kind == "delete":
            text = text[:at] + text[at + 1:]
        else:
            text = text[:at] + draw(pieces) + text[at + 1:]
    return text


# Keys that agree on their first eight bytes, are prefixes of one another, hold NUL or
# non-ASCII bytes, or are written with escapes.
KEY_POOL = [
    "", "a", "ab", "abcdefg", "abcdefgh", "abcdefghi", "abcdefghij", "abcdefgh\u0000",
    "abcdefgh\u00e9", "abcdefgi", "channel_0001", "channel_0010", "channel_1000",
    "channel_", "channel_00", "B", "_", "\u0000", "\u00e9t\u00e9", "\U0001f600", "z" * 20,
    "z" * 19 + "y", "id", "role", "content", "n", "status",
]
ESCAPES = ['\\"', "\\\\", "\\/", "\\b", "\\f", "\\n", "\\r", "\\t", "\\u0000", "\\u001b",
           "\\u0041", "\\u00e9", "\\u2028", "\\ud83d\\ude00", "\\u007f"]


def key_text(rnd: random.Random, key: str) -> str:
    ascii_only = rnd.random() < 0.5
    if rnd.random() < 0.2 and key and ord(key[0]) < 0x10000:  # first character escaped
        return '"\\u%04x' % ord(key[0]) + json.dumps(key[1:], ensure_ascii=ascii_only)[1:]
    return json.dumps(key, ensure_ascii=ascii_only)


def escaped_string(rnd: random.Random, length: int) -> str:
    parts, size = ['"'], 0
    while size < length:
        if rnd.random() < 0.15:
            parts.append(rnd.choice(ESCAPES))
        else:
            parts.append(rnd.choice("abcdefghijklmnop qrstuvwxyz0123456789\u00e9\u4e2d"))
        size += 1
    parts.append('"')
    return "".join(parts)


def number_text(rnd: random.Random) -> str:
    return rnd.choice([
        lambda: str(rnd.randint(-10**7, 10**7)),
        lambda: str(rnd.choice([-1, 1]) * rnd.getrandbits(rnd.randint(1, 64))),
        lambda: rnd.choice(["0", "-0", "9223372036854775807", "-9223372036854775808",
                            "-9223372036854775809", "18446744073709551615", "18446744073709551616",
                            "99999999", "100000000", "-10", "7"]),
        lambda: repr(rnd.randint(-10**9, 10**9) / 2 ** rnd.randint(1, 30)),  # the writer's direct case
        lambda: repr(rnd.uniform(-1e6, 1e6)),
        lambda: rnd.choice(["1e2", "1.5e-7", "-2.5E+3", "0.1", "123456789.125", "5e-324"]),
    ])()


def value_text(rnd: random.Random, depth: int, shapes: list) -> str:
    roll = rnd.random()
    if depth == 0 or roll < 0.35:
        pick = rnd.randrange(4)
        if pick == 0:
            return number_text(rnd)
        if pick == 1:
            return escaped_string(rnd, rnd.choice([0, 1, 7, 15, 16, 17, 31, 63, 64, 65, 300]))
        if pick == 2:
            return json.dumps(rnd.choice(KEY_POOL))
        return rnd.choice(["null", "true", "false"])
    if roll < 0.55:
        items = [value_text(rnd, depth - 1, shapes) for _ in range(rnd.choice([0, 1, 3, 20]))]
        return "[" + ",".join(items) + "]"
    if roll < 0.8 and shapes:
        keys = rnd.choice(shapes)  # a run of records of one shape
    else:
        keys = [rnd.choice(KEY_POOL) for _ in range(rnd.choice([1, 2, 3, 5, 9, 16, 17, 40]))]
        shapes.append(keys)
    members = [key_text(rnd, k) + ":" + value_text(rnd, depth - 1, shapes) for k in keys]
    return "{" + ",".join(members) + "}"
