from pathlib import Path

import pytest

CORPUS_DIR = Path(__file__).resolve().parents[2] / "shared" / "data" / "json"
CORPORA = ["twitter.json", "citm_catalog.json", "canada.json"]


def corpus_text(name):
    path = CORPUS_DIR / name
    if not path.is_file():
        pytest.skip(f"benchmark corpus {name} is not available")
    return path.read_text(encoding="utf-8")
