"""The cluster report against a Dask deployment started from the command line
(a `dask scheduler`, nanny workers, a worker without velkora, a worker on a
second loopback address), and against endpoints that are no scheduler."""
import json
import os
import signal
import time

import pytest
from dask_deploy import Deployment, StalledEndpoint, free_port, run_cli
from support import PYTHON, SANITIZED

from velkora.cluster import ClusterUnavailable, probe, scheduler_address
from velkora.cluster._cluster_report import build_report, format_report

pytestmark = pytest.mark.skipif(
    SANITIZED, reason="the cluster layer is Python over the probe, which its own suite runs "
                      "sanitized; worker processes would inherit the preload")
distributed = pytest.importorskip("distributed")

KEYS = ["physical_cores", "numa_nodes", "has_gpu", "gpu_count", "gpu_memory_mb", "cuda_available",
        "rocm_available", "oneapi_available", "active_backend", "backend_version", "python_version",
        "subinterpreter_support", "platform", "detected_at", "detector", "detection_time_ms",
        "cpu_quota", "host_id"]
# Margins for a machine under load: ten interpreters that import distributed
# at once may take half a minute there. A hang would take for ever.
SLACK = 60


def caps(cores=2, quota=None, backend="cpu", gpus=0, memory=0, host=None, free=None):
    report = {"physical_cores": cores, "gpu_count": gpus, "gpu_memory_mb": memory,
              "active_backend": backend, "detector": "native", "cpu_quota": quota}
    if host is not None:
        report["host_id"] = host
    if free is not None:
        report["gpu_memory"] = [{"backend": backend, "index": i, "free": value}
                                for i, value in enumerate(free)]
    return report


MISSING = {"detector": "unavailable", "error": "velkora is not importable here"}


@pytest.mark.parametrize("answers, expected", [
    # workers on one host share its cores and GPUs: counted once
    ({"tcp://10.0.0.1:1": caps(8), "tcp://10.0.0.1:2": caps(8)},
     dict(workers=2, unavailable=0, hosts=1, cores=8, threads=2, gpus={}, gpu_memory_mb=0)),
    ({"tcp://10.0.0.1:1": caps(8, quota=2.5), "tcp://[::2]:1": caps(4, quota=64.0)},
     dict(workers=2, unavailable=0, hosts=2, cores=7, threads=2, gpus={}, gpu_memory_mb=0)),
    # one machine under two addresses is one host: it says so itself
    ({"tcp://127.0.0.1:1": caps(2, host="vm/b1"), "tcp://192.0.2.2:1": caps(2, host="vm/b1"),
      "tcp://192.0.2.3:1": caps(2, host="other/b2")},
     dict(workers=3, unavailable=0, hosts=2, cores=4, threads=3, gpus={}, gpu_memory_mb=0)),
    ({"tcp://a:1": caps(backend="cuda", gpus=2, memory=1024, free=[100, 50]),
      "tcp://a:2": caps(backend="cuda", gpus=2, memory=1024, free=[90, 50]),
      "tcp://b:1": caps(backend="rocm", gpus=1, memory=512, free=[None]),
      "tcp://c:1": caps(backend="cpu", gpus=3)},
     dict(workers=4, unavailable=0, hosts=3, cores=6, threads=4,
          gpus={"cuda": 2, "rocm": 1, "unknown": 3}, gpu_memory_mb=2560, gpu_free_bytes=150)),
    # no report, an exception, garbage and a nonsense count: listed, not counted,
    # and their threads are not the pool's
    ({"tcp://a:1": MISSING, "tcp://a:2": OSError("worker gone"), "tcp://a:3": 7,
      "tcp://a:4": caps(cores=True), "tcp://b:1": caps(1, quota=0.2)},
     dict(workers=5, unavailable=4, hosts=1, cores=1, threads=1, gpus={}, gpu_memory_mb=0)),
])
def test_totals(answers, expected):
    report = build_report("tcp://s:1", answers, {address: 1 for address in answers})
    assert report.to_dict()["totals"] == expected
    assert report.cores == expected["cores"]
    assert list(report.workers) == sorted(answers)
    assert len(format_report(report).splitlines()) == len(answers) + 3


def test_worker_entries():
    dask_info = {"tcp://a:1": {"name": "big", "host": "a", "nthreads": 4, "memory_limit": 2 ** 31,
                               "resources": {"GPU": 1.0}, "local_directory": "/tmp"},
                 "tcp://a:2": {"name": 7, "nthreads": 1}}
    report = build_report("s", {"tcp://a:1": caps(), "tcp://a:2": OSError("worker gone")}, dask_info)
    assert report.workers["tcp://a:1"]["dask"] == {
        "name": "big", "host": "a", "nthreads": 4, "memory_limit": 2 ** 31, "resources": {"GPU": 1.0}}
    assert report.workers["tcp://a:2"] == {"detector": "unavailable", "error": "OSError: worker gone",
                                           "dask": {"name": 7, "nthreads": 1}}
    assert report.totals.threads == 4
    rows = format_report(report).splitlines()
    assert "big" in rows[2] and "2.0 GiB" in rows[2] and "GPU=1" in rows[2]
    assert rows[3].split()[1:3] == ["7", "1"] and "no report: OSError: worker gone" in rows[3]


def test_scheduler_address(tmp_path, monkeypatch):
    import dask

    path = tmp_path / "scheduler.json"
    path.write_text(json.dumps({"address": "tcp://10.1.1.1:8786", "type": "Scheduler"}))
    assert scheduler_address(scheduler_file=str(path)) == "tcp://10.1.1.1:8786"
    assert scheduler_address("tcp://x:1") == "tcp://x:1"
    with dask.config.set({"scheduler-address": "tcp://10.2.2.2:8786"}):
        assert scheduler_address() == "tcp://10.2.2.2:8786"
    with dask.config.set({"scheduler-address": None}):
        with pytest.raises(ClusterUnavailable, match="DASK_SCHEDULER_ADDRESS"):
            scheduler_address()
    (tmp_path / "bad.json").write_text("[1]")
    for bad in [tmp_path / "missing.json", tmp_path / "bad.json"]:
        with pytest.raises(ClusterUnavailable, match="scheduler file"):
            scheduler_address(scheduler_file=str(bad))
    with pytest.raises(ValueError, match="not both"):
        scheduler_address("tcp://x:1", str(path))


@pytest.fixture(scope="module")
def deployment(tmp_path_factory):
    cluster = Deployment(tmp_path_factory.mktemp("dask"))
    try:
        cluster.worker("--nworkers", "2", "--nthreads", "1", "--resources", "GPU=1",
                       "--memory-limit", "300MB")
        cluster.worker("--nthreads", "1", "--no-nanny", "--name", "bare", velkora=False)
        # This machine again, under another loopback address.
        cluster.worker("--nthreads", "1", "--no-nanny", "--name", "second", host="127.0.0.2")
        with distributed.Client(cluster.address, set_as_default=False, timeout=60) as client:
            client.wait_for_workers(4, timeout=120)
            yield cluster, client
    finally:
        cluster.stop()


@pytest.mark.timeout(240)
def test_report(deployment):
    cluster, client = deployment
    # The command line, started first: it runs while this process probes.
    commands = [run_cli("--cluster", cluster.address, "--json"),
                run_cli("--cluster", env={"DASK_SCHEDULER_ADDRESS": cluster.address}),
                run_cli("--scheduler-file", cluster.scheduler_file, "--timeout", "60")]
    report = probe(client)
    assert client.status == "running"  # a given client stays open
    able = {a: r for a, r in report.workers.items() if r["detector"] == "native"}
    bare = [r for r in report.workers.values() if r["detector"] == "unavailable"]
    assert len(able) == 3 and len(bare) == 1
    for entry in able.values():
        assert list(entry)[:len(KEYS)] == KEYS and entry["dask"]["nthreads"] == 1
    assert "velkora" in bare[0]["error"] and bare[0]["dask"]["name"] == "bare"
    limited = [r for r in able.values() if r["dask"].get("resources", {}).get("GPU") == 1]
    assert len(limited) == 2 and all(r["dask"]["memory_limit"] == 300_000_000 for r in limited)
    cores = next(iter(able.values()))["physical_cores"]
    # One machine, whatever the addresses; the worker without velkora runs no task of ours.
    assert report.to_dict()["totals"] == {
        "workers": 4, "unavailable": 1, "hosts": 1, "cores": cores, "threads": 3, "gpus": {},
        "gpu_memory_mb": 0}

    for command in commands:
        out, err = command.communicate(timeout=120)
        assert command.returncode == 0, err
        if out.startswith("{"):
            assert json.loads(out)["totals"]["threads"] == 3
        else:
            lines = out.splitlines()
            assert lines[0].startswith(f"Cluster at {cluster.address} (") and len(lines) == 7
            assert lines[-1].startswith("Totals: 4 workers (1 without a report) on 1 host")
            assert any("bare" in line and "no report: velkora is not importable" in line
                       for line in lines)


ENDPOINTS = {
    "silent": None,
    "http": b"HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n",
}


@pytest.mark.timeout(240)
def test_unreachable(tmp_path):
    """Every failure: one line on stderr, status 2, within about the timeout."""
    endpoints = {name: StalledEndpoint(reply) for name, reply in ENDPOINTS.items()}
    stopped = Deployment(tmp_path)  # a scheduler that stops answering
    try:
        os.killpg(stopped.scheduler.pid, signal.SIGSTOP)
        refused = f"tcp://127.0.0.1:{free_port()}"
        rows = [
            # (arguments, gives up near the timeout, what the line says)
            (["--cluster", endpoints["silent"].address, "--timeout", "2"], 2,
             f"cannot reach the scheduler at {endpoints['silent'].address} within 2 s"),
            (["--cluster", stopped.address, "--timeout", "2"], 2,
             f"cannot reach the scheduler at {stopped.address} within 2 s"),
            # retried until the deadline: a scheduler may be starting
            (["--cluster", refused, "--timeout", "2"], 2, f"at {refused} within 2 s"),
            # what is no scheduler fails at once, saying what broke
            (["--cluster", endpoints["http"].address, "--timeout", "60"], None, "within 60 s ("),
            # a name that cannot resolve fails at once, with the resolver's words
            (["--cluster", "tcp://no-such-host.invalid:8786", "--timeout", "60"], None,
             "cannot reach the scheduler at tcp://no-such-host.invalid:8786 ("),
            (["--cluster", endpoints["silent"].address.replace("tcp", "tls"), "--timeout", "60"],
             None, "(TypeError: TLS expects"),
            (["--cluster", "127.0.0.1"], None,
             "invalid scheduler address '127.0.0.1': missing port number in address "),
            (["--cluster", "x:1", "--timeout", "0"], None, "error: argument --timeout: must be a "),
            (["--timeout", "5"], None, "error: --timeout applies only with --cluster"),
            (["--cluster", "tcp://x:1", "--scheduler-file", "f"], None, "not both"),
        ]
        started = time.monotonic()
        runs = [(run_cli(*args), args, near, message) for args, near, message in rows]
        for command, args, near, message in runs:
            out, err = command.communicate(timeout=120)
            elapsed = time.monotonic() - started
            assert (command.returncode, out) == (2, ""), (args, err)
            assert len(err.splitlines()) == 1 and message in err, (args, err)
            assert elapsed < (near or 0) + SLACK, (args, elapsed)
        # The refusal is named once the client's own retries end, a second
        # before the deadline: time enough on a loaded machine.
        for target, timeout, ending, least in [
                (endpoints["silent"].address, 1, "within 1 s", 0.9),
                (refused, 5, "within 5 s (Connection refused)", 0)]:
            start = time.monotonic()
            with pytest.raises(ClusterUnavailable) as caught:
                probe(target, timeout=timeout)
            assert str(caught.value).endswith(ending)
            assert least <= time.monotonic() - start < timeout + SLACK
    finally:
        stopped.stop()
        for endpoint in endpoints.values():
            endpoint.close()


def test_without_distributed():
    import subprocess

    code = ("import sys; sys.modules['distributed'] = None; "
            "import runpy; runpy.run_module('velkora', run_name='__main__')")
    result = subprocess.run([PYTHON, "-c", code, "probe", "--cluster", "x:1"],
                            capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stdout) == (1, "")
    assert "error: --cluster needs the distributed package: pip install 'velkora[cluster]'" \
        in result.stderr and len(result.stderr.splitlines()) == 1


def test_bad_targets():
    closed = distributed.Client(processes=False, n_workers=0, dashboard_address=":0",
                                set_as_default=False)
    closed.close()
    for target, error in [(closed, ClusterUnavailable), (b"x:1", TypeError), (1, TypeError)]:
        with pytest.raises(error):
            probe(target, timeout=0.5)


class _Device:
    def __init__(self, free):
        self.free = free

    def to_dict(self):
        return {"backend": "cuda", "index": 0, "name": "gpu", "total": 100, "free": self.free,
                "used": None, "source": "nvml"}


@pytest.mark.parametrize("memory, expected", [
    (lambda: [_Device(40), _Device(None)], [40, None]),
    (lambda: [], []),
    (lambda: 1 / 0, None),  # a failing query leaves the report without the key
])
def test_worker_gpu_memory(monkeypatch, memory, expected):
    import velkora.gpu
    from velkora.cluster._worker_probe import worker_report

    monkeypatch.setattr(velkora.gpu, "memory", memory, raising=False)
    report = worker_report()
    assert report["detector"] in ("native", "native_fallback") and report["host_id"]
    found = report.get("gpu_memory")
    assert (None if found is None else [d["free"] for d in found]) == expected
    totals = build_report("s", {"tcp://a:1": report}, {"tcp://a:1": 1}).totals.to_dict()
    assert totals.get("gpu_free_bytes") == (40 if expected == [40, None] else None)
