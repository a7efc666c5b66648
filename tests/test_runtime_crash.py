"""Crashes against the example runtime with float-heavy states: a process killed at any file
operation (making the folder and taking its lock among them), or stopped after any
superstep, resumes or starts again to the very bytes of an uninterrupted run; two processes
started on one folder at once leave one run."""

import json
import os
import random
import subprocess
import sys
import time
from pathlib import Path

import pytest

from conftest import EMULATED  # first: it puts the examples on the path

import quor_core
import quor_runtime
from helpers import snapshot
from quor_runtime import LOCK, FolderInUse, Graph, ResumeError, Runtime

# Floats that the module's reader moves by a last digit (some alternate between two texts).
MOVING = [0.15838287025480557, 7.142328006063565e-165, 0.21000000000000002, 1e-7, -0.0, 5e-324,
          1.7976931348623157e308, 0.30000000000000004]


def float_graph(seed):
    """Seeded layers of nodes writing sums of two-decimal prices under "add", tiny and huge
    magnitudes, -0.0 and moving floats; each write depends on the state the node saw."""
    rng = random.Random(seed)
    layers = [[f"n{i}{j}" for j in range(rng.randint(1, 3))] for i in range(4)]
    edges = [(a, b) for upper, lower in zip(layers, layers[1:]) for a in upper for b in lower]

    def make():
        prices = {f"p{i}": rng.randint(1, 999) / 100 for i in range(4)}
        cost = rng.randint(1, 999) / 100
        price = rng.randint(1, 99_999) / 100
        tiny, huge = rng.uniform(1e-30, 1e-5), rng.uniform(1e300, 1e307)
        odd, sign = rng.choice(MOVING), rng.choice([1.0, -1.0])
        kind = rng.choice(["plain", "plain", "async"])

        def plain(state):
            seen = state.get("total", 0.0)
            return {"total": price, "tiny": tiny * sign, "huge": huge, "last": odd, **prices,
                    "seen": [seen, seen * 1.1, -0.0], "z": -0.0 if seen > 0 else 0.0}, cost

        async def coro(state):
            return plain(state)
        return plain if kind == "plain" else coro

    nodes = {name: make() for layer in layers for name in layer}
    reducers = {"total": "add", "tiny": "add", "huge": "add", "seen": "append"}
    return Graph(nodes, edges, {**reducers, **{f"p{i}": "add" for i in range(4)}})


INITIAL = {"total": 0.1, "tiny": 0.0, "huge": -0.0, "seen": []}


class Watching(Runtime):
    """Notes whether a superstep's text moved on its way through the checkpoint."""
    moved: list = []

    def _fold(self, state, updates):
        blob, decoded = super()._fold(state, updates)
        self.moved.append(decoded != quor_core.advance_superstep(state, self.reducers, updates))
        return blob, decoded


class Case:
    """A seeded graph, the checkpoints its runs keep, and the files of an uninterrupted run."""

    def __init__(self, seed, keep, folder):
        self.seed, self.keep = seed, keep
        Watching.moved = []
        steps = list(Watching(self.graph(), folder, keep_checkpoints=keep).run(INITIAL))
        assert any(Watching.moved), "the graph must exercise floats that move"
        self.supersteps, self.files = len(steps), snapshot(folder)
        for step in steps:  # the state a run goes on from is the one a resume reads
            kept = self.files.get(f"checkpoint-{step.index:04d}.quor")
            assert kept is None or step.state == quor_core.decode_checkpoint(kept)

    def graph(self):
        return float_graph(self.seed)

    def runtime(self, folder):
        return Runtime(self.graph(), folder, keep_checkpoints=self.keep)

    def finish(self, folder):
        """What a user does after a crash: resume, or start again if the run never began."""
        try:
            list(self.runtime(folder).resume())
        except ResumeError as e:
            assert "start it again" in str(e) or "holds no run" in str(e), e
            list(self.runtime(folder).run(INITIAL))


@pytest.fixture(scope="module", params=[(5, None), (8, 2)], ids=["keep all", "keep 2"])
def case(request, tmp_path_factory):
    return Case(*request.param, tmp_path_factory.mktemp("reference"))


# A crash is a fresh interpreter killed at its chosen file operation, not a fork of this
# one: a fork taken while another thread holds an allocator lock can hang for good.
CHILD_TIMEOUT = 900


def child_command(case, folder, act, crash_at=None, stop=None, go=None, hold=None):
    return [sys.executable, __file__, json.dumps(
        {"seed": case.seed, "keep": case.keep, "folder": str(folder), "act": act,
         "crash_at": crash_at, "stop": stop, "go": go and str(go), "hold": hold and str(hold)})]


def in_child(case, folder, act, crash_at=None, stop=None):
    """Runs act ("run", "resume" or "finish") in a child process, killed at its crash_at-th
    file operation (a write cut in half there); the exit code: 17 killed, 0 done, 3 folder
    in use (the message on stdout), 4 refused. With hold, the child waits, once it holds
    the folder, until that file exists."""
    return subprocess.run(child_command(case, folder, act, crash_at, stop),
                          timeout=CHILD_TIMEOUT).returncode


def child_main(args):
    case = Case.__new__(Case)
    case.seed, case.keep = args["seed"], args["keep"]
    folder = Path(args["folder"])
    if args["go"]:  # started beside another child: both begin at once
        while not Path(args["go"]).exists():
            time.sleep(0.001)
    if args["crash_at"] is not None:
        count = [0]

        def hook(op, path, file, data):
            count[0] += 1
            if count[0] == args["crash_at"]:
                if file is not None and data:
                    file.write(data[:len(data) // 2])
                    file.flush()
                os._exit(17)
        quor_runtime.crash_hook = hook
    if args["hold"]:
        def hold(op, path, file, data):
            if op != "mkdir" and path.name != LOCK:  # the lock is taken and its id written
                while not Path(args["hold"]).exists():
                    time.sleep(0.001)
                quor_runtime.crash_hook = None
        quor_runtime.crash_hook = hold
    try:
        if args["act"] == "finish":
            case.finish(folder)
        elif args["act"] == "resume":
            list(case.runtime(folder).resume())
        else:
            list(case.runtime(folder).run(INITIAL, stop_after=args["stop"]))
    except FolderInUse as e:
        print(e, flush=True)
        return 3
    except ResumeError:
        return 4
    return 0


def test_stopped_after_any_superstep_resumes_to_the_same_bytes(tmp_path, case):
    for stop in range(case.supersteps):
        folder = tmp_path / str(stop)
        assert in_child(case, folder, "run", stop=stop) == 17
        list(case.runtime(folder).resume())
        assert snapshot(folder) == case.files, stop


def test_killed_at_any_file_operation_resumes_to_the_same_bytes(tmp_path, case):
    """Each k: a run killed at its k-th file operation; then a resume killed at a seeded
    operation of its own; then a resume to the end."""
    rng = random.Random(case.seed)
    k, step = 0, 4 if EMULATED else 1
    while True:
        k += step
        folder = tmp_path / str(k)
        code = in_child(case, folder, "run", crash_at=k)
        if code == 0:
            break
        assert code == 17
        if k <= 2:  # killed making the folder or writing the lock: no run began
            assert not folder.exists() or os.listdir(folder) == [LOCK]
            with pytest.raises(ResumeError, match="holds no run to resume"):
                case.runtime(folder).resume()
        if rng.random() < 0.5:
            assert in_child(case, folder, "finish", crash_at=rng.randint(1, 8)) in (0, 17)
        case.finish(folder)
        assert snapshot(folder) == case.files, k
        assert case.runtime(folder).verify()
    assert k > 20  # every operation of the run was a crash point once


def test_two_processes_started_on_one_folder_leave_one_run(tmp_path, case):
    for trial in range(3):
        folder, go = tmp_path / str(trial), tmp_path / f"go{trial}"
        children = [subprocess.Popen(child_command(case, folder, "run", go=go))
                    for _ in range(2)]
        go.touch()
        codes = sorted(child.wait(timeout=CHILD_TIMEOUT) for child in children)
        assert codes in ([0, 3], [0, 4]), codes  # in use, or (if later) already holds a run
        assert snapshot(folder) == case.files


def test_two_resumes_at_once_one_proceeds_the_other_is_told(tmp_path, case):
    folder, go, release = tmp_path / "run", tmp_path / "go", tmp_path / "release"
    assert in_child(case, folder, "run", stop=1) == 17
    children = [subprocess.Popen(child_command(case, folder, "resume", go=go, hold=release),
                                 stdout=subprocess.PIPE, text=True) for _ in range(2)]
    go.touch()
    try:
        while all(child.poll() is None for child in children):  # the winner holds on
            time.sleep(0.01)
        loser, winner = sorted(children, key=lambda child: child.poll() is None)
        assert loser.returncode == 3
        assert f"{folder} is in use by process {winner.pid}" in loser.communicate()[0]
    finally:
        release.touch()
    assert winner.wait(timeout=CHILD_TIMEOUT) == 0
    assert snapshot(folder) == case.files


if __name__ == "__main__":
    sys.exit(child_main(json.loads(sys.argv[1])))
