"""Run the example agent graph superstep by superstep, with checkpoints and an audit log.

    python examples/run_graph.py                 run in a new temporary folder
    python examples/run_graph.py --dir DIR       run in DIR (which must hold no run yet)
    python examples/run_graph.py --resume DIR    continue an interrupted run in DIR
    python examples/run_graph.py --dot           print the plan as a Graphviz graph
"""

import argparse
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import quor_core  # noqa: E402

from agent_graph import INITIAL_STATE, build_graph  # noqa: E402
from quor_runtime import ResumeError, Runtime  # noqa: E402


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--dir", help="folder for checkpoints and the audit log")
    where.add_argument("--resume", metavar="DIR", help="continue the run in DIR")
    parser.add_argument("--dot", action="store_true", help="print the plan as DOT and exit")
    parser.add_argument("--stop-after", type=int, help=argparse.SUPPRESS)  # simulated crash
    parser.add_argument("--crash-in-checkpoint", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)

    graph = build_graph()
    if args.dot:
        print(graph.to_dot())
        return 0
    folder = Path(args.resume or args.dir or tempfile.mkdtemp(prefix="quor-run-"))
    runtime = Runtime(graph, folder)
    crash = {"stop_after": args.stop_after, "crash_in_checkpoint": args.crash_in_checkpoint}
    try:
        steps = runtime.resume(**crash) if args.resume else runtime.run(INITIAL_STATE, **crash)
    except ResumeError as e:
        print(f"cannot resume: {e}", file=sys.stderr)
        return 1
    print(f"run folder: {folder}")
    print(f"plan: {runtime.supersteps}")
    state = None
    for step in steps:
        state = step.state
        print(f"superstep {step.index}: {len(step.nodes)} nodes {step.nodes}, "
              f"state {len(state)} bytes, cost so far {step.cost:.4f}", flush=True)
    if state is None:
        print("nothing left to run")
        return 0
    print("final state:", state)
    print("audit log verifies:", runtime.verify())
    return 0


if __name__ == "__main__":
    sys.exit(main())
