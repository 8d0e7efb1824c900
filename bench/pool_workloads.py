"""The adaptive pool against the best fixed executor, on workloads a user would bring.

Each workload runs on `ThreadPoolExecutor`, `ProcessPoolExecutor` (the standard
library's default start method) and `AdaptivePool` (its defaults), all at the same
width, in one run: the three take turns within each repeat (the order rotating), and
each figure is the median over the repeats, timed from creating the executor to the
last result and its shutdown. Each run is made in a fresh interpreter, so that none
inherits what an earlier one left behind (`--in-one-process`: all in one, in turn, as
a long-lived program would make them). A workload's "regret" for an executor is its time over
the best one's: for the pool, over the better of the two fixed executors; for each
fixed executor, over the best of all three. Target: the pool's regret at most 1.15 on
every workload, while each fixed executor's exceeds 1.5 on at least one (so that the
choice matters). Prints the table, with what explains each miss; a full run rewrites
its own section of bench/RESULTS.md (`--quick`: smaller workloads, one repeat,
writes nothing).

    PYTHONPATH=build/python .venv/bin/python bench/pool_workloads.py [--quick] [--width N]
"""
import argparse
import concurrent.futures as cf
import datetime
import os
import pickle
import platform
import random
import statistics
import subprocess
import sys
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path

# The task functions live in a module that process workers import by name (this
# script's folder is on the path, in them as here). Everything at the top level
# below only defines: a pool may start worker processes only for a script whose
# other code is under `if __name__ == "__main__":`.
import _workloads as work

HEADING = "## Pool regret: the adaptive pool against the best fixed executor"
EXECUTORS = ("threads", "processes", "pool")
POOL_TARGET = 1.15
FIXED_TARGET = 1.5


@dataclass
class Workload:
    name: str
    what: str
    phases: list  # [(fn, [args tuple, ...]), ...], each phase waited for before the next
    argument_bytes: int = 0  # size of one task's argument, where it is data
    times: dict = field(default_factory=lambda: {e: [] for e in EXECUTORS})
    paths: list = field(default_factory=list)
    tasks: int = 0
    phase_count: int = 0
    trace: dict = None  # a watched run of the pool, where it missed
    pickle_cost: float = 0.0  # seconds to pickle one argument and read it back
    spin_n: int = 0

    def __post_init__(self):
        self.tasks = sum(len(args) for _, args in self.phases)
        self.phase_count = len(self.phases)

    def median(self, executor):
        return statistics.median(self.times[executor])

    def regret(self, executor):
        pool_vs = ("threads", "processes") if executor == "pool" else EXECUTORS
        return self.median(executor) / min(self.median(e) for e in pool_vs)


def calibrate(seconds=0.005):
    """Loop iterations of `spin` that take about `seconds` of CPU here (CPU time, not
    wall time, so that other jobs on the machine do not shrink the tasks)."""
    n = 20000
    for _ in range(5):
        start = time.thread_time()
        work.spin(n)
        n = max(1000, int(n * seconds / max(time.thread_time() - start, 1e-6)))
    return n


def text_buffers(count, size=1 << 20):
    """Compressible pseudo-text, `size` bytes each, the same every run."""
    rnd = random.Random(19)
    letters = "abcdefghijklmnopqrstuvwxyz"
    words = ["".join(rnd.choices(letters, k=rnd.randint(2, 9))).encode() for _ in range(3000)]
    text = b" ".join(rnd.choices(words, k=size // 16))  # a quarter of `size`: quick to make
    # Each buffer a different rotation of that text, repeated to `size`.
    return [((text[i * 4099:] + text[:i * 4099]) * 5)[:size] for i in range(count)]


NAMES = ("cpu", "zlib", "numpy", "sleep", "socket", "no-op", "10 MiB args", "phased")


def have_numpy():
    import importlib.util

    return importlib.util.find_spec("numpy") is not None


def build(name, quick, spin_n, address):
    """The workload `name`, its data made."""
    def scale(full, small):
        return small if quick else full

    cpu = [(spin_n,)]
    if name == "cpu":
        return Workload(name, "pure-Python CPU-bound tasks, ~5 ms of CPU each",
                        [(work.spin, cpu * scale(600, 200))])
    if name == "zlib":
        texts = text_buffers(8)
        return Workload(name, "`zlib.compress` of 1 MiB of text (releases the lock)",
                        [(work.compress, [(texts[i % 8],) for i in range(scale(120, 48))])],
                        argument_bytes=len(texts[0]))
    if name == "numpy":
        import numpy as np

        rng = np.random.default_rng(19)
        arrays = [rng.random(1 << 17) for _ in range(8)]
        return Workload(name, "`numpy.sort` of 1 MiB of float64 (releases the lock)",
                        [(work.sort_array, [(arrays[i % 8],) for i in range(scale(300, 80))])],
                        argument_bytes=arrays[0].nbytes)
    if name == "sleep":
        return Workload(name, "5 ms sleeps", [(work.nap, [(0.005,)] * scale(400, 160))])
    if name == "socket":
        return Workload(name, "loopback requests: connect, 16 B out, 64 KiB back after "
                        f"{work.REPLY_DELAY * 1e3:g} ms",
                        [(work.fetch, [(address,)] * scale(400, 160))])
    if name == "no-op":
        return Workload(name, "tasks that do nothing",
                        [(work.noop, [()] * scale(100_000, 20_000))])
    if name == "10 MiB args":
        blobs = [os.urandom(10 << 20) for _ in range(4)]
        return Workload(name, "CRC-32 of a 10 MiB argument",
                        [(work.checksum, [(blobs[i % 4],) for i in range(scale(40, 16))])],
                        argument_bytes=len(blobs[0]))
    if name == "phased":
        cpu_phase, io_phase = scale(240, 80), scale(200, 80)
        return Workload(name, f"{cpu_phase} CPU tasks, then {io_phase} 5 ms sleeps, then "
                        f"{cpu_phase} CPU tasks",
                        [(work.spin, cpu * cpu_phase), (work.nap, [(0.005,)] * io_phase),
                         (work.spin, cpu * cpu_phase)])
    raise ValueError(f"unknown workload {name!r} (known: {', '.join(NAMES)})")


def run_once(make, phases):
    """Seconds from making the executor to its shutdown, every result read; and the executor."""
    start = time.perf_counter()
    executor = make()
    try:
        for fn, args in phases:
            for future in [executor.submit(fn, *a) for a in args]:
                future.result()
    finally:
        executor.shutdown(wait=True)
    return time.perf_counter() - start, executor, start


def trace(make, phases):
    """One more run of the pool, outside the table, watched: when its new work went to
    another kind, how many tasks had completed by then, when the last result came and
    how long the shutdown took."""
    done = []
    start = time.perf_counter()
    pool = make()
    moves = []
    stop = threading.Event()

    def where():
        return f"{pool.kind} x{getattr(pool, 'width', '?')}"

    def watch():
        kind = where()
        while not stop.wait(0.005):
            if where() != kind:
                kind = where()
                moves.append((time.perf_counter() - start, kind, len(done)))

    watcher = threading.Thread(target=watch, daemon=True)
    watcher.start()
    try:
        for fn, args in phases:
            futures = [pool.submit(fn, *a) for a in args]
            for future in futures:
                future.add_done_callback(lambda _: done.append(None))
            for future in futures:
                future.result()
        last = time.perf_counter() - start
    finally:
        stop.set()
        watcher.join()
        pool.shutdown(wait=True)
    return {"moves": moves, "last": last, "end": time.perf_counter() - start,
            "path": pool_path(pool, start)}


def pool_path(pool, start):
    """Where the pool ran: its kinds in turn, and the seconds after its creation
    at which it decided each change."""
    try:
        changes = [d for d in pool.decisions if d.action in ("switch", "resize", "replace")]
        first = (f"{changes[0].previous_kind} x{changes[0].previous_width}" if changes
                 else f"{pool.kind} x{getattr(pool, 'width', '?')}")
        return (tuple([first] + [f"{d.kind} x{d.width} ({d.trigger})" for d in changes]),
                [d.time - start for d in changes], [d.reason for d in changes])
    except Exception as exc:  # a pool without decision records is still timed
        return (f"unknown ({type(exc).__name__})",), [], []


def describe_paths(paths):
    """The runs grouped by the kinds the pool ran on, with the median decision times."""
    groups = {}
    for kinds, times, _ in paths:
        groups.setdefault(kinds, []).append(times)
    parts = []
    for kinds, runs in groups.items():
        steps = [kinds[0]] + [
            f"{kind} (decided at {statistics.median(t[i] for t in runs):.2f} s)"
            for i, kind in enumerate(kinds[1:])]
        share = f", {len(runs)} of {len(paths)} runs" if len(groups) > 1 else ""
        parts.append(" -> ".join(steps) + share)
    return "; ".join(parts)


def start_server():
    proc = subprocess.Popen([sys.executable, work.__file__, "serve"], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, text=True)
    port = int(proc.stdout.readline())
    return proc, ("127.0.0.1", port)


def stop_server(proc):
    proc.stdin.close()
    try:
        proc.wait(timeout=5)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait(timeout=5)


def process_start(width):
    """Seconds to the first result of a fresh ProcessPoolExecutor, default start method and spawn."""
    import multiprocessing

    figures = {}
    for name, context in (("default", None), ("spawn", multiprocessing.get_context("spawn"))):
        start = time.perf_counter()
        with cf.ProcessPoolExecutor(width, mp_context=context) as executor:
            executor.submit(work.noop).result()
            figures[name] = time.perf_counter() - start
    return figures


def round_trip(argument):
    """Seconds to pickle one argument and read it back, in this process."""
    start = time.perf_counter()
    for _ in range(3):
        pickle.loads(pickle.dumps(argument, protocol=pickle.HIGHEST_PROTOCOL))
    return (time.perf_counter() - start) / 3


def explain(load, costs):
    """What the run measured about a workload whose regret missed its target."""
    best_fixed = min(("threads", "processes"), key=load.median)
    pool, best = load.median("pool"), load.median(best_fixed)
    parts = [f"{load.name}: the pool took {pool:.2f} s against {best:.2f} s on {best_fixed} "
             f"(+{pool - best:.2f} s, {(pool - best) / load.tasks * 1e6:.0f} us per task over "
             f"{load.tasks} tasks); it ran on {describe_paths(load.paths)}"]
    watched = load.trace
    if watched:
        moves = "; ".join(f"its new work went to {kind} at {at:.2f} s, {n} of {load.tasks} "
                          f"tasks done by then" for at, kind, n in watched["moves"])
        parts.append(f"in a watched run the pool decided {describe_paths([watched['path']])}"
                     f", and {moves or 'its new work stayed where it started'}; the last result "
                     f"came at {watched['last']:.2f} s, the shutdown took "
                     f"{watched['end'] - watched['last']:.2f} s")
        reasons = dict.fromkeys(watched["path"][2])
        if reasons:
            parts.append("the reasons it gave: " + "; ".join(f'"{r}"' for r in reasons))
        if watched["moves"] and load.phase_count == 1:
            # Its pace on each kind in turn, against the best fixed executor's.
            marks = [(0.0, watched["path"][0][0], 0), *watched["moves"],
                     (watched["last"], None, load.tasks)]
            paces = [f"{(b[0] - a[0]) / (b[2] - a[2]) * 1e3:.2f} ms per task on {a[1]} "
                     f"({b[2] - a[2]} tasks)" for a, b in zip(marks, marks[1:]) if b[2] > a[2]]
            parts.append(f"its pace: {', then '.join(paces)}, against "
                         f"{best / load.tasks * 1e3:.2f} ms per task on {best_fixed}")
    if load.argument_bytes:
        trip = load.pickle_cost
        parts.append(f"pickling one {load.argument_bytes / 2**20:.0f} MiB argument and reading "
                     f"it back takes {trip * 1e3:.1f} ms here ({trip * load.tasks:.2f} s for "
                     f"{load.tasks} tasks, once per copy)")
    if any("process" in kind for kinds, _, _ in load.paths for kind in kinds):
        parts.append(f"the pool's process workers are spawned: a fresh ProcessPoolExecutor "
                     f"gives its first result after {costs['start']['spawn'] * 1e3:.0f} ms "
                     f"spawned, {costs['start']['default'] * 1e3:.0f} ms with the default "
                     f"start method")
    return "; ".join(parts) + "."


def verdict(ok):
    return "met" if ok else "MISSED"


def table(loads):
    lines = ["| workload | tasks | threads | processes | pool | pool regret "
             f"(target <= {POOL_TARGET}) | threads regret | processes regret | pool ran on |",
             "| --- | --- | --- | --- | --- | --- | --- | --- | --- |"]
    for load in loads:
        pool_r = load.regret("pool")
        lines.append(
            f"| {load.name}: {load.what} | {load.tasks} | {load.median('threads'):.3f} s | "
            f"{load.median('processes'):.3f} s | {load.median('pool'):.3f} s | "
            f"{pool_r:.2f} {verdict(pool_r <= POOL_TARGET)} | {load.regret('threads'):.2f} | "
            f"{load.regret('processes'):.2f} | {describe_paths(load.paths)} |")
    return lines


def summary(loads):
    lines = []
    for executor in ("threads", "processes"):
        worst = max(loads, key=lambda w: w.regret(executor))
        lines.append(f"- {executor}: worst regret {worst.regret(executor):.2f} ({worst.name}); "
                     f"above {FIXED_TARGET} on at least one workload: "
                     f"{verdict(worst.regret(executor) > FIXED_TARGET)}")
    misses = [w.name for w in loads if w.regret("pool") > POOL_TARGET]
    lines.append(f"- pool: regret at most {POOL_TARGET} on every workload: {verdict(not misses)}"
                 + (f" (missed: {', '.join(misses)})" if misses else ""))
    return lines


def load_line(before, after):
    return (f"load average (1, 5, 15 min) {before[0]:.2f}, {before[1]:.2f}, {before[2]:.2f} "
            f"before the run and {after[0]:.2f}, {after[1]:.2f}, {after[2]:.2f} after it, on "
            f"{os.cpu_count()} CPUs ({len(os.sched_getaffinity(0))} usable by this process)")


def write(section, results=None):
    results = results or Path(__file__).resolve().parent / "RESULTS.md"
    text = results.read_text() if results.exists() else "# Benchmark results\n"
    lines = text.split("\n")
    if HEADING in lines:
        start = lines.index(HEADING)
        end = next((i for i in range(start + 1, len(lines)) if lines[i].startswith("## ")),
                   len(lines))
        lines[start:end] = section.rstrip("\n").split("\n") + ([""] if end < len(lines) else [])
        text = "\n".join(lines)
    else:
        text = text.rstrip("\n") + "\n\n" + section
    results.write_text(text.rstrip("\n") + "\n")


def measure(names, quick, width, repeats):
    """Runs the named workloads in this interpreter, one after the other."""
    makers_ = makers(width)
    for make in makers_.values():  # imports and first-use costs, paid before any timing
        run_once(make, [(work.noop, [()] * width)])
    spin_n = calibrate()
    server, address = start_server()
    loads = []
    try:
        for name in names:
            load = build(name, quick, spin_n, address)
            load.spin_n = spin_n
            for repeat in range(repeats):
                order = EXECUTORS[repeat % 3:] + EXECUTORS[:repeat % 3]
                for executor in order:
                    took, made, start = run_once(makers_[executor], load.phases)
                    load.times[executor].append(took)
                    if executor == "pool":
                        load.paths.append(pool_path(made, start))
            print(f"{load.name:<12} " + "  ".join(
                f"{e} {load.median(e):7.3f} s" for e in EXECUTORS)
                + f"  pool regret {load.regret('pool'):.2f}", flush=True)
            if load.regret("pool") > POOL_TARGET:
                load.trace = trace(makers_["pool"], load.phases)
            if load.argument_bytes:
                load.pickle_cost = round_trip(load.phases[0][1][0][0])
            load.phases = []  # free the data before the next workload
            loads.append(load)
    finally:
        stop_server(server)
    return loads


def makers(width):
    from velkora.pool import AdaptivePool

    return {
        "threads": lambda: cf.ThreadPoolExecutor(width),
        "processes": lambda: cf.ProcessPoolExecutor(width),
        "pool": lambda: AdaptivePool(width),
    }


def run_alone(name, executor, quick, width, spin_n, address, watch):
    """One run of one executor on one workload, in this (fresh) interpreter: timed, or
    watched where `watch`."""
    load = build(name, quick, spin_n, address)
    make = makers(width)[executor]
    run_once(make, [(work.noop, [()] * width)])  # imports and first-use costs, untimed
    result = {"what": load.what, "tasks": load.tasks, "phase_count": load.phase_count,
              "argument_bytes": load.argument_bytes}
    if watch:
        result["trace"] = trace(make, load.phases)
        if load.argument_bytes:
            result["pickle_cost"] = round_trip(load.phases[0][1][0][0])
    else:
        result["time"], made, start = run_once(make, load.phases)
        if executor == "pool":
            result["path"] = pool_path(made, start)
    return result


def measure_apart(names, quick, width, repeats):
    """Each run in a fresh interpreter, so that no run inherits what an earlier one
    left in the process: its heap (which the pool reads), imports, threads."""
    import json
    import tempfile

    def as_path(path):  # JSON gave lists back
        return tuple(path[0]), path[1], path[2]

    spin_n = calibrate()
    server, address = start_server()

    def alone(name, executor, watch=False):
        with tempfile.NamedTemporaryFile(suffix=".json") as out:
            command = [sys.executable, __file__, "--alone", name, executor, "--json", out.name,
                       "--width", str(width), "--spin", str(spin_n),
                       "--address", f"{address[0]}:{address[1]}"]
            command += ["--quick"] if quick else []
            subprocess.run(command + (["--watch"] if watch else []), check=True)
            return json.loads(Path(out.name).read_text())

    loads = []
    try:
        for name in names:
            load = None
            for repeat in range(repeats):
                for executor in EXECUTORS[repeat % 3:] + EXECUTORS[:repeat % 3]:
                    got = alone(name, executor)
                    if load is None:
                        load = Workload(name, got["what"], [], got["argument_bytes"])
                        load.tasks, load.phase_count = got["tasks"], got["phase_count"]
                        load.spin_n = spin_n
                    load.times[executor].append(got["time"])
                    if "path" in got:
                        load.paths.append(as_path(got["path"]))
            print(f"{load.name:<12} " + "  ".join(
                f"{e} {load.median(e):7.3f} s" for e in EXECUTORS)
                + f"  pool regret {load.regret('pool'):.2f}", flush=True)
            if load.regret("pool") > POOL_TARGET:
                got = alone(name, "pool", watch=True)
                load.trace = dict(got["trace"], path=as_path(got["trace"]["path"]))
                load.pickle_cost = got.get("pickle_cost", 0.0)
            loads.append(load)
    finally:
        stop_server(server)
    return loads


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--width", type=int, default=None,
                        help="workers of every executor (default: the pool's default width)")
    parser.add_argument("--quick", action="store_true",
                        help="smaller workloads, one repeat; writes nothing")
    parser.add_argument("--repeats", type=int, default=None, help="repeats (default 3, quick 1)")
    parser.add_argument("--only", action="append", default=[], metavar="WORKLOAD",
                        help=f"run only this workload (repeatable; one of: {', '.join(NAMES)}); "
                        "writes nothing")
    parser.add_argument("--in-one-process", action="store_true",
                        help="run everything in this interpreter, one run after the other, as "
                        "a long-lived program would (default: each run in a fresh one)")
    parser.add_argument("--no-write", action="store_true", help="leave bench/RESULTS.md alone")
    # One run in a fresh interpreter, started by the run above it.
    parser.add_argument("--alone", nargs=2, help=argparse.SUPPRESS)
    parser.add_argument("--watch", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--json", help=argparse.SUPPRESS)
    parser.add_argument("--spin", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--address", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.alone:
        import json

        host, port = args.address.rsplit(":", 1)
        result = run_alone(*args.alone, args.quick, args.width, args.spin, (host, int(port)),
                           args.watch)
        Path(args.json).write_text(json.dumps(result))
        return
    names = args.only or [n for n in NAMES if n != "numpy" or have_numpy()]
    if len(names) < len(NAMES) and not args.only:
        print("numpy is not installed: its workload is left out", file=sys.stderr)
    if args.width is None:
        from velkora.pool import AdaptivePool

        with AdaptivePool() as probe:
            args.width = probe.max_workers
    width = args.width
    repeats = args.repeats or (1 if args.quick else 3)

    load_before = os.getloadavg()
    began = time.perf_counter()
    if args.in_one_process:
        loads = measure(names, args.quick, width, repeats)
    else:
        loads = measure_apart(names, args.quick, width, repeats)
    costs = {"start": process_start(width)}
    load_after = os.getloadavg()
    took = time.perf_counter() - began

    lines = table(loads)
    misses = [explain(w, costs) for w in loads if w.regret("pool") > POOL_TARGET]
    machine = (f"{platform.system()} {platform.release()}, {platform.machine()}, Python "
               f"{platform.python_version()}; {load_line(load_before, load_after)}")
    print("\n".join(["", *lines, "", *summary(loads), "", f"Machine: {machine}",
                     f"Whole run: {took:.0f} s", *(f"- {m}" for m in misses)]))
    if args.quick or args.only or args.no_write:
        return
    spin_n = next((w.spin_n for w in loads if w.name == "cpu"), loads[0].spin_n)
    where = ("all in one interpreter, one run after the other" if args.in_one_process
             else "each run in a fresh interpreter")
    section = "\n".join([
        HEADING, "",
        f"Machine: {machine}.", "",
        f"Date: {datetime.datetime.now().isoformat(timespec='seconds')}; the whole run took "
        f"{took:.0f} s.", "",
        f"`bench/pool_workloads.py`: each workload on `ThreadPoolExecutor({width})`, "
        f"`ProcessPoolExecutor({width})` (default start method) and `AdaptivePool({width})` "
        f"(its defaults), {where}, the three taking turns within each repeat; medians of "
        f"{repeats} repeats, each timed from creating the executor to its shutdown, every "
        f"result read. Regret: the pool's time over the better fixed executor's; a fixed "
        f"executor's over the best of the three. A CPU task is {spin_n} loop iterations, "
        f"about 5 ms of CPU time.", "",
        *lines, "", *summary(loads), "",
        *(["Misses, with what the run measured:", "", *(f"- {m}" for m in misses), ""]
          if misses else []),
    ])
    write(section)


if __name__ == "__main__":
    main()
