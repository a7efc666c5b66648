"""Runtime rows.

Side by side: the example runtime's superstep against the same runtime calling one node at a
time. Each node sleeps 100 ms, standing for a model or tool call; a whole run (folder,
initial state, audit entry, checkpoint) is timed, so the ratio's ceiling is 8.

At scale: one superstep (run and written: view, nodes, fold, checkpoint, audit entry) of 10,
100 and 1,000 nodes over states of 1 KB, 1 MB and 10 MB. Where it is affordable the peer is
the same runtime handing each node a copy of its own, parsed from the state text, as it did
before the read-only view. The "100 vs 10 nodes" row times 100 nodes with 10 nodes as its
peer: its ratio is the 10-node time over the 100-node time (goal: at least 0.5, that is 100
nodes cost at most twice what 10 cost).

Run folders are in memory (/dev/shm) where there is one: on this machine's disk the fsyncs
alone take about 40 ms a run, which would measure the disk, not the runtime."""

import json
import shutil
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))

import quor_core  # noqa: E402
from quor_runtime import AUDIT_LOG, INITIAL, DaemonThreads, Graph, Runtime  # noqa: E402

NODES, WAIT = 8, 0.1
SCRATCH = "/dev/shm" if Path("/dev/shm").is_dir() else None
REDUCERS = {"replies": "append", "tokens": "add"}


def waiting_node(i):
    def node(state):
        time.sleep(WAIT)
        return {"replies": f"reply {i}", "tokens": 10}, 0.001
    return node


def graph():
    nodes = {f"agent{i}": waiting_node(i) for i in range(NODES)}
    return Graph(nodes, [], REDUCERS)


def runner(max_workers):
    g = graph()

    def run():
        folder = tempfile.mkdtemp(prefix="quor-bench-", dir=SCRATCH)
        try:
            return [s.state for s in Runtime(g, folder, max_workers=max_workers).run({})]
        finally:
            shutil.rmtree(folder)
    return run


def state_of(size):
    """A state of about `size` bytes of JSON: documents with mixed, partly non-ASCII text,
    numbers and nested lists, as a retrieval agent keeps them."""
    docs, length, i = [], 40, 0
    while length < size:
        text = f"document {i}: superstep state, Zustandsübergang {i % 97}, 状態 {i % 13} " * 2
        doc = {"id": i, "text": text, "score": (i % 1000) / 997, "tags": ["a", str(i % 7)]}
        docs.append(doc)
        length += len(json.dumps(doc, ensure_ascii=False)) + 1
        i += 1
    return {"docs": docs, "replies": [], "tokens": 0}


def reading_node(i):
    def node(state):  # reads a little of the state and writes a little, as most nodes do
        doc = state["docs"][i % len(state["docs"])]
        return {"replies": f"{i}: {doc['text'][:12]}", "tokens": len(doc["tags"])}, 0.001
    return node


class Text:
    """The state text handed to a node that parses its own copy (a str would be shared)."""
    __slots__ = ("text",)

    def __init__(self, text):
        self.text = text


class CopyPerNode(Runtime):
    def _view(self, state):
        return Text(state)


def copying(node):
    return lambda text: node(json.loads(text.text))


class Superstep:
    """Superstep 0 of a prepared run, run and written again on every call."""

    def __init__(self, nodes, state, per_node_copy=False):
        made = reading_node if not per_node_copy else (lambda i: copying(reading_node(i)))
        g = Graph({f"agent{i:04d}": made(i) for i in range(nodes)}, [], REDUCERS)
        self.folder = tempfile.mkdtemp(prefix="quor-bench-", dir=SCRATCH)
        self.runtime = (CopyPerNode if per_node_copy else Runtime)(g, self.folder)
        self.runtime.run(state).close()  # the folder, initial state and first audit entry
        folder = Path(self.folder)
        self.state = quor_core.decode_checkpoint((folder / INITIAL).read_bytes())
        self.link = json.loads((folder / AUDIT_LOG).read_text())["hash"]
        self.pool = DaemonThreads(self.runtime.max_workers)

    def __call__(self):
        step, _ = self.runtime._superstep(0, self.state, self.pool, self.link, -0.0)
        return step.state

    def __del__(self):
        self.pool.shutdown(wait=False)
        shutil.rmtree(self.folder, ignore_errors=True)


SIZES = {"1 KB": 1_000, "1 MB": 1_000_000, "10 MB": 10_000_000}


def cases():
    ours, sequential = runner(None), runner(1)
    assert ours() == sequential()
    rows = [{"name": f"Runtime: {NODES} nodes x {WAIT * 1000:.0f} ms in one superstep",
             "ours": ours, "peers": {"one node at a time": sequential}}]
    states = {label: state_of(size) for label, size in SIZES.items()}
    for label, state in states.items():
        for nodes in (10, 100, 1000):
            step = Superstep(nodes, state)
            peers = {}
            if nodes * SIZES[label] <= 100_000_000:
                peers["a copy per node"] = Superstep(nodes, state, per_node_copy=True)
                assert peers["a copy per node"]() == step()
            rows.append({"name": f"Runtime superstep: {nodes:,} nodes over {label}",
                         "ours": step, "peers": peers})
    rows.append({"name": "Runtime superstep: 100 vs 10 nodes over 1 MB",
                 "ours": Superstep(100, states["1 MB"]),
                 "peers": {"10 nodes": Superstep(10, states["1 MB"])}})
    return rows
