"""Checkpoint rows: encode/decode of the JSON corpora against json and orjson round trips."""

import json
from pathlib import Path

import quor_core

try:
    import orjson
except ImportError:  # the bench extra is optional
    orjson = None

CORPUS_DIR = Path(__file__).resolve().parents[2] / "shared" / "data" / "json"
CORPORA = ["twitter.json", "citm_catalog.json", "canada.json"]


def json_roundtrip(text):
    return json.dumps(json.loads(text), sort_keys=True, separators=(",", ":"), ensure_ascii=False)


def orjson_roundtrip(text):
    return orjson.dumps(orjson.loads(text), option=orjson.OPT_SORT_KEYS)


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
        # Same document either way (floats may differ in the last digit, by design).
        assert len(json.loads(quor_core.decode_checkpoint(blob))) == len(json.loads(text))

        enc_peers = {"json": lambda t=text: json_roundtrip(t)}
        dec_peers = {"json": lambda p=payload: json_roundtrip(p)}
        if orjson is not None:
            enc_peers["orjson"] = lambda t=text: orjson_roundtrip(t)
            dec_peers["orjson"] = lambda p=payload: orjson_roundtrip(p)
        rows.append({
            "name": f"encode_checkpoint {name}",
            "ours": lambda t=text: quor_core.encode_checkpoint(t),
            "peers": enc_peers,
            "bytes": size,
            "memory": name == "canada.json",
        })
        rows.append({
            "name": f"decode_checkpoint {name} (bytes)",
            "ours": lambda b=blob: quor_core.decode_checkpoint(b),
            "peers": dec_peers,
            "bytes": len(payload),
            "memory": name == "canada.json",
        })
    return rows
