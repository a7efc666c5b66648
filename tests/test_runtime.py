"""The example runtime: interrupted runs resume to the uninterrupted result; damage, a second
owner, a changed graph and bad node output are refused before anything is written."""

import asyncio
import json
import math
import os
import re
import shutil
import signal
import subprocess
import sys
import threading
from pathlib import Path

import pytest

from agent_graph import INITIAL_STATE, build_graph
from conftest import EMULATED, EXAMPLES
from helpers import snapshot
from quor_runtime import (AUDIT_LOG, INITIAL, LOCK, RECORD, FolderInUse, Graph, NodeError,
                          ResumeError, Runtime)

SUPERSTEPS = len(build_graph().plan())
LAST = f"checkpoint-{SUPERSTEPS - 1:04d}.quor"
ENV = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}


def cli(*args):
    return subprocess.run([sys.executable, str(EXAMPLES / "run_graph.py"), *map(str, args)],
                          capture_output=True, text=True, env=ENV)


def lay_out(folder, files):
    for name, data in files.items():
        (Path(folder) / name).write_bytes(data)


@pytest.fixture(scope="module")
def reference(tmp_path_factory):
    folder = tmp_path_factory.mktemp("reference")
    steps = list(Runtime(build_graph(), folder).run(INITIAL_STATE))
    assert [s.index for s in steps] == list(range(SUPERSTEPS))
    assert (folder / LOCK).read_bytes() == b""  # released, and nothing of the owner kept
    return snapshot(folder)


@pytest.mark.parametrize("stop", range(SUPERSTEPS))
def test_interrupted_cli_run_resumes_to_the_same_folder(tmp_path, reference, stop):
    first = cli("--dir", tmp_path, f"--stop-after={stop}")
    assert first.returncode == 17, first.stderr
    assert f"--resume {tmp_path}" in first.stdout
    second = cli("--resume", tmp_path)
    assert second.returncode == 0, second.stderr
    assert "run folder verifies: True" in second.stdout or "nothing left" in second.stdout
    assert snapshot(tmp_path) == reference


def entry(files, line):
    return json.loads(files[AUDIT_LOG].decode().splitlines()[line])


def edit_entry(files, line, **changes):
    log = files[AUDIT_LOG].decode().splitlines()
    log[line] = json.dumps(dict(json.loads(log[line]), **changes))
    files[AUDIT_LOG] = "\n".join(log).encode() + b"\n"


def flip(data, at):
    return data[:at] + bytes([data[at] ^ 1]) + data[at + 1:]


DAMAGE = {
    "torn checkpoint": (f"{LAST} does not match audit entry {SUPERSTEPS}",
                        lambda f: f.update({LAST: f[LAST][:-3]})),
    "bad magic": (f"{LAST} does not match", lambda f: f.update({LAST: b"QUOX" + f[LAST][4:]})),
    "first checkpoint byte": ("checkpoint-0000.quor does not match audit entry 1",
                              lambda f: f.update({"checkpoint-0000.quor": flip(
                                  f["checkpoint-0000.quor"], 20)})),
    "initial byte": ("initial.quor does not match audit entry 0",
                     lambda f: f.update({INITIAL: flip(f[INITIAL], 30)})),
    "record edited": ("run.json does not match audit entry 0", lambda f: f.update(
        {RECORD: f[RECORD].replace(b'"version":null', b'"version":"2"')})),
    "payload edited": ("entry 2 is broken", lambda f: edit_entry(
        f, 2, payload=entry(f, 2)["payload"].replace("superstep 1", "superstep 01"))),
    "hash in upper case": ("entry 2 is broken", lambda f: edit_entry(
        f, 2, hash=entry(f, 2)["hash"].upper())),
    # the entry after the newest checkpoint is checked too, not just dropped
    "trailing entry edited": (f"entry {SUPERSTEPS} is broken", lambda f: (f.pop(LAST), edit_entry(
        f, SUPERSTEPS, payload=entry(f, SUPERSTEPS)["payload"] + " "))),
    "two entries beyond": ("2 entries beyond", lambda f: (f.pop(LAST), f.pop(
        f"checkpoint-{SUPERSTEPS - 2:04d}.quor"))),
    "middle checkpoint removed": ("checkpoint-0002.quor is missing",
                                  lambda f: f.pop("checkpoint-0002.quor")),
    "log cut short": ("2 superstep entries but checkpoint 4 needs 5", lambda f: f.update(
        {AUDIT_LOG: b"\n".join(f[AUDIT_LOG].split(b"\n")[:3]) + b"\n"})),
    "first entry garbled": ("audit entry 0 is not a valid record", lambda f: f.update(
        {AUDIT_LOG: b"[" + f[AUDIT_LOG][1:]})),
    "empty line inside": ("audit entry 1 is not a valid record", lambda f: f.update(
        {AUDIT_LOG: f[AUDIT_LOG].replace(b"\n", b"\n\n", 1)})),
    "initial removed": ("initial.quor is missing", lambda f: f.pop(INITIAL)),
    "written before graph records": ("earlier version of this runtime", lambda f: f.pop(RECORD)),
    "another format": ("written in runtime format 'quor-runtime/9'", lambda f: f.update(
        {RECORD: f[RECORD].replace(b"quor-runtime/2", b"quor-runtime/9")})),
}


@pytest.mark.parametrize("case", DAMAGE)
def test_damaged_run_folder_is_refused_and_left_as_it_is(tmp_path, reference, case):
    message, damage = DAMAGE[case]
    files = dict(reference)
    damage(files)
    lay_out(tmp_path, files)
    before = snapshot(tmp_path)
    with pytest.raises(ResumeError, match=re.escape(message)):
        Runtime(build_graph(), tmp_path).resume()
    assert snapshot(tmp_path) == before
    assert Runtime(build_graph(), tmp_path).verify() is False
    if EMULATED and case not in list(DAMAGE)[:3]:
        return  # an interpreter start takes seconds under emulation: the CLI for a few
    out = cli("--resume", tmp_path)
    assert out.returncode == 1 and message in out.stderr and "Traceback" not in out.stderr
    assert snapshot(tmp_path) == before


def changed_graph(kind):
    graph = build_graph()
    if kind == "node added":
        graph.nodes["extra"] = lambda state: (None, 0)
    elif kind == "edge removed":
        graph.edges.remove(("critique", "answer"))
    elif kind == "reducer changed":
        graph.reducers["tokens"] = "last_value"
    else:
        graph.version = "2"
    return Graph(graph.nodes, graph.edges, graph.reducers, version=graph.version)


@pytest.mark.parametrize("kind, said", [
    ("node added", "node 'extra' added"), ("edge removed", "edge ('critique', 'answer') removed"),
    ("reducer changed", "channel 'tokens': reducer 'add' is now 'last_value'"),
    ("version", "version None is now '2'")])
def test_resume_with_another_graph_says_what_differs_unless_allowed(tmp_path, kind, said):
    list(Runtime(build_graph(), tmp_path).run(INITIAL_STATE))
    for name in [f"checkpoint-{i:04d}.quor" for i in range(2, SUPERSTEPS)]:
        (tmp_path / name).unlink()
    lines = (tmp_path / AUDIT_LOG).read_bytes().split(b"\n")
    (tmp_path / AUDIT_LOG).write_bytes(b"\n".join(lines[:3]) + b"\n")
    before = snapshot(tmp_path)
    with pytest.raises(ResumeError, match=re.escape(said)):
        Runtime(changed_graph(kind), tmp_path).resume()
    assert snapshot(tmp_path) == before
    steps = list(Runtime(changed_graph(kind), tmp_path).resume(allow_graph_change=True))
    assert steps and steps[0].index == 2


def test_two_owners_of_one_folder_in_one_process(tmp_path, reference):
    first = Runtime(build_graph(), tmp_path).run(INITIAL_STATE)
    next(first)
    before = snapshot(tmp_path)
    for begin in (lambda r: r.resume(), lambda r: r.run(INITIAL_STATE)):
        with pytest.raises(FolderInUse, match="in use by another runtime in this process"):
            begin(Runtime(build_graph(), tmp_path))
    assert snapshot(tmp_path) == before
    first.close()  # the lock goes with it; the run is resumable like any stopped one
    list(Runtime(build_graph(), tmp_path).resume())
    assert snapshot(tmp_path) == reference


def test_a_second_process_is_told_the_folder_is_in_use_and_changes_nothing(tmp_path, reference):
    lay_out(tmp_path, {k: v for k, v in reference.items() if k != LAST})
    holder = subprocess.Popen(
        [sys.executable, "-c", "import sys; from pathlib import Path; "
         "from quor_runtime import FolderLock; held = FolderLock(Path(sys.argv[1])); print('held', "
         "flush=True); sys.stdin.read()", str(tmp_path)],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=ENV)
    try:
        assert holder.stdout.readline() == "held\n"
        before = snapshot(tmp_path)
        for args in (("--resume", tmp_path), ("--dir", tmp_path)):
            out = cli(*args)
            assert out.returncode == 1 and "Traceback" not in out.stderr
            assert f"{tmp_path} is in use by process {holder.pid}" in out.stderr
        assert snapshot(tmp_path) == before
    finally:
        holder.communicate("")  # the lock is released when its process ends
    assert cli("--resume", tmp_path).returncode == 0
    assert snapshot(tmp_path) == reference


def test_a_new_run_refuses_a_folder_that_holds_one(tmp_path, reference):
    lay_out(tmp_path, reference)
    with pytest.raises(ResumeError, match="already holds a run"):
        Runtime(build_graph(), tmp_path).run(INITIAL_STATE)
    out = cli("--dir", tmp_path)
    assert out.returncode == 1
    assert "already holds" in out.stderr and f"--resume {tmp_path}" in out.stderr
    assert snapshot(tmp_path) == reference


@pytest.mark.parametrize("files", [{}, {LOCK: b""}, {LOCK: b"12"}],
                         ids=["empty", "empty lock", "half an id"])
def test_a_folder_no_run_began_in_is_free_for_a_new_run(tmp_path, reference, files):
    """What a crash while making the folder or taking its lock leaves behind."""
    lay_out(tmp_path, files)
    with pytest.raises(ResumeError, match="holds no run to resume"):
        Runtime(build_graph(), tmp_path).resume()
    list(Runtime(build_graph(), tmp_path).run(INITIAL_STATE))
    assert snapshot(tmp_path) == reference


@pytest.mark.parametrize("option, name", [("--dir", "file"), ("--resume", "file"),
                                          ("--resume", "absent")])
def test_cli_on_a_file_or_a_missing_folder_says_so(tmp_path, option, name):
    target = tmp_path / "file"
    target.write_text("mine")
    out = cli(option, tmp_path / name)
    assert out.returncode == 1 and "Traceback" not in out.stderr
    assert "is not a folder" in out.stderr or "holds no run" in out.stderr
    assert target.read_text() == "mine"


def test_cli_default_folder_is_named_first_and_kept(reference):
    out = cli()
    assert out.returncode == 0, out.stderr
    kept = re.fullmatch(r"run folder: (.+) \(a new temporary folder; it is kept\)",
                        out.stdout.splitlines()[0])
    try:
        assert snapshot(kept.group(1)) == reference
    finally:
        shutil.rmtree(kept.group(1))


def test_cli_plan():
    dot = cli("--dot")
    assert dot.returncode == 0 and dot.stdout.startswith("digraph plan {")
    assert dot.stdout.count("rank=same") == SUPERSTEPS


@pytest.mark.parametrize("cut", [1, 40, -1, -2, None])
def test_audit_entry_torn_after_the_last_checkpoint_is_dropped(tmp_path, reference, cut):
    """-1 cuts only the newline (a whole entry whose newline was lost), -2 into the hash;
    None loses the newline of the newest checkpoint's entry, which is repaired, not
    appended to."""
    log = reference[AUDIT_LOG]
    start = log.rstrip(b"\n").rfind(b"\n") + 1
    files = {k: v for k, v in reference.items() if k != LAST}
    files[AUDIT_LOG] = log[:start - 1] if cut is None else log[:start + cut] if cut > 0 else log[:cut]
    lay_out(tmp_path, files)
    assert Runtime(build_graph(), tmp_path).verify()
    steps = list(Runtime(build_graph(), tmp_path).resume())
    assert [s.index for s in steps] == [SUPERSTEPS - 1]
    assert snapshot(tmp_path) == reference


def test_resume_removes_only_its_own_temporary_files(tmp_path, reference):
    files = {k: v for k, v in reference.items() if k != LAST}
    files.update({"notes.tmp": b"mine", LAST + ".tmp": b"QUOR", "run.json.tmp": b"{"})
    lay_out(tmp_path, files)
    list(Runtime(build_graph(), tmp_path).resume())
    assert snapshot(tmp_path) == {**reference, "notes.tmp": b"mine"}


@pytest.mark.parametrize("content", [
    b"", b"\n\n", b"\xff\xfe", b'{"payload": 1, "hash": 2}\n', b"[]\n" * 3])
def test_verify_never_raises_on_what_the_folder_holds(tmp_path, reference, content):
    lay_out(tmp_path, {**reference, AUDIT_LOG: content})
    assert Runtime(build_graph(), tmp_path).verify() is False
    assert Runtime(build_graph(), tmp_path / "absent").verify() is False


def test_line_separators_in_the_state_are_not_line_ends(tmp_path):
    text = "a\u2028b\u2029c\x85d\re"
    graph = Graph({"n": lambda s: ({"text": s["text"] + text}, 0)}, [])
    list(Runtime(graph, tmp_path).run({"text": text}))
    assert Runtime(graph, tmp_path).verify()
    assert list(Runtime(graph, tmp_path).resume()) == []


def test_edges_must_name_known_nodes():
    with pytest.raises(ValueError, match="edge \\('plan', 'retreive'\\) names an unknown node "
                       "'retreive'"):
        Graph({"plan": print, "retrieve": print}, [("plan", "retreive")])


def nested(depth):
    value = 0
    for _ in range(depth):
        value = [value]
    return value


BAD_OUTPUT = {  # what a node returns -> (channel named, words of the message)
    "cost as text": (({"x": 1}, "0.1"), None, "cost must be a real number, not str '0.1'"),
    "cost None": (({"x": 1}, None), None, "cost must be a real number, not NoneType"),
    "cost NaN": (({"x": 1}, math.nan), None, "cost must be finite, not nan"),
    "cost infinite": ((None, math.inf), None, "cost must be finite, not inf"),
    "cost bool": ((None, True), None, "cost must be a real number, not bool"),
    "costs channel": (({"__costs__": [1]}, 0), "__costs__", "reserved"),
    "NaN": (({"x": 1, "p": math.nan}, 0), "p", "NaN or an infinity"),
    "infinity": (({"p": [-math.inf]}, 0), "p", "NaN or an infinity"),
    "lone surrogate": (({"p": "a\ud800"}, 0), "p", "lone surrogate"),
    "surrogate in a name": (({"p\udc80": 1}, 0), "p\udc80", "lone surrogate"),
    "200 deep": (({"x": 1, "p": nested(200)}, 0), "p", "recursion limit exceeded"),
    "a set": (({"p": {1}}, 0), "p", "not JSON serializable"),
    "writes a list": (([1], 0), None, "writes must be a dict or None, not list"),
    "no pair": (({"x": 1},), None, "must return (writes, cost), not tuple"),
    "name not str": (({1: 2}, 0), None, "channel names must be str, not int 1"),
}


@pytest.mark.parametrize("kind", ["plain", "async"])
@pytest.mark.parametrize("case", BAD_OUTPUT)
def test_bad_node_output_names_node_and_channel_and_writes_nothing(tmp_path, case, kind):
    output, channel, words = BAD_OUTPUT[case]
    broken = [True]

    def bad(state):
        return output if broken[0] else ({"x": 2}, 0.5)

    async def bad_async(state):
        return bad(state)

    nodes = {"good": lambda s: ({"x": 1}, 1), "bad": bad if kind == "plain" else bad_async,
             "after": lambda s: (None, 0)}
    graph = Graph(nodes, [("good", "after"), ("bad", "after")], {"x": "add"})
    for _ in range(2):  # and again on resume: still nothing written
        before = snapshot(tmp_path) if tmp_path.exists() and any(tmp_path.iterdir()) else None
        with pytest.raises(NodeError) as caught:
            list(Runtime(graph, tmp_path).run({}) if before is None else
                 Runtime(graph, tmp_path).resume())
        error = caught.value
        assert (error.node, error.superstep, error.channel) == ("bad", 0, channel)
        assert words in str(error) and "'bad' failed in superstep 0" in str(error)
        assert sorted(snapshot(tmp_path)) == [AUDIT_LOG, INITIAL, RECORD]
        assert before is None or snapshot(tmp_path) == before
    broken[0] = False
    assert [s.cost for s in Runtime(graph, tmp_path).resume()] == [1.5, 1.5]


@pytest.mark.parametrize("state, words", [
    ({"p": math.nan}, "initial state, channel 'p': the value holds NaN"),
    ({"__costs__": 1}, "initial state, channel '__costs__': '__costs__' is reserved"),
    ({"p": nested(200)}, "initial state: the module cannot take it: recursion limit"),
    ([("p", 1)], "the initial state must be a dict, not list"),
    ({1: 2}, "initial state: channel names must be str, not int 1")])
def test_bad_initial_state_is_refused_before_the_folder_is_made(tmp_path, state, words):
    with pytest.raises((ValueError, TypeError), match=re.escape(words)):
        Runtime(Graph({}, []), tmp_path / "run").run(state)
    assert not (tmp_path / "run").exists()


def test_run_inside_a_running_loop_is_refused_before_anything_is_written(tmp_path):
    async def node(state):
        return None, 0

    graph = Graph({"plain": lambda s: (None, 0), "async": node}, [("plain", "async")])

    async def main():
        with pytest.raises(RuntimeError, match="use arun"):
            Runtime(graph, tmp_path / "run").run({})
        assert not (tmp_path / "run").exists()
        return [s.index async for s in Runtime(graph, tmp_path / "run").arun({})]

    assert asyncio.run(main()) == [0, 1]


@pytest.mark.parametrize("kind", ["plain", "async"])
def test_a_node_past_its_timeout_fails_its_superstep(tmp_path, kind):
    release = threading.Event()

    def hung(state):
        release.wait(30)
        return None, 0

    async def hung_async(state):
        await asyncio.sleep(30)

    graph = Graph({"quick": lambda s: ({"x": 1}, 0),
                   "hung": hung if kind == "plain" else hung_async}, [])
    try:
        with pytest.raises(NodeError, match="'hung' failed in superstep 0: .*still running "
                           "after 0.2 s") as caught:
            list(Runtime(graph, tmp_path, node_timeout=0.2).run({}))
        assert isinstance(caught.value.__cause__, TimeoutError)
        assert sorted(snapshot(tmp_path)) == [AUDIT_LOG, INITIAL, RECORD]
    finally:
        release.set()


INTERRUPTED = """
import sys, threading, asyncio, signal
from pathlib import Path
import run_graph
from quor_runtime import Graph

# Ctrl-C as a terminal delivers it: a suite started in the background by a shell without job
# control hands its children SIGINT ignored, which the runtime rightly leaves alone.
signal.signal(signal.SIGINT, signal.default_int_handler)

def started():
    Path(sys.argv[1], "started").write_text("")

def hung(state):
    started()
    threading.Event().wait()

async def hung_async(state):
    started()
    await asyncio.Event().wait()

node = hung if sys.argv[2] == "plain" else hung_async
run_graph.build_graph = lambda: Graph({"quick": lambda s: ({"x": 1}, 0), "hung": node},
                                      [("quick", "hung")])
sys.exit(run_graph.main(["--dir", str(Path(sys.argv[1], "run"))]))
"""


@pytest.mark.parametrize("kind", ["plain", "async"])
def test_one_ctrl_c_stops_a_hung_node_and_the_cli_says_how_to_resume(tmp_path, kind):
    proc = subprocess.Popen([sys.executable, "-c", INTERRUPTED, str(tmp_path), kind],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=ENV)
    while proc.poll() is None and not (tmp_path / "started").exists():
        threading.Event().wait(0.02)
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=60)
    assert proc.returncode == 130, err
    assert "Traceback" not in err and f"--resume {tmp_path / 'run'}" in err
    assert sorted(snapshot(tmp_path / "run")) == [AUDIT_LOG, "checkpoint-0000.quor", INITIAL,
                                                  RECORD]
