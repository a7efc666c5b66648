"""Checkpoint frames: header, normalised payload, and the conversion of blobs."""

import array
import ctypes
import json
import sys
from pathlib import Path

import pytest
from hypothesis import given, settings, strategies as st

import jsonref
from quor_core import decode_checkpoint, encode_checkpoint

HEADER = b"QUOR\x01"
CORPORA = Path(__file__).resolve().parents[2] / "shared" / "data" / "json"
OUT_OF_RANGE = "out of range integral type conversion attempted"


def test_encoding_frames_the_normalised_document():
    blob = encode_checkpoint('{"b": 1, "a": [1.0, -0]}')
    assert type(blob) is bytes
    assert blob == HEADER + b'{"a":[1.0,-0.0],"b":1}'
    assert decode_checkpoint(blob) == '{"a":[1.0,-0.0],"b":1}'


def test_a_one_byte_document_gives_a_six_byte_frame():
    assert encode_checkpoint("  7  ") == b"QUOR\x017"


def test_non_ascii_payload_is_utf8():
    blob = encode_checkpoint('{"k": "\\u00e9\U0001F600"}')
    assert blob == HEADER + '{"k":"\u00e9\U0001F600"}'.encode("utf-8")
    assert decode_checkpoint(blob) == '{"k":"\u00e9\U0001F600"}'


@pytest.mark.parametrize("text, message", [
    ("", "EOF while parsing a value at line 1 column 0"),
    ("[1,]", "trailing comma at line 1 column 4"),
    ("{\n  \"a\": 1e400\n}", "number out of range at line 2 column 12"),
])
def test_encoding_rejects_malformed_json_with_the_bare_error(text, message):
    with pytest.raises(ValueError) as info:
        encode_checkpoint(text)
    assert type(info.value) is ValueError and str(info.value) == message


@pytest.mark.parametrize("blob, message", [
    (b"", "invalid checkpoint: bad magic header"),
    (b"QUO", "invalid checkpoint: bad magic header"),
    (b"QUOR", "invalid checkpoint: bad magic header"),
    (b"quor\x01{}", "invalid checkpoint: bad magic header"),
    (b"QUOr\x01{}", "invalid checkpoint: bad magic header"),
    (b"XQUOR\x01{}", "invalid checkpoint: bad magic header"),
    (b"QUOX\x02[", "invalid checkpoint: bad magic header"),
    (b"QUOR\x02[", "unsupported checkpoint version: 2"),
    (b"QUOR\x00{}", "unsupported checkpoint version: 0"),
    (b"QUOR\xff{}", "unsupported checkpoint version: 255"),
    (b"QUORQ", "unsupported checkpoint version: 81"),
    (b"QUOR\x01", "EOF while parsing a value at line 1 column 0"),
    (b"QUOR\x01[1] x", "trailing characters at line 1 column 5"),
    (b'QUOR\x01"\xff"', "invalid unicode code point at line 1 column 3"),
    (b"QUOR\x01\n\n  [1,]", "trailing comma at line 3 column 6"),
])
def test_decoding_checks_magic_then_version_then_payload(blob, message):
    with pytest.raises(ValueError) as info:
        decode_checkpoint(blob)
    assert type(info.value) is ValueError and str(info.value) == message


def test_foreign_payload_comes_back_compact_and_sorted():
    assert decode_checkpoint(HEADER + b' {\n "b" : [ 1 , 2 ] ,\t"a" : null } ') == '{"a":null,"b":[1,2]}'


@pytest.mark.parametrize("text, cycle", [
    ("0.15838287025480557", ["0.15838287025480555", "0.15838287025480555"]),
    ("7.142328006063565e-165", ["7.1423280060635645e-165", "7.142328006063565e-165"]),
])
def test_floats_can_change_their_last_digit_on_each_pass(text, cycle):
    for _ in range(3):
        blob = encode_checkpoint(text)
        assert blob == HEADER + cycle[0].encode()
        text = decode_checkpoint(blob)
        assert text == cycle[1]


# The Byte rule for blob items.

class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Raising:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error


class TypeErrorSubclass(TypeError):
    pass


class Outer:
    class NotASequence:
        pass


class ItemsOnly:
    """A sequence that iterates through __getitem__ and reports a length of its own."""

    def __init__(self, data, length):
        self.data, self.length = data, length

    def __getitem__(self, i):
        return self.data[i]

    def __len__(self):
        if isinstance(self.length, Exception):
            raise self.length
        return self.length


class Iterating:
    def __init__(self, items, error=None):
        self.items, self.error = items, error

    def __getitem__(self, i):
        raise AssertionError("items are taken by iteration")

    def __len__(self):
        return len(self.items)

    def __iter__(self):
        yield from self.items
        if self.error is not None:
            raise self.error


FRAME = HEADER + b'{"k":[true]}'


@pytest.mark.parametrize("blob", [
    FRAME,
    bytearray(FRAME),
    memoryview(FRAME),
    memoryview(b"xx" + FRAME)[2:],
    list(FRAME),
    tuple(FRAME),
    array.array("B", FRAME),
    [Index(b) for b in FRAME],
    [True if b == 1 else b for b in FRAME],
    ItemsOnly(FRAME, len(FRAME)),
    ItemsOnly(FRAME, 0),
    ItemsOnly(FRAME, 2**62),
    ItemsOnly(FRAME, sys.maxsize),
    ItemsOnly(FRAME, OverflowError("too long")),
    ItemsOnly(FRAME, RuntimeError("no length")),
    Iterating(list(FRAME)),
], ids=lambda b: type(b).__name__)
def test_every_sequence_of_small_integers_is_a_blob(blob):
    assert decode_checkpoint(blob) == '{"k":[true]}'


def test_true_counts_as_the_byte_one():
    assert decode_checkpoint([*b"QUOR", True, *b"[]"]) == "[]"
    with pytest.raises(ValueError, match="^unsupported checkpoint version: 0$"):
        decode_checkpoint([*b"QUOR", False, *b"[]"])


def _interpreter_error(item) -> Exception:
    as_long = ctypes.pythonapi.PyLong_AsLong
    as_long.argtypes, as_long.restype = [ctypes.py_object], ctypes.c_long
    try:
        as_long(item)
    except Exception as exc:  # noqa: BLE001 - whatever the interpreter raises
        return exc
    raise AssertionError(f"{item!r} converts")


@pytest.mark.parametrize("item", [256, -1, 2**31, 2**63 - 1, -2**63, Index(300), Index(-5)],
                         ids=repr)
def test_items_outside_a_byte_overflow_without_prefix(item):
    with pytest.raises(OverflowError) as info:
        decode_checkpoint([*HEADER, item])
    assert str(info.value) == OUT_OF_RANGE


@pytest.mark.parametrize("item", [2**63, -2**63 - 1, 2**100, Index(2**64)], ids=repr)
def test_items_beyond_a_c_long_raise_the_interpreters_overflow(item):
    expected = _interpreter_error(item)
    with pytest.raises(OverflowError) as info:
        decode_checkpoint([*HEADER, item])
    assert str(info.value) == str(expected)


@pytest.mark.parametrize("item", [1.0, "1", b"1", None, [1], Index("x")], ids=repr)
def test_non_integer_items_raise_the_interpreters_type_error_prefixed(item):
    expected = _interpreter_error(item)
    assert type(expected) is TypeError
    with pytest.raises(TypeError) as info:
        decode_checkpoint([*HEADER, item])
    assert str(info.value) == "argument 'blob': " + str(expected)


def test_the_first_failing_item_ends_the_conversion():
    with pytest.raises(OverflowError, match=f"^{OUT_OF_RANGE}$"):
        decode_checkpoint([256, "x"])
    with pytest.raises(TypeError, match="^argument 'blob': 'str' object"):
        decode_checkpoint(["x", 256])
    # Items are converted before the header is looked at.
    with pytest.raises(OverflowError):
        decode_checkpoint([ord("q"), 999])


@pytest.mark.parametrize("error, message", [
    (TypeError("plain"), "argument 'blob': plain"),
    (TypeErrorSubclass("subclass"), "subclass"),
    (ValueError("value"), "value"),
    (OverflowError("overflow"), "overflow"),
], ids=lambda e: type(e).__name__)
def test_only_an_exact_type_error_gets_the_argument_prefix(error, message):
    cause = KeyError("cause")
    error.__cause__ = cause
    with pytest.raises(type(error)) as info:
        decode_checkpoint([*HEADER, Raising(error)])
    assert type(info.value) is type(error)
    assert str(info.value) == message
    assert info.value.__cause__ is cause


def test_iteration_errors_end_the_conversion():
    with pytest.raises(RuntimeError, match="^broken$"):
        decode_checkpoint(Iterating(list(FRAME), RuntimeError("broken")))
    with pytest.raises(TypeError) as info:
        decode_checkpoint(Iterating(list(FRAME), TypeError("broken")))
    assert str(info.value) == "argument 'blob': broken"


@pytest.mark.parametrize("blob, message", [
    ("QUOR\x01[]", "argument 'blob': Can't extract `str` to `Vec`"),
    (type("Text", (str,), {})("QUOR\x01[]"), "argument 'blob': Can't extract `str` to `Vec`"),
    ({1: 2}, "argument 'blob': 'dict' object cannot be converted to 'Sequence'"),
    ({81, 85}, "argument 'blob': 'set' object cannot be converted to 'Sequence'"),
    (frozenset(), "argument 'blob': 'frozenset' object cannot be converted to 'Sequence'"),
    ((b for b in FRAME), "argument 'blob': 'generator' object cannot be converted to 'Sequence'"),
    (iter(FRAME), "argument 'blob': 'bytes_iterator' object cannot be converted to 'Sequence'"),
    (5, "argument 'blob': 'int' object cannot be converted to 'Sequence'"),
    (None, "argument 'blob': 'NoneType' object cannot be converted to 'Sequence'"),
    (Outer.NotASequence(), "argument 'blob': 'Outer.NotASequence' object cannot be converted to 'Sequence'"),
], ids=lambda b: type(b).__name__)
def test_blobs_that_are_not_sequences_are_refused(blob, message):
    with pytest.raises(TypeError) as info:
        decode_checkpoint(blob)
    assert str(info.value) == message


@pytest.mark.parametrize("value, message", [
    (b"{}", "argument 'json_str': 'bytes' object cannot be converted to 'PyString'"),
    (1, "argument 'json_str': 'int' object cannot be converted to 'PyString'"),
    (None, "argument 'json_str': 'NoneType' object cannot be converted to 'PyString'"),
    (Outer.NotASequence(),
     "argument 'json_str': 'Outer.NotASequence' object cannot be converted to 'PyString'"),
])
def test_encoding_needs_a_str(value, message):
    with pytest.raises(TypeError) as info:
        encode_checkpoint(value)
    assert str(info.value) == message


def test_str_subclasses_are_text_and_lone_surrogates_are_the_interpreters_error():
    assert encode_checkpoint(type("Text", (str,), {})("[1]")) == HEADER + b"[1]"
    with pytest.raises(UnicodeEncodeError):
        encode_checkpoint('"\ud800"')


def test_arguments_may_be_passed_by_keyword():
    assert decode_checkpoint(blob=encode_checkpoint(json_str="[2]")) == "[2]"


# Corpora and generated documents.

@pytest.fixture(scope="module", params=["twitter.json", "citm_catalog.json", "canada.json"])
def corpus(request):
    path = CORPORA / request.param
    if not path.is_file():
        pytest.skip(f"{path} is absent")
    return path.read_bytes()


def test_corpus_round_trip(corpus):
    blob = encode_checkpoint(corpus.decode("utf-8"))
    payload = blob[5:]
    assert blob[:5] == HEADER
    assert payload.decode("utf-8") == jsonref.normalise(corpus)
    again = decode_checkpoint(blob)
    assert again == jsonref.normalise(payload, byte_mode=True)
    assert decode_checkpoint(HEADER + corpus) == payload.decode("utf-8")


def _values(depth=2):
    scalars = st.one_of(st.none(), st.booleans(), st.integers(-2**63, 2**64 - 1), st.text(max_size=6))
    if depth == 0:
        return scalars
    inner = _values(depth - 1)
    return st.one_of(scalars, st.lists(inner, max_size=4),
                     st.dictionaries(st.text(max_size=4), inner, max_size=4))


@settings(max_examples=150, derandomize=True, deadline=None)
@given(_values(), st.integers(0, 4), st.booleans())
def test_float_free_payloads_decode_to_their_own_text(doc, indent, ascii_only):
    first = encode_checkpoint(json.dumps(doc, ensure_ascii=ascii_only))
    second = encode_checkpoint(json.dumps(doc, indent=indent, sort_keys=True, ensure_ascii=not ascii_only))
    assert first == second
    assert decode_checkpoint(first) == first[5:].decode("utf-8")
    assert json.loads(first[5:]) == doc


def _released():
    view = memoryview(FRAME)
    view.release()
    return view


@pytest.mark.parametrize("make_blob, exc, message", [
    # Views whose items are not plain unsigned bytes must behave as their iteration does.
    (lambda: memoryview(bytes(FRAME[:5]) + b"\xff").cast("b"), OverflowError,
     "^out of range integral type conversion attempted$"),
    (lambda: memoryview(FRAME).cast("c"), TypeError, "^argument 'blob': "),
    (_released, ValueError, "released memoryview"),
])
def test_views_that_are_not_plain_bytes_go_through_iteration(make_blob, exc, message):
    with pytest.raises(exc, match=message):
        decode_checkpoint(make_blob())


def test_strided_view_reads_the_selected_bytes():
    doubled = bytes(b for b in FRAME for _ in range(2))
    assert decode_checkpoint(memoryview(doubled)[::2]) == '{"k":[true]}'


def test_bytearray_is_left_resizable_after_the_call():
    blob = bytearray(FRAME)
    decode_checkpoint(blob)
    blob.extend(b" ")  # would raise BufferError if the call kept an export alive
    assert decode_checkpoint(blob) == '{"k":[true]}'
