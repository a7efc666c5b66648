"""Run the example agent graph superstep by superstep, with checkpoints and an audit log.

    python examples/run_graph.py                   run in a new temporary folder
    python examples/run_graph.py --dir DIR         run in DIR (which must hold no run yet)
    python examples/run_graph.py --resume DIR      continue an interrupted run in DIR
    python examples/run_graph.py --stop-after N    stop after superstep N as a crash would
    python examples/run_graph.py --dot             print the plan as a Graphviz graph

The nodes of a superstep run side by side. Without --dir the run goes to a new temporary
folder whose name is printed first; it is kept (resume it, or remove it yourself).
To try a crash and resume:

    python examples/run_graph.py --dir runs/a --stop-after 1
    python examples/run_graph.py --resume runs/a
"""

import argparse
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import quor_core  # noqa: E402,F401

from agent_graph import INITIAL_STATE, build_graph  # noqa: E402
from quor_runtime import FolderInUse, NodeError, ResumeError, Runtime  # noqa: E402


def main(argv=None):
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0],
        epilog=__doc__.split("\n\n", 2)[2].replace("\n    ", "\n  "),
        formatter_class=argparse.RawDescriptionHelpFormatter)
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--dir", help="folder for checkpoints and the audit log (default: a new "
                       "temporary folder, printed at the start and kept)")
    where.add_argument("--resume", metavar="DIR", help="continue the run in DIR")
    parser.add_argument("--stop-after", type=int, metavar="N",
                        help="exit (code 17) right after superstep N's checkpoint, as if the "
                        "process had crashed there, so that --resume can be tried")
    parser.add_argument("--node-timeout", type=float, metavar="SECONDS",
                        help="fail a superstep whose node runs longer than this")
    parser.add_argument("--dot", action="store_true", help="print the plan as DOT and exit")
    args = parser.parse_args(argv)

    graph = build_graph()
    if args.dot:
        print(graph.to_dot())
        return 0
    folder = Path(args.resume or args.dir or tempfile.mkdtemp(prefix="quor-run-"))
    runtime = Runtime(graph, folder, node_timeout=args.node_timeout)
    resume_hint = f"continue it with: python {sys.argv[0]} --resume {folder}"
    try:
        if args.resume:
            steps = runtime.resume(stop_after=args.stop_after)
        else:
            steps = runtime.run(INITIAL_STATE, stop_after=args.stop_after)
    except FolderInUse as e:
        print(f"cannot {'resume' if args.resume else 'start a run'}: {e}", file=sys.stderr)
        return 1
    except OSError as e:  # a folder that cannot be made, read or written
        print(f"cannot use {folder}: {e}", file=sys.stderr)
        return 1
    except ResumeError as e:
        if args.resume:
            print(f"cannot resume: {e}", file=sys.stderr)
        else:
            print(f"cannot start a run: {e}; {resume_hint}", file=sys.stderr)
        return 1
    kept = "" if args.resume or args.dir else " (a new temporary folder; it is kept)"
    print(f"run folder: {folder}{kept}", flush=True)
    print(f"plan: {runtime.supersteps}")
    state = None
    with steps:
        try:
            for step in steps:
                state = step.state
                print(f"superstep {step.index}: {len(step.nodes)} nodes {step.nodes}, "
                      f"state {len(state)} bytes, cost so far {step.cost:.4f}", flush=True)
                if step.index == args.stop_after:
                    print(f"stopping here as a crash would; {resume_hint}", flush=True)
        except NodeError as e:
            print(f"{e}\nnothing of superstep {e.superstep} was written; {resume_hint}",
                  file=sys.stderr)
            return 1
        except KeyboardInterrupt:
            print(f"interrupted: every superstep shown above is written, nothing of the "
                  f"next; {resume_hint}", file=sys.stderr)
            return 130
    if state is None:
        print("nothing left to run")
        return 0
    print("final state:", state)
    print("run folder verifies:", runtime.verify())
    return 0


if __name__ == "__main__":
    sys.exit(main())
