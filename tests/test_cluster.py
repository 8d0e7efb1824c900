"""The cluster report against a LocalCluster of this machine: two worker
processes of one thread each, on the loopback interface only."""
import json
import logging
import socket
import subprocess
import time
import unittest

from support import PYTHON, SANITIZED

from velkora.cluster import ClusterUnavailable, probe
from velkora.cluster._report import build_report

try:
    import distributed
except ImportError:
    distributed = None

KEYS = ["physical_cores", "numa_nodes", "has_gpu", "gpu_count", "gpu_memory_mb", "cuda_available",
        "rocm_available", "oneapi_available", "active_backend", "backend_version", "python_version",
        "subinterpreter_support", "platform", "detected_at", "detector", "detection_time_ms",
        "cpu_quota"]
# A dask worker that cannot import velkora, whatever is installed.
NO_VELKORA_WORKER = ("import sys; sys.modules['velkora'] = None; "
                     "from distributed.cli.dask_worker import main; main()")
cluster = client = None


def setUpModule():
    global cluster, client
    if distributed is None or SANITIZED:
        return
    # Any free port for the scheduler's HTTP server, which takes 8787 even with
    # the dashboard off and would clash with another cluster on this machine.
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       host="127.0.0.1", dashboard_address=":0",
                                       silence_logs=logging.ERROR)
    unittest.addModuleCleanup(cluster.close)
    client = distributed.Client(cluster, set_as_default=False)
    unittest.addModuleCleanup(client.close)


def run_cli(*args, blocked=()):
    """`python -m velkora probe ARGS`, with the modules `blocked` made unimportable."""
    code = (f"import sys; sys.modules.update(dict.fromkeys({list(blocked)!r})); "
            "import runpy; runpy.run_module('velkora', run_name='__main__')")
    return subprocess.run([PYTHON, "-c", code, "probe", *args], capture_output=True, text=True,
                          timeout=60)


def caps(cores=2, quota=None, backend="cpu", gpus=0, memory=0):
    return {"physical_cores": cores, "gpu_count": gpus, "gpu_memory_mb": memory,
            "active_backend": backend, "detector": "native", "cpu_quota": quota}


class TotalsTest(unittest.TestCase):
    def test_totals(self):
        missing = {"detector": "unavailable", "error": "velkora is not importable here"}
        rows = [
            # workers on one host share its cores and GPUs: counted once
            ({"tcp://10.0.0.1:1": caps(8), "tcp://10.0.0.1:2": caps(8)},
             dict(workers=2, unavailable=0, hosts=1, cores=8, gpus={}, gpu_memory_mb=0)),
            ({"tcp://10.0.0.1:1": caps(8, quota=2.5), "tcp://[::2]:1": caps(4, quota=64.0)},
             dict(workers=2, unavailable=0, hosts=2, cores=7, gpus={}, gpu_memory_mb=0)),
            ({"tcp://a:1": caps(backend="cuda", gpus=2, memory=1024),
              "tcp://a:2": caps(backend="cuda", gpus=2, memory=1024),
              "tcp://b:1": caps(backend="rocm", gpus=1, memory=512),
              "tcp://c:1": caps(backend="cpu", gpus=3)},
             dict(workers=4, unavailable=0, hosts=3, cores=6,
                  gpus={"cuda": 2, "rocm": 1, "unknown": 3}, gpu_memory_mb=2560)),
            # no report, an exception, garbage and a nonsense count: listed, not counted
            ({"tcp://a:1": missing, "tcp://a:2": OSError("worker gone"), "tcp://a:3": 7,
              "tcp://a:4": caps(cores=True), "tcp://b:1": caps(1, quota=0.2)},
             dict(workers=5, unavailable=4, hosts=1, cores=1, gpus={}, gpu_memory_mb=0)),
        ]
        for answers, expected in rows:
            with self.subTest(answers=answers):
                report = build_report("tcp://s:1", answers, {address: 1 for address in answers})
                totals = report.to_dict()["totals"]
                self.assertEqual(totals, dict(expected, threads=len(answers)))
                self.assertEqual(report.cores, expected["cores"])
                self.assertEqual(list(report.workers), sorted(answers))
        entry = build_report("s", {"tcp://a:2": OSError("worker gone")}, {}).workers["tcp://a:2"]
        self.assertEqual(entry, {"detector": "unavailable", "error": "OSError: worker gone"})


@unittest.skipIf(distributed is None, "needs the distributed package: pip install 'velkora[cluster]'")
@unittest.skipIf(SANITIZED, "the cluster layer is Python over the probe, which its own suite "
                            "runs sanitized; worker processes would inherit the preload")
class ClusterTest(unittest.TestCase):
    def check_full(self, reports, count):
        self.assertEqual(len(reports), count)
        for report in reports.values():
            self.assertEqual((list(report), report["detector"]), (KEYS, "native"))

    def test_report(self):
        address = cluster.scheduler_address
        report = probe(client)
        self.assertEqual(client.status, "running")  # a given client stays open
        self.check_full(report.workers, 2)
        self.assertEqual(set(report.workers), set(client.nthreads()))
        host = next(iter(report.workers.values()))["physical_cores"]
        self.assertEqual(report.to_dict()["totals"], {
            "workers": 2, "unavailable": 0, "hosts": 1, "cores": host, "threads": 2, "gpus": {},
            "gpu_memory_mb": 0})

        result = run_cli("--cluster", address, "--json")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.check_full(json.loads(result.stdout)["workers"], 2)
        result = run_cli("--cluster", address)
        self.assertEqual(result.returncode, 0, result.stderr)
        lines = result.stdout.splitlines()
        self.assertEqual((lines[0].split(" (")[0], len(lines)), (f"Cluster at {address}", 5))
        self.assertTrue(lines[-1].startswith("Totals: 2 workers on 1 host"), lines[-1])

    def test_unreachable(self):
        with socket.socket() as sock:  # a port that nothing listens on
            sock.bind(("127.0.0.1", 0))
            port = sock.getsockname()[1]
        rows = [
            (["--cluster", f"tcp://127.0.0.1:{port}", "--timeout", "1"], {}, 2,
             # the refusal is named where the last attempt got that far
             f"error: cannot reach the scheduler at tcp://127.0.0.1:{port} within 1 s"),
            (["--cluster", "127.0.0.1"], {}, 2,
             "error: invalid scheduler address '127.0.0.1': missing port number in address "),
            (["--cluster", "x:1", "--timeout", "0"], {}, 2, "error: argument --timeout: must be a "),
            (["--timeout", "5"], {}, 2, "error: --timeout applies only with --cluster"),
            (["--cluster", "x:1"], {"distributed": None}, 1,
             "error: --cluster needs the distributed package: pip install 'velkora[cluster]'"),
        ]
        for args, blocked, status, message in rows:
            with self.subTest(args=args, blocked=blocked):
                start = time.monotonic()
                result = run_cli(*args, blocked=blocked)
                # the timeout, plus starting an interpreter that imports distributed
                self.assertLess(time.monotonic() - start, 1 + 10)
                self.assertEqual((result.returncode, result.stdout), (status, ""))
                self.assertEqual(len(result.stderr.splitlines()), 1, result.stderr)
                self.assertIn(message, result.stderr)
        closed = distributed.Client(cluster, set_as_default=False)
        closed.close()
        for target, error in [(f"tcp://127.0.0.1:{port}", ClusterUnavailable),
                              (closed, ClusterUnavailable), (None, TypeError), (b"x:1", TypeError)]:
            with self.subTest(target=target), self.assertRaises(error):
                probe(target, timeout=0.2)

    def test_worker_without_velkora(self):
        worker = subprocess.Popen(
            [PYTHON, "-c", NO_VELKORA_WORKER, cluster.scheduler_address, "--nthreads", "1",
             "--no-nanny", "--no-dashboard", "--host", "127.0.0.1"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(self.stop, worker)
        client.wait_for_workers(3, timeout=30)

        report = probe(cluster.scheduler_address)
        missing = {a: r for a, r in report.workers.items() if r["detector"] == "unavailable"}
        self.assertEqual(len(missing), 1, report.workers)
        entry = next(iter(missing.values()))
        self.assertEqual(list(entry), ["detector", "error", "python_version", "platform"])
        self.assertIn("velkora", entry["error"])
        self.check_full({a: r for a, r in report.workers.items() if a not in missing}, 2)
        self.assertEqual((report.totals.workers, report.totals.unavailable), (3, 1))

        result = run_cli("--cluster", cluster.scheduler_address)
        self.assertEqual(result.returncode, 0, result.stderr)
        row = next(line for line in result.stdout.splitlines() if next(iter(missing)) in line)
        self.assertIn("no report: velkora is not importable here", row)

    def stop(self, worker):
        worker.terminate()
        try:
            worker.wait(timeout=10)
        except subprocess.TimeoutExpired:
            worker.kill()
            worker.wait()
        deadline = time.monotonic() + 10
        while len(client.nthreads()) > 2 and time.monotonic() < deadline:
            time.sleep(0.05)


if __name__ == "__main__":
    unittest.main()
