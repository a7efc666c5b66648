"""Checkpoint rows: encode/decode of the JSON corpora against JSON round trips in Python.

Every peer returns what we return (a str with sorted keys), except the yyjson round trip,
which builds no Python objects and keeps key order: the nearest thing to a floor among the
peers. The floor itself is the interpreter's own boundary work, timed alone in the same run:
the UTF-8 encode of the fresh input str and the decode of the result str.
"""

import json
from pathlib import Path

import quor_core

from common import Fresh, optional

orjson = optional("orjson")
msgspec = optional("msgspec")
yyjson = optional("yyjson")

CORPUS_DIR = Path(__file__).resolve().parents[2] / "shared" / "data" / "json"
CORPORA = ["twitter.json", "citm_catalog.json", "canada.json"]


def json_roundtrip(text):
    return json.dumps(json.loads(text), sort_keys=True, separators=(",", ":"), ensure_ascii=False)


def orjson_roundtrip(text):
    return orjson.dumps(orjson.loads(text), option=orjson.OPT_SORT_KEYS).decode()



def msgspec_roundtrip(text):
    return msgspec.json.encode(msgspec.json.decode(text), order="deterministic").decode()


def yyjson_roundtrip(text):
    return yyjson.Document(text).dumps()


def peers_for():
    peers = {"json": json_roundtrip}
    if orjson:
        peers["orjson"] = orjson_roundtrip
    if msgspec:
        peers["msgspec"] = msgspec_roundtrip
    if yyjson:
        peers["yyjson (unsorted)"] = yyjson_roundtrip
    return peers


def cases():
    rows = []
    for name in CORPORA:
        path = CORPUS_DIR / name
        if not path.is_file():
            continue
        text = path.read_text(encoding="utf-8")
        blob = quor_core.encode_checkpoint(text)
        payload = blob[5:]
        size = len(text.encode("utf-8"))
        ours = json.loads(blob[5:])
        for peer, fn in peers_for().items():  # same document (floats may move by a unit)
            assert json.loads(fn(text)) == json.loads(text) or peer == "json"
        assert len(ours) == len(json.loads(text))
        rows.append({
            "name": f"encode_checkpoint {name} (fresh str)",
            "ours": Fresh(quor_core.encode_checkpoint, text),
            "peers": {p: Fresh(fn, text) for p, fn in peers_for().items()},
            "bytes": size,
            "memory": name == "canada.json",
            # The result is bytes: the floor is the encode of the fresh input alone.
            "floor": Fresh(lambda s: s.encode(), text),
        })
        result = quor_core.decode_checkpoint(blob).encode()
        rows.append({
            "name": f"decode_checkpoint {name} (bytes)",
            "ours": lambda b=blob: quor_core.decode_checkpoint(b),
            "peers": {p: (lambda fn=fn, raw=payload: fn(raw)) for p, fn in peers_for().items()},
            "bytes": len(payload),
            "memory": name == "canada.json",
            # The input bytes are read in place: the floor is the decode of the result.
            "floor": lambda r=result: r.decode(),
        })
    return rows
