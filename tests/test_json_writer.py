"""Writing documents: compact text, key order, string escapes and float layout.

Documents reach the writer by reading JSON text, so every case goes through
encode_checkpoint and looks at the payload after the 5-byte header.
"""

import decimal
import json
import random
import re

import pytest
from hypothesis import given, settings, strategies as st

import jsonref
import quor_core

GENERATED = settings(max_examples=250, derandomize=True, deadline=None)


def written(text: str) -> str:
    blob = quor_core.encode_checkpoint(text)
    assert blob[:5] == b"QUOR\x01"
    return blob[5:].decode("utf-8")


FLOAT_LAYOUT = [
    ("0.0", "0.0"),
    ("-0.0", "-0.0"),
    ("0e5", "0.0"),
    ("1e0", "1.0"),
    ("1e2", "100.0"),
    ("0.5e1", "5.0"),
    ("123e-2", "1.23"),
    ("12.34", "12.34"),
    ("-2.5", "-2.5"),
    ("0.1", "0.1"),
    ("123456789.125", "123456789.125"),
    ("12345678.9e1", "123456789.0"),
    # E = 15 is the last fixed exponent, 16 the first scientific one.
    ("1e15", "1000000000000000.0"),
    ("1.5e15", "1500000000000000.0"),
    ("9999999999999998.0", "9999999999999998.0"),
    ("1e16", "1e+16"),
    ("-1e16", "-1e+16"),
    ("1.5e16", "1.5e+16"),
    ("1e21", "1e+21"),
    ("1e22", "1e+22"),
    ("2.5e100", "2.5e+100"),
    ("1.7976931348623157e308", "1.7976931348623157e+308"),
    # E = -5 is the last fixed exponent, -6 the first scientific one.
    ("0.00001", "0.00001"),
    ("0.1e-4", "0.00001"),
    ("1.25e-5", "0.0000125"),
    ("-1.5e-5", "-0.000015"),
    ("0.001234", "0.001234"),
    ("0.000001", "1e-6"),
    ("1e-6", "1e-6"),
    ("1.25e-6", "1.25e-6"),
    ("1.5e-7", "1.5e-7"),
    ("1e-300", "1e-300"),
    ("5e-324", "5e-324"),
    ("4.9406564584124654e-324", "5e-324"),
    # The power-of-ten construction is not correctly rounded.
    ("999999999999999.9", "1000000000000000.0"),
    ("9999999999999999.0", "9999999999999998.0"),
    ("0.15838287025480557", "0.15838287025480555"),
    ("7.142328006063565e-165", "7.1423280060635645e-165"),
    ("7.1423280060635645e-165", "7.142328006063565e-165"),
    ("-92.963897999999972", "-92.96389799999997"),
    ("-92.96389799999997", "-92.96389799999996"),
]


@pytest.mark.parametrize("text, expected", FLOAT_LAYOUT, ids=repr)
def test_float_layout(text, expected):
    assert jsonref.normalise(text) == expected
    assert written(text) == expected


@pytest.mark.parametrize("text, expected", [
    ("0", "0"),
    ("-1", "-1"),
    ("10", "10"),
    ("18446744073709551615", "18446744073709551615"),
    ("-9223372036854775808", "-9223372036854775808"),
    ("[1, 1.0, -0, 0]", "[1,1.0,-0.0,0]"),
])
def test_integers_keep_their_form(text, expected):
    assert written(text) == expected


@GENERATED
@given(st.integers(-2**63, 2**64 - 1))
def test_integers_are_written_in_plain_decimal(n):
    assert written(f" {n} ") == str(n)


def _significant_digits(text: str) -> str:
    mantissa = re.split("[eE]", text.lstrip("-"))[0].replace(".", "")
    return mantissa.lstrip("0").rstrip("0") or "0"


@st.composite
def exactly_read_floats(draw):
    """Texts whose significand fits in 53 bits and whose power of ten is an exact
    double: the reader's single multiplication or division is then correctly
    rounded, so the double read is float(text)."""
    sign = draw(st.sampled_from(["", "-"]))
    digits = draw(st.integers(1, 10**15 - 1))
    exponent = draw(st.integers(-22, 22))
    return f"{sign}{digits}e{exponent}"


@GENERATED
@given(exactly_read_floats())
def test_floats_are_written_with_the_shortest_round_trip_digits(text):
    x = float(text)
    out = written(text)
    assert float(out) == x
    assert _significant_digits(out) == _significant_digits(repr(x))
    assert out == jsonref.write_float(x)
    exponent = decimal.Decimal(repr(x)).adjusted()
    assert ("e" in out) == (not -5 <= exponent <= 15)


@GENERATED
@given(st.floats(allow_nan=False, allow_infinity=False))
def test_any_double_spelled_by_repr_matches_the_reference_model(x):
    text = repr(x)
    assert written(text) == jsonref.normalise(text)


STRINGS = [
    ('"\\u0000"', '"\\u0000"'),
    ('"\\u001B"', '"\\u001b"'),
    ('"\\u001f\\u0001"', '"\\u001f\\u0001"'),
    ('"\\b\\f\\n\\r\\t"', '"\\b\\f\\n\\r\\t"'),
    ('"\\u0008\\u000C\\u000a\\u000D\\u0009"', '"\\b\\f\\n\\r\\t"'),
    ('"\\"\\\\"', '"\\"\\\\"'),
    ('"\\u0022\\u005C"', '"\\"\\\\"'),
    ('"\\/"', '"/"'),
    ('"/"', '"/"'),
    ('"\\u007f\x7f"', '"\x7f\x7f"'),
    ('"\\u00e9"', '"\u00e9"'),
    ('"\\u0080\\u009f"', '"\x80\x9f"'),
    ('"\\uFFFF"', '"\uffff"'),
    ('"\\ud83d\\ude00"', '"\U0001F600"'),
    ('"\\uD83D\\uDE00"', '"\U0001F600"'),
    ('"\U0001F600"', '"\U0001F600"'),
    ('"\\u2028\\u2029"', '"\u2028\u2029"'),
]


@pytest.mark.parametrize("text, expected", STRINGS, ids=repr)
def test_string_escapes(text, expected):
    assert written(text) == expected


@GENERATED
@given(st.text(), st.booleans())
def test_strings_escape_only_quote_backslash_and_controls(s, ascii_only):
    out = written(json.dumps(s, ensure_ascii=ascii_only))
    assert json.loads(out) == s
    assert out == jsonref.write_string(s.encode("utf-8")).decode("utf-8")
    inner = re.sub(r'\\["\\bfnrt]|\\u00[01][0-9a-f]', "", out[1:-1])
    assert "\\" not in inner and '"' not in inner


def _utf8(key: str) -> bytes:
    return key.encode("utf-8")


@pytest.mark.parametrize("text, keys", [
    ('{"b":1,"a":2}', ["a", "b"]),
    ('{"B":0,"a":0,"_":0}', ["B", "_", "a"]),
    ('{"ab":0,"a":0,"":0}', ["", "a", "ab"]),
    ('{"z":0,"\u00e9":0,"\\u0000":0}', ["\x00", "z", "\u00e9"]),
    # Byte order, not UTF-16 order: U+FF00 sorts before U+1F600.
    ('{"\U0001F600":0,"\uff00":0}', ["\uff00", "\U0001F600"]),
])
def test_object_keys_are_written_in_byte_order(text, keys):
    out = written(text)
    assert [k for k, _ in json.loads(out, object_pairs_hook=list)] == keys


@GENERATED
@given(st.dictionaries(st.text(max_size=4), st.integers(0, 9), max_size=8), st.randoms(use_true_random=False))
def test_key_order_does_not_depend_on_input_order(members, rnd):
    items = list(members.items())
    rnd.shuffle(items)
    text = "{" + ", ".join(f"{json.dumps(k)} : {v}" for k, v in items) + "}"
    out = written(text)
    pairs = json.loads(out, object_pairs_hook=list)
    assert pairs == sorted(members.items(), key=lambda kv: _utf8(kv[0]))
    assert out == written(json.dumps(dict(sorted(members.items())), ensure_ascii=False))


@pytest.mark.parametrize("text, expected", [
    ('{"a":1,"a":2}', '{"a":2}'),
    ('{"a":1,"b":0,"a":{"c":[]}}', '{"a":{"c":[]},"b":0}'),
    ("[ ]", "[]"),
    ("{ }", "{}"),
    (' [ null , true , false , "x" , { "k" : [ 1 , 2.5 ] } ] ', '[null,true,false,"x",{"k":[1,2.5]}]'),
])
def test_output_is_compact_with_unique_keys(text, expected):
    assert written(text) == expected


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
