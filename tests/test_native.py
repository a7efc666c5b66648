"""Native checks of internals that the Python surface cannot count (probes of the name
table) or reach (each vector kernel against the portable loop), compiled from the source
tree when it and a C++ compiler are at hand."""

import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
COMPILER = shutil.which("g++") or shutil.which("clang++")


@pytest.mark.skipif(COMPILER is None or not (ROOT / "src").is_dir(), reason="needs g++ and the source")
@pytest.mark.parametrize("source, units", [("test_name_table.cpp", []),
                                           ("test_vector_kernels.cpp", ["vectors/vectors.cpp"])])
def test_native(tmp_path, source, units):
    exe = tmp_path / "check"
    units = ["common/bytes.cpp", "common/platform.cpp", *units]
    subprocess.run([COMPILER, "-std=c++20", "-O2", "-ffp-contract=off", f"-I{ROOT / 'src'}",
                    str(ROOT / "tests/native" / source), *(str(ROOT / "src" / u) for u in units),
                    "-o", str(exe)], check=True)
    run = subprocess.run([str(exe)], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
