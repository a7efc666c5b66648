"""Checkpoint frames: header, normalised payload, and the conversion of blobs."""

import array

import pytest

import jsonref
from helpers import CORPORA, HEADER, corpus_text
from oddities import Index, Seq
from quor_core import decode_checkpoint, encode_checkpoint

FRAME = HEADER + b'{"k":[true]}'


@pytest.mark.parametrize("text, blob", [
    ('{"b": 1, "a": [1.0, -0]}', HEADER + b'{"a":[1.0,-0.0],"b":1}'),
    ("  7  ", b"QUOR\x017"),
    ('{"k": "\\u00e9\U0001F600"}', HEADER + '{"k":"\u00e9\U0001F600"}'.encode("utf-8")),
])
def test_encoding_frames_the_normalised_document(text, blob):
    assert type(encode_checkpoint(text)) is bytes and encode_checkpoint(text) == blob
    assert decode_checkpoint(blob) == blob[5:].decode("utf-8")


@pytest.mark.parametrize("blob, message", [
    (b"", "invalid checkpoint: bad magic header"),
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
    (b"QUOR\x01\n\n  [1,]", "trailing comma at line 3 column 6"),
    ([*b"QUOR", False, *b"[]"], "unsupported checkpoint version: 0"),
])
def test_decoding_checks_magic_then_version_then_payload(blob, message):
    with pytest.raises(ValueError) as info:
        decode_checkpoint(blob)
    assert type(info.value) is ValueError and str(info.value) == message


class Iterating:
    """A sequence whose items can only be had by iterating; iteration may end in an error."""

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


@pytest.mark.parametrize("blob", [
    FRAME, bytearray(FRAME), memoryview(FRAME), memoryview(b"xx" + FRAME)[2:],
    memoryview(bytes(b for b in FRAME for _ in range(2)))[::2], list(FRAME), tuple(FRAME),
    array.array("B", FRAME), [Index(b) for b in FRAME], [True if b == 1 else b for b in FRAME],
    Seq(FRAME), Iterating(list(FRAME)),
], ids=lambda b: type(b).__name__)
def test_every_sequence_of_small_integers_is_a_blob(blob):
    assert decode_checkpoint(blob) == '{"k":[true]}'


def _released():
    view = memoryview(FRAME)
    view.release()
    return view


@pytest.mark.parametrize("make_blob, exc, message", [
    # Items are converted, in order, before the header is looked at.
    (lambda: [256, "x"], OverflowError, "^out of range integral type conversion attempted$"),
    (lambda: ["x", 256], TypeError, "^argument 'blob': 'str' object"),
    (lambda: [ord("q"), 999], OverflowError, "^out of range integral type conversion attempted$"),
    (lambda: Iterating(list(FRAME), RuntimeError("broken")), RuntimeError, "^broken$"),
    (lambda: Iterating(list(FRAME), TypeError("broken")), TypeError, "^argument 'blob': broken$"),
    # Views whose items are not plain unsigned bytes behave as their iteration does.
    (lambda: memoryview(bytes(FRAME[:5]) + b"\xff").cast("b"), OverflowError,
     "^out of range integral type conversion attempted$"),
    (lambda: memoryview(FRAME).cast("c"), TypeError, "^argument 'blob': "),
    (_released, ValueError, "released memoryview"),
])
def test_the_first_failing_item_ends_the_conversion(make_blob, exc, message):
    with pytest.raises(exc, match=message):
        decode_checkpoint(make_blob())


# The model takes seconds over canada.json's two megabytes of numbers.
@pytest.mark.parametrize("name", [pytest.param(n, marks=pytest.mark.slow) if n == "canada.json" else n
                                  for n in CORPORA])
def test_corpus_round_trip(name):
    corpus = corpus_text(name)
    blob = encode_checkpoint(corpus)
    assert blob[:5] == HEADER and blob[5:].decode("utf-8") == jsonref.normalise(corpus)
    assert decode_checkpoint(blob) == jsonref.normalise(blob[5:])
    assert decode_checkpoint(HEADER + corpus.encode("utf-8")) == blob[5:].decode("utf-8")
