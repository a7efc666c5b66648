"""A small superstep runtime on top of quor_core: plan, run, fold, checkpoint, audit, resume.

A graph is a dict of node functions, a list of edges and a reducer table. Each node reads the
state (a dict of its own, equal for every node of a superstep) and returns `(writes, cost)`:
a dict of channel writes (or None) and the cost of the call. A node is a plain function or an
`async def` one. The runtime

- plans the graph once with `plan_supersteps`;
- runs the nodes of each superstep side by side: plain functions on a thread pool, async
  ones awaited together on one event loop (`run()` keeps a private loop, `arun()` uses the
  caller's), and folds their writes in plan order with `advance_superstep`, whatever order
  they finished in, so every byte on disk is that of a sequential run;
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

A node that raises stops its superstep before anything of it is written: the caller gets a
`NodeError` naming the node (the node's exception is its `__cause__`), plain nodes not yet
started are not started, running ones finish, async ones are cancelled. `resume()` runs the
whole superstep again.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import contextlib
import inspect
import json
import os
import re
import threading
from dataclasses import dataclass, field
from pathlib import Path
from typing import AsyncIterator, Awaitable, Callable, Iterator, Optional, Union

import quor_core

NodeResult = tuple[Optional[dict], float]
NodeFn = Callable[[dict], Union[NodeResult, Awaitable[NodeResult]]]
AUDIT_LOG = "audit.log"
INITIAL = "initial.quor"
COSTS = "__costs__"  # the channel where the runtime appends every node's cost
CHECKPOINT = re.compile(r"checkpoint-(\d{4,})\.quor")
REDUCERS = ("append", "add", "last_value")
MAX_WORKERS = 32  # the default pool is as wide as the widest superstep, up to this


class ResumeError(RuntimeError):
    """A run folder that cannot be resumed from safely."""


class NodeError(RuntimeError):
    """A node raised; nothing of its superstep was written. The node's exception is the
    `__cause__`."""

    def __init__(self, node: str, superstep: int, error: BaseException):
        super().__init__(f"node {node!r} failed in superstep {superstep}: "
                         f"{type(error).__name__}: {error}")
        self.node, self.superstep = node, superstep


@dataclass
class Graph:
    nodes: dict[str, NodeFn]
    edges: list[tuple[str, str]]
    reducers: dict[str, str] = field(default_factory=dict)
    genesis: str = "quor-runtime genesis"
    # The module reads any other reducer name as last value; here that is taken as a typo
    # (an "appnd" that would overwrite a list) unless asked for.
    strict_reducers: bool = True

    def __post_init__(self):
        if not self.strict_reducers:
            return
        for channel, name in self.reducers.items():
            if not isinstance(name, str) or name not in REDUCERS:
                raise ValueError(
                    f"channel {channel!r}: unknown reducer {name!r} (known: "
                    f"{', '.join(map(repr, REDUCERS))}); pass strict_reducers=False to have "
                    "unknown names act as last value")

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


def is_async(fn) -> bool:
    return inspect.iscoroutinefunction(fn) or \
        inspect.iscoroutinefunction(getattr(fn, "__call__", None))


def node_output(result) -> tuple[str, str]:
    """A node's (writes, cost) as JSON texts, made in the node's own thread or task so that
    a bad result is blamed on its node."""
    writes, cost = result
    if writes is not None and not isinstance(writes, dict):
        raise TypeError(f"a node's writes must be a dict or None, not {type(writes).__name__}")
    return json.dumps(writes), json.dumps(cost)


class Skipped(Exception):
    """A node not started because another node of its superstep had failed."""


def call_node(fn, state: str, halt: threading.Event):
    # A pool thread takes the next queued node the moment one fails, before the waiting side
    # can cancel it: the failing node raises the flag itself, in its own thread.
    if halt.is_set():
        raise Skipped
    try:
        # Each node parses its own copy: one node changing its dict cannot reach another.
        result = fn(json.loads(state))
        if inspect.isawaitable(result):
            getattr(result, "close", lambda: None)()
            raise TypeError("a plain node returned an awaitable; declare it with async def")
        return node_output(result)
    except Exception:
        halt.set()
        raise


async def await_node(fn, state: str, halt: threading.Event):
    try:
        return node_output(await fn(json.loads(state)))
    except Exception:
        halt.set()
        raise


def loop_running() -> bool:
    try:
        asyncio.get_running_loop()
    except RuntimeError:
        return False
    return True


def failure(future) -> Optional[BaseException]:
    error = None if not future.done() or future.cancelled() else future.exception()
    return None if isinstance(error, Skipped) else error


class Runtime:
    def __init__(self, graph: Graph, folder: os.PathLike | str, *,
                 max_workers: Optional[int] = None):
        self.graph = graph
        self.folder = Path(folder)
        self.supersteps = graph.plan()
        self.reducers = json.dumps({**graph.reducers, COSTS: "append"})
        widest = max(map(len, self.supersteps), default=1)
        self.max_workers = max_workers or min(widest, MAX_WORKERS)
        self._async = {name: is_async(fn) for name, fn in graph.nodes.items()}

    # -- running -------------------------------------------------------------------------

    def run(self, initial_state: dict, *, stop_after: Optional[int] = None,
            crash_in_checkpoint: Optional[int] = None) -> Iterator[Step]:
        """Runs from the start (the folder must hold no run yet), yielding each step."""
        return self._steps(*self._start(initial_state), stop_after, crash_in_checkpoint)

    def arun(self, initial_state: dict, *, stop_after: Optional[int] = None,
             crash_in_checkpoint: Optional[int] = None) -> AsyncIterator[Step]:
        """The async twin of run(), on the caller's event loop: `async for step in ...`."""
        return self._asteps(*self._start(initial_state), stop_after, crash_in_checkpoint)

    def resume(self, *, stop_after: Optional[int] = None,
               crash_in_checkpoint: Optional[int] = None) -> Iterator[Step]:
        """Continues after the newest checkpoint, yielding each further step."""
        return self._steps(*self._reopen(), stop_after, crash_in_checkpoint)

    def aresume(self, *, stop_after: Optional[int] = None,
                crash_in_checkpoint: Optional[int] = None) -> AsyncIterator[Step]:
        """The async twin of resume()."""
        return self._asteps(*self._reopen(), stop_after, crash_in_checkpoint)

    def holds_run(self) -> bool:
        return any((self.folder / name).exists() for name in (AUDIT_LOG, INITIAL)) or \
            bool(self._checkpoints())

    def _start(self, initial_state: dict) -> tuple[int, str, str]:
        self.folder.mkdir(parents=True, exist_ok=True)
        if self.holds_run():
            raise ResumeError(f"{self.folder} already holds a run; resume it instead")
        state = quor_core.advance_superstep(json.dumps(initial_state), "{}", "[]")
        write_atomically(self.folder / INITIAL, quor_core.encode_checkpoint(state))
        return 0, state, self.graph.genesis

    def _reopen(self) -> tuple[int, str, str]:
        index, state, last_link, keep = self._recover()
        log = self.folder / AUDIT_LOG
        if keep is not None:  # drop an entry written after the newest checkpoint
            with open(log, "r+", encoding="utf-8") as f:
                f.truncate(keep)
                os.fsync(f.fileno())
        for tmp in self.folder.glob("*.tmp"):
            tmp.unlink()
        return index + 1, state, last_link

    def _pool(self):
        return concurrent.futures.ThreadPoolExecutor(self.max_workers,
                                                     thread_name_prefix="quor-node")

    def _steps(self, start, state, prev_link, stop_after, crash_in_checkpoint):
        with self._pool() as pool, contextlib.ExitStack() as stack:
            loop = None  # one private loop for all async nodes of the run, made on first need
            for index in range(start, len(self.supersteps)):
                if any(self._async[name] for name in self.supersteps[index]):
                    if loop is None:
                        if loop_running():
                            raise RuntimeError("this graph has async nodes and an event loop "
                                               "is running here: use arun() or aresume()")
                        loop = stack.enter_context(asyncio.Runner())
                    results = loop.run(self._gather(index, state, pool))
                else:
                    results = self._collect(index, state, pool)
                step, prev_link = self._commit(index, state, results, prev_link,
                                               crash_in_checkpoint)
                state = step.state
                yield step
                if stop_after is not None and index == stop_after:
                    os._exit(17)  # a simulated crash between two supersteps

    async def _asteps(self, start, state, prev_link, stop_after, crash_in_checkpoint):
        with self._pool() as pool:
            for index in range(start, len(self.supersteps)):
                results = await self._gather(index, state, pool)
                step, prev_link = await asyncio.to_thread(  # fsyncs stay off the loop
                    self._commit, index, state, results, prev_link, crash_in_checkpoint)
                state = step.state
                yield step
                if stop_after is not None and index == stop_after:
                    os._exit(17)

    def _collect(self, index, state, pool):
        """A superstep of plain nodes only: no event loop needed."""
        halt = threading.Event()
        futures = [pool.submit(call_node, self.graph.nodes[name], state, halt)
                   for name in self.supersteps[index]]
        try:
            concurrent.futures.wait(futures, return_when=concurrent.futures.FIRST_EXCEPTION)
        finally:
            if not all(f.done() for f in futures):  # a failure, or the caller interrupted
                for f in futures:
                    f.cancel()  # those not started never start; running ones finish
                concurrent.futures.wait(futures)
        return self._results(index, futures)

    async def _gather(self, index, state, pool):
        loop = asyncio.get_running_loop()
        futures, stops, halt = [], [], threading.Event()
        for name in self.supersteps[index]:
            fn = self.graph.nodes[name]
            if self._async[name]:
                task = loop.create_task(await_node(fn, state, halt))
                futures.append(task)
                stops.append(task.cancel)
            else:
                # Stopped through the pool's future: cancelling only the asyncio wrapper
                # would stop waiting for a thread that goes on running.
                job = pool.submit(call_node, fn, state, halt)
                futures.append(asyncio.wrap_future(job))
                stops.append(job.cancel)
        try:
            await asyncio.wait(futures, return_when=asyncio.FIRST_EXCEPTION)
            if any(map(failure, futures)):
                for stop in stops:
                    stop()
                await asyncio.wait(futures)
        finally:
            for stop in stops:  # only does anything when the caller itself is cancelled
                stop()
        return self._results(index, futures)

    def _results(self, index, futures):
        """The nodes' outputs in plan order, or NodeError for the first in plan order that
        raised."""
        for name, future in zip(self.supersteps[index], futures):
            error = failure(future)
            if error is not None:
                raise NodeError(name, index, error) from error
        return [future.result() for future in futures]

    def _commit(self, index, state, results, prev_link, crash_in_checkpoint):
        """Folds the superstep's outputs in plan order, then the audit entry and checkpoint."""
        writes = [w for w, _ in results]
        costs = ",".join(c for _, c in results)
        updates = f"[{','.join(writes)},{{{json.dumps(COSTS)}:[{costs}]}}]"
        state = quor_core.advance_superstep(state, self.reducers, updates)

        payload = audit_payload(index, state)
        prev_link = quor_core.hash_event(prev_link, payload)
        append_line(self.folder / AUDIT_LOG,
                    json.dumps({"payload": payload, "hash": prev_link}, ensure_ascii=False))
        crash = crash_in_checkpoint is not None and crash_in_checkpoint == index
        write_atomically(checkpoint_path(self.folder, index),
                         quor_core.encode_checkpoint(state),
                         crash_after=20 if crash else None)
        return Step(index, self.supersteps[index], state, total_cost(state)), prev_link

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
