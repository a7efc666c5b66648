import os
import sys
from pathlib import Path

import pytest
from hypothesis import settings

# The suites that every build and platform runs: the portable build (-m portable) on each
# processor checks these, besides the whole suite on the default build.
PORTABLE = {"test_same_bits.py", "test_json_reader.py", "test_json_writer.py",
            "test_checkpoint.py", "test_channels.py", "test_planner.py", "test_chain.py",
            "test_vectors.py"}

# Under emulation (qemu user mode; the CI stage sets QUOR_EMULATED=1) Python runs 10-20 times
# slower: every generated-input test draws a tenth of its examples (at least 20), from the
# same fixed seeds.
EMULATED = bool(os.environ.get("QUOR_EMULATED"))

# The example runtime and graphs, which the runtime tests import.
EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
sys.path.insert(0, str(EXAMPLES))


def pytest_collection_modifyitems(items):
    for item in items:
        if item.path.name in PORTABLE:
            item.add_marker(pytest.mark.portable)
        test = getattr(item, "obj", None)
        chosen = getattr(test, "_hypothesis_internal_use_settings", None)
        if EMULATED and chosen is not None and chosen.max_examples > 20:
            test._hypothesis_internal_use_settings = settings(
                chosen, max_examples=max(20, chosen.max_examples // 10))
