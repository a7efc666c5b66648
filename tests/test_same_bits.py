"""The same bits everywhere: one fixed, seeded workload through all ten functions, every
result (texts, bytes, digests, score bit patterns, error messages) folded into one SHA-256
that must equal the digest committed beside this file. Every build on every platform (vector
or portable paths, any compiler, any CPython from 3.11) must produce it.

Only the standard library makes the inputs, so nothing but the module can move the digest.
After a deliberate change of results, `python tests/test_same_bits.py` prints the new one."""

import hashlib
import json
import math
import random
import struct
from pathlib import Path

import quor_core

DIGEST_FILE = Path(__file__).resolve().parent / "data" / "same_bits.sha256"
SEED = 20261207


class Fold:
    """Everything a call gives back, folded in call order."""

    def __init__(self):
        self.sha = hashlib.sha256()

    def add(self, tag, value):
        self.sha.update(tag.encode() + b"\0" + self._bytes(value) + b"\1")

    def _bytes(self, value):
        if isinstance(value, bytes):
            return value
        if isinstance(value, str):
            return value.encode("utf-8", "surrogatepass")
        if isinstance(value, float):
            # A NaN's sign and payload are the processor's choice, not a result.
            return b"nan" if math.isnan(value) else struct.pack("<d", value)
        if isinstance(value, (list, tuple)):
            return b"[" + b",".join(self._bytes(v) for v in value) + b"]"
        return repr(value).encode()

    def call(self, tag, fn, *args):
        try:
            self.add(tag, fn(*args))
        except (ValueError, TypeError, OverflowError) as e:
            self.add(tag + "!", f"{type(e).__name__}: {e}")


def any_double(rng):
    while True:
        x = struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0]
        if math.isfinite(x):
            return x


def subnormal(rng):
    return struct.unpack("<d", struct.pack("<Q", rng.getrandbits(rng.randint(1, 52)) | rng.getrandbits(1) << 63))[0]


def number_text(rng):
    kind = rng.randrange(6)
    if kind == 0:
        return repr(any_double(rng))
    if kind == 1:
        return repr(subnormal(rng))
    if kind == 2:
        return f"{rng.choice(['', '-'])}{rng.randint(0, 10**rng.randint(1, 25))}e{rng.randint(-330, 310)}"
    if kind == 3:
        return f"{rng.uniform(-1e6, 1e6):.{rng.randint(0, 20)}f}"
    if kind == 4:
        return str(rng.randint(-2**64, 2**64))
    return repr(rng.uniform(-1, 1) * 10 ** rng.randint(-8, 22))


ALPHABET = ['a', 'Z', ' ', '"', '\\', '/', '\n', '\t', '\x00', '\x1f', '\x7f', 'é', '\u2028', '😀', '\uffff', 'ﬀ']


def text(rng, longest=40):
    n = rng.randint(0, longest)
    if rng.random() < 0.3:
        return "k" * n  # runs long enough for the vector scans
    return "".join(rng.choice(ALPHABET) if rng.random() < 0.3 else chr(rng.randint(0x20, 0x7e)) for _ in range(n))


def value(rng, depth=0):
    kind = rng.randrange(8 if depth < 4 else 5)
    if kind == 0:
        return rng.choice([None, True, False])
    if kind in (1, 2):
        return json.loads(number_text(rng))
    if kind == 3:
        return text(rng)
    if kind == 4:
        return rng.randint(-10**6, 10**6)
    if kind in (5, 6):
        return {text(rng, 12): value(rng, depth + 1) for _ in range(rng.randint(0, 6))}
    return [value(rng, depth + 1) for _ in range(rng.randint(0, 6))]


def json_texts(rng):
    for _ in range(300):
        doc = value(rng)
        yield json.dumps(doc, ensure_ascii=rng.random() < 0.5, indent=rng.choice([None, None, 2, "\t"]))
    for _ in range(60):  # float-heavy: the writer's digit search on every kind of double
        yield "[" + ", ".join(number_text(rng) for _ in range(rng.randint(1, 200))) + "]"
    for _ in range(40):  # broken text: the error messages are results too
        good = json.dumps(value(rng))
        cut = rng.randrange(len(good) + 1)
        yield good[:cut] + rng.choice(["", "}", "]", ",", "\\", '"', "\x01", "\ud800", "nul", "-", "1e"]) + good[cut:]


def float32(rng):
    r = rng.random()
    if r < 0.02:
        return rng.choice([math.inf, -math.inf, math.nan, 0.0, -0.0])
    if r < 0.05:
        return struct.unpack("<f", struct.pack("<I", rng.getrandbits(23) | rng.getrandbits(1) << 31))[0]
    if r < 0.08:
        return rng.choice([1.0, -1.0]) * 2.0 ** rng.randint(60, 127)  # squares overflow
    return rng.uniform(-3, 3)


def workload(fold):
    rng = random.Random(SEED)
    for t in json_texts(rng):
        try:
            blob = quor_core.encode_checkpoint(t)
        except ValueError as e:
            fold.add("encode!", str(e))
            continue
        fold.add("encode", blob)
        fold.call("decode", quor_core.decode_checkpoint, blob)

    for _ in range(300):
        reducer = rng.choice(["add", "append", "last_value", "max"])
        fold.call("reduce", quor_core.reduce_channel, reducer, number_text(rng), number_text(rng))
        fold.call("reduce", quor_core.reduce_channel, reducer, json.dumps(value(rng)), json.dumps(value(rng)))

    channels = [text(rng, 6) for _ in range(8)]
    for _ in range(60):
        state = json.dumps({c: value(rng, 3) for c in rng.sample(channels, rng.randint(0, 8))})
        table = json.dumps({c: rng.choice(["add", "append", "last_value"]) for c in rng.sample(channels, 4)})
        updates = json.dumps([None if rng.random() < 0.1 else
                              {c: json.loads(number_text(rng)) if rng.random() < 0.5 else value(rng, 3)
                               for c in rng.sample(channels, rng.randint(0, 4))}
                              for _ in range(rng.randint(0, 6))])
        fold.call("superstep", quor_core.advance_superstep, state, table, updates)

    for _ in range(40):
        names = list(dict.fromkeys(text(rng, 20) for _ in range(rng.randint(0, 120))))
        rng.shuffle(names)
        edges = [(names[i], names[j]) for _ in range(len(names) * 2)
                 for i, j in [sorted(rng.sample(range(len(names)), 2)) if len(names) > 1 else (0, 0)] if i < j]
        fold.call("plan", quor_core.plan_supersteps, names, edges)
    fold.call("plan", quor_core.plan_supersteps, ["a", "b"], [("a", "b"), ("b", "a")])

    for _ in range(30):
        genesis = text(rng, 70)
        entries, prev = [], genesis
        for _ in range(rng.randint(0, 12)):
            payload = text(rng, rng.choice([10, 64, 200, 1000]))
            prev = quor_core.hash_event(prev, payload)
            entries.append((payload, prev))
        fold.add("chain", entries)
        if entries and rng.random() < 0.5:
            j = rng.randrange(len(entries))
            entries[j] = (entries[j][0] + "x", entries[j][1])
        fold.call("verify", quor_core.verify_chain, genesis, entries)

    for _ in range(200):
        n = rng.choice([0, 1, 3, 4, 5, 16, 17, 64, 100, 300])
        a = [float32(rng) for _ in range(n)]
        b = [float32(rng) for _ in range(n + (rng.random() < 0.05))]
        fold.call("cosine", quor_core.cosine_similarity, a, b)

    for _ in range(40):
        d = rng.choice([1, 2, 3, 4, 7, 8, 13, 16, 33, 100])
        rows = rng.randint(0, 70)
        query = [float32(rng) for _ in range(d)]
        matrix = [[float32(rng) for _ in range(d if rng.random() < 0.95 else rng.randint(0, 2 * d))]
                  for _ in range(rows)]
        fold.call("top_k", quor_core.top_k, query, matrix, rng.randint(0, rows + 2))

    for _ in range(100):
        values = [rng.choice([float32(rng), any_double(rng), rng.randint(-10**6, 10**6), subnormal(rng)])
                  for _ in range(rng.randint(0, 300))]
        fold.call("cost", quor_core.aggregate_cost, values)


def digest():
    fold = Fold()
    workload(fold)
    return fold.sha.hexdigest()


def test_the_workload_gives_the_committed_digest():
    assert digest() == DIGEST_FILE.read_text().split()[0]


if __name__ == "__main__":
    print(digest())
