"""Hostile inputs end in a result or the documented exception: never a crash or a hang."""

import sys

import pytest

import quor_core as q


class LyingLength:
    def __init__(self, items, length):
        self.items, self.length = items, length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, i):
        return self.items[i]


class FailingIter:
    """A sequence whose iteration raises midway."""

    def __init__(self, items, at):
        self.items, self.at = items, at

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        if i == self.at:
            raise RuntimeError("iteration failed")
        return self.items[i]


class BadFloat:
    def __init__(self, result):
        self.result = result

    def __float__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


class BadIndex:
    def __init__(self, result):
        self.result = result

    def __index__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


@pytest.mark.parametrize("length", [sys.maxsize, -1, RuntimeError("len"), 0, 2**40])
def test_lying_lengths_are_only_hints(length):
    items = ["b", "a"]
    try:
        seq = LyingLength(items, length)
        len(seq)
    except (OverflowError, ValueError, RuntimeError):
        pass
    assert q.plan_supersteps(LyingLength(items, length), []) == [["a", "b"]]
    assert q.aggregate_cost(LyingLength([1.0, 2.0], length)) == 3.0
    assert q.decode_checkpoint(LyingLength(list(b"QUOR\x01[]"), length)) == "[]"
    assert q.verify_chain("g", LyingLength([], length)) is None
    assert q.top_k([1.0], LyingLength([[1.0]], length), 1) == [(0, 1.0)]


@pytest.mark.parametrize("call", [
    lambda s: q.plan_supersteps(s(["a", "b", "c"]), []),
    lambda s: q.aggregate_cost(s([1.0, 2.0, 3.0])),
    lambda s: q.cosine_similarity(s([1.0, 2.0, 3.0]), [1.0]),
    lambda s: q.top_k([1.0], s([[1.0], [2.0], [3.0]]), 1),
    lambda s: q.decode_checkpoint(s([81, 85, 79])),
])
def test_iteration_raising_midway_raises_that_error(call):
    with pytest.raises(RuntimeError, match="^iteration failed$"):
        call(lambda items: FailingIter(items, 1))


@pytest.mark.parametrize("bad, exc", [
    (BadFloat(RuntimeError("float failed")), RuntimeError),
    (BadFloat("1.0"), TypeError),
    (BadFloat(2), TypeError),
    (BadIndex(RuntimeError("index failed")), RuntimeError),
    (BadIndex(1.5), TypeError),
    (BadIndex(2**70), OverflowError),
])
def test_number_hooks_that_raise_or_lie(bad, exc):
    # A huge __index__ is a fine real (2**70 as a float); only counts and bytes overflow.
    for call in () if exc is OverflowError else (lambda: q.aggregate_cost([bad]), lambda: q.cosine_similarity([bad], [1.0]),
                 lambda: q.top_k([1.0], [[bad]], 1)):
        with pytest.raises(exc):
            call()
    if isinstance(bad, BadIndex):
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
