"""Checkpoint frames: header, normalised payload, and the conversion of blobs."""

import array
import json
from pathlib import Path

import pytest
from hypothesis import given, settings, strategies as st

import jsonref
from oddities import Index, Seq
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


# The Byte rule for blob items.

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
    Seq(FRAME),
    Iterating(list(FRAME)),
], ids=lambda b: type(b).__name__)
def test_every_sequence_of_small_integers_is_a_blob(blob):
    assert decode_checkpoint(blob) == '{"k":[true]}'


def test_true_counts_as_the_byte_one():
    assert decode_checkpoint([*b"QUOR", True, *b"[]"]) == "[]"
    with pytest.raises(ValueError, match="^unsupported checkpoint version: 0$"):
        decode_checkpoint([*b"QUOR", False, *b"[]"])


@pytest.mark.parametrize("item", [256, -1, 2**31, 2**63 - 1, -2**63, Index(300), Index(-5)],
                         ids=repr)
def test_items_outside_a_byte_overflow_without_prefix(item):
    with pytest.raises(OverflowError) as info:
        decode_checkpoint([*HEADER, item])
    assert str(info.value) == OUT_OF_RANGE


def test_the_first_failing_item_ends_the_conversion():
    with pytest.raises(OverflowError, match=f"^{OUT_OF_RANGE}$"):
        decode_checkpoint([256, "x"])
    with pytest.raises(TypeError, match="^argument 'blob': 'str' object"):
        decode_checkpoint(["x", 256])
    # Items are converted before the header is looked at.
    with pytest.raises(OverflowError):
        decode_checkpoint([ord("q"), 999])


def test_iteration_errors_end_the_conversion():
    with pytest.raises(RuntimeError, match="^broken$"):
        decode_checkpoint(Iterating(list(FRAME), RuntimeError("broken")))
    with pytest.raises(TypeError) as info:
        decode_checkpoint(Iterating(list(FRAME), TypeError("broken")))
    assert str(info.value) == "argument 'blob': broken"


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
