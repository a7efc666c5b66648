"""Similarity rows: cosine and top-k against NumPy (conversion included) and plain Python."""

import math
import os
import random
import sys

# Every peer on one thread, as ours runs (run.py sets these too, before anything loads).
for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import quor_core  # noqa: E402

try:
    import numpy as np
except ImportError:
    np = None
try:
    import usearch.index as usearch_index
except ImportError:
    usearch_index = None
try:
    import faiss
    faiss.omp_set_num_threads(1)
except ImportError:
    faiss = None


def python_cosine(a, b):
    dot = sum(x * y for x, y in zip(a, b))
    return dot / (math.sqrt(sum(y * y for y in b)) * math.sqrt(sum(x * x for x in a)))


def numpy_cosine(a, b):
    x = np.asarray(a, dtype=np.float32)
    y = np.asarray(b, dtype=np.float32)
    return float(np.dot(x, y) / (np.linalg.norm(y) * np.linalg.norm(x)))


def numpy_top_k(query, matrix, k):
    q = np.asarray(query, dtype=np.float32)
    m = np.asarray(matrix, dtype=np.float32)
    scores = (m @ q) / (np.linalg.norm(m, axis=1) * np.linalg.norm(q))
    order = np.argsort(-scores, kind="stable")[:k]
    return [(int(i), float(scores[i])) for i in order]


def cases():
    rng = random.Random(5)
    a = [rng.uniform(-1, 1) for _ in range(1536)]
    b = [rng.uniform(-1, 1) for _ in range(1536)]
    query = [rng.uniform(-1, 1) for _ in range(384)]
    rows = [[rng.uniform(-1, 1) for _ in range(384)] for _ in range(10_000)]
    rows_ids = [i for i, _ in quor_core.top_k(query, rows, 10)]
    out = [{"name": "cosine_similarity, 1,536 floats (lists)",
            "ours": lambda: quor_core.cosine_similarity(a, b),
            "peers": {"python": lambda: python_cosine(a, b)}}]
    if np is None:
        return out
    out[0]["peers"]["numpy"] = lambda: numpy_cosine(a, b)
    assert [i for i, _ in numpy_top_k(query, rows, 10)] == rows_ids
    out.append({"name": "top_k, 10,000 x 384 (list of lists), k=10",
                "ours": lambda: quor_core.top_k(query, rows, 10),
                "peers": {"numpy": lambda: numpy_top_k(query, rows, 10)}})
    m = np.asarray(rows, dtype=np.float32)
    q = np.asarray(query, dtype=np.float32)
    assert [i for i, _ in quor_core.top_k(q, m, 10)] == rows_ids

    def numpy_on_array():
        scores = (m @ q) / (np.linalg.norm(m, axis=1) * np.linalg.norm(q))
        order = np.argsort(-scores, kind="stable")[:10]
        return [(int(i), float(scores[i])) for i in order]

    peers = {"numpy": numpy_on_array}
    normed = m / np.linalg.norm(m, axis=1, keepdims=True)
    qn = (q / np.linalg.norm(q)).reshape(1, -1)
    if usearch_index is not None:
        peers["usearch exact"] = lambda: usearch_index.search(
            normed, qn[0], 10, usearch_index.MetricKind.IP, exact=True, threads=1)
    if faiss is not None:
        flat = faiss.IndexFlatIP(m.shape[1])
        flat.add(normed)
        peers["faiss IndexFlatIP"] = lambda: flat.search(qn, 10)
    out.append({"name": "top_k, 10,000 x 384 (float32 array), k=10",
                "ours": lambda: quor_core.top_k(q, m, 10), "peers": peers})
    a32, b32 = np.asarray(a, dtype=np.float32), np.asarray(b, dtype=np.float32)
    a1, b1 = a32[:1].copy(), b32[:1].copy()
    out.append({"name": "cosine_similarity, 1,536 floats (float32 arrays)",
                "ours": lambda: quor_core.cosine_similarity(a32, b32),
                "peers": {"numpy": lambda: numpy_cosine(a32, b32)},
                # The call itself with one element: what is left above it is the three
                # sums' chains of 1,536 dependent adds, which no order-keeping code shortens.
                "floor": lambda: quor_core.cosine_similarity(a1, b1)})
    out += float64_rows(a, b, query, rows, rows_ids, m, q)
    return out


def _agrees(name, got, expected):
    if got != expected:
        print(f"# {name} disagrees with the reference: not timed", file=sys.stderr)
    return got == expected


def float64_rows(a, b, query, rows, rows_ids, m32, q32):
    """NumPy's default dtype, as most users pass it: float64 arrays, read by us as they are.
    The same data as float32 arrays, passed to us, is the yardstick for the conversion."""
    a64, b64 = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    a32, b32 = a64.astype(np.float32), b64.astype(np.float32)
    m64, q64 = np.asarray(rows, dtype=np.float64), np.asarray(query, dtype=np.float64)
    assert quor_core.cosine_similarity(a64, b64) == quor_core.cosine_similarity(a, b)
    assert quor_core.top_k(q64, m64, 10) == quor_core.top_k(query, rows, 10)

    def numpy_cosine64():
        return float(np.dot(a64, b64) / (np.linalg.norm(b64) * np.linalg.norm(a64)))

    def numpy_top_k64():
        scores = (m64 @ q64) / (np.linalg.norm(m64, axis=1) * np.linalg.norm(q64))
        order = np.argsort(-scores, kind="stable")[:10]
        return [(int(i), float(scores[i])) for i in order]

    cosine_peers = {"ours (float32 arrays)": lambda: quor_core.cosine_similarity(a32, b32)}
    if math.isclose(numpy_cosine64(), quor_core.cosine_similarity(a64, b64), rel_tol=1e-5):
        cosine_peers["numpy"] = numpy_cosine64
    else:
        print("# numpy cosine (float64) disagrees with the reference: not timed", file=sys.stderr)
    top_peers = {"ours (float32 array)": lambda: quor_core.top_k(q32, m32, 10)}
    if _agrees("numpy top_k (float64)", [i for i, _ in numpy_top_k64()], rows_ids):
        top_peers["numpy"] = numpy_top_k64
    return [
        {"name": "cosine_similarity, 1,536 floats (float64 arrays)",
         "ours": lambda: quor_core.cosine_similarity(a64, b64), "peers": cosine_peers},
        {"name": "top_k, 10,000 x 384 (float64 array), k=10",
         "ours": lambda: quor_core.top_k(q64, m64, 10), "peers": top_peers,
         # One read of the whole float64 matrix: the bandwidth floor of any pass over it.
         "floor": lambda: m64.sum()},
    ]
