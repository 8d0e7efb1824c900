"""The cluster report's cost, and the per-task cost of plain Dask submission.

Starts a LocalCluster of this machine (two worker processes of one thread
each, loopback only) and measures, as medians of repeated runs:
- connecting a client, and the cluster report beyond that connect;
- `client.map` + `client.gather` against the same tasks through
  `AdaptivePool`'s cluster kind (a `submit` per task, then each result), the
  two runs taking turns: 24 tasks of fib(24), and 2,000 tiny tasks.
Prints the figures and rewrites only the "## Cluster" section at the end of
bench/RESULTS.md (`--quick`: fewer repeats, writes nothing).

    PYTHONPATH=build/python python bench/cluster.py [--quick]
"""
import datetime
import logging
import os
import platform
import statistics
import sys
import time
from pathlib import Path

import distributed

from velkora.cluster import connect, probe
from velkora.pool import AdaptivePool

RESULTS = Path(__file__).resolve().parent / "RESULTS.md"
QUICK = "--quick" in sys.argv
REPEATS = 5 if QUICK else 21



def fib(n):
    return n if n < 2 else fib(n - 1) + fib(n - 2)


# (what, function, arguments): CPU-bound tasks show whether the workers are
# kept busy; tiny tasks, the cost of each task's round trip.
LOOPS = [("fib(24)", fib, [24] * 24), ("tiny", abs, list(range(-2000, 0)))]


def median_seconds(run, repeats=REPEATS):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def measure(address):
    rows = []

    def connect_and_close():
        connect(address).close()

    rows.append(("connect and close a client (`connect(address)`)",
                 f"{median_seconds(connect_and_close) * 1e3:.1f} ms"))
    client = connect(address)
    try:
        probe(client)  # the first call ships the probe and imports it on the workers
        report_time = median_seconds(lambda: probe(client))
        rows.append(("cluster report beyond the connect (`probe(client)`)",
                     f"{report_time * 1e3:.1f} ms"))
        rows.append(("cluster report from an address (`probe(address)`: connect, report, close)",
                     f"{median_seconds(lambda: probe(address)) * 1e3:.1f} ms"))
        detection = statistics.median(
            r["detection_time_ms"] for r in probe(client).workers.values())
        rows.append(("of which detection on each worker (median `detection_time_ms`)",
                     f"{detection:.2f} ms"))

        with AdaptivePool(kinds=("cluster",), cluster=client) as pool:
            for what, fn, args in LOOPS:
                rows += submit_loops(client, pool, what, fn, args)
    finally:
        client.close()
    return rows


def submit_loops(client, pool, what, fn, args):
    """The plain map and the pool's, in turns, so that both see the same machine."""
    times = {"plain": [], "marked": [], "pool": []}

    def plain():
        return client.gather(client.map(fn, args, pure=False))

    def marked():  # what the pool asks of Dask: only the workers marked as able
        return client.gather(client.map(fn, args, pure=False, resources={"velkora": 1}))

    def pooled():
        return [f.result() for f in [pool.submit(fn, arg) for arg in args]]

    for repeat in range(1 + max(3, REPEATS // 3)):  # the first warms: functions shipped once
        for name, loop in (("plain", plain), ("marked", marked), ("pool", pooled)):
            start = time.perf_counter()
            loop()
            if repeat:
                times[name].append(time.perf_counter() - start)
    plain_s, marked_s, pool_s = (statistics.median(times[name])
                                 for name in ("plain", "marked", "pool"))
    tasks = len(args)
    return [(f"`client.map` + `gather`, {tasks} {what} tasks", f"{plain_s * 1e3:.0f} ms"),
            (f"the same, asking for the `velkora` worker resource, {tasks} {what} tasks",
             f"{marked_s * 1e3:.0f} ms ({marked_s / plain_s:.2f}x)"),
            (f"`AdaptivePool` cluster kind, {tasks} {what} tasks", f"{pool_s * 1e3:.0f} ms"),
            (f"{what} tasks: cluster kind over `client.map` + `gather`",
             f"{pool_s / plain_s:.2f}x ({(pool_s - plain_s) / tasks * 1e6:+.0f} us per task)")]


def section(rows):
    cpu = platform.processor() or platform.machine()
    lines = ["## Cluster", "",
             f"Machine: {platform.system()} {platform.release()}, {cpu}, {os.cpu_count()} CPUs, "
             f"Python {platform.python_version()}, distributed {distributed.__version__}", "",
             f"Date: {datetime.datetime.now().isoformat(timespec='seconds')}", "",
             "A LocalCluster of this machine: two worker processes of one thread each, on the "
             f"loopback interface. Medians of {REPEATS} runs (the submit loops: of "
             f"{max(3, REPEATS // 3)}, the plain one and the pool's taking turns). The pool "
             "sends tasks in batches and keeps about 0.05 s of work per worker thread out on "
             "the cluster (2 to 256 tasks a thread), so that a task not yet sent can still "
             "be cancelled; results are gathered in batches as they land. Target: the "
             "cluster kind at most 1.15x `client.map` + `gather` on both workloads. The "
             "resource row isolates what the pool asks of Dask: tasks that ask for a worker "
             "resource are assigned to workers as they arrive, not queued at the scheduler "
             "until a thread is free; beyond that, each refill of a CPU-bound run crosses "
             "this process (a gather, then a map) while both cores run workers.", "",
             "| what | figure |", "| --- | --- |"]
    lines += [f"| {what} | {figure} |" for what, figure in rows]
    return "\n".join(lines) + "\n"


def write(text):
    old = RESULTS.read_text(encoding="utf-8") if RESULTS.exists() else ""
    start = old.find("\n## Cluster\n")
    if start < 0:
        RESULTS.write_text(old.rstrip("\n") + "\n\n" + text, encoding="utf-8")
        return
    # In place: the sections after this one are other benchmarks'.
    after = old.find("\n## ", start + 1)
    tail = old[after:] if after >= 0 else ""
    RESULTS.write_text(old[:start + 1] + text + tail, encoding="utf-8")


def main():
    # Any free port for the scheduler's HTTP server, which takes 8787 even with
    # the dashboard off and would clash with another cluster on this machine.
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=":0",
                                  silence_logs=logging.ERROR) as cluster:
        rows = measure(cluster.scheduler_address)
    for what, figure in rows:
        print(f"{what:<80} {figure:>16}")
    if not QUICK:
        write(section(rows))
        print(f"\nwritten to the Cluster section of {RESULTS}")


if __name__ == "__main__":
    main()
