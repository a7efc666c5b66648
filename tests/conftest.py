import os
from pathlib import Path

import pytest
from hypothesis import settings

CORPUS_DIR = Path(__file__).resolve().parents[2] / "shared" / "data" / "json"
CORPORA = ["twitter.json", "citm_catalog.json", "canada.json"]


def corpus_text(name):
    path = CORPUS_DIR / name
    if not path.is_file():
        pytest.skip(f"benchmark corpus {name} is not available")
    return path.read_text(encoding="utf-8")


# Under emulation (qemu user mode; the CI stage sets QUOR_EMULATED=1) Python runs 10-20 times
# slower: every generated-input test draws a tenth of its examples (at least 20), from the
# same fixed seeds.
EMULATED = bool(os.environ.get("QUOR_EMULATED"))


def pytest_collection_modifyitems(items):
    if not EMULATED:
        return
    for item in items:
        test = getattr(item, "obj", None)
        chosen = getattr(test, "_hypothesis_internal_use_settings", None)
        if chosen is not None and chosen.max_examples > 20:
            test._hypothesis_internal_use_settings = settings(
                chosen, max_examples=max(20, chosen.max_examples // 10))
