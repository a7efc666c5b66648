"""The example runtime at scale: one read-only view of the state per superstep, audit entries
of constant size, a retention of checkpoints under which the chain still verifies, and plain
nodes on any executor writing what the default pool writes."""

import concurrent.futures
import copy
import json
import multiprocessing
import pickle

import pytest

import quor_runtime
from helpers import snapshot
from quor_runtime import (AUDIT_LOG, FrozenDict, Graph, NodeError, ResumeError, Runtime,
                          own_copy, read_only)

STATE = {"docs": ["a", "é", {"k": [1, [2.5, None]]}], "meta": {"n": 1, "tags": ["x"]}, "n": 0}


MUTATIONS = {
    "set a channel": lambda s: s.__setitem__("n", 1),
    "delete a channel": lambda s: s.pop("n"),
    "update": lambda s: s.update(n=2),
    "merge in place": lambda s: s.__ior__({"n": 2}),
    "setdefault": lambda s: s.setdefault("new", 1),
    "append to a list": lambda s: s["docs"].append("b"),
    "extend in place": lambda s: s["docs"].__iadd__(["b"]),
    "sort a list": lambda s: s["meta"]["tags"].sort(),
    "set an item deep down": lambda s: s["docs"][2]["k"][1].__setitem__(0, 3),
    "nested object": lambda s: s["meta"].clear(),
}


@pytest.mark.parametrize("kind", ["plain", "async"])
@pytest.mark.parametrize("change", MUTATIONS)
def test_a_node_that_changes_the_state_fails_clearly_and_writes_nothing(tmp_path, change, kind):
    def node(state):
        MUTATIONS[change](state)
        return None, 0

    async def anode(state):
        return node(state)

    graph = Graph({"reader": lambda s: ({"n": 1}, 0), "changer": node if kind == "plain"
                   else anode}, [])
    with pytest.raises(NodeError, match="'changer' failed in superstep 0: TypeError: the state "
                       "is read-only") as caught:
        list(Runtime(graph, tmp_path).run(STATE))
    assert isinstance(caught.value.__cause__, TypeError)
    assert sorted(snapshot(tmp_path)) == [AUDIT_LOG, "initial.quor", "run.json"]


def test_a_node_may_take_a_copy_of_its_own():
    view = read_only(json.dumps(STATE))
    for mine in (own_copy(view), copy.deepcopy(view), json.loads(json.dumps(view))):
        assert mine == STATE
        mine["docs"][2]["k"].append(3)
        mine["meta"]["tags"].sort()
    assert view == STATE and dict(view) == STATE and view | {"n": 5} == {**STATE, "n": 5}
    again = pickle.loads(pickle.dumps(view))
    assert again == STATE and type(again) is FrozenDict and type(again["docs"]).__name__ \
        == "FrozenList"


def test_every_node_of_a_superstep_sees_one_view_parsed_once(tmp_path, monkeypatch):
    parsed, seen = [], []

    def counting(text):
        parsed.append(text)
        return read_only(text)

    monkeypatch.setattr(quor_runtime, "read_only", counting)

    def node(state):
        seen.append(id(state))
        return {"hits": 1}, 0.5

    graph = Graph({f"n{i:02d}": node for i in range(24)}, [], {"hits": "add"})
    steps = list(Runtime(graph, tmp_path, max_workers=4).run({"big": "x" * 100_000}))
    assert len(parsed) == 1 and len(set(seen)) == 1 and len(seen) == 24
    assert steps[0].cost == 12.0 and json.loads(steps[0].state)["hits"] == 24


def test_audit_entries_do_not_grow_with_the_state(tmp_path):
    nodes = {f"n{i}": (lambda i: lambda s: ({"log": "y" * 5000 * i}, 0.25))(i)
             for i in range(1, 9)}
    graph = Graph(nodes, [(f"n{i}", f"n{i + 1}") for i in range(1, 8)], {"log": "append"})
    steps = list(Runtime(graph, tmp_path).run({}))
    assert len(steps[-1].state) > 150_000
    sizes = {len(line) for line in (tmp_path / AUDIT_LOG).read_bytes().splitlines()[1:]}
    assert max(sizes) < 250 and max(sizes) - min(sizes) <= 10  # only the cost's digits vary


def chain(n):
    nodes = {f"s{i}": (lambda i: lambda s: ({"total": i / 100, "at": i}, 0.01))(i)
             for i in range(n)}
    return Graph(nodes, [(f"s{i}", f"s{i + 1}") for i in range(n - 1)], {"total": "add"})


def test_retention_keeps_the_newest_checkpoints_and_resumes_with_it(tmp_path):
    """(Every stop of a run that keeps two resumes to the same bytes: the crash tests.)"""
    graph = chain(6)
    list(Runtime(graph, tmp_path / "whole", keep_checkpoints=2).run({}))
    want = snapshot(tmp_path / "whole")
    assert sorted(n for n in want if n.startswith("checkpoint")) == \
        ["checkpoint-0004.quor", "checkpoint-0005.quor"]
    assert Runtime(graph, tmp_path / "whole", keep_checkpoints=2).verify()
    steps = Runtime(graph, tmp_path / "stopped", keep_checkpoints=2).run({})
    assert [next(steps).index for _ in range(4)] == [0, 1, 2, 3]
    steps.close()
    with pytest.raises(ResumeError, match="checkpoint-0000.quor is missing .*keep_checkpoints"):
        Runtime(graph, tmp_path / "stopped").resume()  # a resume that keeps every one
    list(Runtime(graph, tmp_path / "stopped", keep_checkpoints=2).resume())
    assert snapshot(tmp_path / "stopped") == want


def plain_node(state):  # module level: pickles by name for a process pool
    return {"seen": len(state["docs"]), "total": 0.1}, 0.1


def test_any_executor_writes_what_the_default_pool_writes(tmp_path):
    graph = Graph({f"n{i}": plain_node for i in range(6)} | {"last": plain_node},
                  [(f"n{i}", "last") for i in range(6)], {"total": "add"})
    list(Runtime(graph, tmp_path / "own").run(STATE))
    # Not "fork": a fork of this threaded process can inherit a lock held by another thread.
    context = multiprocessing.get_context(
        "forkserver" if "forkserver" in multiprocessing.get_all_start_methods() else "spawn")
    with concurrent.futures.ThreadPoolExecutor(3) as threads, \
            concurrent.futures.ProcessPoolExecutor(2, mp_context=context) as processes:
        for name, executor in (("threads", threads), ("processes", processes)):
            list(Runtime(graph, tmp_path / name, executor=executor).run(STATE))
            assert snapshot(tmp_path / name) == snapshot(tmp_path / "own"), name
