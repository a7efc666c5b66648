"""A small superstep runtime on top of quor_core: plan, run, fold, checkpoint, audit, resume.

A graph is a dict of node functions, a list of edges and a reducer table. Each node reads the
state (a dict, the same for every node of a superstep) and returns `(writes, cost)`: a dict
of channel writes (or None) and the cost of the call. The runtime

- plans the graph once with `plan_supersteps`;
- runs the nodes of each superstep and folds their writes with `advance_superstep`;
- appends an audit entry per superstep, chained with `hash_event`;
- writes a checkpoint per superstep with `encode_checkpoint`, atomically;
- totals the per-node costs with `aggregate_cost`.

On disk, a run folder holds:

    initial.quor              the starting state, as a checkpoint frame
    audit.log                 one JSON line per finished superstep: {"payload", "hash"}
    checkpoint-0000.quor      the state after superstep 0, as a checkpoint frame
    checkpoint-0001.quor      ...

The audit payload of superstep i is "superstep {i}\\n{state text}", and its hash links it to
the entry before (the first to the run's genesis text). The order of writes per superstep
is: audit entry appended and flushed to disk, then the checkpoint written to a temporary
file, flushed, and renamed into place. The checkpoint is the commit point. On resume:

- the newest checkpoint (or, before the first, the initial state) is the state to continue
  from; a checkpoint that does not decode is
  refused (it was renamed into place whole, so it was damaged afterwards);
- the audit log must verify with `verify_chain`, and its entry for that superstep must hold
  exactly the checkpoint's state;
- at most one audit entry may follow the newest checkpoint's (the process stopped between
  the two writes). If complete it must verify like the rest; a torn last line is allowed.
  That entry is dropped: its superstep runs again and writes the same entry.

Anything else is refused with `ResumeError`, and nothing in the folder is changed.
"""

from __future__ import annotations

import json
import os
import re
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable, Iterator, Optional

import quor_core

NodeFn = Callable[[dict], "tuple[Optional[dict], float]"]
AUDIT_LOG = "audit.log"
INITIAL = "initial.quor"
COSTS = "__costs__"  # the channel where the runtime appends every node's cost
CHECKPOINT = re.compile(r"checkpoint-(\d{4,})\.quor")


class ResumeError(RuntimeError):
    """A run folder that cannot be resumed from safely."""


@dataclass
class Graph:
    nodes: dict[str, NodeFn]
    edges: list[tuple[str, str]]
    reducers: dict[str, str] = field(default_factory=dict)
    genesis: str = "quor-runtime genesis"

    def plan(self) -> list[list[str]]:
        return quor_core.plan_supersteps(list(self.nodes), self.edges)

    def to_dot(self) -> str:
        """The planned supersteps as a Graphviz graph, one rank per superstep."""
        lines = ["digraph plan {", "  rankdir=TB;"]
        for i, step in enumerate(self.plan()):
            members = " ".join(json.dumps(name) for name in step)
            lines.append(f'  subgraph "superstep_{i}" {{ rank=same; {members} }}')
        lines += [f"  {json.dumps(a)} -> {json.dumps(b)};" for a, b in self.edges]
        lines.append("}")
        return "\n".join(lines)


@dataclass
class Step:
    index: int
    nodes: list[str]
    state: str
    cost: float


def audit_payload(index: int, state: str) -> str:
    return f"superstep {index}\n{state}"


def checkpoint_path(folder: Path, index: int) -> Path:
    return folder / f"checkpoint-{index:04d}.quor"


def fsync_dir(folder: Path) -> None:
    fd = os.open(folder, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def write_atomically(path: Path, data: bytes, crash_after: Optional[int] = None) -> None:
    """Temporary file in the same folder, flushed and fsync'd, then renamed into place."""
    tmp = path.with_name(path.name + ".tmp")
    with open(tmp, "wb") as f:
        if crash_after is not None:  # a simulated crash halfway through the write
            f.write(data[:crash_after])
            f.flush()
            os._exit(17)
        f.write(data)
        f.flush()
        os.fsync(f.fileno())
    os.replace(tmp, path)
    fsync_dir(path.parent)


def append_line(path: Path, line: str) -> None:
    created = not path.exists()
    with open(path, "a", encoding="utf-8") as f:
        f.write(line + "\n")
        f.flush()
        os.fsync(f.fileno())
    if created:  # the new file's name must survive a crash as well as its bytes
        fsync_dir(path.parent)


def total_cost(state: str) -> float:
    return quor_core.aggregate_cost(json.loads(state).get(COSTS, []))


class Runtime:
    def __init__(self, graph: Graph, folder: os.PathLike | str):
        self.graph = graph
        self.folder = Path(folder)
        self.supersteps = graph.plan()
        self.reducers = json.dumps({**graph.reducers, COSTS: "append"})

    # -- running -------------------------------------------------------------------------

    def run(self, initial_state: dict, *, stop_after: Optional[int] = None,
            crash_in_checkpoint: Optional[int] = None) -> Iterator[Step]:
        """Runs from the start (the folder must hold no run yet), yielding each step."""
        self.folder.mkdir(parents=True, exist_ok=True)
        if any((self.folder / name).exists() for name in (AUDIT_LOG, INITIAL)) or \
                self._checkpoints():
            raise ResumeError(f"{self.folder} already holds a run; resume it instead")
        state = quor_core.advance_superstep(json.dumps(initial_state), "{}", "[]")
        write_atomically(self.folder / INITIAL, quor_core.encode_checkpoint(state))
        return self._steps(0, state, self.graph.genesis, stop_after, crash_in_checkpoint)

    def resume(self, *, stop_after: Optional[int] = None,
               crash_in_checkpoint: Optional[int] = None) -> Iterator[Step]:
        """Continues after the newest checkpoint, yielding each further step."""
        index, state, last_link, keep = self._recover()
        log = self.folder / AUDIT_LOG
        if keep is not None:  # drop an entry written after the newest checkpoint
            with open(log, "r+", encoding="utf-8") as f:
                f.truncate(keep)
                os.fsync(f.fileno())
        for tmp in self.folder.glob("*.tmp"):
            tmp.unlink()
        return self._steps(index + 1, state, last_link, stop_after, crash_in_checkpoint)

    def _steps(self, start, state, prev_link, stop_after, crash_in_checkpoint):
        for index in range(start, len(self.supersteps)):
            names = self.supersteps[index]
            view = json.loads(state)  # every node of a superstep sees the same state
            updates, costs = [], []
            for name in names:
                writes, cost = self.graph.nodes[name](view)
                updates.append(writes)
                costs.append(cost)
            updates.append({COSTS: costs})
            state = quor_core.advance_superstep(state, self.reducers, json.dumps(updates))

            payload = audit_payload(index, state)
            prev_link = quor_core.hash_event(prev_link, payload)
            append_line(self.folder / AUDIT_LOG,
                        json.dumps({"payload": payload, "hash": prev_link}, ensure_ascii=False))
            crash = crash_in_checkpoint is not None and crash_in_checkpoint == index
            write_atomically(checkpoint_path(self.folder, index),
                             quor_core.encode_checkpoint(state),
                             crash_after=20 if crash else None)
            yield Step(index, names, state, total_cost(state))
            if stop_after is not None and index == stop_after:
                os._exit(17)  # a simulated crash between two supersteps

    def verify(self) -> bool:
        """True when the whole audit log verifies."""
        log = self.folder / AUDIT_LOG
        entries = [(r["payload"], r["hash"]) for r in map(json.loads, log.read_text(
            encoding="utf-8").splitlines())]
        return quor_core.verify_chain(self.graph.genesis, entries) is None

    # -- recovery ------------------------------------------------------------------------

    def _checkpoints(self) -> list[int]:
        found = [CHECKPOINT.fullmatch(p.name) for p in self.folder.iterdir()] \
            if self.folder.is_dir() else []
        return sorted(int(m.group(1)) for m in found if m)

    def _recover(self):
        """(index, state, link of that entry, log length to keep or None), or ResumeError."""
        indices = self._checkpoints()
        if not indices and not (self.folder / INITIAL).exists():
            raise ResumeError(f"{self.folder} holds no checkpoint to resume from")
        index = indices[-1] if indices else -1
        if index >= len(self.supersteps):
            raise ResumeError(f"checkpoint {index} is beyond this graph's "
                              f"{len(self.supersteps)} supersteps")
        path = checkpoint_path(self.folder, index) if indices else self.folder / INITIAL
        try:
            state = quor_core.decode_checkpoint(path.read_bytes())
        except ValueError as e:
            raise ResumeError(f"checkpoint {path.name} is damaged: {e}") from None

        entries, ends, size = self._read_log(index)
        committed = index + 1
        if len(entries) < committed:
            raise ResumeError(f"the audit log has {len(entries)} entries but checkpoint "
                              f"{index} needs {committed}")
        beyond = len(entries) - committed + (size > (ends[-1] if ends else 0))
        if beyond > 1:
            raise ResumeError(f"the audit log has {beyond} entries beyond the newest "
                              "checkpoint; a crash leaves at most one")
        broken = quor_core.verify_chain(self.graph.genesis, entries)
        if broken is not None:
            raise ResumeError(f"the audit log does not verify: entry {broken} is broken")
        if index < 0:  # stopped within the first superstep: start over
            return index, state, self.graph.genesis, 0 if size else None
        if entries[index][0] != audit_payload(index, state):
            raise ResumeError(f"audit entry {index} does not match checkpoint {path.name}")
        keep = ends[index] if size > ends[index] else None
        return index, state, entries[index][1], keep

    def _read_log(self, index: int):
        """The complete entries, the byte offset after each, and the log's size. Only a
        line after every committed entry may be torn (it is then left out)."""
        log = self.folder / AUDIT_LOG
        data = log.read_bytes() if log.exists() else b""
        entries, ends, position = [], [], 0
        for raw in data.split(b"\n"):
            end = min(position + len(raw) + 1, len(data))
            if raw:
                try:
                    record = json.loads(raw)
                    entries.append((record["payload"], record["hash"]))
                except (ValueError, KeyError, TypeError):
                    if len(entries) > index and end == len(data):
                        break  # the write that a crash cut short
                    raise ResumeError(f"audit entry {len(entries)} is not a valid record") \
                        from None
                ends.append(end)
            position = end
        return entries, ends, len(data)


def embed(text: str, dims: int = 64) -> list[float]:
    """A deterministic hashed bag-of-words embedding (no model, no download)."""
    vector = [0.0] * dims
    for word in re.findall(r"[a-z0-9]+", text.lower()):
        digest = quor_core.hash_event("embed", word)
        bucket, sign = int(digest[:8], 16) % dims, 1.0 if int(digest[8], 16) % 2 else -1.0
        vector[bucket] += sign
    return vector
