"""What several test files share: the checkpoint header, the JSON reader and writer reached
through the checkpoint codec, one way to compare what two calls give, chains of links, the
benchmark corpora, and the files of a run folder."""

import hashlib
import re
from pathlib import Path

import pytest

import jsonref
import quor_core

HEADER = b"QUOR\x01"  # magic and version, before every checkpoint payload
POSITIONED = re.compile(r" at line \d+ column \d+$")  # a read error's end
READ_ERROR = "read error"

CORPUS_DIR = Path(__file__).resolve().parents[2] / "shared" / "data" / "json"
CORPORA = ["twitter.json", "citm_catalog.json", "canada.json"]


def corpus_text(name):
    path = CORPUS_DIR / name
    if not path.is_file():
        pytest.skip(f"benchmark corpus {name} is not available")
    return path.read_text(encoding="utf-8")


def via_text(text: str) -> str:
    """The normalised document, or the error text, when a str is read."""
    try:
        blob = quor_core.encode_checkpoint(text)
    except ValueError as exc:
        assert type(exc) is ValueError
        return str(exc)
    assert blob[:5] == HEADER
    return blob[5:].decode("utf-8")


def via_bytes(payload: bytes) -> str:
    """The same for bytes, which adds the UTF-8 check on strings."""
    try:
        return quor_core.decode_checkpoint(HEADER + payload)
    except ValueError as exc:
        return str(exc)


def outcome(fn, *args):
    """What a call gives, for comparing two ways to one answer: the repr of the result (so
    -0.0 and 0.0 differ and NaNs are alike) or the error's type and text. A read error is
    only READ_ERROR, since the model rejects without the native text and position."""
    try:
        return repr(fn(*args))
    except jsonref.Rejected:
        return READ_ERROR
    except Exception as exc:  # noqa: BLE001 - the error itself is compared
        if isinstance(exc, ValueError) and POSITIONED.search(str(exc)):
            return READ_ERROR
        return type(exc), str(exc)


def ref_link(prev, payload):
    return hashlib.sha256(prev.encode() + b"\x1f" + payload.encode()).hexdigest()


def snapshot(folder):
    """A run folder's files but the lock, which holds the owner's process id while it runs."""
    return {p.name: p.read_bytes() for p in sorted(Path(folder).iterdir()) if p.name != "run.lock"}


def build_chain(genesis, payloads):
    """(payload, link) entries, each link made by the module from the one before."""
    entries, prev = [], genesis
    for p in payloads:
        prev = quor_core.hash_event(prev, p)
        entries.append((p, prev))
    return entries
