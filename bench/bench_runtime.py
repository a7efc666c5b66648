"""Runtime row: the example runtime's side-by-side superstep against the same runtime calling
one node at a time. Each node sleeps 100 ms, standing for a model or tool call; a whole run
(folder, initial state, audit entry, checkpoint) is timed, so the ratio's ceiling is 8. The
run folders are in memory (/dev/shm) where there is one: on this machine's disk the fsyncs
alone take about 40 ms a run, which would measure the disk, not the runtime."""

import shutil
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))

from quor_runtime import Graph, Runtime  # noqa: E402

NODES, WAIT = 8, 0.1
SCRATCH = "/dev/shm" if Path("/dev/shm").is_dir() else None


def waiting_node(i):
    def node(state):
        time.sleep(WAIT)
        return {"replies": f"reply {i}", "tokens": 10}, 0.001
    return node


def graph():
    nodes = {f"agent{i}": waiting_node(i) for i in range(NODES)}
    return Graph(nodes, [], {"replies": "append", "tokens": "add"})


def runner(max_workers):
    g = graph()

    def run():
        folder = tempfile.mkdtemp(prefix="quor-bench-", dir=SCRATCH)
        try:
            return [s.state for s in Runtime(g, folder, max_workers=max_workers).run({})]
        finally:
            shutil.rmtree(folder)
    return run


def cases():
    ours, sequential = runner(None), runner(1)
    assert ours() == sequential()
    return [{"name": f"Runtime: {NODES} nodes x {WAIT * 1000:.0f} ms in one superstep",
             "ours": ours, "peers": {"one node at a time": sequential}}]
