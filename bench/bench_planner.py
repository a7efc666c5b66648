"""Planner rows: plan_supersteps against graphlib and networkx batch layering."""

import graphlib
import random

import quor_core

from common import optional

networkx = optional("networkx")
rustworkx = optional("rustworkx")


def name(rnd, i):
    """Names of several shapes sharing prefixes; about one in seven is not ASCII."""
    shape = rnd.randrange(7)
    if shape == 0:
        return rnd.choice(["étape", "узел", "ノード", "schritt-ü"]) + f"_{i}"
    return [f"agent_{i // 7}_{i % 7}", f"tool-{i}", f"Step{i}", f"node/{i // 100}/{i}",
            f"agent_{i}", f"task.{i}"][shape - 1]


def make_graph(n_nodes, n_edges, n_cycles, seed=7):
    rnd = random.Random(seed)
    order = [name(rnd, i) for i in range(n_nodes)]  # creation order = a topological order
    dag = set()
    while len(dag) < n_edges:
        b = rnd.randrange(1, n_nodes)
        # Mostly far back, some local, as in real graphs.
        a = rnd.randrange(0, b) if rnd.random() < 0.7 else max(0, b - rnd.randint(1, 8))
        dag.add((order[a], order[b]))
    nodes = order[:]
    rnd.shuffle(nodes)  # neither sorted nor in creation order
    dag = list(dag)
    rnd.shuffle(dag)
    back = []
    for _ in range(n_cycles):
        a, b = sorted(rnd.sample(range(n_nodes), 2))
        back.append((order[b], order[a]))
    # Fresh objects scattered in memory, as a program's own would be.
    copy = {n: n[:1] + n[1:] for n in order}
    return ([copy[n] for n in nodes], [(copy[a], copy[b]) for a, b in dag],
            [(copy[a], copy[b]) for a, b in dag + back])


def graphlib_layers(nodes, edges):
    ts = graphlib.TopologicalSorter()
    for n in nodes:
        ts.add(n)
    for source, target in edges:
        ts.add(target, source)
    ts.prepare()
    out = []
    while ts.is_active():
        batch = sorted(ts.get_ready(), key=lambda s: s.encode())
        out.append(batch)
        ts.done(*batch)
    return out


def networkx_layers(nodes, edges):
    g = networkx.DiGraph()
    g.add_nodes_from(nodes)
    g.add_edges_from(edges)
    return [sorted(layer, key=lambda s: s.encode()) for layer in networkx.topological_generations(g)]


def rustworkx_layers(nodes, edges):
    g = rustworkx.PyDiGraph()
    index = dict(zip(nodes, g.add_nodes_from(nodes)))
    g.add_edges_from_no_data([(index[a], index[b]) for a, b in edges])
    return [sorted((g[i] for i in layer), key=lambda s: s.encode())
            for layer in rustworkx.topological_generations(g)]


def cases():
    rows = []
    for label, n, m, cycles in [("plan_supersteps 100k nodes/200k edges", 100_000, 200_000, 5),
                                ("plan_supersteps 1k nodes/2k edges", 1_000, 2_000, 0)]:
        nodes, dag, edges = make_graph(n, m, cycles)
        expected = graphlib_layers(nodes, dag)
        assert quor_core.plan_supersteps(nodes, dag) == expected, "planner disagrees with graphlib"
        peers = {"graphlib": lambda nodes=nodes, dag=dag: graphlib_layers(nodes, dag)}
        if networkx is not None:
            assert networkx_layers(nodes, dag) == expected
            peers["networkx"] = lambda nodes=nodes, dag=dag: networkx_layers(nodes, dag)
        if rustworkx is not None:
            assert rustworkx_layers(nodes, dag) == expected
            peers["rustworkx"] = lambda nodes=nodes, dag=dag: rustworkx_layers(nodes, dag)
        rows.append({
            "name": label,
            "ours": lambda nodes=nodes, edges=edges: quor_core.plan_supersteps(nodes, edges),
            "peers": peers,
            "memory": n > 1000,
        })
    return rows
