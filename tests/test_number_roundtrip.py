"""Which floats survive encode/decode cycles unchanged, and how far the others move."""

import json
import math
import random
import struct

import pytest

from quor_core import decode_checkpoint, encode_checkpoint


def cycle(values):
    return json.loads(decode_checkpoint(encode_checkpoint(json.dumps(values))))


def exact_condition(x):
    """S <= 2**53 and -22 <= E <= 22 for the text the module writes (repr's digits)."""
    mantissa, _, exponent = repr(x).partition("e")
    whole, _, fraction = mantissa.lstrip("-").partition(".")
    digits = int(whole + fraction)
    e = (int(exponent) if exponent else 0) - len(fraction)
    return digits <= 2**53 and -22 <= e <= 22


def ulp(x):
    return math.ulp(abs(x))


def random_doubles(seed, n):
    rng = random.Random(seed)
    out = []
    while len(out) < n:
        x = struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0]
        if math.isfinite(x):
            out.append(x)
    return out


def fifteen_digit_floats(seed, n):
    rng = random.Random(seed)
    return [float(f"{rng.uniform(1, 10):.14f}e{rng.randint(-7, 13)}") * rng.choice([1, -1])
            for _ in range(n)]


@pytest.mark.parametrize("make", [
    lambda: [x for x in random_doubles(1, 60000) if exact_condition(x)],
    lambda: fifteen_digit_floats(2, 20000),
    lambda: [random.Random(3).randint(-2**63, 2**64 - 1) for _ in range(1000)] + [-2**63, 2**64 - 1],
])
def test_numbers_inside_the_condition_survive_every_cycle(make):
    values = make()
    assert all(exact_condition(x) for x in values if isinstance(x, float))
    current = values
    for _ in range(3):
        current = cycle(current)
        assert current == values
        assert all(type(a) is type(b) for a, b in zip(current, values))


def read_once(values):
    """One read: encode_checkpoint reads the text and writes the float it got."""
    return json.loads(encode_checkpoint(json.dumps(values))[5:])


def units_apart(x, y):
    n = 0
    while x != y and n < 10:
        x, n = math.nextafter(x, y), n + 1
    return n


def test_numbers_outside_move_by_at_most_two_units_per_read():
    values = random_doubles(4, 200000)
    moves = [units_apart(x, y) for x, y in zip(values, read_once(values))]
    assert all(not exact_condition(x) for x, m in zip(values, moves) if m)
    assert max(moves) == 2
    assert 0.27 < sum(1 for m in moves if m) / len(values) < 0.32


def test_ordinary_magnitudes_move_by_one_unit_at_most():
    rng = random.Random(5)
    values = [rng.uniform(-1000, 1000) for _ in range(100000)]
    moves = [units_apart(x, y) for x, y in zip(values, read_once(values))]
    assert max(moves) == 1 and 0.09 < sum(moves) / len(values) < 0.12
