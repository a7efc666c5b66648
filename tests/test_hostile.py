"""Hostile inputs end in a result or the documented exception: never a crash or a hang."""

import pytest

import quor_core as q
from oddities import Index, Real


@pytest.mark.parametrize("bad, exc", [
    (Real(RuntimeError("float failed")), RuntimeError),
    (Real("1.0"), TypeError),
    (Real(2), TypeError),
    (Index(RuntimeError("index failed")), RuntimeError),
    (Index(1.5), TypeError),
    (Index(2**70), OverflowError),
])
def test_number_hooks_that_raise_or_lie(bad, exc):
    # A huge __index__ is a fine real (2**70 as a float); only counts and bytes overflow.
    if exc is not OverflowError:
        for call in (lambda: q.aggregate_cost([bad]), lambda: q.top_k([1.0], [[bad]], 1)):
            with pytest.raises(exc):
                call()
    if isinstance(bad, Index):
        with pytest.raises(exc):
            q.top_k([1.0], [[1.0]], bad)
        with pytest.raises(exc):
            q.decode_checkpoint([bad])


@pytest.mark.parametrize("call", [
    lambda t: q.encode_checkpoint(t), lambda t: q.reduce_channel(t, "1", "2"),
    lambda t: q.advance_superstep("{}", "{}", t), lambda t: q.plan_supersteps([t], []),
    lambda t: q.hash_event(t, ""), lambda t: q.verify_chain("g", [(t, "h")]),
])
def test_lone_surrogates_raise_the_encoding_error(call):
    with pytest.raises(UnicodeEncodeError):
        call("a\ud800b")


def test_deep_nesting_is_refused_without_recursion():
    for text in ("[" * 100_000, "[" * 100_000 + "]" * 100_000, '{"a":' * 100_000):
        with pytest.raises(ValueError, match="^recursion limit exceeded"):
            q.encode_checkpoint(text)


def test_huge_texts_and_inputs():
    big = '"' + "é" * (25 * 2**20) + '"'  # 50 MB of UTF-8
    assert q.encode_checkpoint(big)[5:] == big.encode()
    assert len(q.hash_event("", "x" * (50 * 2**20))) == 64
    chain = [f"n{i}" for i in range(1_000_000)]
    plan = q.plan_supersteps(chain, list(zip(chain, chain[1:])))
    assert len(plan) == 1_000_000 and plan[-1] == ["n999999"]


def test_long_chains_verify_and_find_a_late_break():
    entries, prev = [], "g"
    for i in range(100_000):
        prev = q.hash_event(prev, str(i))
        entries.append((str(i), prev))
    assert q.verify_chain("g", entries) is None
    entries[99_999] = ("x", entries[99_999][1])
    assert q.verify_chain("g", entries) == 99_999


def test_matrix_views_that_cannot_be_read_as_rows():
    np = pytest.importorskip("numpy")
    grid = np.arange(12, dtype=np.float32).reshape(3, 4)
    with pytest.raises(NotImplementedError):
        q.top_k([1.0] * 4, memoryview(grid), 2)
    strided = grid[:, ::2]
    assert q.top_k([1.0, 1.0], strided, 3) == q.top_k([1.0, 1.0], strided.tolist(), 3)
    before = grid.copy()
    q.top_k(grid[0], grid, 3)
    assert (grid == before).all()
