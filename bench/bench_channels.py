"""Channel merging: quor_core against plain-Python equivalents built on json and orjson.

`cases()` returns rows: our callable, {peer name: peer callable} and the interpreter's
own boundary cost as the floor. Every peer applies the same reducer rules and must return
exactly the reference's compact, key-sorted text; that is checked once while the cases are
built. Run this file directly for a quick table.
"""

import json
import math
import random
import sys
import timeit
from functools import partial
from pathlib import Path

import orjson

import quor_core

from common import Fresh, optional

msgspec = optional("msgspec")

SEED = 20240611


# --- the reducer rules in plain Python -------------------------------------------------
# Written as a competent user would: each update iterated as it is (its keys are distinct,
# so the order of its writes cannot change the result), exact type checks, the common
# last-value write inline.


def _add(current, update):
    a = float(current) if type(current) is int or type(current) is float else 0.0
    b = float(update) if type(update) is int or type(update) is float else 0.0
    total = a + b
    if math.isinf(total):
        return None
    if total.is_integer() and -(2**63) <= total < 2**64:
        return int(total)
    return total


def _append(current, update):
    # Freshly loaded values belong to this call, so lists are extended in place.
    if type(current) is list:
        out = current
    else:
        out = [] if current is None else [current]
    if type(update) is list:
        out.extend(update)
    else:
        out.append(update)
    return out


def _reduce(name, current, update):
    if name == "append":
        return _append(current, update)
    if name == "add":
        return _add(current, update)
    return update


def _merge(state, table, updates):
    if type(state) is not dict:
        raise ValueError("state must be a JSON object")
    reducer_of = table.get
    for node in updates:
        if node is None:
            continue
        if type(node) is not dict:
            raise ValueError("each node update must be a JSON object or null")
        for channel, value in node.items():
            reducer = reducer_of(channel)
            if reducer == "append":
                state[channel] = _append(state.get(channel), value)
            elif reducer == "add":
                state[channel] = _add(state.get(channel), value)
            else:
                state[channel] = value
    return state


def json_superstep(state_json, reducers_json, updates_json):
    state = json.loads(state_json)
    _merge(state, json.loads(reducers_json), json.loads(updates_json))
    return json.dumps(state, sort_keys=True, separators=(",", ":"), ensure_ascii=False)


def orjson_superstep(state_json, reducers_json, updates_json):
    state = orjson.loads(state_json)
    _merge(state, orjson.loads(reducers_json), orjson.loads(updates_json))
    return orjson.dumps(state, option=orjson.OPT_SORT_KEYS).decode()


def msgspec_superstep(state_json, reducers_json, updates_json):
    decode = msgspec.json.decode
    state = decode(state_json)
    _merge(state, decode(reducers_json), decode(updates_json))
    return msgspec.json.encode(state, order="deterministic").decode()


def json_reduce(reducer, current_json, update_json):
    update = json.loads(update_json)
    result = _reduce(reducer, json.loads(current_json), update)
    return json.dumps(result, sort_keys=True, separators=(",", ":"), ensure_ascii=False)


def orjson_reduce(reducer, current_json, update_json):
    update = orjson.loads(update_json)
    result = _reduce(reducer, orjson.loads(current_json), update)
    return orjson.dumps(result, option=orjson.OPT_SORT_KEYS).decode()


# --- inputs ------------------------------------------------------------------------------

WORDS = "alpha beta gamma delta tool call plan result error retry café naïve graph node".split()


def _text(rng, words):
    return " ".join(rng.choice(WORDS) for _ in range(words))


def _quarter(rng, bound=4000):
    # Multiples of 0.25 add exactly and print the same under every writer compared here.
    return rng.randint(-bound, bound) / 4


def _message(rng, i):
    return {"id": i, "role": rng.choice(["user", "assistant", "tool"]), "content": _text(rng, 8)}


def _mixed_value(rng, i):
    kind = rng.randrange(6)
    if kind == 0:
        return [_message(rng, i * 10 + j) for j in range(rng.randint(4, 12))]
    if kind == 1:
        tags = [_text(rng, 1) for _ in range(6)]
        return {"score": _quarter(rng), "tags": tags, "note": _text(rng, 40)}
    if kind == 2:
        return _text(rng, rng.randint(60, 200))
    if kind == 3:
        return [rng.randint(-10**6, 10**6) for _ in range(rng.randint(20, 120))]
    if kind == 4:
        return rng.choice([_quarter(rng), rng.randint(0, 10**12), None, True])
    nested = {"depth": [_quarter(rng) for _ in range(16)], "flag": False}
    return {"nested": nested, "name": _text(rng, 6)}


def _write(rng, reducer, i):
    if reducer == "append":
        return _message(rng, i) if rng.random() < 0.7 else [rng.randint(0, 99) for _ in range(3)]
    if reducer == "add":
        return rng.choice([_quarter(rng), rng.randint(-1000, 1000)])
    if rng.random() < 0.3:
        return _mixed_value(rng, i)
    return rng.choice([_text(rng, 6), _quarter(rng), {"status": "done", "n": i}, None])


def _wide_superstep():
    rng = random.Random(SEED)
    channels = [f"channel_{i:04d}" for i in range(2000)]
    table = {}
    for name in rng.sample(channels, 500):
        table[name] = rng.choice(["append", "add", "last_value"])
    state = {}
    for i, name in enumerate(channels):
        reducer = table.get(name)
        if reducer == "add":
            state[name] = rng.randint(0, 10**6)
        elif reducer == "append":
            state[name] = [_message(rng, i * 100 + j) for j in range(rng.randint(4, 16))]
        else:
            state[name] = _mixed_value(rng, i)
    written = list(table) + rng.sample(channels, 300) + [f"fresh_{i}" for i in range(40)]
    updates = []
    for n in range(1000):
        node = {}
        for channel in rng.sample(written, rng.randint(1, 5)):
            node[channel] = _write(rng, table.get(channel, "last_value"), n)
        updates.append(node)
    return json.dumps(state), json.dumps(table), json.dumps(updates)


def _append_heavy_superstep():
    rng = random.Random(SEED + 1)
    state = {
        "messages": [_message(rng, i) for i in range(10_000)],
        "step": 41,
        "summary": _text(rng, 30),
    }
    table = {"messages": "append", "step": "add"}
    updates = [{"messages": _message(rng, 10_000 + n)} for n in range(500)]
    updates[0]["step"] = 1
    return json.dumps(state), json.dumps(table), json.dumps(updates)


def _reference():
    """The tests' own model of the operations, when the tests are beside this directory."""
    tests = Path(__file__).resolve().parents[1] / "tests"
    sys.path.insert(0, str(tests))
    try:
        import channelref
    except ImportError:
        return None
    finally:
        sys.path.remove(str(tests))
    return channelref


def _checked(ours, peers, args):
    """The peers that return exactly the reference's text; one that does not is reported
    and left out of the timing. Ours must match it."""
    ref = _reference()
    model = getattr(ref, ours.__name__, None) if ref else None
    expected = model(*args) if model else json_superstep(*args)
    if ours(*args) != expected:
        raise AssertionError(f"quor_core.{ours.__name__} disagrees with the reference")
    agreeing = {}
    for name, peer in peers.items():
        if peer(*args) == expected:
            agreeing[name] = peer
        else:
            print(f"# {name} {ours.__name__} disagrees with the reference: not timed",
                  file=sys.stderr)
    return agreeing


def _floor(text, result):
    """The interpreter's own boundary cost: the UTF-8 encode of a fresh input str (when the
    input is fresh) and the decode of the result."""
    encoded = result.encode()
    if text is None:
        return lambda: encoded.decode()
    return Fresh(lambda s: (s.encode(), encoded.decode()), text)


def cases():
    rows = []
    superstep_peers = {"json": json_superstep, "orjson": orjson_superstep}
    if msgspec is not None:
        superstep_peers["msgspec"] = msgspec_superstep
    reduce_peers = {"json": json_reduce, "orjson": orjson_reduce}
    plan = [
        ("advance_superstep: 2,000 channels, 1,000 node updates", _wide_superstep(),
         quor_core.advance_superstep, superstep_peers),
        ("advance_superstep: 500 appends to a 10,000-entry list", _append_heavy_superstep(),
         quor_core.advance_superstep, superstep_peers),
        ('reduce_channel("append", "[1,2,3]", "4")', ("append", "[1,2,3]", "4"),
         quor_core.reduce_channel, reduce_peers),
    ]
    for row, args, ours, peers in plan:
        peers = _checked(ours, peers, args)
        result = ours(*args)
        if ours is quor_core.advance_superstep:  # the state text is fresh on every call
            state, rest = args[0], args[1:]
            fresh = {name: Fresh(lambda s, p=peer, r=rest: p(s, *r), state)
                     for name, peer in peers.items()}
            rows.append({"name": row + " (fresh state)",
                         "ours": Fresh(lambda s, f=ours, r=rest: f(s, *r), state),
                         "peers": fresh, "floor": _floor(state, result)})
            continue
        bound = {name: partial(peer, *args) for name, peer in peers.items()}
        rows.append({"name": row, "ours": partial(ours, *args), "peers": bound,
                     "floor": _floor(None, result)})
    return rows


def _best(fn, repeat=5):
    number, _ = timeit.Timer(fn).autorange()
    return min(timeit.repeat(fn, number=number, repeat=repeat)) / number


if __name__ == "__main__":
    for row in cases():
        base = _best(row["ours"])
        cells = ", ".join(f"{name} {_best(fn) / base:.1f}x slower"
                          for name, fn in row["peers"].items())
        print(f"{row['name']}: {base * 1e6:.1f} us; {cells}")
