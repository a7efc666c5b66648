"""Reading JSON text: grammar, number conversion, error messages and positions.

The native reader is reached through the checkpoint codec: encode_checkpoint reads
a str (text input), decode_checkpoint reads the payload after the 5-byte header
(byte input, which adds the UTF-8 check on strings).
"""

import random
import re

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import jsongen
import jsonref
import quor_core
from helpers import via_bytes, via_text


def assert_reads(text, expected=None) -> None:
    """Both input modes give the model's normal form where it accepts, a documented error
    placed inside the input where it does not, and `expected` where given."""
    model = jsonref.normalise(text)
    payload = text.encode("utf-8") if isinstance(text, str) else text
    for got in ([via_text(text)] if isinstance(text, str) else []) + [via_bytes(payload)]:
        assert expected is None or got == expected
        if model is not None:
            assert got == model
            continue
        m = re.fullmatch(r"(.*) at line (\d+) column (\d+)", got, re.S)
        assert m and m.group(1) in READ_ERRORS, got
        lines, line, column = payload.split(b"\n"), int(m.group(2)), int(m.group(3))
        assert 1 <= line <= len(lines) and column <= len(lines[line - 1]) + 1, (got, payload)


# Each failure message with the inputs that end in it and the line and column of each,
# multi-line and multi-byte where the position rule is easy to get wrong. Byte input adds
# the UTF-8 check on string content, which runs once the closing quote is read, so earlier
# string errors take precedence.
FAILURE_RULES = {
    'EOF while parsing a value': [('', 1, 0), (' \n ', 2, 1), ('\t', 1, 1), ('nul', 1, 3),
        ('fals', 1, 4), ('[t', 1, 2), ('1.', 1, 2), ('-', 1, 1), ('[-', 1, 2), ('1e', 1, 2),
        ('1e+', 1, 3), ('[1,', 1, 3), ('[1,\n\n', 3, 0), ('{"a":', 1, 5), ('{"a":1,\n', 2, 0)],
    'trailing comma': [('[1,]', 1, 4), ('{"a":1,  }', 1, 10), ('\r\n[\r\n1,\r\n]', 4, 1)],
    'trailing characters': [('[1] x', 1, 5), ('1 2', 1, 3), ('{}}', 1, 3), ('"a""b"', 1, 4),
        ('nullx', 1, 5), ('0x', 1, 2), ('1.5.2', 1, 4), ('[1]\n\n  ]', 3, 3), (b'1 \xff', 1, 3)],
    'expected value': [('+1', 1, 1), ('.5', 1, 1), ('NaN', 1, 1), ('\ufeff1', 1, 1), ('\x0c1', 1, 1),
        ('é', 1, 1), ('[,1]', 1, 2), ('[}', 1, 2), ('[1,}', 1, 4), ('["é", x]', 1, 8), (b'\xff', 1, 1)],
    'expected ident': [('nulx', 1, 4), ('nUll', 1, 2), ('falsy', 1, 5)],
    'invalid number': [('01', 1, 2), ('-01', 1, 3), ('[00]', 1, 3), ('-x', 1, 2), ('-[', 1, 2),
        ('-Infinity', 1, 2), ('1.x', 1, 3), ('1.e5', 1, 3), ('1ex', 1, 3), ('1e-x', 1, 4),
        ('[1e]', 1, 4)],
    'number out of range': [('1E400', 1, 5), ('[\n  1e400 ]', 2, 7)],
    'EOF while parsing a list': [('[', 1, 1), ('[1', 1, 2)],
    'expected `,` or `]`': [('[1 2]', 1, 4), ('[1}', 1, 3)],
    'EOF while parsing an object': [('{', 1, 1), ('{"a"', 1, 4), ('{"a":1', 1, 6)],
    'expected `:`': [('{"a" 1}', 1, 6), ('{"a"}', 1, 5)],
    'expected `,` or `}`': [('{"a":1 "b":2}', 1, 8), ('{"a":1]', 1, 7), ('{"日本": 1 x}', 1, 14)],
    'key must be a string': [('{1:2}', 1, 2), ("{'a':1}", 1, 2), ('{"a":1,]', 1, 8)],
    'EOF while parsing a string': [('"abc', 1, 4), ('"\\', 1, 2), ('"\\u1', 1, 4), ('"\\u12"', 1, 6),
        ('"\\ud800', 1, 7), ('"\\ud800\\', 1, 8), ('"\\ud800\\u00"', 1, 12), (b'"\xe2\x82', 1, 3)],
    'invalid escape': [('"\\x"', 1, 3), ('"\\U0041"', 1, 3), ('"\\u12G4"', 1, 7), ('"\\u12" ', 1, 7),
        (b'"\xff\\x"', 1, 4)],
    'unexpected end of hex escape': [('"\\ud800"', 1, 8), ('"\\ud800x"', 1, 8), ('"\\ud800\\n"', 1, 9),
        ('"\\ud800\\udc00\\udbff"', 1, 20)],
    'lone leading surrogate in hex escape': [('"\\udc00"', 1, 7), ('"\\ud800\\u0041"', 1, 13),
        ('"\\ud800\\ud800"', 1, 13)],
    'control character (\\u0000-\\u001F) found while parsing a string': [('"a\tb"', 1, 3),
        ('"a\nb"', 2, 0), ('"\x00"', 1, 2), ('"\x1f"', 1, 2), ('"é\t"', 1, 4), (b'"\xff\x01"', 1, 3)],
    'invalid unicode code point': [(b'"\xff"', 1, 3), (b'"\xc0\x80"', 1, 4), (b'"\xe0\x80\x80"', 1, 5),
        (b'"\xf0\x80\x80\x80"', 1, 6), (b'"\xed\xa0\x80"', 1, 5), (b'"\xed\xbf\xbf"', 1, 5),
        (b'"\xe2\x82"', 1, 4), (b'"\xf4\x90\x80\x80"', 1, 6), (b'"\xf5\x80\x80\x80"', 1, 6),
        (b'"a\x80b"', 1, 5), (b'{"\xff":1}', 1, 4), (b'[\n"\xe9t\xe9"]', 2, 5)],
}
READ_ERRORS = {*FAILURE_RULES, "recursion limit exceeded"}
FAILURES = [(text, f"{message} at line {line} column {column}")
            for message, rows in FAILURE_RULES.items() for text, line, column in rows]


# Accepted documents and their normal form, numbers and nesting at their limits.
DOCUMENTS = [
    ('{"b":1,"a":2}', '{"a":2,"b":1}'), ('{"a":1,"a":2}', '{"a":2}'),
    ('{"a":[1],"a":{"x":null}}', '{"a":{"x":null}}'), ('{"B":0,"a":0,"_":0}', '{"B":0,"_":0,"a":0}'),
    (' \t\r\n[ 1 , { "k" : true } , [ ] , { } , null , false ] \n', '[1,{"k":true},[],{},null,false]'),
    ("-0", "-0.0"), ("1e2", "100.0"), ("1.0", "1.0"), ("10", "10"), ("1e-400", "0.0"),
    ("-1e-400", "-0.0"), ("18446744073709551615", "18446744073709551615"),
    ("18446744073709551616", "1.8446744073709552e+19"),
    ("-9223372036854775808", "-9223372036854775808"),
    ("-9223372036854775809", "-9.223372036854776e+18"), ("9223372036854775808", "9223372036854775808"),
    ("0.15838287025480557", "0.15838287025480555"),
    ("7.142328006063565e-165", "7.1423280060635645e-165"),
    ("7.1423280060635645e-165", "7.142328006063565e-165"),
    ("[" * 127 + "]" * 127, "[" * 127 + "]" * 127),
    ("[" * 126 + "{}" + "]" * 126, "[" * 126 + "{}" + "]" * 126), ('"\\u0000"', '"\\u0000"'),
    ('"\\u00e9"', '"\u00e9"'), ('"\\/"', '"/"'),
    ('"\\ud800\\udc00\\uDBFF\\uDFFF"', '"\U00010000\U0010FFFF"'), ('"\x7f"', '"\x7f"'),
    (b'"\xf4\x8f\xbf\xbf"', '"\U0010FFFF"'), (b'"\xed\x9f\xbf\xee\x80\x80"', '"\ud7ff\ue000"'),
    (b'"\\ud83d\\ude00\xc3\xa9"', '"\U0001F600\u00e9"'),
    ("[" + ",".join(["[" * 126 + "]" * 126] * 3) + "]",) * 2,
    # numbers
    ("1e2147483647", "number out of range at line 1 column 12"),
    ("1e2147483648", "number out of range at line 1 column 12"),
    ("[1e99999999999999,\n 1]", "number out of range at line 1 column 17"), ("0e99999999999", "0.0"),
    ("-0e2147483648", "-0.0"), ("-1e-99999999999", "-0.0"), ("1e0000000000000000000002", "100.0"),
    ("1" + "0" * 400, "number out of range at line 1 column 401"), ("0." + "0" * 400 + "1", "0.0"),
    ("1." + "0" * 1000, "1.0"), ("5e-324", "5e-324"),
    ("1e309", "number out of range at line 1 column 5"), ("99999999999999999999", "1e+20"),
    # Once the integer part has overflowed, fraction digits are still appended
    # while they fit, and the first one that does not fit ends the appending.
    ("1844674407370955161600000000000000000000000", "1.8446744073709553e+42"),
    ("1844674407370955161600000000000000000000000.0", "1.844674407370955e+42"),
    ("1844674407370955161600000000000000000000000.61", "1.8446744073709553e+42"),
    # nesting: the 128th open container is one too many
    ("[" * 128, "recursion limit exceeded at line 1 column 128"),
    ("[" * 100_000 + "]" * 100_000, "recursion limit exceeded at line 1 column 128"),
    ("[" * 127 + "{}" + "]" * 127, "recursion limit exceeded at line 1 column 128"),
    ('{"a":' * 128, "recursion limit exceeded at line 1 column 636"),
    ('[{"k":' * 64, "recursion limit exceeded at line 1 column 380"),
    ("\n" + "[ " * 128, "recursion limit exceeded at line 2 column 255"),
]


@pytest.mark.parametrize("text, expected", FAILURES + DOCUMENTS, ids=lambda t: repr(t)[:40])
def test_text_reads_into_its_normal_form_or_fails_at_its_position(text, expected):
    assert_reads(text, expected)


# Number conversion near every boundary, held against the model.
NUMBER_BOUNDARIES = [
    "0", "-0", "0.0", "-0.0", "0e0", "-0e-0", "1E2", "1e+2", "1e-2", "12345678901234567890123",
    "18446744073709551615", "18446744073709551616", "18446744073709551619", "-18446744073709551615",
    "-18446744073709551616", "-9223372036854775807", "-9223372036854775808", "-9223372036854775809",
    "9223372036854775807", "9223372036854775808", "18446744073709551616.5", "18446744073709551615.5",
    "1844674407370955161.5", "1844674407370955161.6", "1844674407370955161.59", "18446744073709551616e-1",
    "184467440737095516159e-2", "9007199254740993", "9007199254740993.0", "-9007199254740993.0",
    "1" + "0" * 300, "1" + "0" * 308 + ".5", "0." + "1" * 40, "1" * 40 + "e-40", "1e-2147483647",
    "1e-2147483648", "0e2147483648", "0.01e-2147483647", "1.5e-2147483647",
    "100000000000000000000e2147483647",
    "0.00000000000000000001e2147483647", "4.9406564584124654e-324", "3e-324", "2.5e-324", "2e-324", "1e-323",
    "2.225073858507201e-308", "2.2250738585072014e-308", "2.2250738585072011e-308", "1e308",
    "1.7976931348623157e308", "1.7976931348623158e308", "1.7976931348623159e308", "1.8e308",
    "179769313486231570000000000000000000000e270", "10e308", "0.1e309", "-1e309", "1e22", "1e23",
    "8.988465674311579e307", "123456789012345678e-35", "0.15838287025480555",
]


@pytest.mark.parametrize("text", NUMBER_BOUNDARIES, ids=lambda t: t[:40])
def test_numbers_at_boundaries_match_the_reference_model(text):
    assert_reads(text)


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


@pytest.mark.parametrize("reducers, updates, expected", [(t, "[]", e) for t, e in TYPED_MAP]
                         + [("{}", t, e) for t, e in TYPED_SEQUENCE], ids=repr)
def test_typed_reads_report_what_they_found(reducers, updates, expected):
    with pytest.raises(ValueError) as info:
        quor_core.advance_superstep("{}", reducers, updates)
    assert str(info.value) == expected


GENERATED = settings(max_examples=300, derandomize=True, deadline=None,
                     suppress_health_check=[HealthCheck.too_slow])
TEXTS = st.one_of(jsongen.json_texts(), jsongen.mutated(jsongen.json_texts(), jsongen.MUTATION_CHARS),
                  jsongen.mutated(jsongen.json_texts().map(str.encode), jsongen.MUTATION_BYTES))


@pytest.mark.slow
@settings(GENERATED, max_examples=900)
@given(TEXTS)
def test_generated_texts_match_the_reference_model(text):
    assert_reads(text)


def large_documents(seed):
    """Seeded documents around the reader's and writer's edges: key lengths around eight,
    repeated shapes whose keys differ only late (a remembered key order must not be applied
    to keys it was not worked out for), escapes across sixteen-byte runs, integer widths."""
    rnd, shapes = random.Random(seed), []
    yield from (jsongen.value_text(rnd, 4, shapes) for _ in range(40))
    items = [jsongen.value_text(rnd, 2, shapes) for _ in range(700)]
    members = [f'"k{rnd.randint(0, 700)}":' + jsongen.value_text(rnd, 1, shapes) for _ in range(700)]
    yield "[" * 100 + "[" + ",".join(items) + "],{" + ",\n".join(members) + "}" + "]" * 100
    base, records = ["channel_0002", "channel_0001", "id", "abcdefghij"], []
    for _ in range(300):
        keys = list(base)
        if rnd.random() < 0.3:
            i = rnd.randrange(len(keys))
            keys[i] = keys[i][:-1] + rnd.choice("0129j")
        if rnd.random() < 0.1:
            rnd.shuffle(keys)
        records.append("{" + ",".join(f'"{k}":{n}' for n, k in enumerate(keys)) + "}")
    yield "[" + ",".join(records) + "]"
    for length in [15, 16, 17, 255, 256, 257, 4000][seed::3]:
        text = jsongen.escaped_string(rnd, length)
        yield "[" + text + "," + text + "]"
        yield from (text[:cut] for cut in sorted({1, 2, len(text) // 2, len(text) - 2, len(text) - 1}))
    values = [str(rnd.choice([-1, 1]) * rnd.randint(10 ** (d - 1) if d > 1 else 0, 10**d - 1))
              for d in range(1, 21) for _ in range(20)]
    yield "[" + ",".join(values) + "]"
    yield "[" + ", ".join(jsongen.number_text(rnd) for _ in range(3000)) + "]"


@pytest.mark.slow
@pytest.mark.parametrize("seed", range(3))
def test_large_seeded_documents_match_the_reference_model(seed):
    for text in large_documents(seed):
        assert_reads(text)
