"""The cluster report's cost, and the per-task cost of plain Dask submission.

Starts a LocalCluster of this machine (two worker processes of one thread
each, loopback only) and measures, as medians of repeated runs:
- connecting a client, and the cluster report beyond that connect;
- a plain `client.submit` loop of no-op tasks, per task: the reference that
  any pool submitting through Dask is measured against.
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

RESULTS = Path(__file__).resolve().parent / "RESULTS.md"
QUICK = "--quick" in sys.argv
REPEATS = 5 if QUICK else 21
TASKS = 1000


def noop(x):
    return x


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

        submitted, finished = [], []

        def submit_loop():
            start = time.perf_counter()
            futures = [client.submit(noop, i, pure=False) for i in range(TASKS)]
            submitted.append(time.perf_counter() - start)
            client.gather(futures)
            finished.append(time.perf_counter() - start)

        submit_loop()  # warm: the function is shipped once and cached by the workers
        submitted.clear(), finished.clear()
        for _ in range(max(3, REPEATS // 3)):
            submit_loop()
        rows.append((f"`client.submit` loop of {TASKS} no-op tasks: the submit calls",
                     f"{statistics.median(submitted) / TASKS * 1e6:.0f} us per task"))
        rows.append((f"`client.submit` loop of {TASKS} no-op tasks: to the last result",
                     f"{statistics.median(finished) / TASKS * 1e6:.0f} us per task"))
    finally:
        client.close()
    return rows


def section(rows):
    cpu = platform.processor() or platform.machine()
    lines = ["## Cluster", "",
             f"Machine: {platform.system()} {platform.release()}, {cpu}, {os.cpu_count()} CPUs, "
             f"Python {platform.python_version()}, distributed {distributed.__version__}", "",
             f"Date: {datetime.datetime.now().isoformat(timespec='seconds')}", "",
             "A LocalCluster of this machine: two worker processes of one thread each, on the "
             f"loopback interface. Medians of {REPEATS} runs (the submit loop: of "
             f"{max(3, REPEATS // 3)}). No targets: one host shows the costs of the protocol, "
             "not of a network.", "",
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
