"""Writing documents: float layout, string escapes and key order. Documents reach the
writer by reading JSON text, so cases go through encode_checkpoint and look at the payload
after the 5-byte header."""

import json
import math
import random
import struct

import pytest
from hypothesis import given, settings, strategies as st

import jsonref
import quor_core
from helpers import via_text

GENERATED = settings(max_examples=250, derandomize=True, deadline=None)


WRITTEN = [
    ("0.0", "0.0"), ("-0.0", "-0.0"), ("0e5", "0.0"), ("1e0", "1.0"), ("0.5e1", "5.0"),
    ("123e-2", "1.23"), ("-2.5", "-2.5"), ("0.1", "0.1"), ("123456789.125", "123456789.125"),
    ("12345678.9e1", "123456789.0"), ("[1, 1.0, -0, 0]", "[1,1.0,-0.0,0]"),
    # E = 15 is the last fixed exponent, 16 the first scientific one.
    ("1e15", "1000000000000000.0"), ("1.5e15", "1500000000000000.0"),
    ("9999999999999998.0", "9999999999999998.0"), ("1e16", "1e+16"), ("-1e16", "-1e+16"),
    ("1.5e16", "1.5e+16"), ("1e22", "1e+22"), ("2.5e100", "2.5e+100"),
    ("1.7976931348623157e308", "1.7976931348623157e+308"),
    # E = -5 is the last fixed exponent, -6 the first scientific one.
    ("0.00001", "0.00001"), ("1.25e-5", "0.0000125"), ("-1.5e-5", "-0.000015"),
    ("0.001234", "0.001234"), ("0.000001", "1e-6"), ("1.25e-6", "1.25e-6"), ("1.5e-7", "1.5e-7"),
    ("1e-300", "1e-300"), ("4.9406564584124654e-324", "5e-324"),
    # The power-of-ten construction is not correctly rounded.
    ("999999999999999.9", "1000000000000000.0"), ("9999999999999999.0", "9999999999999998.0"),
    ("-92.963897999999972", "-92.96389799999997"), ("-92.96389799999997", "-92.96389799999996"),
    # Strings: only the quote, the backslash and the controls are escaped.
    ('"\\u0000"', '"\\u0000"'), ('"\\u001B\\u001f"', '"\\u001b\\u001f"'),
    ('"\\u0008\\u000C\\u000a\\u000D\\u0009"', '"\\b\\f\\n\\r\\t"'), ('"\\u0022\\u005C"', '"\\"\\\\"'),
    ('"\\/"', '"/"'), ('"\\u007f\x7f"', '"\x7f\x7f"'), ('"\\u0080\\u009f\\uFFFF"', '"\x80\x9f\uffff"'),
    ('"\\uD83D\\uDE00"', '"\U0001F600"'), ('"\\u2028\\u2029"', '"\u2028\u2029"'),
    # Keys in byte order, not UTF-16 order: U+FF00 sorts before U+1F600.
    ('{"B":0,"a":0,"_":0}', '{"B":0,"_":0,"a":0}'), ('{"ab":0,"a":0,"":0}', '{"":0,"a":0,"ab":0}'),
    ('{"z":0,"\u00e9":0,"\\u0000":0}', '{"\\u0000":0,"z":0,"\u00e9":0}'),
    ('{"\U0001F600":0,"\uff00":0}', '{"\uff00":0,"\U0001F600":0}'),
]


@pytest.mark.parametrize("text, expected", WRITTEN, ids=repr)
def test_written_text(text, expected):
    assert jsonref.normalise(text) == expected
    assert via_text(text) == expected


@GENERATED
@given(st.floats(allow_nan=False, allow_infinity=False))
def test_any_double_spelled_by_repr_matches_the_reference_model(x):
    assert via_text(repr(x)) == jsonref.normalise(repr(x))


@GENERATED
@given(st.dictionaries(st.text(), st.integers(0, 9), max_size=8), st.randoms(use_true_random=False),
       st.booleans())
def test_strings_and_key_order_match_the_reference_model(members, rnd, ascii_only):
    items = list(members.items())
    rnd.shuffle(items)
    text = "{" + ", ".join(f"{json.dumps(k, ensure_ascii=ascii_only)} : {v}" for k, v in items) + "}"
    assert via_text(text) == jsonref.write(members)


def test_sums_with_random_significands_are_written_as_repr_writes_them():
    """The add reducer's sums of two exactly read numbers are doubles whose significands
    are as good as random bit patterns (from 1e-22 to 1e38); the text must be the shortest
    round-trip digits of exactly that double."""
    rng = random.Random(20261207)
    for _ in range(40000):
        a = f"{rng.randint(1, 2**53)}e{rng.randint(-22, 22)}"
        b = f"{rng.choice(['', '-'])}{rng.randint(1, 2**53)}e{rng.randint(-22, 22)}"
        total = float(a) + float(b)
        out = quor_core.reduce_channel("add", a, b)
        if total == int(total) and -2**63 <= total < 2**64:
            assert out == str(int(total))
        else:
            assert out == jsonref.write_float(total), (a, b)


def test_subnormals_read_and_write_as_the_model_does():
    """Subnormal bit patterns with significands of every width: their shortest digits
    come from the same search as the normal doubles', at the lowest exponent."""
    rng = random.Random(324)
    bits = [rng.getrandbits(rng.randint(1, 52)) | rng.getrandbits(1) << 63 for _ in range(20000)]
    text = json.dumps([struct.unpack("<d", struct.pack("<Q", b))[0] for b in bits])
    assert via_text(text) == jsonref.normalise(text)


@pytest.mark.slow
@pytest.mark.parametrize("seed", range(2))
def test_many_doubles_read_and_write_as_the_model_does(seed):
    """Random bit patterns and ordinary magnitudes, spelled by repr: the reader's product may
    move one by a unit or two, and the written text is the shortest one of what was read."""
    rng, values = random.Random(seed), []
    while len(values) < 50000:
        x = struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0]
        if math.isfinite(x):
            values += [x, rng.uniform(-1000, 1000)]
    text = json.dumps(values)
    assert via_text(text) == jsonref.normalise(text)
