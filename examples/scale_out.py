"""Spreading work over a Dask cluster: the nodes of one wide superstep, many independent
graph runs, and a sharded top_k.

quor_core keeps no state between calls and its functions pickle by name, so a task that
calls it runs the same on any worker. Start a cluster (or connect to one) and submit:

    from distributed import Client, LocalCluster
    with LocalCluster(n_workers=2) as cluster, Client(cluster) as client:
        steps = run_on_cluster(client, wide_graph(topics), folder, {"question": "..."})
        states = run_many(client, questions, folder)
        hits = sharded_top_k(client, query, matrix, k=10, shards=4)
"""

import math
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import quor_core  # noqa: E402

from agent_graph import INITIAL_STATE, build_graph  # noqa: E402
from quor_runtime import Graph, Runtime  # noqa: E402


def wide_graph(topics, wait=0.0, marker=None):
    """A plan node, one research node per topic (each waiting `wait` seconds on a tool, and
    touching a file in the folder `marker` when it starts, where given), and a summary."""
    def plan(state):
        return {"messages": f"plan: {state['question']}"}, 0.001

    def researcher(topic):
        def research(state):
            if marker is not None:
                Path(marker, topic).touch()
            time.sleep(wait)
            return {"notes": f"{topic}: {len(state['messages'])} messages", "tokens": 100}, 0.01
        return research

    def summarise(state):
        return {"summary": " | ".join(state["notes"])}, 0.002

    nodes = {"plan": plan, **{f"research_{t}": researcher(t) for t in topics},
             "summarise": summarise}
    edges = [("plan", f"research_{t}") for t in topics] + \
        [(f"research_{t}", "summarise") for t in topics]
    return Graph(nodes, edges, {"messages": "append", "notes": "append", "tokens": "add"})


def run_on_cluster(client, graph, folder, initial_state, **options):
    """One graph run whose plain nodes run on the cluster's workers: each superstep's nodes
    at once, the folder written here, byte for byte as a local run writes it."""
    runtime = Runtime(graph, folder, executor=client.get_executor(pure=False), **options)
    return list(runtime.run(initial_state))


def run_one(question, folder):
    """One complete graph run in its own folder; returns the final state text."""
    state = None
    for step in Runtime(build_graph(), folder).run(dict(INITIAL_STATE, question=question)):
        state = step.state
    return state


def run_many(client, questions, folder):
    folder = Path(folder)
    futures = [client.submit(run_one, q, str(folder / f"run-{i:04d}"), pure=False)
               for i, q in enumerate(questions)]
    return client.gather(futures)


def shard_top_k(query, rows, offset, k):
    """top_k over one shard, with row numbers made global."""
    return [(offset + i, score) for i, score in quor_core.top_k(query, rows, k)]


def merge(parts, k):
    """Merge shard results as the single call orders them: score descending, then row;
    NaN scores after every number, in row order."""
    hits = [hit for part in parts for hit in part]
    hits.sort(key=lambda h: (math.isnan(h[1]), 0.0 if math.isnan(h[1]) else -h[1], h[0]))
    return hits[:k]


def sharded_top_k(client, query, matrix, k, shards):
    size = max(1, -(-len(matrix) // shards))
    futures = [client.submit(shard_top_k, query, matrix[start:start + size], start, k)
               for start in range(0, len(matrix), size)]
    return merge(client.gather(futures), k)
