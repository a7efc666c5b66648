"""Repeated calls leak nothing, and threads calling at once get the single-thread answers."""

import gc
import os
import sys
import threading

import pytest

import quor_core as q
from helpers import build_chain

CHAIN = build_chain("g", ["p0"])
BLOB = q.encode_checkpoint('{"a":[1,2.5,"é"]}')

# (function, arguments) for success and for each failure path of every function.
CALLS = [
    (q.cosine_similarity, ([1.0, 2.0], [2.0, 1.0])),
    (q.cosine_similarity, ([1.0, "x"], [1.0])),
    (q.top_k, ([1.0, 0.0], [[1.0, 0.0], [0.0, 1.0], (1.0,)], 2)),
    (q.top_k, ([1.0], [[1.0], "ab"], 1)),
    (q.top_k, ([1.0], [[1.0]], -1)),
    (q.encode_checkpoint, ('{"b":[1,{"c":null}],"a":"x"}',)),
    (q.encode_checkpoint, ('{"a":',)),
    (q.decode_checkpoint, (BLOB,)),
    (q.decode_checkpoint, (bytearray(b"QUOR\x02{}"),)),
    (q.decode_checkpoint, ([81, 85, 79, 82, 1, 256],)),
    (q.reduce_channel, ("append", "[1]", "[2,3]")),
    (q.reduce_channel, ("add", "1", "tru")),
    (q.advance_superstep, ('{"m":[1]}', '{"m":"append"}', '[{"m":2},null]')),
    (q.advance_superstep, ('{"m":[1]}', '{"m":"append"}', '[1]')),
    (q.plan_supersteps, (["a", "b", "c"], [("a", "b"), ("b", "c"), ("c", "b")])),
    (q.plan_supersteps, (["a"], [("a", "b", "c")])),
    (q.hash_event, ("prev", "payload")),
    (q.hash_event, ("prev", 5)),
    (q.verify_chain, ("g", CHAIN)),
    (q.verify_chain, ("g", [("p0", "h"), ["x", "y"]])),
    (q.aggregate_cost, ([0.5, 1, True],)),
    (q.aggregate_cost, ([0.5, None],)),
]


def call(fn, args):
    try:
        return fn(*args)
    except (TypeError, ValueError, OverflowError) as e:
        return type(e), str(e)


# Under the address sanitizer freed memory is held in quarantine, and an emulator (qemu user
# mode, QUOR_EMULATED=1) keeps what the program frees: RSS says nothing there.
MEASURE_RSS = (sys.platform == "linux" and "asan" not in os.environ.get("LD_PRELOAD", "")
               and not os.environ.get("QUOR_EMULATED"))
# Enough calls for a leak to show in RSS; reference counts show one in far fewer.
ROUNDS = 2000 if os.environ.get("QUOR_EMULATED") else 20000


# From 3.14 on the interpreter never decrements an immortal object (None, True, interned
# strings), while a module built for the 3.11 stable ABI increments them inline: their counts
# drift upward by design, so only mortal objects are counted.
_is_immortal = getattr(sys, "_is_immortal", lambda o: False)


def counts_of(objects):
    return [sys.getrefcount(o) if not _is_immortal(o) else None for o in objects]


def rss_kib():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))


@pytest.mark.slow
@pytest.mark.parametrize("fn, args", CALLS, ids=lambda v: getattr(v, "__name__", ""))
def test_repeated_calls_keep_references_and_memory_flat(fn, args):
    if not hasattr(sys, "getrefcount"):
        pytest.skip("needs reference counts")
    first = call(fn, args)
    counts = counts_of(args)
    gc.collect()
    before = rss_kib() if MEASURE_RSS else 0
    for _ in range(ROUNDS):
        assert call(fn, args) == first
    gc.collect()
    assert counts_of(args) == counts
    if MEASURE_RSS:
        assert rss_kib() - before < 4096


def test_threads_calling_at_once_get_the_single_thread_results():
    expected = [call(fn, args) for fn, args in CALLS]
    failures = []

    def worker():
        for _ in range(300):
            for (fn, args), want in zip(CALLS, expected):
                if call(fn, args) != want:
                    failures.append(fn.__name__)

    threads = [threading.Thread(target=worker) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
