"""Reading JSON text: grammar, number conversion, error messages and positions.

The native reader is reached through the checkpoint codec: encode_checkpoint reads
a str (text input), decode_checkpoint reads the payload after the 5-byte header
(byte input, which adds the UTF-8 check on strings).
"""

import random

import pytest
from hypothesis import HealthCheck, given, settings

import jsongen
import jsonref
import quor_core

HEADER = b"QUOR\x01"


def via_text(text: str) -> str:
    """The normalised document, or the error text, when a str is read."""
    try:
        blob = quor_core.encode_checkpoint(text)
    except ValueError as exc:
        return str(exc)
    assert blob[:5] == HEADER
    return blob[5:].decode("utf-8")


def via_bytes(payload: bytes) -> str:
    try:
        return quor_core.decode_checkpoint(HEADER + payload)
    except ValueError as exc:
        return str(exc)


def assert_reads(text: str, expected: str) -> None:
    """Both input modes and the reference model agree on `expected`."""
    assert jsonref.normalise(text) == expected
    assert via_text(text) == expected
    assert via_bytes(text.encode("utf-8")) == expected


# Failures: one row per rule of the failure table, with multi-line and
# multi-byte inputs where the position rule is easy to get wrong.
FAILURES = [
    ("", "EOF while parsing a value at line 1 column 0"),
    (" \n ", "EOF while parsing a value at line 2 column 1"),
    ("\n", "EOF while parsing a value at line 2 column 0"),
    ("\t", "EOF while parsing a value at line 1 column 1"),
    ("[1,]", "trailing comma at line 1 column 4"),
    ('{"a":1,}', "trailing comma at line 1 column 8"),
    ('{"a":1,  }', "trailing comma at line 1 column 10"),
    ("[1,\n 2,\n]", "trailing comma at line 3 column 1"),
    ("\r\n[\r\n1,\r\n]", "trailing comma at line 4 column 1"),
    ("[1] x", "trailing characters at line 1 column 5"),
    ("1 2", "trailing characters at line 1 column 3"),
    ("{}}", "trailing characters at line 1 column 3"),
    ('"a""b"', "trailing characters at line 1 column 4"),
    ("nullx", "trailing characters at line 1 column 5"),
    ("0x", "trailing characters at line 1 column 2"),
    ("1.5.2", "trailing characters at line 1 column 4"),
    ("[1]\n\n  ]", "trailing characters at line 3 column 3"),
    # values
    ("+1", "expected value at line 1 column 1"),
    (".5", "expected value at line 1 column 1"),
    ("NaN", "expected value at line 1 column 1"),
    ("Infinity", "expected value at line 1 column 1"),
    ("True", "expected value at line 1 column 1"),
    ("\ufeff1", "expected value at line 1 column 1"),
    ("\f1", "expected value at line 1 column 1"),
    ("/*c*/1", "expected value at line 1 column 1"),
    ("é", "expected value at line 1 column 1"),
    ("[,1]", "expected value at line 1 column 2"),
    ("[}", "expected value at line 1 column 2"),
    ("[1,}", "expected value at line 1 column 4"),
    ('["é", x]', "expected value at line 1 column 8"),
    ("nul", "EOF while parsing a value at line 1 column 3"),
    ("tru", "EOF while parsing a value at line 1 column 3"),
    ("fals", "EOF while parsing a value at line 1 column 4"),
    ("[t", "EOF while parsing a value at line 1 column 2"),
    ("nulx", "expected ident at line 1 column 4"),
    ("nUll", "expected ident at line 1 column 2"),
    ("falsy", "expected ident at line 1 column 5"),
    # numbers
    ("01", "invalid number at line 1 column 2"),
    ("-01", "invalid number at line 1 column 3"),
    ("[00]", "invalid number at line 1 column 3"),
    ("1.", "EOF while parsing a value at line 1 column 2"),
    ("-", "EOF while parsing a value at line 1 column 1"),
    ("[-", "EOF while parsing a value at line 1 column 2"),
    ("-x", "invalid number at line 1 column 2"),
    ("-[", "invalid number at line 1 column 2"),
    ("-Infinity", "invalid number at line 1 column 2"),
    ("1.x", "invalid number at line 1 column 3"),
    ("1.e5", "invalid number at line 1 column 3"),
    ("1e", "EOF while parsing a value at line 1 column 2"),
    ("1e+", "EOF while parsing a value at line 1 column 3"),
    ("1ex", "invalid number at line 1 column 3"),
    ("1e-x", "invalid number at line 1 column 4"),
    ("[1e]", "invalid number at line 1 column 4"),
    ("1E400", "number out of range at line 1 column 5"),
    ("[\n  1e400 ]", "number out of range at line 2 column 7"),
    # arrays
    ("[", "EOF while parsing a list at line 1 column 1"),
    ("[1", "EOF while parsing a list at line 1 column 2"),
    ("[1 ", "EOF while parsing a list at line 1 column 3"),
    ("[1,", "EOF while parsing a value at line 1 column 3"),
    ("[1,\n\n", "EOF while parsing a value at line 3 column 0"),
    ("[1 2]", "expected `,` or `]` at line 1 column 4"),
    ("[1}", "expected `,` or `]` at line 1 column 3"),
    # objects
    ("{", "EOF while parsing an object at line 1 column 1"),
    ('{"a"', "EOF while parsing an object at line 1 column 4"),
    ('{"a":', "EOF while parsing a value at line 1 column 5"),
    ('{"a":1', "EOF while parsing an object at line 1 column 6"),
    ('{"a":1,', "EOF while parsing a value at line 1 column 7"),
    ('{"a":1,\n', "EOF while parsing a value at line 2 column 0"),
    ('{"a" 1}', "expected `:` at line 1 column 6"),
    ('{"a"}', "expected `:` at line 1 column 5"),
    ('{"a":1 "b":2}', "expected `,` or `}` at line 1 column 8"),
    ('{"a":1]', "expected `,` or `}` at line 1 column 7"),
    ('{"日本": 1 x}', "expected `,` or `}` at line 1 column 14"),
    ("{1:2}", "key must be a string at line 1 column 2"),
    ("{,}", "key must be a string at line 1 column 2"),
    ("{'a':1}", "key must be a string at line 1 column 2"),
    ('{"a":1,]', "key must be a string at line 1 column 8"),
    # strings
    ('"abc', "EOF while parsing a string at line 1 column 4"),
    ('"\\', "EOF while parsing a string at line 1 column 2"),
    ('"\\x"', "invalid escape at line 1 column 3"),
    ('"\\U0041"', "invalid escape at line 1 column 3"),
    ('"\\u12G4"', "invalid escape at line 1 column 7"),
    ('"\\uG234"', "invalid escape at line 1 column 7"),
    ('"\\u1', "EOF while parsing a string at line 1 column 4"),
    ('"\\u12"', "EOF while parsing a string at line 1 column 6"),
    ('"\\u12" ', "invalid escape at line 1 column 7"),
    ('"\\ud800"', "unexpected end of hex escape at line 1 column 8"),
    ('"\\ud800x"', "unexpected end of hex escape at line 1 column 8"),
    ('"\\ud800\\n"', "unexpected end of hex escape at line 1 column 9"),
    ('"\\ud800\\udc00\\udbff"', "unexpected end of hex escape at line 1 column 20"),
    ('"\\ud800', "EOF while parsing a string at line 1 column 7"),
    ('"\\ud800\\', "EOF while parsing a string at line 1 column 8"),
    ('"\\ud800\\u00"', "EOF while parsing a string at line 1 column 12"),
    ('"\\udc00"', "lone leading surrogate in hex escape at line 1 column 7"),
    ('"\\uDFFF"', "lone leading surrogate in hex escape at line 1 column 7"),
    ('"\\ud800\\u0041"', "lone leading surrogate in hex escape at line 1 column 13"),
    ('"\\ud800\\ud800"', "lone leading surrogate in hex escape at line 1 column 13"),
    ('"a\tb"', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"),
    ('"a\nb"', "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"),
    ('"\x00"', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"),
    ('"\x1f"', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"),
    ('"é\t"', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 4"),
]


@pytest.mark.parametrize("text, expected", FAILURES, ids=repr)
def test_malformed_text_is_reported_with_its_position(text, expected):
    assert_reads(text, expected)


@pytest.mark.parametrize("text", ["[1,]", '"\\ud800"', "1E400", "{", "01"])
def test_errors_are_raised_as_value_error_with_the_bare_text(text):
    with pytest.raises(ValueError) as info:
        quor_core.encode_checkpoint(text)
    assert type(info.value) is ValueError
    assert info.value.args == (jsonref.normalise(text),)


# Byte input: the UTF-8 check runs on a string's content once its closing quote
# has been read, so earlier string errors take precedence.
BYTE_MODE = [
    (b'"\xff"', "invalid unicode code point at line 1 column 3"),
    (b'"\xc0\x80"', "invalid unicode code point at line 1 column 4"),  # overlong NUL
    (b'"\xe0\x80\x80"', "invalid unicode code point at line 1 column 5"),
    (b'"\xf0\x80\x80\x80"', "invalid unicode code point at line 1 column 6"),
    (b'"\xed\xa0\x80"', "invalid unicode code point at line 1 column 5"),  # U+D800
    (b'"\xed\xbf\xbf"', "invalid unicode code point at line 1 column 5"),  # U+DFFF
    (b'"\xe2\x82"', "invalid unicode code point at line 1 column 4"),
    (b'"\xf4\x90\x80\x80"', "invalid unicode code point at line 1 column 6"),  # > U+10FFFF
    (b'"\xf5\x80\x80\x80"', "invalid unicode code point at line 1 column 6"),
    (b'"a\x80b"', "invalid unicode code point at line 1 column 5"),
    (b'{"\xff":1}', "invalid unicode code point at line 1 column 4"),
    (b'[\n"\xe9t\xe9"]', "invalid unicode code point at line 2 column 5"),
    (b'"\xe2\x82', "EOF while parsing a string at line 1 column 3"),
    (b'"\xff\\x"', "invalid escape at line 1 column 4"),
    (b'"\xff\x01"', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"),
    (b"\xff", "expected value at line 1 column 1"),
    (b"1 \xff", "trailing characters at line 1 column 3"),
    (b'"\xf0\x9f\x98\x80"', '"\U0001F600"'),
    (b'"\xf4\x8f\xbf\xbf"', '"\U0010FFFF"'),
    (b'"\xed\x9f\xbf\xee\x80\x80"', '"\ud7ff\ue000"'),
    (b'"\\ud83d\\ude00\xc3\xa9"', '"\U0001F600\u00e9"'),
]


@pytest.mark.parametrize("payload, expected", BYTE_MODE, ids=repr)
def test_byte_input_checks_utf8_inside_strings(payload, expected):
    assert jsonref.normalise(payload, byte_mode=True) == expected
    assert via_bytes(payload) == expected


# Accepted documents and their normal form.
DOCUMENTS = [
    ('{"b":1,"a":2}', '{"a":2,"b":1}'),
    ('{"a":1,"a":2}', '{"a":2}'),
    ('{"a":[1],"a":{"x":null}}', '{"a":{"x":null}}'),
    ('{"B":0,"a":0,"_":0}', '{"B":0,"_":0,"a":0}'),
    (' \t\r\n[ 1 , { "k" : true } , [ ] , { } , null , false ] \n', '[1,{"k":true},[],{},null,false]'),
    ("-0", "-0.0"),
    ("1e2", "100.0"),
    ("1.0", "1.0"),
    ("10", "10"),
    ("1e-400", "0.0"),
    ("-1e-400", "-0.0"),
    ("18446744073709551615", "18446744073709551615"),
    ("18446744073709551616", "1.8446744073709552e+19"),
    ("-9223372036854775808", "-9223372036854775808"),
    ("-9223372036854775809", "-9.223372036854776e+18"),
    ("9223372036854775808", "9223372036854775808"),
    ("0.15838287025480557", "0.15838287025480555"),
    ("7.142328006063565e-165", "7.1423280060635645e-165"),
    ("7.1423280060635645e-165", "7.142328006063565e-165"),
    ("[" * 127 + "]" * 127, "[" * 127 + "]" * 127),
    ("[" * 126 + "{}" + "]" * 126, "[" * 126 + "{}" + "]" * 126),
    ('"\\u0000"', '"\\u0000"'),
    ('"\\u00e9"', '"\u00e9"'),
    ('"\\/"', '"/"'),
    ('"\\ud800\\udc00\\uDBFF\\uDFFF"', '"\U00010000\U0010FFFF"'),
    ('"\x7f"', '"\x7f"'),
]


@pytest.mark.parametrize("text, expected", DOCUMENTS, ids=repr)
def test_documents_read_into_their_normal_form(text, expected):
    assert_reads(text, expected)


def test_closing_a_container_gives_its_nesting_unit_back():
    deep = "[" * 126 + "]" * 126
    assert_reads("[" + ",".join([deep] * 3) + "]", "[" + ",".join([deep] * 3) + "]")


@pytest.mark.parametrize("text, expected", [
    ("[" * 128, "recursion limit exceeded at line 1 column 128"),
    ("[" * 100_000, "recursion limit exceeded at line 1 column 128"),
    ("[" * 100_000 + "]" * 100_000, "recursion limit exceeded at line 1 column 128"),
    ("[" * 127 + "{}" + "]" * 127, "recursion limit exceeded at line 1 column 128"),
    ('{"a":' * 128, "recursion limit exceeded at line 1 column 636"),
    ('[{"k":' * 64, "recursion limit exceeded at line 1 column 380"),
    ("\n" + "[ " * 128, "recursion limit exceeded at line 2 column 255"),
], ids=lambda t: t[:12] if isinstance(t, str) else t)
def test_the_128th_open_container_exceeds_the_nesting_limit(text, expected):
    assert_reads(text, expected)


# Number conversion near every boundary; the reference model carries the
# truncating significand, the saturating exponent and the power-of-ten product.
NUMBER_BOUNDARIES = [
    "0", "-0", "0.0", "-0.0", "0e0", "-0e-0", "1E2", "1e+2", "1e-2", "1e0000000000000000000002",
    "18446744073709551615", "18446744073709551616", "18446744073709551619", "99999999999999999999",
    "-18446744073709551615", "-18446744073709551616", "-9223372036854775807",
    "-9223372036854775808", "-9223372036854775809", "9223372036854775807", "9223372036854775808",
    "18446744073709551616.5", "18446744073709551615.5", "1844674407370955161.5", "1844674407370955161.6",
    "1844674407370955161.59", "18446744073709551616e-1", "184467440737095516159e-2",
    "9007199254740993", "9007199254740993.0", "-9007199254740993.0", "12345678901234567890123",
    "1" + "0" * 400, "1" + "0" * 300, "1" + "0" * 308 + ".5", "0." + "0" * 400 + "1", "1." + "0" * 1000,
    "0." + "1" * 40, "1" * 40 + "e-40", "1e2147483647", "1e2147483648", "1e+99999999999",
    "1e-2147483647", "1e-2147483648", "-1e-99999999999", "0e2147483648", "-0e2147483648",
    "0e99999999999", "0.01e-2147483647", "1.5e-2147483647", "100000000000000000000e2147483647",
    "0.00000000000000000001e2147483647", "[1e99999999999999,\n 1]",
    "5e-324", "4.9406564584124654e-324", "3e-324", "2.5e-324", "2e-324", "1e-323",
    "2.225073858507201e-308", "2.2250738585072014e-308", "2.2250738585072011e-308",
    "1e308", "1.7976931348623157e308", "1.7976931348623158e308", "1.7976931348623159e308", "1.8e308",
    "179769313486231570000000000000000000000e270", "10e308", "0.1e309", "1e309", "-1e309",
    "1e22", "1e23", "8.988465674311579e307", "123456789012345678e-35",
    "0.15838287025480557", "0.15838287025480555", "7.142328006063565e-165",
]


@pytest.mark.parametrize("text", NUMBER_BOUNDARIES, ids=lambda t: t[:40])
def test_numbers_at_boundaries_match_the_reference_model(text):
    expected = jsonref.normalise(text)
    assert via_text(text) == expected
    assert via_bytes(text.encode()) == expected


@pytest.mark.parametrize("text, expected", [
    ("1e2147483647", "number out of range at line 1 column 12"),
    ("1e2147483648", "number out of range at line 1 column 12"),
    ("[1e99999999999999,\n 1]", "number out of range at line 1 column 17"),
    ("0e99999999999", "0.0"),
    ("-0e2147483648", "-0.0"),
    ("-1e-99999999999", "-0.0"),
    ("1e0000000000000000000002", "100.0"),
    ("1" + "0" * 400, "number out of range at line 1 column 401"),
    ("0." + "0" * 400 + "1", "0.0"),
    ("1." + "0" * 1000, "1.0"),
    ("5e-324", "5e-324"),
    ("1e309", "number out of range at line 1 column 5"),
    ("99999999999999999999", "1e+20"),
    # Once the integer part has overflowed, fraction digits are still appended
    # while they fit, and the first one that does not fit ends the appending.
    ("1844674407370955161600000000000000000000000", "1.8446744073709553e+42"),
    ("1844674407370955161600000000000000000000000.0", "1.844674407370955e+42"),
    ("1844674407370955161600000000000000000000000.61", "1.8446744073709553e+42"),
])
def test_number_conversion_examples(text, expected):
    assert_reads(text, expected)


# Typed reads are reached through advance_superstep: reducers_json is read as
# a map of strings, updates_json as a sequence.
TYPED_MAP = [
    ('{"a": 5}', "invalid type: integer `5`, expected a string at line 1 column 7"),
    ("null", "invalid type: null, expected a map at line 1 column 4"),
    ('{"x":-7}', "invalid type: integer `-7`, expected a string at line 1 column 7"),
    ('{"x":true}', "invalid type: boolean `true`, expected a string at line 1 column 9"),
    ("\nfalse", "invalid type: boolean `false`, expected a map at line 2 column 5"),
    ('{"x":1e2}', "invalid type: floating point `100.0`, expected a string at line 1 column 8"),
    ("  [1]", "invalid type: sequence, expected a map at line 1 column 2"),
    ('{"x":\n[1]}', "invalid type: sequence, expected a string at line 2 column 0"),
    ('{"x": {}}', "invalid type: map, expected a string at line 1 column 6"),
    ('"a\\"b\\\\c\\u0000\\t\\n\\r"',
     'invalid type: string "a\\"b\\\\c\\0\\t\\n\\r", expected a map at line 1 column 21'),
    ('"\\u001b\\u0008\\u007f\\u0085\\u00a0\\u00e9"',
     'invalid type: string "\\u{1b}\\u{8}\\u{7f}\\u{85}\u00a0\u00e9", expected a map at line 1 column 38'),
    ('{"x":01}', "invalid number at line 1 column 7"),
    ('{"x":', "EOF while parsing a value at line 1 column 5"),
    ('{"x":"a"} x', "trailing characters at line 1 column 11"),
    ('{"x":"a",}', "trailing comma at line 1 column 10"),
]

TYPED_SEQUENCE = [
    ("{}", "invalid type: map, expected a sequence at line 1 column 0"),
    ("1.5", "invalid type: floating point `1.5`, expected a sequence at line 1 column 3"),
    ("-0", "invalid type: floating point `-0.0`, expected a sequence at line 1 column 2"),
    ("18446744073709551615",
     "invalid type: integer `18446744073709551615`, expected a sequence at line 1 column 20"),
    ('"x"', 'invalid type: string "x", expected a sequence at line 1 column 3'),
    ("", "EOF while parsing a value at line 1 column 0"),
    ("[null] x", "trailing characters at line 1 column 8"),
    ("[" * 128, "recursion limit exceeded at line 1 column 128"),
]


def _advance(reducers: str, updates: str) -> str:
    advance = getattr(quor_core, "advance_superstep", None)
    if advance is None:
        pytest.skip("advance_superstep is not available")
    try:
        return advance("{}", reducers, updates)
    except ValueError as exc:
        return str(exc)


def _model(read, text: str) -> str:
    try:
        read(text)
    except jsonref.JsonError as exc:
        return str(exc)
    return "accepted"


@pytest.mark.parametrize("text, expected", TYPED_MAP, ids=repr)
def test_typed_map_read_reports_what_it_found(text, expected):
    assert _model(jsonref.read_string_map, text) == expected
    assert _advance(text, "[]") == expected


@pytest.mark.parametrize("text, expected", TYPED_SEQUENCE, ids=repr)
def test_typed_sequence_read_reports_what_it_found(text, expected):
    assert _model(jsonref.read_sequence, text) == expected
    assert _advance("{}", text) == expected


GENERATED = settings(max_examples=300, derandomize=True, deadline=None,
                     suppress_health_check=[HealthCheck.too_slow])


@GENERATED
@given(jsongen.json_texts())
def test_generated_documents_match_the_reference_model(text):
    expected = jsonref.normalise(text)
    assert via_text(text) == expected
    assert via_bytes(text.encode("utf-8")) == expected


@GENERATED
@given(jsongen.mutated(jsongen.json_texts(), jsongen.MUTATION_CHARS))
def test_mutated_text_matches_the_reference_model(text):
    assert via_text(text) == jsonref.normalise(text)


@GENERATED
@given(jsongen.mutated(jsongen.json_texts().map(lambda t: t.encode("utf-8")), jsongen.MUTATION_BYTES))
def test_mutated_bytes_match_the_reference_model(payload):
    assert via_bytes(payload) == jsonref.normalise(payload, byte_mode=True)


@pytest.mark.parametrize("seed", range(4))
def test_large_random_documents_match_the_reference_model(seed):
    # Long arrays, wide objects with repeated keys, and deep nesting around them.
    rnd, shapes = random.Random(seed), []
    items = [jsongen.value_text(rnd, 2, shapes) for _ in range(700)]
    members = [f'"k{rnd.randint(0, 700)}":' + jsongen.value_text(rnd, 1, shapes) for _ in range(700)]
    text = "[" * 100 + "[" + ",".join(items) + "],{" + ",\n".join(members) + "}" + "]" * 100
    expected = jsonref.normalise(text)
    assert "at line" not in expected
    assert via_text(text) == expected
    assert via_bytes(text.encode("utf-8")) == expected