"""Coverage-guided fuzzing of the module's Python surface, with properties checked on every
input, not only "no crash".

    python tests/fuzz/fuzz_surface.py TARGET [libFuzzer options] [corpus folder]

TARGET is one of: json, superstep, planner, chain, top_k. Needs `pip install atheris`.
"""

import json
import math
import re
import sys
from pathlib import Path

import atheris

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from channelref import advance_superstep as model_superstep  # noqa: E402
from jsonref import check_error as check_read_error  # noqa: E402

with atheris.instrument_imports():
    import quor_core as q

@atheris.instrument_func
def fuzz_json(data):
    # Byte mode: the checkpoint decoder reads the payload as bytes.
    try:
        text = q.decode_checkpoint(b"QUOR\x01" + data)
    except ValueError as e:
        check_read_error(str(e), data)
    else:
        # Written text is in the normal form: without floats (which may move by a unit on
        # each read) it reads and writes back to itself.
        if not re.search(r"[.eE]", text):
            assert q.decode_checkpoint(q.encode_checkpoint(text)) == text
    # Text mode: the same bytes as a str, where they are valid UTF-8.
    try:
        s = data.decode("utf-8")
    except UnicodeDecodeError:
        return
    try:
        blob = q.encode_checkpoint(s)
    except ValueError as e:
        check_read_error(str(e), data)
    else:
        assert blob[:5] == b"QUOR\x01"
        if not re.search(rb"[.eE]", blob):
            assert q.decode_checkpoint(blob) == blob[5:].decode()


@atheris.instrument_func
def values(fdp, depth=0):
    """JSON values of every kind."""
    kind = fdp.ConsumeIntInRange(0, 6 if depth < 3 else 4)
    if kind == 0:
        return None
    if kind == 1:
        return fdp.ConsumeBool()
    if kind == 2:
        return fdp.ConsumeIntInRange(-2**40, 2**40) if fdp.ConsumeBool() else fdp.ConsumeRegularFloat()
    if kind in (3, 4):
        return fdp.ConsumeUnicodeNoSurrogates(4)
    if kind == 5:
        return [values(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 3))]
    return {fdp.ConsumeUnicodeNoSurrogates(2): values(fdp, depth + 1)
            for _ in range(fdp.ConsumeIntInRange(0, 3))}


@atheris.instrument_func
def fuzz_superstep(data):
    fdp = atheris.FuzzedDataProvider(data)
    channels = ["a", "b", "c", "é"]
    names = ["append", "add", "last_value", "x"]
    state = {c: values(fdp) for c in channels if fdp.ConsumeBool()}
    reducers = {c: names[fdp.ConsumeIntInRange(0, 3)] for c in channels if fdp.ConsumeBool()}
    updates = [None if fdp.ConsumeIntInRange(0, 4) == 0 else
               {channels[fdp.ConsumeIntInRange(0, 3)]: values(fdp)
                for _ in range(fdp.ConsumeIntInRange(0, 3))}
               for _ in range(fdp.ConsumeIntInRange(0, 5))]
    args = (json.dumps(state), json.dumps(reducers), json.dumps(updates))
    assert q.advance_superstep(*args) == model_superstep(*args), args


@atheris.instrument_func
def fuzz_planner(data):
    fdp = atheris.FuzzedDataProvider(data)
    pool = list(dict.fromkeys(fdp.ConsumeUnicodeNoSurrogates(3)
                              for _ in range(fdp.ConsumeIntInRange(0, 12))))
    if not pool:
        assert q.plan_supersteps([], []) == []
        return
    nodes = [pool[fdp.ConsumeIntInRange(0, len(pool) - 1)]
             for _ in range(fdp.ConsumeIntInRange(0, 16))]
    acyclic = fdp.ConsumeBool()
    edges = []
    for _ in range(fdp.ConsumeIntInRange(0, 24)):
        i, j = fdp.ConsumeIntInRange(0, len(pool) - 1), fdp.ConsumeIntInRange(0, len(pool) - 1)
        if acyclic and i >= j:
            continue
        edges.append((pool[i], pool[j]))
    plan = q.plan_supersteps(nodes, edges)
    flat = [name for step in plan for name in step]
    # Every distinct name in exactly one superstep; repeats only in the last (the remainder).
    assert set(flat) == set(nodes)
    steps_of = {name: {i for i, step in enumerate(plan) if name in step} for name in flat}
    assert all(len(where) == 1 for where in steps_of.values())
    for step in plan[:-1]:
        assert len(set(step)) == len(step)
    for step in plan:
        assert [n.encode() for n in step] == sorted(n.encode() for n in step)
    if acyclic:  # every edge between listed nodes is respected
        where = {name: i for i, step in enumerate(plan) for name in step}
        for a, b in edges:
            if a in where and b in where and a != b:
                assert where[a] < where[b], (nodes, edges, plan)


@atheris.instrument_func
def fuzz_chain(data):
    fdp = atheris.FuzzedDataProvider(data)
    genesis = fdp.ConsumeUnicodeNoSurrogates(8)
    entries, prev = [], genesis
    for _ in range(fdp.ConsumeIntInRange(0, 6)):
        payload = fdp.ConsumeUnicodeNoSurrogates(80)
        prev = q.hash_event(prev, payload)
        entries.append((payload, prev))
    assert q.verify_chain(genesis, entries) is None
    if not entries:
        return
    j = fdp.ConsumeIntInRange(0, len(entries) - 1)
    payload, stored = entries[j]
    which = fdp.ConsumeBool()
    raw = bytearray((payload if which else stored).encode())
    if not raw:
        raw = bytearray(b"x")
    else:
        raw[fdp.ConsumeIntInRange(0, len(raw) - 1)] ^= 1 << fdp.ConsumeIntInRange(0, 6)
    changed = raw.decode("utf-8", "replace")
    entries[j] = (changed, stored) if which else (payload, changed)
    assert q.verify_chain(genesis, entries) == (j if entries[j] != (payload, stored) else None)


@atheris.instrument_func
def fuzz_top_k(data):
    import array

    import numpy as np

    fdp = atheris.FuzzedDataProvider(data)
    d = fdp.ConsumeIntInRange(0, 9)
    n = fdp.ConsumeIntInRange(0, 20)
    special = [0.0, -0.0, math.inf, -math.inf, math.nan, 1e-45, 3.5e38, 1e39, -2.5]

    def number():
        if fdp.ConsumeIntInRange(0, 3) == 0:
            return special[fdp.ConsumeIntInRange(0, len(special) - 1)]
        return fdp.ConsumeRegularFloat()

    rows = [[number() for _ in range(d)] for _ in range(n)]
    query = [number() for _ in range(d)]
    k = fdp.ConsumeIntInRange(0, n + 2)
    with np.errstate(all="ignore"):
        want = q.top_k(query, rows, k)
        forms = [tuple(map(tuple, rows)), [array.array("d", r) for r in rows],
                 [array.array("f", [float(np.float32(x)) for x in r]) for r in rows]]
        if n:
            forms += [np.array(rows, dtype=np.float32), np.array(rows, dtype=np.float64)]
        for form in forms:
            got = q.top_k(np.array(query, dtype=np.float64), form, k)
            assert [i for i, _ in got] == [i for i, _ in want]
            for (_, a), (_, b) in zip(got, want):
                assert a == b or (math.isnan(a) and math.isnan(b))


TARGETS = {"json": fuzz_json, "superstep": fuzz_superstep, "planner": fuzz_planner,
           "chain": fuzz_chain, "top_k": fuzz_top_k}

if __name__ == "__main__":
    target = TARGETS[sys.argv.pop(1)]
    atheris.Setup(sys.argv, target)
    atheris.Fuzz()
