"""Planner rows: plan_supersteps against graphlib and networkx batch layering."""

import graphlib
import random

import quor_core

try:
    import networkx
except ImportError:  # the bench extra is optional
    networkx = None


def make_graph(n_nodes, n_edges, n_cycles, seed=7):
    rnd = random.Random(seed)
    nodes = [f"node-{i:06d}" for i in range(n_nodes)]
    rnd.shuffle(nodes)
    dag = set()
    while len(dag) < n_edges:
        a, b = rnd.sample(range(n_nodes), 2)
        # Mostly short hops keep the layering deep, as in real pipelines.
        if abs(a - b) > 50 and rnd.random() < 0.8:
            continue
        dag.add((nodes[min(a, b)], nodes[max(a, b)]))
    dag = sorted(dag)
    rnd.shuffle(dag)
    back = []
    for _ in range(n_cycles):
        a, b = sorted(rnd.sample(range(n_nodes), 2))
        back.append((nodes[b], nodes[a]))
    return nodes, dag, dag + back


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


def cases():
    rows = []
    for label, n, m, cycles in [("plan_supersteps 100k nodes/200k edges", 100_000, 200_000, 5),
                                ("plan_supersteps 100 nodes/200 edges", 100, 200, 0)]:
        nodes, dag, edges = make_graph(n, m, cycles)
        expected = graphlib_layers(nodes, dag)
        assert quor_core.plan_supersteps(nodes, dag) == expected, "planner disagrees with graphlib"
        peers = {"graphlib": lambda nodes=nodes, dag=dag: graphlib_layers(nodes, dag)}
        if networkx is not None:
            assert networkx_layers(nodes, dag) == expected
            peers["networkx"] = lambda nodes=nodes, dag=dag: networkx_layers(nodes, dag)
        rows.append({
            "name": label,
            "ours": lambda nodes=nodes, edges=edges: quor_core.plan_supersteps(nodes, edges),
            "peers": peers,
            "memory": n > 1000,
        })
    return rows
