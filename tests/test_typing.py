"""The installed stub matches the built module, and a strictly typed caller passes mypy."""

import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy", reason="mypy is part of the test extra")
pytestmark = pytest.mark.slow  # each test starts mypy
HERE = Path(__file__).resolve().parent


@pytest.fixture(autouse=True)
def installed_stub():
    import quor_core

    if not (Path(quor_core.__file__).parent / "quor_core.pyi").is_file():
        pytest.skip("quor_core is not installed with its stub (a build-tree import)")


def run(*args):
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True,
                          cwd=HERE.parent / "examples")


def test_stub_matches_the_module():
    out = run("mypy.stubtest", "quor_core", "--allowlist", str(HERE / "stubtest_allowlist.txt"))
    assert out.returncode == 0, out.stdout + out.stderr


def test_typed_usage_passes_strict_mypy():
    pytest.importorskip("numpy")
    out = run("mypy", "--strict", "--no-incremental", str(HERE / "typed_usage.py"))
    assert out.returncode == 0, out.stdout + out.stderr
