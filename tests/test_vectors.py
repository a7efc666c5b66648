"""Cosine, top-k and cost totals, held against float32 and left-to-right reference loops."""

import math
import random
import re
import shutil
import struct
import subprocess

import pytest

import quor_core
from oddities import Index, Real
from quor_core import aggregate_cost, cosine_similarity, top_k

try:
    import numpy as np
except ImportError:  # the array paths are then left out
    np = None

# numpy warns when it narrows values beyond the float32 range; that narrowing is the point.
pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")


def f32(x):
    """Round a double to the nearest float32 (infinities beyond the range)."""
    try:
        return struct.unpack("f", struct.pack("f", x))[0]
    except OverflowError:
        return math.copysign(math.inf, x)


def ref_cosine(x, y):
    x, y = [f32(v) for v in x], [f32(v) for v in y]
    if not x or len(x) != len(y):
        return 0.0
    dot = xx = yy = 0.0
    for a, b in zip(x, y):  # each double operation rounded: exact float32 arithmetic
        dot = f32(dot + f32(a * b))
        xx = f32(xx + f32(a * a))
        yy = f32(yy + f32(b * b))
    if xx == 0.0 or yy == 0.0:
        return 0.0
    if math.isnan(xx) or math.isnan(yy):
        return math.nan
    root = f32(f32(math.sqrt(yy)) * f32(math.sqrt(xx)))
    if root == 0.0:  # both roots underflowed in the product: IEEE division by zero
        return math.nan if dot == 0 or math.isnan(dot) else math.copysign(math.inf, dot)
    return math.nan if math.isinf(dot) and math.isinf(root) else f32(dot / root)


def ref_top_k(query, matrix, k):
    scores = [ref_cosine(query, row) if query and len(row) == len(query) else 0.0
              for row in matrix]
    order = sorted(range(len(scores)),
                   key=lambda i: (math.isnan(scores[i]), -scores[i] if not math.isnan(scores[i]) else 0, i))
    return [(i, scores[i]) for i in order[:k]]


def vec(rng, n, special=0.0):
    pool = [0.0, -0.0, 1e-45, -3e-39, 1e20, -1e20, math.inf, -math.inf, math.nan, 1e39]
    return [rng.choice(pool) if rng.random() < special else rng.uniform(-2, 2) for _ in range(n)]


@pytest.mark.parametrize("a, b, expected", [
    ([1.0, 2.0, 3.0], [1.0, 2.0, 3.0], 0.9999999403953552),
    ([1.0, 2.0, 3.0], [4.0, 5.0, 6.0], 0.9746317863464355),
    ([1.0, 1.0], [1.0, 0.0], 0.7071067690849304), ([1.0, 2.0, 3.0], [-1.0, -2.0, -3.0], -0.9999999403953552),
    ([3.0, 4.0], [3.0, 4.0], 1.0), ([1.0, 2.0], [2.0, 4.0], 1.0), ([], [], 0.0), ([1.0], [1.0, 2.0], 0.0),
    ([0.0, 0.0], [1.0, 2.0], 0.0), ([1e-30], [1e-30], 0.0), ([1e20], [1e20], math.nan),
    ([math.nan], [1.0], math.nan), ([math.nan], [0.0], 0.0),
    ([1e39], [1.0], math.nan),  # beyond float32: an infinity
])
def test_cosine_examples(a, b, expected):
    assert repr(cosine_similarity(a, b)) == repr(expected)


@pytest.mark.parametrize("seed", range(6))
def test_cosine_matches_float32_reference(seed):
    rng = random.Random(seed)
    for _ in range(200):
        n = rng.randrange(0, 40)
        a, b = vec(rng, n, special=seed / 10), vec(rng, n if rng.random() < 0.9 else n + 1, seed / 10)
        assert repr(cosine_similarity(a, b)) == repr(ref_cosine(a, b)), (a, b)


@pytest.mark.parametrize("query, matrix, k, expected", [
    ([1.0, 0.0], [[0.0, 1.0], [1.0, 0.0], [1.0, 1.0]], 2, [(1, 1.0), (2, 0.7071067690849304)]),
    ([1.0], [[2.0], [1.0], [3.0]], 3, [(0, 1.0), (1, 1.0), (2, 1.0)]),
    ([1.0, 0.0], [[1.0], [-1.0, 0.0]], 2, [(0, 0.0), (1, -1.0)]),
    ([], [[1.0], [2.0], []], 2, [(0, 0.0), (1, 0.0)]), ([1.0], [], 5, []), ([1.0], [[1.0]], 0, []),
    ([1.0], [[1.0], [2.0]], 2**64 - 1, [(0, 1.0), (1, 1.0)]),
    ([1.0], [[-0.0], [math.nan], [0.0], [-1.0], [math.nan], [1.0]], 6,
     [(5, 1.0), (0, 0.0), (2, 0.0), (3, -1.0), (1, math.nan), (4, math.nan)]),
])
def test_top_k_examples(query, matrix, k, expected):
    got = top_k(query, matrix, k)
    assert repr(got) == repr(expected) and all(type(i) is int and type(s) is float for i, s in got)


@pytest.mark.parametrize("seed", range(6))
def test_top_k_matches_reference(seed):
    """Lists of rows, and the rows of the query's length as float64 and float32 arrays: read
    in place and narrowed by the kernels, they rank as the lists do."""
    rng = random.Random(100 + seed)
    for _ in range(20):
        d = rng.randrange(0, 40 if seed % 2 else 12)
        query = vec(rng, d, seed / 12)
        matrix = [[v * rng.choice([1.0, 1.0, 1e30, 1e-30]) for v in vec(
            rng, d if rng.random() < 0.9 else rng.randrange(0, 12), seed / 12)]
            for _ in range(rng.randrange(0, 40))]
        matrix += [matrix[0]] * 3 if matrix else []  # ties
        k = rng.randrange(0, len(matrix) + 3)
        assert repr(top_k(query, matrix, k)) == repr(ref_top_k(query, matrix, k))
        if np is None:
            continue
        rows = [row for row in matrix if len(row) == d]
        wide = np.array(rows, dtype=np.float64).reshape(len(rows), d)
        expected = repr(ref_top_k(query, rows, k))
        assert repr(top_k(np.array(query), wide, k)) == expected
        assert repr(top_k(query, wide.astype(np.float32), k)) == expected


class IntWithFloat(int):
    def __float__(self):
        return 0.25


@pytest.mark.parametrize("values, expected", [
    ([], -0.0), ([0.0], 0.0), ([-0.0], -0.0), ([-0.0, 0.0], 0.0), ([0.1, 0.2, 0.3], 0.6000000000000001),
    ([1e16, 1.0, -1e16], 0.0), ([1e16, -1e16, 1.0], 1.0), ([1, 2, True], 4.0), ((0.5, 0.25), 0.75),
    (b"\x01\x02", 3.0), ([math.inf, -math.inf], math.nan), ([1.7e308, 1.7e308], math.inf),
    ([Real(1.5), Index(3), IntWithFloat(7)], 4.75), ([2**1023 * 1.5], 2**1023 * 1.5),
])
def test_aggregate_cost_examples(values, expected):
    assert repr(aggregate_cost(values)) == repr(expected)


def test_aggregate_cost_is_the_plain_left_to_right_loop():
    rng = random.Random(3)
    for _ in range(50):
        values = [rng.choice([rng.uniform(-1e6, 1e6), rng.random(), 1e300, -0.0])
                  for _ in range(rng.randrange(0, 200))]
        total = -0.0
        for v in values:
            total += v
        assert repr(aggregate_cost(values)) == repr(total)


def test_the_module_has_no_fused_multiply_add():
    # A fused multiply-add rounds once where the sums round twice: the build must never let
    # the compiler contract a product and its add, on any instruction set.
    objdump = shutil.which("objdump") or shutil.which("llvm-objdump")
    if objdump is None:
        pytest.skip("needs objdump")
    text = subprocess.run([objdump, "-d", quor_core.__file__], capture_output=True, text=True).stdout
    assert text, "objdump read nothing"
    assert not re.findall(r"\s(v?fn?m(?:add|sub)\w*|fml[as])\s", text)
