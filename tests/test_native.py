"""Native checks of internals that the Python surface cannot see (probes of the name
table; each fast path against its portable twin), compiled from the source tree when it
and a C++ compiler are at hand.

QUOR_NATIVE_CXX may name another compiler command (for example zig's, with a target), and
QUOR_NATIVE_RUN a command to run the result under (for example qemu-aarch64-static)."""

import os
import shlex
import shutil
import subprocess
from pathlib import Path

import pytest

pytestmark = pytest.mark.slow  # each check is compiled first
ROOT = Path(__file__).resolve().parent.parent
COMPILER = (shlex.split(os.environ["QUOR_NATIVE_CXX"]) if os.environ.get("QUOR_NATIVE_CXX")
            else [c for c in [shutil.which("g++") or shutil.which("clang++")] if c])
RUNNER = shlex.split(os.environ.get("QUOR_NATIVE_RUN", ""))

# Each check and the sources it links.
CHECKS = {
    "test_name_table.cpp": ["common/bytes.cpp", "common/platform.cpp"],
    "test_sha256_paths.cpp": ["actors/sha256.cpp", "actors/sha256_x86.cpp", "actors/sha256_arm.cpp", "common/platform.cpp"],
    "test_vector_kernel.cpp": ["vectors/vectors_portable.cpp", "vectors/vectors_sse2.cpp", "vectors/vectors_avx2.cpp", "vectors/vectors_neon.cpp", "common/platform.cpp"],
    "test_scan_paths.cpp": ["json/utf8_avx2.cpp", "common/platform.cpp"],
    "test_normalize.cpp": ["json/arena.cpp", "json/errors.cpp", "json/float_text.cpp",
                           "json/key_order.cpp", "json/mutate.cpp", "json/normalize.cpp",
                           "json/numbers.cpp", "json/reader.cpp", "json/utf8_avx2.cpp", "json/writer.cpp",
                           "common/bytes.cpp", "common/platform.cpp"],
    "test_wide_arith.cpp": [],
}


@pytest.mark.skipif(not COMPILER or not (ROOT / "src").is_dir(), reason="needs a C++ compiler and the source")
@pytest.mark.parametrize("portable", [False, True], ids=["fast", "portable"])
@pytest.mark.parametrize("source", sorted(CHECKS))
def test_native(tmp_path, source, portable):
    exe = tmp_path / "check"
    build = [*COMPILER, "-std=c++20", "-O2", "-ffp-contract=off", f"-I{ROOT / 'src'}",
             *(["-DQUOR_PORTABLE"] if portable else []), str(ROOT / "tests/native" / source),
             *(str(ROOT / "src" / s) for s in CHECKS[source]), "-o", str(exe)]
    subprocess.run(build, check=True)
    run = subprocess.run([*RUNNER, str(exe)], capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr
