"""A direct, unoptimised model of superstep planning used to check the native planner."""

from collections import deque


def name_key(name):
    return name.encode("utf-8")


def plan(nodes, edges):
    known = set(nodes)
    indegree = {name: 0 for name in nodes}
    successors = {}
    for source, target in edges:
        if source not in known or target not in known or source == target:
            continue
        successors.setdefault(source, []).append(target)
        indegree[target] += 1
    ready = deque(name for name in dict.fromkeys(nodes) if indegree[name] == 0)
    placed = set()
    result = []
    while ready:
        batch = list(ready)
        ready.clear()
        step = []
        for name in batch:
            if name not in placed:
                placed.add(name)
                step.append(name)
        step.sort(key=name_key)
        newly = []
        for name in batch:
            for target in successors.get(name, ()):
                indegree[target] = max(0, indegree[target] - 1)
                if indegree[target] == 0 and target not in placed:
                    newly.append(target)
        if step:
            result.append(step)
        ready.extend(newly)
    remainder = sorted((name for name in nodes if name not in placed), key=name_key)
    if remainder:
        result.append(remainder)
    return result
