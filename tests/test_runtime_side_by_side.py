"""The example runtime runs a superstep's nodes at once and still writes what a one-at-a-time
run writes; a failing node leaves the folder as it was before its superstep."""

import asyncio
import inspect
import json
import random
import sys
import threading
import time

import pytest

import quor_core
from helpers import snapshot
from quor_runtime import Graph, NodeError, Runtime

CHANNELS = {"log": "append", "total": "add", "latest": "last_value", "plain": None}


def steps(runtime, how, *args):
    """run()/resume() as they are, or their async twins driven step by step on one loop."""
    if how == "sync":
        return runtime.run(*args) if args else runtime.resume()
    agen = runtime.arun(*args) if args else runtime.aresume()

    def each():
        with asyncio.Runner() as loop:
            while True:
                try:
                    yield loop.run(agen.__anext__())
                except StopAsyncIteration:
                    return
    return each()


class Boom(Exception):
    pass


def random_graph(seed, size=24, kinds=None, broken=()):
    """A seeded DAG plus one cycle, nodes of both kinds sleeping a little (so they finish
    out of plan order) and writing values drawn from the state they saw."""
    rng = random.Random(seed)
    names = [f"n{i:02d}" for i in range(size)]
    edges = [(names[a], names[b]) for b in range(1, size)
             for a in rng.sample(range(b), min(b, rng.randint(0, 2)))]
    edges.append((names[-1], names[-4]))  # a cycle: those nodes share the last superstep

    def make(name):
        delay = rng.uniform(0, 0.004)
        channels = rng.sample(sorted(CHANNELS), rng.randint(0, 3))
        cost = rng.choice([0.25, 1e-3, 3])
        kind = rng.choice(["plain", "async"])  # drawn always, so overrides keep the rest
        kind = (kinds or {}).get(name, kind)

        def output(state):
            if name in broken:
                raise Boom(name)
            digest = quor_core.hash_event(name, json.dumps(state, sort_keys=True))
            return {c: int(digest[:6], 16) for c in channels} or None, cost

        def plain(state):
            time.sleep(delay)
            return output(state)

        async def coro(state):
            await asyncio.sleep(delay)
            return output(state)

        return plain if kind == "plain" else coro

    reducers = {c: r for c, r in CHANNELS.items() if r}
    return Graph({n: make(n) for n in names}, edges, reducers)


def all_plain(graph):
    """The same graph with every node a plain function: with one worker, the reference run
    calls one node at a time in plan order."""
    def plain(fn):
        return (lambda state: asyncio.run(fn(state))) if inspect.iscoroutinefunction(fn) else fn
    return Graph({n: plain(f) for n, f in graph.nodes.items()}, graph.edges, graph.reducers)


WAYS = [("sync", None), ("async", None), ("sync", 2), ("async", 1)]


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_random_graph_writes_what_a_one_at_a_time_run_writes(tmp_path, seed):
    graph = random_graph(seed)
    assert max(map(len, graph.plan())) >= 3 and len(graph.nodes) >= 20
    list(Runtime(all_plain(graph), tmp_path / "ref", max_workers=1).run({"log": []}))
    want = snapshot(tmp_path / "ref")
    for i, (how, workers) in enumerate(WAYS):
        list(steps(Runtime(graph, tmp_path / str(i), max_workers=workers), how, {"log": []}))
        assert snapshot(tmp_path / str(i)) == want, (how, workers)


def meeting_graph(kinds, timeout=10.0):
    """Two nodes of one superstep that each wait for the other: done only if run at once."""
    barrier = threading.Barrier(2, timeout=timeout)
    meeting = asyncio.Barrier(2)

    def plain(state):
        barrier.wait()
        return {"met": 1}, 0

    async def coro(state):
        if kinds == ("async", "async"):
            await asyncio.wait_for(meeting.wait(), timeout)
        else:  # meets a plain node: the loop must keep going while a thread waits
            await asyncio.to_thread(barrier.wait)
        return {"met": 1}, 0

    nodes = {f"{kind}{i}": plain if kind == "plain" else coro for i, kind in enumerate(kinds)}
    return Graph(nodes, [], {"met": "add"})


@pytest.mark.parametrize("how", ["sync", "async"])
@pytest.mark.parametrize("kinds", [("plain", "plain"), ("async", "async"), ("plain", "async")])
def test_nodes_of_a_superstep_run_at_once(tmp_path, kinds, how):
    done = list(steps(Runtime(meeting_graph(kinds), tmp_path), how, {}))
    assert json.loads(done[-1].state)["met"] == 2


def test_one_worker_runs_plain_nodes_one_at_a_time(tmp_path):
    with pytest.raises(NodeError, match="'plain0' failed in superstep 0") as caught:
        list(Runtime(meeting_graph(("plain", "plain"), 0.2), tmp_path, max_workers=1).run({}))
    assert isinstance(caught.value.__cause__, threading.BrokenBarrierError)


@pytest.mark.parametrize("how", ["sync", "async"])
@pytest.mark.parametrize("kind", ["plain", "async"])
@pytest.mark.parametrize("where", [0, 0.5, -1])
def test_failing_node_writes_nothing_of_its_superstep_and_resume_redoes_it(
        tmp_path, how, kind, where):
    seed = 7
    plan = random_graph(seed).plan()
    step = plan[int(where * (len(plan) - 1))]
    victim = step[len(step) // 2]
    list(Runtime(random_graph(seed), tmp_path / "ref").run({"log": []}))

    folder = tmp_path / "run"
    broken = {victim}
    graph = random_graph(seed, kinds={victim: kind}, broken=broken)
    run = steps(Runtime(graph, folder), how, {"log": []})
    before = snapshot(folder)  # initial.quor only
    with pytest.raises(NodeError) as caught:
        for _ in run:
            before = snapshot(folder)
    error = caught.value
    assert (error.node, error.superstep) == (victim, plan.index(step))
    assert isinstance(error.__cause__, Boom) and victim in str(error)
    assert snapshot(folder) == before
    assert next(run, None) is None

    broken.clear()
    list(steps(Runtime(graph, folder), how))
    assert snapshot(folder) == snapshot(tmp_path / "ref")


@pytest.mark.parametrize("how", ["sync", "async"])
def test_failing_node_cancels_async_siblings_and_starts_no_more(tmp_path, how):
    seen = []

    def a_fails(state):
        raise Boom("a")

    async def b_waits(state):
        try:
            await asyncio.sleep(60)
        except asyncio.CancelledError:
            seen.append("b cancelled")
            raise
        return None, 0

    def c_queued(state):  # behind a_fails on the only thread
        seen.append("c started")
        return None, 0

    graph = Graph({"a": a_fails, "b": b_waits, "c": c_queued}, [])
    with pytest.raises(NodeError, match="node 'a' failed in superstep 0: Boom: a"):
        list(steps(Runtime(graph, tmp_path, max_workers=1), how, {}))
    assert seen == ["b cancelled"]


@pytest.mark.parametrize("name", ["appnd", "Append", "", "last", 3, None])
def test_unknown_reducer_is_refused_by_channel_and_name(name):
    with pytest.raises(ValueError, match=f"channel 'messages': unknown reducer {name!r}"):
        Graph({}, [], {"tokens": "add", "messages": name})


def test_unknown_reducer_is_last_value_when_asked_for(tmp_path):
    graph = Graph({"a": lambda s: ({"m": [2]}, 0)}, [], {"m": "appnd"}, strict_reducers=False)
    final = list(Runtime(graph, tmp_path).run({"m": [1]}))[-1].state
    assert json.loads(final)["m"] == [2]
