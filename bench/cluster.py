"""The cluster report's cost, and the per-task cost of plain Dask submission.

Starts a LocalCluster of this machine (two worker processes of one thread
each, loopback only) and measures, as medians of repeated runs:
- connecting a client, and the cluster report beyond that connect;
- a plain `client.submit` loop of no-op tasks, per task, against the same
  loop through `AdaptivePool`'s cluster kind, the two runs taking turns.
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

# (what, function, tasks): no-op tasks show the cost of each task's round trip;
# short sleeps, whether the tasks kept out on the cluster keep its workers busy.
LOOPS = [("no-op", lambda x: x, 1000), ("5 ms sleep", lambda x: time.sleep(0.005), 200)]


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
            for what, fn, tasks in LOOPS:
                rows += submit_loops(client, pool, what, fn, tasks)
    finally:
        client.close()
    return rows


def submit_loops(client, pool, what, fn, tasks):
    """The plain loop and the pool's, in turns, so that both see the same machine."""
    times = {"plain": ([], []), "pool": ([], [])}

    def plain():
        futures = [client.submit(fn, i, pure=False) for i in range(tasks)]
        return lambda: client.gather(futures)

    def pooled():
        futures = [pool.submit(fn, i) for i in range(tasks)]
        return lambda: [f.result() for f in futures]

    for repeat in range(1 + max(3, REPEATS // 3)):  # the first warms: functions shipped once
        for name, loop in (("plain", plain), ("pool", pooled)):
            start = time.perf_counter()
            wait = loop()
            submitted = time.perf_counter() - start
            wait()
            if repeat:
                times[name][0].append(submitted)
                times[name][1].append(time.perf_counter() - start)

    def per_task(seconds):
        return statistics.median(seconds) / tasks * 1e6

    rows = []
    for name, loop in (("plain", "`client.submit` loop"),
                       ("pool", "`AdaptivePool` cluster kind")):
        submitted, finished = times[name]
        rows.append((f"{loop}, {tasks} {what} tasks: the submit calls",
                     f"{per_task(submitted):.0f} us per task"))
        rows.append((f"{loop}, {tasks} {what} tasks: to the last result",
                     f"{per_task(finished):.0f} us per task"))
    ratio = per_task(times["pool"][1]) / per_task(times["plain"][1])
    extra = per_task(times["pool"][1]) - per_task(times["plain"][1])
    rows.append((f"{what} tasks: cluster kind over the plain loop, to the last result",
                 f"{ratio:.2f}x ({extra:+.0f} us per task)"))
    return rows


def section(rows):
    cpu = platform.processor() or platform.machine()
    lines = ["## Cluster", "",
             f"Machine: {platform.system()} {platform.release()}, {cpu}, {os.cpu_count()} CPUs, "
             f"Python {platform.python_version()}, distributed {distributed.__version__}", "",
             f"Date: {datetime.datetime.now().isoformat(timespec='seconds')}", "",
             "A LocalCluster of this machine: two worker processes of one thread each, on the "
             f"loopback interface. Medians of {REPEATS} runs (the submit loops: of "
             f"{max(3, REPEATS // 3)}, the plain one and the pool's taking turns). The pool "
             "keeps at most four tasks per worker thread out on the cluster (8 here), so "
             "that a task not yet sent can still be cancelled: each result is gathered as "
             "it lands, in batches only where several have landed, where the plain loop "
             "gathers all at once. No targets: one host shows the costs of the "
             "protocol, not of a network.", "",
             "| what | figure |", "| --- | --- |"]
    lines += [f"| {what} | {figure} |" for what, figure in rows]
    return "\n".join(lines) + "\n"


def write(text):
    old = RESULTS.read_text(encoding="utf-8") if RESULTS.exists() else ""
    start = old.find("\n## Cluster\n")
    if start >= 0:  # keep whatever another section added after this one
        after = old.find("\n## ", start + 1)
        old = old[:start] + (old[after:] if after >= 0 else "\n")
    RESULTS.write_text(old.rstrip("\n") + "\n\n" + text, encoding="utf-8")


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
