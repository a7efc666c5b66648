"""Reference model of the JSON layer in plain Python.

Slow but small: a reader that reproduces the grammar, the error messages and
their positions, the truncating number conversion and the power-of-ten float
construction, plus the compact writer. Tests compare the native module with it.

Documents are plain Python values: None, bool, int (the two integer forms),
float, bytes (UTF-8 string content), list and dict (bytes keys).
"""

from __future__ import annotations

import decimal
import math
import re

U64_MAX = 2**64 - 1
I32_MAX = 2**31 - 1
I32_MIN = -(2**31)
DEPTH_BUDGET = 128

# The doubles nearest to 1e0 .. 1e308; float() of the literal is correctly rounded.
POW10 = [float(f"1e{k}") for k in range(309)]

_WS = re.compile(rb"[ \t\n\r]*")
_DIGITS = re.compile(rb"[0-9]*")
_PLAIN = re.compile(rb'[^"\\\x00-\x1f]*')
_HEX = b"0123456789abcdefABCDEF"
_SIMPLE_ESCAPES = {
    ord('"'): b'"', ord("\\"): b"\\", ord("/"): b"/", ord("b"): b"\b",
    ord("f"): b"\f", ord("n"): b"\n", ord("r"): b"\r", ord("t"): b"\t",
}


class JsonError(Exception):
    def __init__(self, message: str, line: int, column: int):
        super().__init__(f"{message} at line {line} column {column}")
        self.message = message
        self.line = line
        self.column = column


def position(data: bytes, index: int) -> tuple[int, int]:
    """Line and byte column of an error placed at `index`."""
    start = data.rfind(b"\n", 0, index) + 1
    return data.count(b"\n", 0, index) + 1, index - start


def float_from_parts(negative: bool, significand: int, exponent: int) -> float | None:
    """The power-of-ten construction; None means "number out of range"."""
    f = float(significand)
    while abs(exponent) > 308:
        if f == 0.0:
            break
        if exponent > 0:
            return None
        f /= 1e308
        exponent += 308
    else:
        p = POW10[abs(exponent)]
        if exponent >= 0:
            f *= p
            if math.isinf(f):
                return None
        else:
            f /= p
    return -f if negative else f


class _Reader:
    def __init__(self, data: bytes, check_utf8: bool):
        self.data = data
        self.n = len(data)
        self.pos = 0
        self.check_utf8 = check_utf8
        self.budget = DEPTH_BUDGET

    # Errors. "Consumed" sits at the cursor, "next" one byte further (capped).
    def at_consumed(self, message: str) -> JsonError:
        return JsonError(message, *position(self.data, self.pos))

    def at_next(self, message: str) -> JsonError:
        return JsonError(message, *position(self.data, min(self.pos + 1, self.n)))

    def skip_ws(self) -> None:
        self.pos = _WS.match(self.data, self.pos).end()

    def peek(self) -> int | None:
        return self.data[self.pos] if self.pos < self.n else None

    def document(self):
        self.skip_ws()
        value = self.value()
        self.skip_ws()
        if self.pos < self.n:
            raise self.at_next("trailing characters")
        return value

    def value(self):
        c = self.peek()
        if c is None:
            raise self.at_next("EOF while parsing a value")
        if c == ord("n"):
            return self.literal(b"null", None)
        if c == ord("t"):
            return self.literal(b"true", True)
        if c == ord("f"):
            return self.literal(b"false", False)
        if c == ord("-") or 0x30 <= c <= 0x39:
            return self.number()
        if c == ord('"'):
            return self.string()
        if c == ord("["):
            return self.array()
        if c == ord("{"):
            return self.object()
        raise self.at_next("expected value")

    def literal(self, word: bytes, result):
        self.pos += 1
        for expected in word[1:]:
            if self.pos == self.n:
                raise self.at_consumed("EOF while parsing a value")
            got = self.data[self.pos]
            self.pos += 1
            if got != expected:
                raise self.at_consumed("expected ident")
        return result

    def open_container(self) -> None:
        self.budget -= 1
        if self.budget == 0:
            raise self.at_next("recursion limit exceeded")
        self.pos += 1
        self.skip_ws()

    def array(self):
        self.open_container()
        items = []
        if self.peek() is None:
            raise self.at_next("EOF while parsing a list")
        if self.peek() == ord("]"):
            self.pos += 1
            self.budget += 1
            return items
        while True:
            items.append(self.value())
            self.skip_ws()
            c = self.peek()
            if c is None:
                raise self.at_next("EOF while parsing a list")
            if c == ord("]"):
                self.pos += 1
                self.budget += 1
                return items
            if c != ord(","):
                raise self.at_next("expected `,` or `]`")
            self.pos += 1
            self.skip_ws()
            if self.peek() == ord("]"):
                raise self.at_next("trailing comma")

    def object(self, member=None):
        self.open_container()
        members = {}
        if self.peek() is None:
            raise self.at_next("EOF while parsing an object")
        if self.peek() == ord("}"):
            self.pos += 1
            self.budget += 1
            return members
        while True:
            c = self.peek()
            if c is None:
                raise self.at_next("EOF while parsing a value")
            if c != ord('"'):
                raise self.at_next("key must be a string")
            key = self.string()
            self.skip_ws()
            c = self.peek()
            if c is None:
                raise self.at_next("EOF while parsing an object")
            if c != ord(":"):
                raise self.at_next("expected `:`")
            self.pos += 1
            self.skip_ws()
            members[key] = self.value() if member is None else member()
            self.skip_ws()
            c = self.peek()
            if c is None:
                raise self.at_next("EOF while parsing an object")
            if c == ord("}"):
                self.pos += 1
                self.budget += 1
                return members
            if c != ord(","):
                raise self.at_next("expected `,` or `}`")
            self.pos += 1
            self.skip_ws()
            if self.peek() == ord("}"):
                raise self.at_next("trailing comma")

    def string(self) -> bytes:
        data, out = self.data, bytearray()
        self.pos += 1
        while True:
            end = _PLAIN.match(data, self.pos).end()
            out += data[self.pos:end]
            self.pos = end
            if end == self.n:
                raise self.at_consumed("EOF while parsing a string")
            c = data[end]
            self.pos += 1
            if c == ord('"'):
                break
            if c != ord("\\"):
                raise self.at_consumed(
                    "control character (\\u0000-\\u001F) found while parsing a string")
            if self.pos == self.n:
                raise self.at_consumed("EOF while parsing a string")
            e = data[self.pos]
            self.pos += 1
            if e in _SIMPLE_ESCAPES:
                out += _SIMPLE_ESCAPES[e]
            elif e == ord("u"):
                out += self.unicode_escape()
            else:
                raise self.at_consumed("invalid escape")
        if self.check_utf8:
            try:
                bytes(out).decode("utf-8")
            except UnicodeDecodeError:
                raise self.at_consumed("invalid unicode code point") from None
        return bytes(out)

    def hex4(self) -> int:
        if self.n - self.pos < 4:
            self.pos = self.n
            raise self.at_consumed("EOF while parsing a string")
        digits = self.data[self.pos:self.pos + 4]
        self.pos += 4
        if any(b not in _HEX for b in digits):
            raise self.at_consumed("invalid escape")
        return int(digits, 16)

    def unicode_escape(self) -> bytes:
        cp = self.hex4()
        if 0xDC00 <= cp <= 0xDFFF:
            raise self.at_consumed("lone leading surrogate in hex escape")
        if 0xD800 <= cp <= 0xDBFF:
            for expected in b"\\u":
                if self.pos == self.n:
                    raise self.at_consumed("EOF while parsing a string")
                got = self.data[self.pos]
                self.pos += 1
                if got != expected:
                    raise self.at_consumed("unexpected end of hex escape")
            low = self.hex4()
            if not 0xDC00 <= low <= 0xDFFF:
                raise self.at_consumed("lone leading surrogate in hex escape")
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00)
        return chr(cp).encode("utf-8")

    def digits(self) -> bytes:
        end = _DIGITS.match(self.data, self.pos).end()
        run = self.data[self.pos:end]
        self.pos = end
        return run

    def number(self):
        negative = self.peek() == ord("-")
        if negative:
            self.pos += 1
            if self.pos == self.n:
                raise self.at_consumed("EOF while parsing a value")
            if not 0x30 <= self.data[self.pos] <= 0x39:
                self.pos += 1
                raise self.at_consumed("invalid number")
        integer = self.digits()
        if integer[0] == ord("0") and len(integer) > 1:
            self.pos -= len(integer) - 1
            raise self.at_next("invalid number")

        is_float = False
        exponent = 0
        significand = int(integer)
        if significand > U64_MAX:
            kept = 20 if int(integer[:20]) <= U64_MAX else 19
            significand = int(integer[:kept])
            exponent = len(integer) - kept
            is_float = True

        if self.peek() == ord("."):
            self.pos += 1
            c = self.peek()
            if c is None:
                raise self.at_next("EOF while parsing a value")
            if not 0x30 <= c <= 0x39:
                raise self.at_next("invalid number")
            is_float = True
            fraction = self.digits()
            whole = significand * 10 ** len(fraction) + int(fraction)
            if whole <= U64_MAX:
                significand = whole
                exponent -= len(fraction)
            else:
                for d in fraction:
                    nxt = significand * 10 + d - 0x30
                    if nxt > U64_MAX:
                        break
                    significand = nxt
                    exponent -= 1

        if self.peek() in (ord("e"), ord("E")):
            self.pos += 1
            is_float = True
            negative_exp = False
            if self.peek() in (ord("+"), ord("-")):
                negative_exp = self.peek() == ord("-")
                self.pos += 1
            if self.pos == self.n:
                raise self.at_consumed("EOF while parsing a value")
            if not 0x30 <= self.data[self.pos] <= 0x39:
                self.pos += 1
                raise self.at_consumed("invalid number")
            literal = 0
            for d in self.digits():
                literal = literal * 10 + d - 0x30
                if literal > I32_MAX:
                    if significand != 0 and not negative_exp:
                        raise self.at_consumed("number out of range")
                    return -0.0 if negative else 0.0
            exponent += -literal if negative_exp else literal
            exponent = max(I32_MIN, min(I32_MAX, exponent))

        if not is_float:
            if not negative:
                return significand
            if significand == 0:
                return -0.0
            if significand <= 2**63:
                return -significand
            return -float(significand)
        value = float_from_parts(negative, significand, exponent)
        if value is None:
            raise self.at_consumed("number out of range")
        return value

    # Typed reads.
    def typed(self, accept: int, expected: str, inner=None):
        """Reads a value that must open with `accept` ('{' or '['), else fails
        with the invalid-type message naming what was found."""
        c = self.peek()
        if c is None:
            raise self.at_next("EOF while parsing a value")
        if c == accept:
            if accept == ord("["):
                return self.array()
            return self.object(member=inner)
        if c in (ord("["), ord("{")):
            found = "sequence" if c == ord("[") else "map"
        else:
            found = describe(self.value())
        raise self.at_consumed(f"invalid type: {found}, expected {expected}")

    def typed_string(self) -> bytes:
        if self.peek() == ord('"'):
            return self.string()
        return self.typed(-1, "a string")


def describe(value) -> str:
    """How an invalid-type message names a scalar token."""
    if value is None:
        return "null"
    if isinstance(value, bool):
        return f"boolean `{'true' if value else 'false'}`"
    if isinstance(value, int):
        return f"integer `{value}`"
    if isinstance(value, float):
        return f"floating point `{write_float(value)}`"
    out = []
    for ch in value.decode("utf-8"):
        cp = ord(ch)
        if ch in '"\\':
            out.append("\\" + ch)
        elif cp == 0:
            out.append("\\0")
        elif ch in "\t\n\r":
            out.append({"\t": "\\t", "\n": "\\n", "\r": "\\r"}[ch])
        elif cp < 0x20 or 0x7F <= cp <= 0x9F:
            out.append(f"\\u{{{cp:x}}}")
        else:
            out.append(ch)
    return 'string "' + "".join(out) + '"'


def parse(data: bytes | str, *, byte_mode: bool = False):
    """Reads one JSON text; raises JsonError. A str is read as its UTF-8 bytes."""
    if isinstance(data, str):
        data = data.encode("utf-8")
    return _Reader(data, byte_mode).document()


def read_string_map(text: str) -> dict:
    """Typed read of an object whose values are all strings."""
    r = _Reader(text.encode("utf-8"), False)
    r.skip_ws()
    result = r.typed(ord("{"), "a map", inner=r.typed_string)
    r.skip_ws()
    if r.pos < r.n:
        raise r.at_next("trailing characters")
    return result


def read_sequence(text: str) -> list:
    """Typed read of an array of arbitrary documents."""
    r = _Reader(text.encode("utf-8"), False)
    r.skip_ws()
    result = r.typed(ord("["), "a sequence")
    r.skip_ws()
    if r.pos < r.n:
        raise r.at_next("trailing characters")
    return result


# Writing.

def shortest_digits(x: float) -> tuple[str, int]:
    """Shortest round-trip digits of a finite non-zero double and the decimal
    exponent of the first digit."""
    sign, digits, exp = decimal.Decimal(repr(abs(x))).normalize().as_tuple()
    text = "".join(map(str, digits))
    return text, exp + len(text) - 1


def write_float(x: float) -> str:
    if math.isnan(x) or math.isinf(x):
        return "null"
    if x == 0.0:
        return "-0.0" if math.copysign(1.0, x) < 0 else "0.0"
    digits, e = shortest_digits(x)
    sign = "-" if x < 0 else ""
    n = len(digits)
    if -5 <= e <= 15:
        if n <= e + 1:
            body = digits + "0" * (e + 1 - n) + ".0"
        elif e < 0:
            body = "0." + "0" * (-e - 1) + digits
        else:
            body = digits[:e + 1] + "." + digits[e + 1:]
    else:
        body = digits[0] + ("." + digits[1:] if n > 1 else "")
        body += "e" + ("+" if e >= 0 else "-") + str(abs(e))
    return sign + body


_STRING_ESCAPES = {0x22: b'\\"', 0x5C: b"\\\\", 0x08: b"\\b", 0x09: b"\\t",
                   0x0A: b"\\n", 0x0C: b"\\f", 0x0D: b"\\r"}


def write_string(content: bytes) -> bytes:
    out = bytearray(b'"')
    for b in content:
        if b in _STRING_ESCAPES:
            out += _STRING_ESCAPES[b]
        elif b < 0x20:
            out += b"\\u%04x" % b
        else:
            out.append(b)
    out += b'"'
    return bytes(out)


def write(doc) -> bytes:
    """Compact text of a document, keys in ascending byte order."""
    if doc is None:
        return b"null"
    if doc is True:
        return b"true"
    if doc is False:
        return b"false"
    if isinstance(doc, int):
        return str(doc).encode()
    if isinstance(doc, float):
        return write_float(doc).encode()
    if isinstance(doc, bytes):
        return write_string(doc)
    if isinstance(doc, list):
        return b"[" + b",".join(write(v) for v in doc) + b"]"
    return b"{" + b",".join(write_string(k) + b":" + write(doc[k]) for k in sorted(doc)) + b"}"


def normalise(data: bytes | str, *, byte_mode: bool = False) -> str:
    """What a round trip through the layer gives: the compact text, or the
    error text."""
    try:
        return write(parse(data, byte_mode=byte_mode)).decode("utf-8")
    except JsonError as exc:
        return str(exc)
