"""Small reference model of the JSON layer: the json module does the grammar, and the model
adds the rules it does not share: the truncating significand, the saturating exponent and
the power-of-ten product for numbers, "-0" as -0.0, no lone surrogates, a nesting limit,
and the compact writer with keys in byte order. Errors are not modelled beyond "rejected":
the reader's tests give their exact texts and check their shape.
"""

import json
import math
import re
from decimal import Decimal

U64_MAX, I32_MAX, I32_MIN = 2**64 - 1, 2**31 - 1, -(2**31)
POW10 = [float(f"1e{k}") for k in range(309)]  # float() of the literal is correctly rounded
NUMBER = re.compile(r"(-?)(\d+)(?:\.(\d+))?(?:[eE]([-+]?)(\d+))?")


class Rejected(Exception):
    pass


def float_from_parts(negative, significand, exponent):
    f = float(significand)
    while abs(exponent) > 308 and f != 0.0:
        if exponent > 0:
            raise Rejected("number out of range")
        f, exponent = f / 1e308, exponent + 308
    if abs(exponent) <= 308:
        f = f * POW10[exponent] if exponent >= 0 else f / POW10[-exponent]
    if math.isinf(f):
        raise Rejected("number out of range")
    return -f if negative else f


def read_number(text):
    sign, integer, fraction, exp_sign, exp_digits = NUMBER.fullmatch(text).groups()
    negative, significand, exponent = sign == "-", int(integer[:21]), 0
    if significand > U64_MAX:  # the first 19 or 20 digits, the rest a power of ten
        kept = 20 if int(integer[:20]) <= U64_MAX else 19
        significand, exponent = int(integer[:kept]), len(integer) - kept
    elif fraction is None and exp_digits is None:
        if not negative:
            return significand
        if significand == 0:
            return -0.0
        return -significand if significand <= 2**63 else -float(significand)
    for d in fraction or "":  # fraction digits are appended while they fit
        if significand * 10 + int(d) > U64_MAX:
            break
        significand, exponent = significand * 10 + int(d), exponent - 1
    if exp_digits is not None:
        literal = int(exp_digits) if len(exp_digits.lstrip("0")) <= 10 else I32_MAX + 1
        if literal > I32_MAX:
            if significand != 0 and exp_sign != "-":
                raise Rejected("number out of range")
            return -0.0 if negative else 0.0
        exponent = max(I32_MIN, min(I32_MAX, exponent + (-literal if exp_sign == "-" else literal)))
    return float_from_parts(negative, significand, exponent)


def _reject(name):
    raise Rejected(name)


def _check(doc, depth=0):
    if isinstance(doc, str):
        if any(0xD800 <= ord(c) <= 0xDFFF for c in doc):
            raise Rejected("lone surrogate")
    elif isinstance(doc, (list, dict)):
        if depth == 127:
            raise Rejected("recursion limit exceeded")
        for item in [*doc, *doc.values()] if isinstance(doc, dict) else doc:
            _check(item, depth + 1)


def parse(data):
    """The document of a text (str) or of a payload (bytes, checked as UTF-8); raises
    Rejected where the layer fails."""
    try:
        text = data.decode("utf-8") if isinstance(data, bytes) else data
        doc = json.loads(text, parse_int=read_number, parse_float=read_number,
                         parse_constant=_reject, object_pairs_hook=dict)
    except (ValueError, RecursionError) as exc:
        raise Rejected(str(exc)) from None
    _check(doc)
    return doc


def write_float(x):
    if math.isnan(x) or math.isinf(x):
        return "null"
    if x == 0.0:
        return "-0.0" if math.copysign(1.0, x) < 0 else "0.0"
    _, digits, exp = Decimal(repr(abs(x))).normalize().as_tuple()
    digits, sign = "".join(map(str, digits)), "-" if x < 0 else ""
    n, e = len(digits), exp + len(digits) - 1  # e: the decimal exponent of the first digit
    if -5 <= e <= 15:
        if n <= e + 1:
            return sign + digits + "0" * (e + 1 - n) + ".0"
        if e < 0:
            return sign + "0." + "0" * (-e - 1) + digits
        return sign + digits[:e + 1] + "." + digits[e + 1:]
    return f"{sign}{digits[0]}{'.' + digits[1:] if n > 1 else ''}e{'+' if e >= 0 else '-'}{abs(e)}"


ESCAPES = {'"': '\\"', "\\": "\\\\", "\b": "\\b", "\t": "\\t", "\n": "\\n", "\f": "\\f", "\r": "\\r"}


def write_string(s):
    return '"' + "".join(ESCAPES.get(c) or (f"\\u{ord(c):04x}" if c < " " else c) for c in s) + '"'


def write(doc):
    """Compact text, keys in ascending byte order (code-point order of str is that order)."""
    if doc is None or isinstance(doc, bool):
        return {None: "null", True: "true", False: "false"}[doc]
    if isinstance(doc, int):
        return str(doc)
    if isinstance(doc, float):
        return write_float(doc)
    if isinstance(doc, str):
        return write_string(doc)
    if isinstance(doc, list):
        return "[" + ",".join(map(write, doc)) + "]"
    return "{" + ",".join(write_string(k) + ":" + write(doc[k]) for k in sorted(doc)) + "}"


def normalise(data):
    """The compact text a read and write give, or None when the read fails."""
    try:
        return write(parse(data))
    except Rejected:
        return None
