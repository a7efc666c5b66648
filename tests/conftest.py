import os

from hypothesis import settings

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
