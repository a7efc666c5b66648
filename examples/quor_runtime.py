"""A small superstep runtime on top of quor_core: plan, run, fold, checkpoint, audit, resume.

A graph is a dict of node functions, a list of edges and a reducer table. Each node reads the
state and returns `(writes, cost)`: a dict of channel writes (or None) and the cost of the
call, a finite real number. A node is a plain function or an `async def` one. The runtime

- plans the graph once with `plan_supersteps`;
- parses the state once per superstep into a read-only view that every node of the
  superstep is given (a node that changes it gets a TypeError; `own_copy(state)` is a
  changeable copy);
- runs the nodes of each superstep side by side: plain functions on a thread pool or any
  `concurrent.futures.Executor` (a Dask client's, say), async ones awaited together on one
  event loop (`run()` keeps a private loop, `arun()` uses the caller's), and folds their
  writes in plan order with `advance_superstep`, whatever order they finished in, so every
  byte on disk is that of a sequential run;
- writes a checkpoint per superstep with `encode_checkpoint`, atomically, and appends an
  audit entry per superstep that holds the checkpoint's SHA-256 digest and the running cost
  total (a constant size, however large the state), chained with `hash_event`;
- totals the node costs left to right with `aggregate_cost`, as they come;
- keeps every checkpoint, or only the newest N (`keep_checkpoints`).

On disk, a run folder holds:

    run.lock                  the owner's lock; holds the owner's process id while it runs
    run.json                  the graph record: format, node names, edges, reducers, genesis,
                              version
    initial.quor              the starting state, as a checkpoint frame
    audit.log                 one JSON line per entry: {"payload", "hash"}
    checkpoint-0000.quor      the state after superstep 0, as a checkpoint frame
    checkpoint-0001.quor      ... (with keep_checkpoints=N, only the newest N are kept)

Audit entry 0 is "run\\n" and the digests of run.json and initial.quor; entry i + 1 is
"superstep {i}\\n" and the digest of checkpoint i with the cost total after it. Each hash
links its payload to the entry before (the first to the run's genesis text). Per superstep
the audit entry is appended and flushed to disk, then the checkpoint is written to a
temporary file, flushed and renamed into place: the checkpoint is the commit point.

The state a run continues from after superstep i is `decode_checkpoint` of checkpoint i's
bytes, exactly what a resume reads: the module's float reader may move a float's last digit
on the way through a checkpoint, so the text a superstep produced is not always the text its
checkpoint gives back, and only the latter is ever used again.

On resume, everything is checked before anything is changed: the record's format and graph,
the chain, the digest of run.json, initial.quor and every checkpoint kept, and that at most
one audit entry (a crash between the two writes of a superstep) follows the newest
checkpoint's. That entry is dropped and its superstep runs again. Anything else is refused
with `ResumeError`, and nothing in the folder is changed.

A node that fails stops its superstep before anything of it is written: the caller gets a
`NodeError` naming the node (and the channel, for a write the state cannot take); the node's
exception is its `__cause__`. Plain nodes not yet started are not started, async ones are
cancelled. `resume()` runs the whole superstep again.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import contextlib
import hashlib
import inspect
import json
import math
import numbers
import os
import queue
import re
import signal
import threading
import time
from collections.abc import Mapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import AsyncIterator, Awaitable, Callable, Iterator, Optional, Union

import quor_core

NodeResult = tuple[Optional[dict], float]
NodeFn = Callable[[dict], Union[NodeResult, Awaitable[NodeResult]]]
FORMAT = "quor-runtime/2"  # in run.json; a folder of another format is refused, saying so
RECORD = "run.json"
LOCK = "run.lock"
AUDIT_LOG = "audit.log"
INITIAL = "initial.quor"
COSTS = "__costs__"  # reserved: the runtime keeps the cost total, no node may write it
CHECKPOINT = re.compile(r"checkpoint-(\d{4,})\.quor")
OWN_TEMPORARY = re.compile(r"(checkpoint-\d{4,}\.quor|initial\.quor|run\.json)\.tmp")
REDUCERS = ("append", "add", "last_value")
MAX_WORKERS = 32  # the default pool is as wide as the widest superstep, up to this

# Tests set this to stop the process at a chosen file operation: it is called before each
# one with (operation, path, open file or None, bytes to write or b"").
crash_hook: Optional[Callable] = None


class ResumeError(RuntimeError):
    """A run folder that cannot be started in or resumed from safely."""


class FolderInUse(RuntimeError):
    """Another process (or another runtime in this one) holds the run folder."""

    def __init__(self, folder: Path, holder: Optional[int]):
        who = ("another runtime in this process" if holder == os.getpid() else
               f"process {holder}" if holder else "another process")
        super().__init__(f"{folder} is in use by {who}; wait for it to finish, or stop it")
        self.folder, self.holder = folder, holder


class NodeError(RuntimeError):
    """A node failed; nothing of its superstep was written. The node's exception is the
    `__cause__`; `channel` names the channel of a write the state cannot take."""

    def __init__(self, node: str, superstep: int, error: BaseException,
                 channel: Optional[str] = None):
        where = f" writing channel {channel!r}" if channel is not None else ""
        super().__init__(f"node {node!r} failed in superstep {superstep}{where}: "
                         f"{type(error).__name__}: {error}")
        self.node, self.superstep, self.channel = node, superstep, channel


@dataclass
class Graph:
    nodes: dict[str, NodeFn]
    edges: list[tuple[str, str]]
    reducers: dict[str, str] = field(default_factory=dict)
    genesis: str = "quor-runtime genesis"
    # Node code cannot be hashed: a version string the user changes with it is what tells a
    # resume that the nodes are not those that started the run.
    version: Optional[str] = None
    # The module reads any other reducer name as last value; here that is taken as a typo
    # (an "appnd" that would overwrite a list) unless asked for.
    strict_reducers: bool = True

    def __post_init__(self):
        for name in self.nodes:
            if not isinstance(name, str):
                raise TypeError(f"node names must be str, not {type(name).__name__} {name!r}")
        for edge in self.edges:
            if not (isinstance(edge, (tuple, list)) and len(edge) == 2):
                raise ValueError(f"edge {edge!r} is not a pair of node names")
            for name in edge:
                if name not in self.nodes:  # the planner would ignore it silently
                    raise ValueError(f"edge {tuple(edge)!r} names an unknown node {name!r}")
        if COSTS in self.reducers:
            raise ValueError(f"channel {COSTS!r} is reserved for the runtime's cost totals")
        if not self.strict_reducers:
            return
        for channel, name in self.reducers.items():
            if not isinstance(name, str) or name not in REDUCERS:
                raise ValueError(
                    f"channel {channel!r}: unknown reducer {name!r} (known: "
                    f"{', '.join(map(repr, REDUCERS))}); pass strict_reducers=False to have "
                    "unknown names act as last value")

    def plan(self) -> list[list[str]]:
        return quor_core.plan_supersteps(list(self.nodes), [tuple(e) for e in self.edges])

    def record(self) -> dict:
        """What identifies the graph in its run folder."""
        return {"format": FORMAT, "nodes": sorted(self.nodes),
                "edges": sorted({tuple(e) for e in self.edges}),
                "reducers": dict(sorted(self.reducers.items())), "genesis": self.genesis,
                "version": self.version}

    def to_dot(self) -> str:
        """The planned supersteps as a Graphviz graph, one rank per superstep."""
        lines = ["digraph plan {", "  rankdir=TB;"]
        for i, step in enumerate(self.plan()):
            members = " ".join(json.dumps(name) for name in step)
            lines.append(f'  subgraph "superstep_{i}" {{ rank=same; {members} }}')
        lines += [f"  {json.dumps(a)} -> {json.dumps(b)};" for a, b in self.edges]
        lines.append("}")
        return "\n".join(lines)


def graph_differences(recorded: dict, current: dict) -> list[str]:
    """What changed between two graph records, in words."""
    said = []
    for kind, key in (("node", "nodes"), ("edge", "edges")):
        old = {tuple(x) if isinstance(x, list) else x for x in recorded.get(key, ())}
        new = {tuple(x) if isinstance(x, list) else x for x in current[key]}
        said += [f"{kind} {x!r} added" for x in sorted(new - old)]
        said += [f"{kind} {x!r} removed" for x in sorted(old - new)]
    old, new = recorded.get("reducers", {}), current["reducers"]
    for channel in sorted(set(old) | set(new)):
        if old.get(channel) != new.get(channel):
            said.append(f"channel {channel!r}: reducer {old.get(channel)!r} is now "
                        f"{new.get(channel)!r}")
    for key in ("genesis", "version"):
        if recorded.get(key) != current[key]:
            said.append(f"{key} {recorded.get(key)!r} is now {current[key]!r}")
    return said


@dataclass
class Step:
    index: int
    nodes: list[str]
    state: str
    cost: float  # the total of every node's cost so far


# -- the folder on disk ------------------------------------------------------------------

def _io(op: str, path: Path, file=None, data: bytes = b"") -> None:
    if crash_hook is not None:
        crash_hook(op, path, file, data)


def digest(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def canonical(value) -> str:
    return json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=False)


def start_payload(record: bytes, initial: bytes) -> str:
    return "run\n" + canonical({"initial": digest(initial), "record": digest(record)})


def superstep_payload(index: int, checkpoint: bytes, cost: float) -> str:
    return f"superstep {index}\n" + canonical({"checkpoint": digest(checkpoint), "cost": cost})


def read_payload(payload: str, head: str, keys: tuple[str, ...]) -> Optional[dict]:
    first, newline, body = payload.partition("\n")
    try:
        fields = json.loads(body) if first == head and newline else None
    except ValueError:
        return None
    if not isinstance(fields, dict) or set(fields) != set(keys):
        return None
    return fields


def checkpoint_path(folder: Path, index: int) -> Path:
    return folder / f"checkpoint-{index:04d}.quor"


def fsync_dir(folder: Path) -> None:
    if os.name == "nt":  # a folder cannot be opened for syncing there; renames are durable
        return
    _io("fsync-dir", folder)
    fd = os.open(folder, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def write_atomically(path: Path, data: bytes) -> None:
    """Temporary file in the same folder, flushed and fsync'd, then renamed into place."""
    tmp = path.with_name(path.name + ".tmp")
    _io("create", tmp)
    with open(tmp, "wb") as f:
        _io("write", tmp, f, data)
        f.write(data)
        f.flush()
        _io("fsync", tmp)
        os.fsync(f.fileno())
    _io("rename", path)
    os.replace(tmp, path)
    fsync_dir(path.parent)


def append_line(path: Path, line: str) -> None:
    created = not path.exists()
    data = (line + "\n").encode("utf-8")
    _io("open", path)
    with open(path, "ab") as f:
        _io("append", path, f, data)
        f.write(data)
        f.flush()
        _io("fsync", path)
        os.fsync(f.fileno())
    if created:  # the new file's name must survive a crash as well as its bytes
        fsync_dir(path.parent)


def truncate(path: Path, size: int) -> None:
    _io("truncate", path)
    with open(path, "r+b") as f:
        f.truncate(size)
        f.flush()
        os.fsync(f.fileno())


def remove(paths: list[Path], folder: Path) -> None:
    for path in paths:
        _io("unlink", path)
        path.unlink(missing_ok=True)
    if paths:
        fsync_dir(folder)


def read_log(path: Path):
    """(entries, byte offset after each, size, torn, newline missing). Only the last line
    may be torn: anything else that is not a whole entry is refused."""
    data = path.read_bytes() if path.exists() else b""
    entries, ends, position, torn = [], [], 0, False
    lines = data.split(b"\n")
    for number, raw in enumerate(lines):
        last = number == len(lines) - 1
        end = position + len(raw) + (not last)
        try:
            record = json.loads(raw)
            entry = (record["payload"], record["hash"])
            if not all(isinstance(text, str) for text in entry):
                raise TypeError
        except (ValueError, KeyError, TypeError):
            if last:  # the write a crash cut short (or an empty last line)
                torn = bool(raw)
                break
            raise ResumeError(f"audit entry {len(entries)} is not a valid record") from None
        entries.append(entry)
        ends.append(end)
        position = end
    return entries, ends, len(data), torn, bool(data) and not torn and not data.endswith(b"\n")


if os.name == "nt":
    import msvcrt

    LOCK_OFFSET = 1 << 30  # a byte beyond the holder's id, which stays readable

    def _lock(f) -> None:
        f.seek(LOCK_OFFSET)
        msvcrt.locking(f.fileno(), msvcrt.LK_NBLCK, 1)
        f.seek(0)

    def _unlock(f) -> None:
        f.seek(LOCK_OFFSET)
        msvcrt.locking(f.fileno(), msvcrt.LK_UNLCK, 1)
else:
    import fcntl

    # flock, not lockf: a record lock would be dropped when this process closes any other
    # descriptor of the file, and two runtimes in one process would not exclude each other.
    def _lock(f) -> None:
        fcntl.flock(f.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)

    def _unlock(f) -> None:
        fcntl.flock(f.fileno(), fcntl.LOCK_UN)


def _holder(path: Path) -> Optional[int]:
    """The id in a held lock file, once whole: its holder writes it just after taking the
    lock, so a contender that comes at that moment waits a little for it."""
    for _ in range(50):
        try:
            text = path.read_text(encoding="ascii")
            if text.endswith("\n"):
                return int(text) or None
        except (OSError, ValueError):
            return None
        time.sleep(0.002)
    return None


class FolderLock:
    """The operating system's lock on run.lock, held by one runtime at a time and released
    when its process dies, however it dies."""

    def __init__(self, folder: Path):
        _io("mkdir", folder)
        folder.mkdir(parents=True, exist_ok=True)
        path = folder / LOCK
        flags = os.O_RDWR | os.O_CREAT | getattr(os, "O_BINARY", 0)
        f = os.fdopen(os.open(path, flags, 0o644), "r+b")
        try:
            _lock(f)
        except OSError:
            f.close()
            raise FolderInUse(folder, _holder(path)) from None
        # A crash before or within this write leaves a lock file that tells of no run: the
        # folder stays free for a fresh run(), as an empty one is.
        f.truncate(0)
        pid = f"{os.getpid()}\n".encode()
        _io("write", path, f, pid)
        f.write(pid)
        f.flush()
        self._file = f

    def release(self) -> None:
        f, self._file = self._file, None
        if f is None:
            return
        try:
            f.seek(0)
            f.truncate(0)  # an emptied lock file: the run's files are all that tell of it
            f.flush()
            _unlock(f)
        finally:
            f.close()


# -- what nodes return ---------------------------------------------------------------------

class BadWrite(Exception):
    """A write the state cannot take, with its channel."""

    def __init__(self, channel, error):
        super().__init__(channel, error)
        self.channel, self.error = channel, error


_to_json = json.JSONEncoder(allow_nan=False, ensure_ascii=False).encode  # made once, not per call


def json_text(value, what: str) -> str:
    """The JSON text of a value the state can hold, or a ValueError/TypeError saying why."""
    try:
        text = _to_json(value)
        text.encode("utf-8")
    except UnicodeEncodeError:
        raise ValueError(f"{what} holds a lone surrogate, which UTF-8 cannot encode") from None
    except ValueError as e:
        if "Out of range float" in str(e):
            raise ValueError(f"{what} holds NaN or an infinity, which JSON cannot") from None
        raise
    except RecursionError:
        raise ValueError(f"{what} is nested too deeply") from None
    return text


def encode_writes(writes) -> Optional[list[tuple[str, str, str]]]:
    """A node's writes as (channel, key text, value text), checked one channel at a time so
    that a bad value is blamed on its channel."""
    if writes is None:
        return None
    if not isinstance(writes, Mapping):
        raise TypeError(f"a node's writes must be a dict or None, not {type(writes).__name__}")
    encoded = []
    for channel, value in writes.items():
        if not isinstance(channel, str):
            raise TypeError(f"channel names must be str, not {type(channel).__name__} "
                            f"{channel!r}")
        try:
            if channel == COSTS:
                raise ValueError(f"{COSTS!r} is reserved for the runtime's cost totals; "
                                 "return the cost as the second item instead")
            key = json_text(channel, "the channel name")
            encoded.append((channel, key, json_text(value, "the value")))
        except (TypeError, ValueError) as e:
            raise BadWrite(channel, e) from None
    return encoded


def check_cost(cost) -> float:
    if type(cost) is float and math.isfinite(cost):
        return cost
    if isinstance(cost, bool) or not isinstance(cost, numbers.Real):
        raise TypeError(f"a node's cost must be a real number, not {type(cost).__name__} "
                        f"{cost!r}")
    value = float(cost)
    if not math.isfinite(value):
        raise ValueError(f"a node's cost must be finite, not {value!r}")
    return value


def node_output(result):
    """A node's (writes, cost), checked and made JSON in the node's own thread or task so
    that a bad result is blamed on its node."""
    if not (isinstance(result, tuple) and len(result) == 2):
        raise TypeError(f"a node must return (writes, cost), not {type(result).__name__}")
    writes, cost = result
    return encode_writes(writes), check_cost(cost)


def update_text(writes) -> str:
    if writes is None:
        return "null"
    return "{" + ",".join(f"{key}:{value}" for _, key, value in writes) + "}"


# -- the state as nodes see it ---------------------------------------------------------------

READ_ONLY = ("the state is read-only: every node of the superstep sees this one copy; return "
             "writes instead, or take a copy of your own with own_copy(state)")


def _refuse(self, *args, **kwargs):
    raise TypeError(READ_ONLY)


class FrozenDict(dict):
    """A JSON object of the state: reads as a dict, refuses every change."""
    __slots__ = ()
    __setitem__ = __delitem__ = __ior__ = _refuse
    clear = pop = popitem = setdefault = update = _refuse

    def __reduce__(self):  # pickled as a copy: an executor sends it to other processes
        return FrozenDict, (list(dict.items(self)),)

    def __copy__(self):
        return dict(self)

    def __deepcopy__(self, memo):
        return own_copy(self)


class FrozenList(list):
    """A JSON array of the state: reads as a list, refuses every change."""
    __slots__ = ()
    __setitem__ = __delitem__ = __iadd__ = __imul__ = _refuse
    append = extend = insert = remove = pop = clear = sort = reverse = _refuse

    def __reduce__(self):
        return FrozenList, (list(self),)

    def __copy__(self):
        return list(self)

    def __deepcopy__(self, memo):
        return own_copy(self)


def _frozen_list(items: list) -> FrozenList:
    return FrozenList([_frozen_list(x) if type(x) is list else x for x in items])


def _frozen_object(parsed: dict) -> FrozenDict:
    for key, value in parsed.items():  # objects inside are frozen already, lists not yet
        if type(value) is list:
            parsed[key] = _frozen_list(value)
    return FrozenDict(parsed)


def read_only(state: str) -> FrozenDict:
    """The state text parsed once into the read-only view that every node is given."""
    return json.loads(state, object_hook=_frozen_object)


def own_copy(value):
    """A plain, changeable deep copy of (part of) the state."""
    if isinstance(value, dict):
        return {k: own_copy(v) for k, v in value.items()}
    if isinstance(value, list):
        return [own_copy(v) for v in value]
    return value


_last_view: tuple = ("", None)
_last_view_lock = threading.Lock()


def shared_view(state: str) -> FrozenDict:
    """The view of a state text that came from another process: parsed once per process and
    superstep, however many of its nodes a worker runs."""
    global _last_view
    with _last_view_lock:
        text, view = _last_view
        if view is None or text != state:
            _last_view = state, read_only(state)
        return _last_view[1]


# -- running nodes ---------------------------------------------------------------------------

class Skipped(Exception):
    """A node not started because another node of its superstep had failed."""


def call_node(fn, state, halt: Optional[threading.Event] = None,
              started: Optional[dict] = None, name: Optional[str] = None):
    """Runs a plain node on the state's view (or on the state's text, in another process)."""
    # A pool thread takes the next queued node the moment one fails, before the waiting side
    # can cancel it: the failing node raises the flag itself, in its own thread.
    if halt is not None and halt.is_set():
        raise Skipped
    if started is not None:
        started[name] = time.monotonic()
    try:
        result = fn(shared_view(state) if isinstance(state, str) else state)
        if inspect.isawaitable(result):
            getattr(result, "close", lambda: None)()
            raise TypeError("a plain node returned an awaitable; declare it with async def")
        return node_output(result)
    except Exception:
        if halt is not None:
            halt.set()
        raise


async def await_node(fn, view, halt: threading.Event, timeout: Optional[float]):
    try:
        try:
            result = await asyncio.wait_for(fn(view), timeout)
        except asyncio.TimeoutError:
            raise TimeoutError(f"still running after {timeout} s; it was cancelled") from None
        return node_output(result)
    except Exception:
        halt.set()
        raise


def is_async(fn) -> bool:
    return inspect.iscoroutinefunction(fn) or \
        inspect.iscoroutinefunction(getattr(fn, "__call__", None))


def loop_running() -> bool:
    try:
        asyncio.get_running_loop()
    except RuntimeError:
        return False
    return True


def failure(future) -> Optional[BaseException]:
    error = None if not future.done() or future.cancelled() else future.exception()
    return None if isinstance(error, Skipped) else error


class Finished:
    """Set once every future is done or one has failed: one callback per future instead of a
    waiter that takes every future's lock on each wake-up."""

    def __init__(self, futures):
        self._left, self._lock, self.event = len(futures), threading.Lock(), threading.Event()
        if not futures:
            self.event.set()
        for future in futures:
            future.add_done_callback(self._done)

    def _done(self, future):
        with self._lock:
            self._left -= 1
            if self._left == 0 or failure(future) is not None:
                self.event.set()


class Overrun(TimeoutError):
    """A plain node still running after the node timeout."""


class DaemonThreads(concurrent.futures.Executor):
    """The default pool for plain nodes. Its threads do not hold up the interpreter's exit: a
    node that never returns cannot be stopped, and must not keep a stopped run alive."""

    def __init__(self, workers: int):
        self._workers, self._threads = workers, []
        self._jobs: queue.SimpleQueue = queue.SimpleQueue()
        self._idle = threading.Semaphore(0)
        self._closed = False

    def submit(self, fn, /, *args, **kwargs):
        if self._closed:
            raise RuntimeError("cannot schedule new futures after shutdown")
        future: concurrent.futures.Future = concurrent.futures.Future()
        self._jobs.put((future, fn, args, kwargs))
        if not self._idle.acquire(blocking=False) and len(self._threads) < self._workers:
            thread = threading.Thread(target=self._work, daemon=True,
                                      name=f"quor-node-{len(self._threads)}")
            thread.start()
            self._threads.append(thread)
        return future

    def _work(self):
        while (job := self._jobs.get()) is not None:
            future, fn, args, kwargs = job
            if future.set_running_or_notify_cancel():
                try:
                    future.set_result(fn(*args, **kwargs))
                except BaseException as e:  # noqa: BLE001 - handed to the waiting side
                    future.set_exception(e)
            del job, future  # a finished node's result is not kept alive by an idle thread
            self._idle.release()

    def shutdown(self, wait=True, *, cancel_futures=False):
        self._closed = True
        if cancel_futures:
            with contextlib.suppress(queue.Empty):
                while (job := self._jobs.get_nowait()) is not None:
                    job[0].cancel()
        for _ in self._threads:
            self._jobs.put(None)
        if wait:
            for thread in self._threads:
                thread.join()


@contextlib.contextmanager
def interrupts_deferred():
    """A Ctrl-C that arrives while a superstep is being written is taken once it is whole."""
    if threading.current_thread() is not threading.main_thread() or \
            signal.getsignal(signal.SIGINT) is not signal.default_int_handler:
        yield
        return
    caught = []
    previous = signal.signal(signal.SIGINT, lambda *_: caught.append(True))
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
    if caught:
        raise KeyboardInterrupt


async def uncancellable(awaitable):
    """Waits for the awaitable to finish even when the caller is cancelled meanwhile, then
    passes the cancellation on: a superstep half written when its task is cancelled would
    be the crash the commit order is there for, and the lock is released after this."""
    task = asyncio.ensure_future(awaitable)
    cancelled = False
    while True:
        try:
            result = await asyncio.shield(task)
            break
        except asyncio.CancelledError:
            if task.done():
                raise
            cancelled = True
    if cancelled:
        raise asyncio.CancelledError
    return result


class Steps:
    """The steps of a run or a resume, done as they are asked for. The folder stays locked
    until the last step, an error, or `close()` (also on leaving a `with` block)."""

    def __init__(self, steps: Iterator[Step], lock: FolderLock):
        self._steps, self._lock = steps, lock

    def __iter__(self):
        return self

    def __next__(self) -> Step:
        try:
            return next(self._steps)
        except BaseException:
            self.close()
            raise

    def close(self) -> None:
        try:
            self._steps.close()
        finally:
            self._lock.release()

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()

    def __del__(self):
        try:
            self._lock.release()
        except Exception:  # noqa: BLE001 - at interpreter exit the lock goes with the process
            pass


class AsyncSteps:
    """The async twin of Steps: `async for step in ...`, `aclose()`, `async with`."""

    def __init__(self, steps: AsyncIterator[Step], lock: FolderLock):
        self._steps, self._lock = steps, lock

    def __aiter__(self):
        return self

    async def __anext__(self) -> Step:
        try:
            return await self._steps.__anext__()
        except BaseException:
            await self.aclose()
            raise

    async def aclose(self) -> None:
        try:
            await self._steps.aclose()
        finally:
            self._lock.release()

    async def __aenter__(self):
        return self

    async def __aexit__(self, *_):
        await self.aclose()

    def __del__(self):
        try:
            self._lock.release()
        except Exception:  # noqa: BLE001 - at interpreter exit the lock goes with the process
            pass


@dataclass
class Recovery:
    """What a resume found: where to continue, and the repairs to make first."""
    index: int  # the newest committed superstep, -1 for none
    state: str
    link: str
    cost: float
    log_size: Optional[int] = None  # cut the audit log to this length
    add_newline: bool = False  # the last entry's newline was lost
    start_entry: Optional[str] = None  # the run stopped before its first entry: write it
    sweep: list[Path] = field(default_factory=list)  # own temporary files


class Runtime:
    def __init__(self, graph: Graph, folder: os.PathLike | str, *,
                 max_workers: Optional[int] = None, node_timeout: Optional[float] = None,
                 executor: Optional[concurrent.futures.Executor] = None,
                 keep_checkpoints: Optional[int] = None):
        self.graph = graph
        self.folder = Path(folder)
        self.supersteps = graph.plan()
        self.reducers = json.dumps(graph.reducers)
        widest = max(map(len, self.supersteps), default=1)
        self.max_workers = max_workers or min(widest, MAX_WORKERS)
        # Plain nodes run on this executor when given (it is not shut down here), else on a
        # pool of the run's own. Node functions and their results must then pickle.
        self.executor = executor
        if keep_checkpoints is not None and keep_checkpoints < 1:
            raise ValueError(f"keep_checkpoints must be at least 1, not {keep_checkpoints}")
        self.keep_checkpoints = keep_checkpoints
        # A plain node past its timeout fails the superstep, but its thread cannot be stopped:
        # it runs on until it returns, and what it returns is dropped.
        self.node_timeout = node_timeout
        self._async = {name: is_async(fn) for name, fn in graph.nodes.items()}

    # -- running -------------------------------------------------------------------------

    def run(self, initial_state: dict, *, stop_after: Optional[int] = None) -> Steps:
        """Runs from the start (the folder must hold no run yet), yielding each step."""
        self._refuse_running_loop()
        initial = self._initial_text(initial_state)
        lock, start = self._locked(lambda: self._start(initial))
        return Steps(self._steps(start, stop_after), lock)

    def arun(self, initial_state: dict, *, stop_after: Optional[int] = None) -> AsyncSteps:
        """The async twin of run(), on the caller's event loop: `async for step in ...`."""
        initial = self._initial_text(initial_state)
        lock, start = self._locked(lambda: self._start(initial))
        return AsyncSteps(self._asteps(start, stop_after), lock)

    def resume(self, *, stop_after: Optional[int] = None,
               allow_graph_change: bool = False) -> Steps:
        """Continues after the newest checkpoint, yielding each further step."""
        self._refuse_running_loop()
        lock, start = self._locked(lambda: self._reopen(allow_graph_change), True)
        return Steps(self._steps(start, stop_after), lock)

    def aresume(self, *, stop_after: Optional[int] = None,
                allow_graph_change: bool = False) -> AsyncSteps:
        """The async twin of resume()."""
        lock, start = self._locked(lambda: self._reopen(allow_graph_change), True)
        return AsyncSteps(self._asteps(start, stop_after), lock)

    def holds_run(self) -> bool:
        log = self.folder / AUDIT_LOG
        return (self.folder / INITIAL).exists() or bool(self._checkpoints()) or \
            (log.exists() and log.stat().st_size > 0)

    def _refuse_running_loop(self):
        if any(self._async.values()) and loop_running():
            raise RuntimeError("this graph has async nodes and an event loop is running "
                               "here: use arun() or aresume()")

    def _locked(self, begin, resuming=False):
        """Takes the folder's lock, then begins; nothing is written without the lock."""
        if self.folder.exists() and not self.folder.is_dir():
            raise ResumeError(f"{self.folder} is not a folder")
        if resuming and not self.folder.is_dir():
            raise ResumeError(f"{self.folder} holds no run to resume")
        lock = FolderLock(self.folder)
        try:
            return lock, begin()
        except BaseException:
            lock.release()
            raise

    def _initial_text(self, initial_state) -> str:
        """The starting state in normal form, or ValueError/TypeError naming what is wrong;
        checked before anything is written."""
        if not isinstance(initial_state, Mapping):
            raise TypeError(f"the initial state must be a dict, not "
                            f"{type(initial_state).__name__}")
        try:
            writes = encode_writes(initial_state)
        except BadWrite as e:
            raise type(e.error)(f"initial state, channel {e.channel!r}: {e.error}") from None
        except TypeError as e:
            raise TypeError(f"initial state: {e}") from None
        try:
            return quor_core.decode_checkpoint(quor_core.encode_checkpoint(
                quor_core.advance_superstep(update_text(writes), "{}", "[]")))
        except ValueError as e:
            raise ValueError(f"initial state: the module cannot take it: {e}") from None

    def _start(self, initial: str) -> tuple[int, str, str, float]:
        if self.holds_run():
            raise ResumeError(f"{self.folder} already holds a run; resume it instead")
        record = canonical(self.graph.record()).encode()
        blob = quor_core.encode_checkpoint(initial)
        write_atomically(self.folder / RECORD, record)
        write_atomically(self.folder / INITIAL, blob)
        payload = start_payload(record, blob)
        link = quor_core.hash_event(self.graph.genesis, payload)
        append_line(self.folder / AUDIT_LOG, json.dumps({"payload": payload, "hash": link}))
        return 0, quor_core.decode_checkpoint(blob), link, -0.0

    def _reopen(self, allow_graph_change: bool) -> tuple[int, str, str, float]:
        found = self._inspect(allow_graph_change)
        log = self.folder / AUDIT_LOG
        if found.log_size is not None:  # drop an entry written after the newest checkpoint
            truncate(log, found.log_size)
        if found.add_newline:
            _io("append", log)
            with open(log, "ab") as f:
                f.write(b"\n")
                f.flush()
                os.fsync(f.fileno())
        if found.start_entry is not None:
            append_line(log, json.dumps({"payload": found.start_entry, "hash": found.link}))
        remove(found.sweep, self.folder)
        return found.index + 1, found.state, found.link, found.cost

    def _pool(self):
        """(executor for plain nodes, whether it is this run's own to shut down)."""
        if self.executor is not None:
            return self.executor, False
        return DaemonThreads(self.max_workers), True

    def _steps(self, start, stop_after):
        index, state, link, cost = start
        pool, own = self._pool()
        try:
            with contextlib.ExitStack() as stack:
                loop = None  # one private loop for the run's async nodes, made on first need
                for index in range(index, len(self.supersteps)):
                    if any(self._async[name] for name in self.supersteps[index]):
                        if loop is None:
                            loop = stack.enter_context(asyncio.Runner())
                        outputs = loop.run(self._gather(index, state, pool))
                    else:
                        outputs = self._collect(index, state, pool)
                    with interrupts_deferred():
                        step, link = self._commit(index, state, outputs, link, cost)
                    state, cost = step.state, step.cost
                    yield step
                    if stop_after is not None and index == stop_after:
                        os._exit(17)  # a simulated crash between two supersteps
        finally:
            if own:
                pool.shutdown(wait=False, cancel_futures=True)

    async def _asteps(self, start, stop_after):
        index, state, link, cost = start
        pool, own = self._pool()
        try:
            for index in range(index, len(self.supersteps)):
                outputs = await self._gather(index, state, pool)
                step, link = await uncancellable(asyncio.to_thread(  # fsyncs off the loop
                    self._commit, index, state, outputs, link, cost))
                state, cost = step.state, step.cost
                yield step
                if stop_after is not None and index == stop_after:
                    os._exit(17)
        finally:
            if own:
                pool.shutdown(wait=False, cancel_futures=True)

    def _superstep(self, index, state, pool, link, cost) -> tuple[Step, str]:
        """One superstep of plain nodes, run and written (what the benchmark times)."""
        return self._commit(index, state, self._collect(index, state, pool), link, cost)

    def _overdue(self, names, futures, started) -> tuple[Optional[str], Optional[float]]:
        """The first plain node past the timeout, and how long until the next could be."""
        if self.node_timeout is None:
            return None, None
        now, wait = time.monotonic(), self.node_timeout
        for name, future in zip(names, futures):
            if future.done() or self._async[name]:
                continue
            left = started.get(name, now) + self.node_timeout - now
            if left <= 0:
                return name, None
            wait = min(wait, left)
        return None, wait

    def _launch(self, pool, index, state: str, view, halt, started):
        """Submits the superstep's plain nodes: on this run's own threads with the view, and
        elsewhere with the state's text, parsed once in each process that runs them (whose
        start is not seen here: their time counts from now)."""
        names = [name for name in self.supersteps[index] if not self._async[name]]
        if self.executor is None:
            return {name: pool.submit(call_node, self.graph.nodes[name], view, halt, started,
                                      name) for name in names}
        started.update(dict.fromkeys(names, time.monotonic()))
        return {name: pool.submit(call_node, self.graph.nodes[name], state) for name in names}

    def _collect(self, index, state, pool):
        """A superstep of plain nodes only: no event loop needed."""
        names, halt, started = self.supersteps[index], threading.Event(), {}
        jobs = self._launch(pool, index, state, self._view(state), halt, started)
        futures = [jobs[name] for name in names]
        finished = Finished(futures)
        try:
            while True:
                late, wait = self._overdue(names, futures, started)
                if late is not None:
                    raise self._overrun(late, index)
                if finished.event.wait(wait):
                    break
        finally:
            # A failure, a timeout or the caller interrupted: those not started never start;
            # running ones are not waited for (their results are dropped).
            if not all(f.done() for f in futures):
                halt.set()
                for f in futures:
                    f.cancel()
        return self._results(index, futures)

    async def _gather(self, index, state, pool):
        loop = asyncio.get_running_loop()
        names, halt, started = self.supersteps[index], threading.Event(), {}
        view = self._view(state)
        jobs = self._launch(pool, index, state, view, halt, started)
        futures, tasks = [], []
        for name in names:
            if self._async[name]:
                task = loop.create_task(await_node(self.graph.nodes[name], view, halt,
                                                   self.node_timeout))
                futures.append(task)
                tasks.append(task)
            else:
                futures.append(asyncio.wrap_future(jobs[name]))
        try:
            while True:
                late, wait = self._overdue(names, futures, started)
                if late is not None:
                    raise self._overrun(late, index)
                done, pending = await asyncio.wait(futures, timeout=wait,
                                                   return_when=asyncio.FIRST_EXCEPTION)
                if not pending or any(map(failure, done)):
                    break
        finally:
            if not all(f.done() for f in futures):
                halt.set()
                for job in jobs.values():
                    job.cancel()
                for future in futures:  # plain ones: their threads are not waited for
                    future.cancel()
                with contextlib.suppress(asyncio.CancelledError):
                    await asyncio.wait(tasks)  # the async ones see their cancellation
        return self._results(index, futures)

    def _view(self, state: str):
        return read_only(state)

    def _overrun(self, name, index) -> NodeError:
        error = Overrun(f"still running after {self.node_timeout} s (a plain node's thread "
                        "cannot be stopped: it runs on, and what it returns is dropped)")
        late = NodeError(name, index, error)
        late.__cause__ = error
        return late

    def _results(self, index, futures):
        """The nodes' outputs in plan order, or NodeError for the first in plan order that
        failed."""
        for name, future in zip(self.supersteps[index], futures):
            error = failure(future)
            if isinstance(error, BadWrite):
                raise NodeError(name, index, error.error, error.channel) from error.error
            if error is not None:
                raise NodeError(name, index, error) from error
        return [future.result() for future in futures]

    def _fold(self, state, updates: str) -> tuple[bytes, str]:
        """The new state's checkpoint and the state a resume would read from it."""
        blob = quor_core.encode_checkpoint(
            quor_core.advance_superstep(state, self.reducers, updates))
        return blob, quor_core.decode_checkpoint(blob)

    def _blame(self, index, state, outputs, error: ValueError) -> NodeError:
        """The node and channel of the first write, in fold order, the state cannot take."""
        for name, (writes, _) in zip(self.supersteps[index], outputs):
            for channel, key, value in writes or ():
                try:
                    _, state = self._fold(state, f"[{{{key}:{value}}}]")
                except ValueError as e:
                    cause = ValueError(f"the state cannot take this write: {e}")
                    return NodeError(name, index, cause, channel)
        raise error

    def _commit(self, index, state, outputs, link, cost):
        """Folds the superstep's outputs in plan order, then the audit entry and checkpoint."""
        updates = "[" + ",".join(update_text(writes) for writes, _ in outputs) + "]"
        try:
            blob, state = self._fold(state, updates)
        except ValueError as e:
            raise self._blame(index, state, outputs, e) from None
        cost = quor_core.aggregate_cost([cost] + [c for _, c in outputs])
        payload = superstep_payload(index, blob, cost)
        link = quor_core.hash_event(link, payload)
        append_line(self.folder / AUDIT_LOG, json.dumps({"payload": payload, "hash": link}))
        write_atomically(checkpoint_path(self.folder, index), blob)
        if self.keep_checkpoints is not None and index >= self.keep_checkpoints:
            old = checkpoint_path(self.folder, index - self.keep_checkpoints)
            if old.exists():  # the chain keeps its digest: what remains still verifies
                remove([old], self.folder)
        return Step(index, self.supersteps[index], state, cost), link

    # -- checking --------------------------------------------------------------------------

    def verify(self) -> bool:
        """True when the folder is whole: the chain verifies and every file it covers has
        its digest. Never raises on what the folder holds."""
        try:
            self._inspect(allow_graph_change=True)
        except (ResumeError, OSError, ValueError):
            return False
        return True

    def _checkpoints(self) -> list[int]:
        found = [CHECKPOINT.fullmatch(p.name) for p in self.folder.iterdir()] \
            if self.folder.is_dir() else []
        return sorted(int(m.group(1)) for m in found if m)

    def _read_record(self) -> tuple[bytes, dict]:
        path = self.folder / RECORD
        if not path.exists():
            if self.holds_run():
                raise ResumeError(
                    f"{self.folder} holds no {RECORD}: it was written by an earlier version "
                    f"of this runtime (before format {FORMAT!r}), or {RECORD} was removed; "
                    "finish it with the runtime that wrote it, or start a new run elsewhere")
            raise ResumeError(f"{self.folder} holds no run to resume")
        data = path.read_bytes()
        try:
            record = json.loads(data)
            version = record["format"]
        except (ValueError, KeyError, TypeError):
            raise ResumeError(f"{RECORD} is damaged: it is not a graph record") from None
        if version != FORMAT:
            raise ResumeError(f"{self.folder} was written in runtime format {version!r}; this "
                              f"runtime reads {FORMAT!r}: finish that run with the runtime "
                              "that wrote it, or start a new run elsewhere")
        if not isinstance(record.get("genesis"), str):
            raise ResumeError(f"{RECORD} is damaged: it has no genesis text")
        return data, record

    def _inspect(self, allow_graph_change: bool) -> Recovery:
        """Checks the whole folder, reading only; a Recovery, or ResumeError saying what is
        wrong."""
        folder = self.folder
        record_bytes, record = self._read_record()
        genesis = record["genesis"]
        entries, ends, size, torn, newline_missing = read_log(folder / AUDIT_LOG)
        initial = folder / INITIAL
        if not initial.exists():
            if entries:
                raise ResumeError(f"{INITIAL} is missing")
            raise ResumeError(f"{folder}: the run stopped before its initial state was "
                              "written; start it again with run()")
        initial_bytes = initial.read_bytes()
        broken = quor_core.verify_chain(genesis, entries)
        if broken is not None:
            raise ResumeError(f"the audit log does not verify: entry {broken} is broken")
        indices = self._checkpoints()
        sweep = [p for p in folder.iterdir() if OWN_TEMPORARY.fullmatch(p.name)]
        if entries:
            head = read_payload(entries[0][0], "run", ("initial", "record"))
            if head is None:
                raise ResumeError("audit entry 0 is not the record of the run's start")
            for path, data, key in ((RECORD, record_bytes, "record"),
                                    (INITIAL, initial_bytes, "initial")):
                if digest(data) != head[key]:
                    raise ResumeError(f"{path} does not match audit entry 0: it was changed "
                                      "after the run started")
        elif indices:
            raise ResumeError(f"{folder} holds checkpoints but no audit entries")
        if not allow_graph_change:
            changes = graph_differences(record, self.graph.record())
            if changes:
                raise ResumeError("this graph differs from the one that started the run: " +
                                  "; ".join(changes) + "; pass allow_graph_change=True to "
                                  "continue with this graph all the same")
        state = self._decode(initial, initial_bytes)
        if not entries:  # stopped before the run's first entry was whole: write it now
            payload = start_payload(record_bytes, initial_bytes)
            return Recovery(-1, state, quor_core.hash_event(genesis, payload), -0.0,
                            0 if size else None, start_entry=payload, sweep=sweep)

        steps = []
        for k, (payload, _) in enumerate(entries[1:]):
            fields = read_payload(payload, f"superstep {k}", ("checkpoint", "cost"))
            if fields is None or not isinstance(fields["cost"], float):
                raise ResumeError(f"audit entry {k + 1} is not the record of superstep {k}")
            steps.append(fields)
        newest = indices[-1] if indices else -1
        committed = newest + 1
        if len(steps) < committed:
            raise ResumeError(f"the audit log has {len(steps)} superstep entries but "
                              f"checkpoint {newest} needs {committed}")
        beyond = len(steps) - committed + torn
        if beyond > 1:
            raise ResumeError(f"the audit log has {beyond} entries beyond the newest "
                              "checkpoint; a crash leaves at most one")
        if committed > len(self.supersteps):
            raise ResumeError(f"checkpoint {newest} is beyond this graph's "
                              f"{len(self.supersteps)} supersteps")
        for j in indices:
            path = checkpoint_path(folder, j)
            if digest(path.read_bytes()) != steps[j]["checkpoint"]:
                raise ResumeError(f"{path.name} does not match audit entry {j + 1}: it was "
                                  "changed after it was written")
        keep = self.keep_checkpoints
        present = set(indices)
        missing = [j for j in range(committed) if j not in present and
                   (keep is None or j > newest - keep)]
        if missing:
            hint = "" if keep is not None else \
                " (a run that kept only its newest checkpoints is resumed with keep_checkpoints)"
            raise ResumeError(f"{checkpoint_path(folder, missing[0]).name} is missing{hint}")
        if keep is not None:
            sweep += [checkpoint_path(folder, j) for j in indices if j <= newest - keep]
        if newest >= 0:
            path = checkpoint_path(folder, newest)
            state = self._decode(path, path.read_bytes())
        end = ends[committed]
        return Recovery(newest, state, entries[committed][1],
                        steps[newest]["cost"] if newest >= 0 else -0.0,
                        end if size > end else None,
                        add_newline=size == end and newline_missing, sweep=sweep)

    @staticmethod
    def _decode(path: Path, blob: bytes) -> str:
        try:
            return quor_core.decode_checkpoint(blob)
        except ValueError as e:
            raise ResumeError(f"{path.name} is damaged: {e}") from None


def embed(text: str, dims: int = 64) -> list[float]:
    """A deterministic hashed bag-of-words embedding (no model, no download)."""
    vector = [0.0] * dims
    for word in re.findall(r"[a-z0-9]+", text.lower()):
        digest_ = quor_core.hash_event("embed", word)
        bucket, sign = int(digest_[:8], 16) % dims, 1.0 if int(digest_[8], 16) % 2 else -1.0
        vector[bucket] += sign
    return vector
