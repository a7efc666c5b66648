import random
from collections import namedtuple

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quor_core
from oddities import Seq
from plannerref import plan as reference_plan

plan = quor_core.plan_supersteps


@pytest.mark.parametrize("nodes, edges, expected", [
    ([], [("a", "b")], []), (["b", "a", "b"], [], [["a", "b"]]), (["a", "b", "a"], [], [["a", "b"]]),
    (["a", "b", "c"], [("a", "b"), ("b", "c")], [["a"], ["b"], ["c"]]),
    (["a", "b", "c", "d"], [("a", "b"), ("a", "c"), ("b", "d"), ("c", "d")], [["a"], ["b", "c"], ["d"]]),
    (["a", "b", "c"], [("a", "b"), ("b", "c"), ("a", "c")], [["a"], ["b"], ["c"]]),
    (["a"], [("a", "x")], [["a"]]), (["a"], [("x", "a")], [["a"]]), (["a"], [("a", "a")], [["a"]]),
    (["a", "b"], [("a", "b"), ("a", "b")], [["a"], ["b"]]),
    (["b", "a"], [("a", "b"), ("b", "a")], [["a", "b"]]),
    (["t", "s", "a", "b"], [("s", "a"), ("a", "b"), ("b", "a"), ("b", "t")], [["s"], ["a", "b", "t"]]),
    (["a", "b", "a"], [("a", "b"), ("b", "a")], [["a", "a", "b"]]),
    (["b", "a", "B", "ab", ""], [], [["", "B", "a", "ab", "b"]]),
    (["z", "é", "\U0001f600", "\uffff"], [], [["z", "é", "\uffff", "\U0001f600"]]),
])
def test_documented_plans(nodes, edges, expected):
    assert plan(nodes, edges) == expected


def test_sequences_other_than_lists_are_accepted():
    Edge = namedtuple("Edge", "source target")
    expected = [["a"], ["b"]]
    assert plan(("a", "b"), (("a", "b"),)) == expected
    assert plan(edges=[Edge("a", "b")], nodes=["a", "b"]) == expected
    assert plan(["a", "b"], Seq([("a", "b")])) == expected


def test_names_come_back_as_the_callers_own_strs_and_subclasses_as_plain_str():
    class Name(str):
        pass

    first, again, other = "é-" + "x", "é-" + "x", Name("y")
    edge_name = "é-" + "x"  # equal, not identical: names come from `nodes`
    steps = plan([first, other, again, first], [(edge_name, "y"), ("y", "y")])
    assert steps == [["é-x"], ["y"]]
    assert steps[0][0] is first
    assert type(steps[1][0]) is str and steps[1][0] is not other
    cyclic = plan([first, again, "z"], [("é-x", "z"), ("z", "é-x")])
    assert cyclic == [["z", "é-x", "é-x"]] and cyclic[0][1] is first and cyclic[0][2] is first


@pytest.mark.slow
def test_long_chain_plans_without_deep_recursion():
    n = 1_000_000
    nodes = [f"n{i:07d}" for i in range(n)]
    edges = list(zip(nodes, nodes[1:]))
    result = plan(nodes, edges)
    assert len(result) == n and result[0] == ["n0000000"] and result[-1] == [nodes[-1]]


names = st.sampled_from(["", "a", "b", "B", "ab", "é", "z", "n1", "n10", "n2", "\U0001f600"])
graphs = st.tuples(
    st.lists(names, max_size=12),
    st.lists(st.tuples(names, names), max_size=24),
)


@settings(max_examples=400, derandomize=True)
@given(graphs)
def test_matches_reference_model(graph):
    nodes, edges = graph
    assert plan(nodes, edges) == reference_plan(nodes, edges)


@pytest.mark.parametrize("seed", range(3))
def test_names_sharing_long_prefixes_are_told_apart(seed):
    # Lengths around the word sizes used for hashing and ordering, with NULs and shared stems.
    rnd = random.Random(seed)
    stems = ["", "x" * 7, "node-000", "p" * 16, "q" * 23 + "\x00", "é" * 12]
    nodes = [rnd.choice(stems) + "".join(rnd.choice("ab\x00é") for _ in range(rnd.randrange(12)))
             for _ in range(300)]
    edges = [tuple(rnd.sample(nodes, 2)) for _ in range(400)]
    assert plan(nodes, edges) == reference_plan(nodes, edges)


def _copy(name):
    return "".join(list(name)) if len(name) > 1 else name  # equal, mostly another object


@pytest.mark.parametrize("seed, n", [(0, 300), (1, 6000), (2, 20000)])
def test_names_found_by_object_or_by_bytes_alike(seed, n):
    # Endpoints are the node list's own objects, equal copies of them or unknown names; the
    # nodes repeat both as the same object and as equal copies. Long enough to be read
    # ahead and ordered by the radix passes.
    rnd = random.Random(seed)
    stems = ["n", "étape_", "ノード", "agent_", "x" * 20]
    order = [rnd.choice(stems) + str(i) for i in range(n)]
    nodes = order + [rnd.choice([lambda s: s, _copy])(rnd.choice(order)) for _ in range(n // 20)]
    rnd.shuffle(nodes)

    def endpoint(i):
        pick = rnd.random()
        if pick < 0.02:
            return f"missing{i}"
        return order[i] if pick < 0.8 else _copy(order[i])

    edges = []
    for _ in range(2 * n):
        a, b = sorted(rnd.sample(range(n), 2))
        if rnd.random() < 0.01:
            a, b = b, a  # a few cycles
        edges.append((endpoint(a), endpoint(b)))
    result = plan(nodes, edges)
    assert result == reference_plan(nodes, edges)
    first = {}
    for name in nodes:
        first.setdefault(name, name)
    assert all(name is first[name] for step in result for name in step)
