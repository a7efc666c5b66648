"""Every kernel implementation, forced in turn, passes the vector, chain and JSON reader
suites and gives the same bits on generated inputs as every other one.

Only a test build reads QUOR_KERNELS (CMake option QUOR_DISPATCH_OVERRIDE); elsewhere these
tests skip. Naming an implementation the processor lacks leaves it off, so each forced run
is safe on any machine (it then runs the portable code)."""

import hashlib
import math
import os
import platform
import random
import struct
import subprocess
import sys
from pathlib import Path

import pytest

import quor_core

HERE = Path(__file__).resolve().parent
READS_OVERRIDE = b"QUOR_KERNELS" in Path(quor_core.__file__).read_bytes()
MACHINE = platform.machine().lower()
IMPLEMENTATIONS = (["portable", "sse2", "avx2", "sha-ni"] if MACHINE in ("x86_64", "amd64")
                   else ["portable", "neon", "armv8"] if MACHINE in ("aarch64", "arm64")
                   else ["portable"])

pytestmark = [pytest.mark.slow,
              pytest.mark.skipif(not READS_OVERRIDE, reason="the build does not read QUOR_KERNELS")]


def forced(kernels, *args):
    env = {**os.environ, "QUOR_KERNELS": kernels}
    return subprocess.run([sys.executable, *args], env=env, capture_output=True, text=True,
                          cwd=HERE.parent)


@pytest.mark.parametrize("kernels", IMPLEMENTATIONS)
def test_suites_pass_on_each_implementation(kernels):
    run = forced(kernels, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-m", "not slow",
                 str(HERE / "test_vectors.py"), str(HERE / "test_chain.py"),
                 str(HERE / "test_json_reader.py"), str(HERE / "test_same_bits.py"))
    assert run.returncode == 0, run.stdout[-3000:] + run.stderr[-3000:]


def test_every_implementation_gives_the_same_bits():
    digests = {k: forced(k, __file__) for k in IMPLEMENTATIONS}
    for kernels, run in digests.items():
        assert run.returncode == 0, (kernels, run.stderr[-3000:])
    assert len({run.stdout for run in digests.values()}) == 1, {k: r.stdout for k, r in digests.items()}


def special(rng):
    r = rng.random()
    if r < 0.03:
        return rng.choice([math.inf, -math.inf, math.nan, 0.0, -0.0, 1e39, 2.0**70])
    if r < 0.05:
        return struct.unpack("<f", struct.pack("<I", rng.getrandbits(23)))[0]  # subnormal
    return rng.uniform(-4, 4)


def differential_digest():
    """Every row count around the kernels' group sizes and tiles, lengths around the vector
    widths, float32 and float64 arrays and lists; chains whose links straddle block edges."""
    np = None
    try:
        import numpy as np
    except ImportError:
        pass
    rng = random.Random(26)
    fold = hashlib.sha256()

    def add(value):
        fold.update(repr(value).replace("nan", "NaN").encode())

    for _ in range(150):
        d = rng.choice([1, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 33, 64, 100])
        rows = rng.randrange(0, 80)
        query = [special(rng) for _ in range(d)]
        matrix = [[special(rng) for _ in range(d if rng.random() < 0.97 else rng.randrange(2 * d))]
                  for _ in range(rows)]
        k = rng.randrange(rows + 2)
        add(quor_core.top_k(query, matrix, k))
        add(quor_core.cosine_similarity(query, matrix[0] if matrix else []))
        if np is not None and all(len(r) == d for r in matrix) and rows:
            with np.errstate(over="ignore"):
                add(quor_core.top_k(np.array(query), np.array(matrix), k))
                add(quor_core.top_k(np.array(query, np.float32), np.array(matrix, np.float32), k))
    for _ in range(60):
        genesis = "g" * rng.randrange(130)
        entries, prev = [], genesis
        for _ in range(rng.randrange(9)):
            payload = "é" * rng.randrange(3) + "x" * rng.choice([*range(140), 300, 5000])
            prev = quor_core.hash_event(prev, payload)
            entries.append((payload, prev))
        add(entries)
        if entries:
            j = rng.randrange(len(entries))
            entries[j] = (entries[j][0], entries[j][1].upper())
        add(quor_core.verify_chain(genesis, entries))
    return fold.hexdigest()


if __name__ == "__main__":
    print(differential_digest())
