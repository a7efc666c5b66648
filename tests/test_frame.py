"""Binding and conversion rules shared by every function of the module."""

import array
import ctypes
import math
import operator
import sys

import pytest
from hypothesis import given, settings, strategies as st

import quor_core as q
from helpers import build_chain, outcome, ref_link
from oddities import Index, Real, Seq
from test_module import PARAMETERS, SIGNATURES

KINDS = {name: tuple(params.values()) for name, params in PARAMETERS.items()}
# A value of each kind that converts.
GOOD = {"singles": [1.0], "matrix": [[1.0]], "count": 1, "text": "x", "bytes": b"ab",
        "texts": ["a"], "pairs": [("a", "b")], "reals": [1.0]}

NOT_SEQ = [("ab", TypeError, "Can't extract `str` to `Vec`"),
           (5, TypeError, "'int' object cannot be converted to 'Sequence'"),
           ({1}, TypeError, "'set' object cannot be converted to 'Sequence'"),
           ((x for x in "a"), TypeError, "'generator' object cannot be converted to 'Sequence'")]
OUT_OF_RANGE = "out of range integral type conversion attempted"


def interpreter_text(call, *args):
    """The interpreter's own message for a refused conversion: its wording differs between
    versions, and the frame passes it on unchanged."""
    with pytest.raises(TypeError) as info:
        call(*args)
    return str(info.value)


NOT_INDEX = [(Index(RuntimeError("index failed")), RuntimeError, "index failed"),
             (Index(1.5), TypeError, interpreter_text(operator.index, Index(1.5)))]
# Conversion hooks that raise or return the wrong type end the call with their own error.
NOT_REAL = [(["x"], TypeError, "must be real number, not str"),
            ([10**400], OverflowError, "int too large to convert to float"),
            ([Real(RuntimeError("float failed"))], RuntimeError, "float failed"),
            ([Real("1.0")], TypeError, interpreter_text(float, Real("1.0"))),
            *[([i], e, m) for i, e, m in NOT_INDEX]]
NOT_TEXT = [(5, TypeError, "'int' object cannot be converted to 'PyString'"),
            (b"x", TypeError, "'bytes' object cannot be converted to 'PyString'"),
            ("\ud800", UnicodeEncodeError, None)]
# Failing values of each kind: (value, exception, message before any prefix).
BAD = {
    "text": NOT_TEXT,
    "texts": NOT_SEQ + [([t], e, m) for t, e, m in NOT_TEXT],
    "singles": NOT_SEQ + NOT_REAL,
    "reals": NOT_SEQ + NOT_REAL,
    "matrix": NOT_SEQ + [([r], e, m) for r, e, m in NOT_SEQ + NOT_REAL],
    "count": [(-1, OverflowError, "can't convert negative int to unsigned"),
              (2**64, OverflowError, "int too big to convert"),
              (1.5, TypeError, "'float' object cannot be interpreted as an integer"),
              ("k", TypeError, "'str' object cannot be interpreted as an integer"),
              (Index(2**70), OverflowError, "int too big to convert"), *NOT_INDEX],
    "pairs": NOT_SEQ + [
        ([["a", "b"]], TypeError, "'list' object cannot be converted to 'PyTuple'"),
        ([("a",)], ValueError, "expected tuple of length 2, but got tuple of length 1"),
        ([("a", "b", "c")], ValueError, "expected tuple of length 2, but got tuple of length 3"),
        ([(1, "\ud800")], TypeError, "'int' object cannot be converted to 'PyString'"),
        ([("\ud800", 1)], UnicodeEncodeError, None),
        ([("a", 1)], TypeError, "'int' object cannot be converted to 'PyString'")],
    "bytes": NOT_SEQ[1:] + [(item, OverflowError, OUT_OF_RANGE) for item in
                            ([256], [-1], [2**63 - 1], [-2**63], [Index(300)], [Index(-5)])] + [
        ([2**70], OverflowError, "Python int too large to convert to C long"),
        (["a"], TypeError, "'str' object cannot be interpreted as an integer"),
        *[([i], e, m) for i, e, m in NOT_INDEX]],
}

CONVERSION_CASES = [
    pytest.param(name, i, value, exc, message, id=f"{name}-{SIGNATURES[name][i]}-{n}")
    for name, kinds in KINDS.items()
    for i, kind in enumerate(kinds)
    for n, (value, exc, message) in enumerate(BAD[kind])
]


@pytest.mark.parametrize("name, index, value, exc, message", CONVERSION_CASES)
def test_conversion_errors(name, index, value, exc, message):
    # Later parameters are bad too: only the first failing one may be reported.
    kinds = KINDS[name]
    args = [GOOD[k] for k in kinds[:index]] + [value] + [object()] * (len(kinds) - index - 1)
    with pytest.raises(exc) as info:
        getattr(q, name)(*args)
    assert type(info.value) is exc
    if exc is TypeError:
        assert str(info.value) == f"argument '{SIGNATURES[name][index]}': {message}"
    elif message is not None:
        assert str(info.value) == message


BINDING_CASES = [
    (q.aggregate_cost, ([1.0], [2.0]), {}, "aggregate_cost() takes 1 positional arguments but 2 were given"),
    (q.top_k, (1, 2, 3, 4), {}, "top_k() takes 3 positional arguments but 4 were given"),
    (q.hash_event, ("x",), {}, "hash_event() missing 1 required positional argument: 'payload'"),
    (q.top_k, (), {}, "top_k() missing 3 required positional arguments: 'query', 'matrix', and 'k'"),
    (q.top_k, ([1.0],), {"k": 1}, "top_k() missing 1 required positional argument: 'matrix'"),
    (q.reduce_channel, ("a",), {}, "reduce_channel() missing 2 required positional arguments: "
                                   "'current_json' and 'update_json'"),
    (q.cosine_similarity, ([1.0],), {"a": [2.0]}, "cosine_similarity() got multiple values for argument 'a'"),
    (q.aggregate_cost, (), {"values": [1.0], "extra": 1}, "aggregate_cost() got an unexpected keyword argument 'extra'"),
    (q.verify_chain, (), {"\udcff": 1}, "verify_chain() got an unexpected keyword argument '\udcff'"),
    # Binding errors come before any conversion and are never prefixed.
    (q.plan_supersteps, (5,), {"nodes": 5}, "plan_supersteps() got multiple values for argument 'nodes'"),
]


@pytest.mark.parametrize("fn, args, kwargs, message", BINDING_CASES)
def test_binding_errors(fn, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        fn(*args, **kwargs)
    assert str(info.value) == message and info.value.__cause__ is None


@pytest.mark.parametrize("name", SIGNATURES)
def test_keywords_in_any_order_equal_positional(name):
    args = [GOOD[k] for k in KINDS[name]]
    if name == "decode_checkpoint":
        args = [q.encode_checkpoint("{}")]
    fn = getattr(q, name)
    try:
        expected = fn(*args)
    except ValueError as e:  # an operation error is fine: it must match as well
        expected = e.args
    kwargs = dict(reversed(list(zip(SIGNATURES[name], args))))
    try:
        assert fn(**kwargs) == expected
    except ValueError as e:
        assert e.args == expected


SEQUENCE_PARAMS = [(name, i) for name, kinds in KINDS.items()
                   for i, k in enumerate(kinds) if k not in ("text", "count")]


@pytest.mark.parametrize("name, index", SEQUENCE_PARAMS)
def test_item_errors_are_wrapped_only_when_exactly_type_error(name, index):
    class MyTypeError(TypeError):
        pass

    kinds = KINDS[name]
    cause = KeyError("root")
    inner = TypeError("inner")
    inner.__cause__ = cause
    param = SIGNATURES[name][index]
    good = [GOOD[k] for k in kinds]
    for error, exc, message in [(inner, TypeError, f"argument '{param}': inner"),
                                (MyTypeError("mine"), MyTypeError, "mine"),
                                (ValueError("boom"), ValueError, "boom"),
                                (OverflowError("big"), OverflowError, "big")]:
        args = list(good)
        args[index] = Seq(list(good[index]) * 2, fail_at=1, error=error)
        with pytest.raises(exc) as info:
            getattr(q, name)(*args)
        assert type(info.value) is exc and str(info.value) == message
        assert info.value.__cause__ is (cause if error is inner else None)


@pytest.mark.parametrize("length", [RuntimeError("len failed"), OverflowError("long"), sys.maxsize,
                                    0, 2**40])
def test_reported_length_is_only_a_hint(length):
    assert q.plan_supersteps(Seq(["b", "a"], length=length), []) == [["a", "b"]]
    assert q.aggregate_cost(Seq([1.0, 2.0], length=length)) == 3.0
    assert q.decode_checkpoint(Seq(list(b"QUOR\x01[]"), length=length)) == "[]"
    assert q.top_k([1.0], Seq([[1.0]], length=length), 1) == [(0, 1.0)]
    assert q.verify_chain("g", Seq([], length=length)) is None


@pytest.mark.parametrize("call, expected", [
    (lambda: len(q.top_k([1.0], [[1.0]] * 3, True)), 1),
    (lambda: len(q.top_k([1.0], [[1.0]] * 3, Index(2))), 2),
    (lambda: len(q.top_k([1.0], [[1.0]], 2**64 - 1)), 1),
    (lambda: q.hash_event(type("S", (str,), {})("a"), "b"), q.hash_event("a", "b")),
])
def test_accepted_inputs(call, expected):
    assert call() == expected


def test_type_name_is_the_qualified_name():
    class Outer:
        class Inner:
            pass

    with pytest.raises(TypeError, match=r"^argument 'a': 'test_type_name_is_the_qualified_name"
                                        r"\.<locals>\.Outer\.Inner' object cannot be converted"):
        q.cosine_similarity(Outer.Inner(), [])


def test_list_mutated_by_an_item_while_converted():
    items = []

    class Shrink:
        def __float__(self):
            del items[2:]
            return 2.0

        def __index__(self):
            del items[2:]
            return 2

    items[:] = [1.0, Shrink(), 4.0, 8.0]
    assert q.aggregate_cost(items) == 3.0
    items[:] = [1, Shrink(), 4, 8]
    assert len(q.top_k([1.0], [items], 1)) == 1 and len(items) == 2


def test_viewed_texts_outlive_their_sequence():
    chain = build_chain("g", [f"payload {i}" * 10 for i in range(50)])

    class Fresh:  # every item is a new tuple of new strs, referenced by nobody else
        def __len__(self):
            return len(chain)

        def __getitem__(self, i):
            p, h = chain[i]
            return ("".join(list(p)), "".join(list(h)))

    assert q.verify_chain("g", Fresh()) is None
    assert q.verify_chain("g", chain[:3] + [("x", chain[3][1])]) == 3


def test_failed_call_releases_a_pinned_bytearray():
    blob = bytearray(b"not a checkpoint")
    with pytest.raises(ValueError):
        q.decode_checkpoint(blob)
    blob.extend(b"!")  # a leaked pin would raise BufferError
    blob[:] = b"QUOR\x01[]"
    assert q.decode_checkpoint(blob) == "[]"
    blob.extend(b" ")  # nor may a successful call keep one


@pytest.mark.slow
def test_huge_texts():
    big = '"' + "\u00e9" * (25 * 2**20) + '"'  # 50 MB of UTF-8
    assert q.encode_checkpoint(big)[5:] == big.encode()
    assert q.hash_event("", big) == ref_link("", big)


def test_memory_exhaustion_is_a_memory_error():
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "set_nomemory"):
        pytest.skip("no allocation hooks")

    def starved():
        testcapi.set_nomemory(0)
        try:
            return q.top_k([1.0], [[1.0]] * 3, 3)
        finally:
            testcapi.remove_mem_hooks()

    with pytest.raises(MemoryError):
        starved()


# Float fast paths against the general path on the same items.

def variants(values):
    """The same items as many sequence types (each iterates to the values given)."""
    out = [list(values), tuple(values)]
    for code in "fd":
        arr = array.array(code, values)
        out += [arr, memoryview(arr)]
    try:
        import numpy as np
    except ImportError:
        return out
    for dtype in (np.float32, np.float64, object):
        with np.errstate(over="ignore"):  # beyond float32 becomes an infinity, as in the frame
            a = np.array(values, dtype=dtype)
        out.append(a)
        doubled = np.repeat(a, 2)
        out.append(doubled[::2])  # not contiguous
    return out


SPECIALS = [0.0, -0.0, math.inf, -math.inf, math.nan, 5e-324, 1e-45, 1e-39, 3.5e38, 1e39, -1e300]
floats = st.one_of(st.sampled_from(SPECIALS), st.floats(allow_nan=True, allow_infinity=True),
                   st.floats(width=32))


@settings(derandomize=True, max_examples=60, deadline=None)
@given(st.lists(floats, max_size=6), st.lists(floats, max_size=6))
def test_float_fast_paths_match_the_general_path(a, b):
    for va in variants(a):
        ref_a = list(va)
        assert outcome(q.aggregate_cost, va) == outcome(q.aggregate_cost, Seq(ref_a))
        for vb in variants(b)[::3]:
            ref_b = list(vb)
            assert outcome(q.cosine_similarity, va, vb) == \
                outcome(q.cosine_similarity, Seq(ref_a), Seq(ref_b))
        assert outcome(q.top_k, va, [va, b, a], 3) == \
            outcome(q.top_k, Seq(ref_a), Seq([Seq(ref_a), b, a]), 3)


# Exact floats are read ahead of the rest, up to the first item of any other kind, which
# may come at any place of a list longer than the read-ahead.
reals = st.one_of(floats, floats, floats, st.integers(-2**60, 2**60), st.booleans(),
                  floats.map(Real), st.just(Real(RuntimeError("float failed"))),
                  st.just("x"), st.just(10**400))


@settings(derandomize=True, max_examples=150, deadline=None)
@given(st.lists(reals, max_size=40), st.booleans())
def test_mixed_reals_read_as_the_iterated_items(values, as_tuple):
    seq = tuple(values) if as_tuple else values
    assert outcome(q.aggregate_cost, seq) == outcome(q.aggregate_cost, Seq(values))
    assert outcome(q.cosine_similarity, seq, seq) == \
        outcome(q.cosine_similarity, Seq(values), Seq(values))
    assert outcome(q.top_k, seq, [seq, values], 2) == \
        outcome(q.top_k, Seq(values), Seq([Seq(values), Seq(values)]), 2)


def test_matrix_fast_path_matches_rows():
    np = pytest.importorskip("numpy")
    rng = np.random.default_rng(7)
    query = rng.standard_normal(5)
    for dtype in (np.float32, np.float64):
        m = (rng.standard_normal((6, 5)) * 1e38).astype(dtype)  # float64 rows overflow float32
        rows = Seq([Seq([float(x) for x in row]) for row in m])
        assert outcome(q.top_k, query, m, 6) == outcome(q.top_k, query, rows, 6)
        assert outcome(q.top_k, query, m.T, 6) == outcome(q.top_k, query, [list(r) for r in m.T], 6)
    assert q.top_k(query, np.zeros((3, 0), np.float32), 5) == [(0, 0.0), (1, 0.0), (2, 0.0)]


MV2 = memoryview(bytearray(16)).cast("f", (2, 2))
LITTLE = memoryview((ctypes.c_float * 2)(1.0, 2.0))  # format "<f", which memoryviews cannot iterate


@pytest.mark.parametrize("call, message", [
    (lambda: q.top_k([1.0], MV2, 1), "multi-dimensional sub-views"),
    (lambda: q.cosine_similarity(MV2, [1.0]), "multi-dimensional sub-views"),
    (lambda: q.cosine_similarity(LITTLE, [1.0]), "unsupported format"),
    (lambda: q.top_k([1.0], [LITTLE], 1), "unsupported format"),
    (lambda: q.aggregate_cost(LITTLE), "unsupported format"),
])
def test_iteration_errors_of_buffers_are_kept(call, message):
    with pytest.raises(NotImplementedError, match=message):
        call()
