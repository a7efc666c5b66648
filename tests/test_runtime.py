"""The example runtime: interrupted runs resume to the uninterrupted result; damage is refused."""

import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
sys.path.insert(0, str(EXAMPLES))

from agent_graph import INITIAL_STATE, build_graph  # noqa: E402
from quor_runtime import AUDIT_LOG, ResumeError, Runtime  # noqa: E402

SUPERSTEPS = len(build_graph().plan())


def cli(*args):
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    return subprocess.run([sys.executable, str(EXAMPLES / "run_graph.py"), *map(str, args)],
                          capture_output=True, text=True, env=env)


def snapshot(folder):
    return {p.name: p.read_bytes() for p in sorted(Path(folder).iterdir())}


@pytest.fixture(scope="module")
def reference(tmp_path_factory):
    folder = tmp_path_factory.mktemp("reference")
    steps = list(Runtime(build_graph(), folder).run(INITIAL_STATE))
    assert [s.index for s in steps] == list(range(SUPERSTEPS))
    return snapshot(folder)


@pytest.mark.parametrize("crash", [f"--stop-after={i}" for i in range(SUPERSTEPS)]
                         + [f"--crash-in-checkpoint={i}" for i in range(SUPERSTEPS)])
def test_interrupted_run_resumes_to_the_same_state_and_log(tmp_path, reference, crash):
    first = cli("--dir", tmp_path, crash)
    assert first.returncode == 17, first.stderr
    assert "stop-after" not in crash or f"--resume {tmp_path}" in first.stdout
    second = cli("--resume", tmp_path)
    assert second.returncode == 0, second.stderr
    assert "audit log verifies: True" in second.stdout or "nothing left to run" in second.stdout
    assert snapshot(tmp_path) == reference


LAST = f"checkpoint-{SUPERSTEPS - 1:04d}.quor"


def edit_entry(files, line, **changes):
    log = files[AUDIT_LOG].decode().splitlines()
    log[line] = json.dumps(dict(json.loads(log[line]), **changes))
    files[AUDIT_LOG] = "\n".join(log).encode() + b"\n"


def payload(files, line):
    return json.loads(files[AUDIT_LOG].decode().splitlines()[line])["payload"]


DAMAGE = {
    "torn checkpoint": ("checkpoint-0004.quor is damaged",
                        lambda f: f.update({LAST: f[LAST][:-3]})),
    "bad magic": ("checkpoint-0004.quor is damaged",
                  lambda f: f.update({LAST: b"QUOX" + f[LAST][4:]})),
    "payload edited": ("entry 1 is broken", lambda f: edit_entry(
        f, 1, payload=payload(f, 1).replace("research", "RESEARCH"))),
    "hash in upper case": ("entry 1 is broken", lambda f: edit_entry(
        f, 1, hash=json.loads(f[AUDIT_LOG].splitlines()[1])["hash"].upper())),
    # the entry after the newest checkpoint is checked too, not just dropped
    "trailing entry edited": ("entry 4 is broken", lambda f: (f.pop(LAST), edit_entry(
        f, 4, payload=payload(f, 4) + " "))),
    "two entries beyond": ("2 entries beyond", lambda f: (f.pop(LAST), f.pop(
        f"checkpoint-{SUPERSTEPS - 2:04d}.quor"))),
    "log cut short": ("audit log has 2 entries", lambda f: f.update(
        {AUDIT_LOG: b"\n".join(f[AUDIT_LOG].split(b"\n")[:2]) + b"\n"})),
    "first entry garbled": ("audit entry 0 is not a valid record", lambda f: f.update(
        {AUDIT_LOG: b"[" + f[AUDIT_LOG][1:]})),
    "no checkpoint": ("no checkpoint", lambda f: [f.pop(k) for k in list(f)
                                                  if k.endswith(".quor")]),
}


@pytest.mark.parametrize("case", DAMAGE)
def test_damaged_run_folder_is_refused_and_left_as_it_is(tmp_path, reference, case):
    message, damage = DAMAGE[case]
    files = dict(reference)
    damage(files)
    for name, data in files.items():
        (tmp_path / name).write_bytes(data)
    before = snapshot(tmp_path)
    with pytest.raises(ResumeError, match=message):
        Runtime(build_graph(), tmp_path).resume()
    assert snapshot(tmp_path) == before
    out = cli("--resume", tmp_path)
    assert out.returncode == 1 and message in out.stderr
    assert snapshot(tmp_path) == before


def test_a_new_run_refuses_a_folder_that_holds_one(tmp_path, reference):
    list(Runtime(build_graph(), tmp_path).run(INITIAL_STATE, stop_after=None))
    with pytest.raises(ResumeError, match="already holds a run"):
        Runtime(build_graph(), tmp_path).run(INITIAL_STATE)


def test_cli_on_a_folder_holding_a_run_suggests_resume_and_changes_nothing(tmp_path, reference):
    for name, data in reference.items():
        (tmp_path / name).write_bytes(data)
    out = cli("--dir", tmp_path)
    assert out.returncode == 1
    assert "already holds" in out.stderr and f"--resume {tmp_path}" in out.stderr
    assert snapshot(tmp_path) == reference


def test_cli_default_folder_is_named_first_and_kept(reference):
    out = cli()
    assert out.returncode == 0, out.stderr
    kept = re.fullmatch(r"run folder: (.+) \(a new temporary folder; it is kept\)",
                        out.stdout.splitlines()[0])
    try:
        assert snapshot(kept.group(1)) == reference
    finally:
        shutil.rmtree(kept.group(1))


def test_cli_help_shows_how_to_stop_and_where_the_run_goes():
    out = " ".join(cli("--help").stdout.split())  # as wrapped for any terminal width
    assert "--stop-after N" in out and "printed at the start and kept" in out


def test_dot_output_has_one_rank_per_superstep():
    out = cli("--dot")
    assert out.returncode == 0
    assert out.stdout.count("rank=same") == SUPERSTEPS
    assert out.stdout.startswith("digraph plan {")


@pytest.mark.parametrize("cut", [1, 40, -1])
def test_audit_entry_torn_after_the_last_checkpoint_is_dropped(tmp_path, reference, cut):
    log = reference[AUDIT_LOG]
    start = log.rstrip(b"\n").rfind(b"\n") + 1
    for name, data in reference.items():
        if name != LAST:
            (tmp_path / name).write_bytes(data if name != AUDIT_LOG else log[:start + cut]
                                          if cut > 0 else log[:cut])
    steps = list(Runtime(build_graph(), tmp_path).resume())
    assert [s.index for s in steps] == [SUPERSTEPS - 1]
    assert snapshot(tmp_path) == reference
