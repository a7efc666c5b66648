"""Scale-out on Dask: the same answers as the one-process calls."""

import math
import random
import sys
from pathlib import Path

import pytest

distributed = pytest.importorskip(
    "distributed", reason="Dask is optional: pip install 'quor_core[dask]' to run these")
pytestmark = pytest.mark.slow  # a cluster of worker processes is started

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))

import quor_core  # noqa: E402
from scale_out import run_many, run_one, sharded_top_k  # noqa: E402


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as c:
        yield c


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
