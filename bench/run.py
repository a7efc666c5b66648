"""Times each quor_core function against its peers in one process and prints ratios.

    python bench/run.py [--quick] [--only SUBSTRING]

Each row's callables are timed interleaved (ours, then every peer, repeated), so machine
noise hits all of them alike. A ratio is peer median / our median: above 1 means we win.
"""

import argparse
import ctypes
import gc
import importlib
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

# Every side on one thread, as ours runs: set before NumPy (and its BLAS) first loads.
for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")
sys.path.insert(0, str(Path(__file__).resolve().parent))

from common import Fresh  # noqa: E402

MODULES = ["bench_planner", "bench_checkpoint", "bench_channels", "bench_chain", "bench_vectors",
           "bench_cost", "bench_runtime"]


def per_call(fn, budget):
    """Seconds per call, timing enough calls to fill roughly `budget` seconds."""
    start = time.perf_counter()
    fn()
    first = time.perf_counter() - start
    number = max(1, int(budget / max(first, 1e-7)))
    if isinstance(fn, Fresh):  # new equal strs, made before the clock starts
        number = min(number, max(1, 2**27 // max(1, len(fn.text))))
        pool, call = fn.copies(number), fn.call
        start = time.perf_counter()
        for text in pool:
            call(text)
        return (time.perf_counter() - start) / number
    start = time.perf_counter()
    for _ in range(number):
        fn()
    return (time.perf_counter() - start) / number


def measure(row, repeats, budget):
    # The floor (what the interpreter's own boundary work costs) is timed as one more side.
    floor = {"floor": row["floor"]} if row.get("floor") else {}
    names = ["ours", *row["peers"], *floor]
    fns = [row["ours"], *row["peers"].values(), *floor.values()]
    samples = {name: [] for name in names}
    gc.collect()
    for round_ in range(repeats):
        # Who goes first rotates; the collector is off while any side runs, as in timeit.
        turn = round_ % len(names)
        for name, fn in list(zip(names, fns))[turn:] + list(zip(names, fns))[:turn]:
            gc.disable()
            try:
                samples[name].append(per_call(fn, budget))
            finally:
                gc.enable()
    return {name: statistics.median(values) for name, values in samples.items()}


def peak_extra_bytes(fn):
    """Peak resident growth of one call (Linux: resets the high-water mark first)."""

    def status(field):
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(field):
                    return int(line.split()[1]) * 1024
        return None

    if isinstance(fn, Fresh):  # the fresh argument is the caller's, made before the call
        arg, call = fn.copies(1)[0], fn.call
        fn = lambda: call(arg)  # noqa: E731
    gc.collect()
    try:  # hand freed heap back first, or earlier calls hide this one's peak
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except OSError:
        pass
    # Reset only now: memory handed back by the trim would otherwise stay in the mark.
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        return None
    base = status("VmRSS:")
    result = fn()
    peak = status("VmHWM:")
    del result
    return None if base is None or peak is None else max(0, peak - base)


def normalise(row):
    if isinstance(row, tuple):  # (name, ours, peers[, extras])
        row = {"name": row[0], "ours": row[1], "peers": row[2], **(row[3] if len(row) > 3 else {})}
    return row


def peak_in_fresh_process(module_name, row_name):
    """Measured in a new interpreter, so the timing runs' heap does not blur the peak."""
    out = subprocess.run([sys.executable, __file__, "--memory-child", module_name, row_name],
                         capture_output=True, text=True)
    try:
        return int(out.stdout.strip())
    except ValueError:
        return None


def memory_child(module_name, row_name):
    module = importlib.import_module(module_name)
    for row in map(normalise, module.cases()):
        if row["name"] == row_name:
            extra = peak_extra_bytes(row["ours"])
            print(-1 if extra is None else extra)
            return


def fmt_time(seconds):
    for unit, scale in (("s", 1), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="fewer, shorter repeats")
    parser.add_argument("--only", default="", help="run rows whose name contains this")
    parser.add_argument("--memory-child", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory_child:
        memory_child(*args.memory_child)
        return
    repeats, budget = (3, 0.05) if args.quick else (7, 0.2)

    print(f"{'row':58} {'ours':>10}  peers (time, ratio peer/ours)")
    summary = []
    for module_name in MODULES:
        try:
            module = importlib.import_module(module_name)
        except Exception as e:  # a row module that cannot load must not hide the others
            print(f"# {module_name}: skipped ({e})")
            continue
        for row in map(normalise, module.cases()):
            if args.only not in row["name"]:
                continue
            print(f"# timing {row['name']} ...", file=sys.stderr, flush=True)
            medians = measure(row, repeats, budget)
            ours = medians.pop("ours")
            floor = medians.pop("floor", None)
            summary.append((row["name"], ours, medians, floor))
            cells = [f"{peer} {fmt_time(t)} x{t / ours:.2f}" for peer, t in medians.items()]
            line = f"{row['name']:58} {fmt_time(ours):>10}  " + "; ".join(cells)
            if floor:
                line += f"  [floor {fmt_time(floor)}: ours {ours / floor:.2f}x it]"
            if row.get("bytes"):
                line += f"  [{row['bytes'] / ours / 1e6:.0f} MB/s]"
            print(line, flush=True)
            if row.get("memory"):
                extra = peak_in_fresh_process(module_name, row["name"])
                if extra is not None and extra >= 0:
                    size = row.get("bytes")
                    note = f" ({extra / size:.2f}x input)" if size else ""
                    print(f"{'':58} peak extra memory {extra / 2**20:.1f} MiB{note}")

    print("\n| row | ours | peers (ratio peer/ours) | floor (ours/floor) |\n|---|---|---|---|")
    for name, ours, medians, floor in summary:
        cells = "; ".join(f"{peer} {fmt_time(t)} x{t / ours:.2f}" for peer, t in medians.items())
        floor_cell = f"{fmt_time(floor)} ({ours / floor:.2f}x)" if floor else ""
        print(f"| {name} | {fmt_time(ours)} | {cells} | {floor_cell} |")


if __name__ == "__main__":
    os.environ.setdefault("PYTHONHASHSEED", "0")
    main()
