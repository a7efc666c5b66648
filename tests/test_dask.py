"""Scale-out on Dask: the same answers and the same run folders as in one process, also
when a worker is lost in the middle of a superstep."""

import math
import os
import random
import signal
import threading

import pytest

distributed = pytest.importorskip(
    "distributed", reason="Dask is optional: pip install 'quor_core[dask]' to run these")
pytestmark = pytest.mark.slow  # a cluster of worker processes is started

import quor_core  # noqa: E402
from helpers import snapshot  # noqa: E402
from quor_runtime import NodeError, Runtime  # noqa: E402
from scale_out import run_many, run_on_cluster, run_one, sharded_top_k, wide_graph  # noqa: E402

TOPICS = [f"t{i}" for i in range(6)]
QUESTION = {"question": "which checkpoints can a resume trust?"}


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as c:
        yield c


def test_a_wide_superstep_on_the_workers_writes_what_a_local_run_writes(client, tmp_path):
    list(Runtime(wide_graph(TOPICS), tmp_path / "local").run(QUESTION))
    steps = run_on_cluster(client, wide_graph(TOPICS), tmp_path / "cluster", QUESTION)
    assert [len(s.nodes) for s in steps] == [1, len(TOPICS), 1]
    assert snapshot(tmp_path / "cluster") == snapshot(tmp_path / "local")


def test_a_worker_lost_mid_superstep_leaves_no_half_written_superstep(client, tmp_path):
    list(Runtime(wide_graph(TOPICS), tmp_path / "local").run(QUESTION))
    markers = tmp_path / "started"
    markers.mkdir()
    pids = list(client.run(os.getpid).values())

    def kill_a_worker():  # once the wide superstep is under way
        while not any(markers.iterdir()):
            threading.Event().wait(0.02)
        os.kill(pids[0], signal.SIGKILL)

    killer = threading.Thread(target=kill_a_worker, daemon=True)
    killer.start()
    folder = tmp_path / "cluster"
    graph = wide_graph(TOPICS, wait=1.0, marker=markers)
    try:
        run_on_cluster(client, graph, folder, QUESTION)
    except NodeError as e:  # the superstep failed whole: resume completes it
        assert e.superstep == 1 and len(list(folder.glob("checkpoint-*"))) == 1
        runtime = Runtime(graph, folder, executor=client.get_executor(pure=False))
        list(runtime.resume())
    killer.join(30)
    assert not killer.is_alive() and pids[0] not in client.run(os.getpid).values()
    assert snapshot(folder) == snapshot(tmp_path / "local")


def test_many_graph_runs_match_running_them_one_by_one(client, tmp_path):
    questions = [f"question {i}: how do checkpoints work?" for i in range(12)]
    expected = [run_one(q, tmp_path / f"local-{i}") for i, q in enumerate(questions)]
    assert run_many(client, questions, tmp_path / "cluster") == expected


def test_sharded_top_k_equals_the_single_call(client):
    rng = random.Random(11)
    matrix = [[rng.choice([rng.uniform(-1, 1), 0.0]) for _ in range(16)] for _ in range(500)]
    matrix[7] = [math.nan] * 16
    matrix[300] = [math.nan] * 16
    matrix[40] = matrix[41] = matrix[460]  # ties across shards
    matrix[99] = [1.0]  # a row of the wrong length
    query = matrix[460]
    for k, shards in [(10, 3), (500, 4), (510, 7), (0, 2)]:
        want = quor_core.top_k(query, matrix, k)
        got = sharded_top_k(client, query, matrix, k, shards)
        assert [i for i, _ in got] == [i for i, _ in want]
        assert all(a == b or (math.isnan(a) and math.isnan(b))
                   for (_, a), (_, b) in zip(got, want))
