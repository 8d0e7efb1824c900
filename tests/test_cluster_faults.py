"""The pool's cluster kind on a deployment started from the command line: a
scheduler from an interpreter without velkora, a nanny worker with velkora
(two threads) and a worker without it; a killed worker, a refusing
scheduler, an endpoint that never answers."""
import os
import signal
import sys
import time

import pytest
from dask_deploy import Deployment, StalledEndpoint, wait_for
from support import SANITIZED

from velkora.cluster import ClusterUnavailable
from velkora.pool import AdaptivePool

pytestmark = pytest.mark.skipif(
    SANITIZED, reason="the cluster layer is Python; worker processes would inherit the preload")
distributed = pytest.importorskip("distributed")
# The workers load these tasks from the pickle: this module is not on their path.
pytest.importorskip("cloudpickle").register_pickle_by_value(sys.modules[__name__])


def record(path, i, seconds=0.0):
    time.sleep(seconds)
    with open(path, "a") as f:
        f.write(f"{i} {os.getpid()}\n")
    return i


@pytest.fixture(scope="module")
def deployment(tmp_path_factory):
    cluster = Deployment(tmp_path_factory.mktemp("dask"), velkora_scheduler=False)
    try:
        cluster.worker("--nthreads", "2", "--name", "able")
        cluster.worker("--nthreads", "1", "--no-nanny", "--name", "bare", velkora=False)
        with distributed.Client(cluster.address, set_as_default=False, timeout=60) as client:
            client.wait_for_workers(2, timeout=120)
            yield cluster, client
    finally:
        cluster.stop()


def able_worker(client):
    workers = client.scheduler_info(n_workers=-1)["workers"]
    return next((address for address, info in workers.items() if info["name"] == "able"), None)


@pytest.mark.timeout(240)
def test_killed_worker_restarts(deployment, tmp_path):
    """A scheduler without velkora takes the tasks; a worker killed and restarted
    under a new address gets the tasks that waited for it; none stays pending."""
    _, client = deployment
    path = str(tmp_path / "runs")
    with AdaptivePool(2, kinds=("cluster",), cluster=client) as pool:
        assert pool._cluster.threads == 2  # the worker without velkora is not counted
        futures = [pool.submit(record, path, i, 0.2) for i in range(20)]
        assert futures[0].result(timeout=120) == 0
        victim = able_worker(client)
        pid = client.run(os.getpid, workers=[victim])[victim]
        os.kill(pid, signal.SIGKILL)
        assert [f.result(timeout=120) for f in futures] == list(range(20))
        new = wait_for(lambda: (able_worker(client) or victim) != victim and able_worker(client),
                       timeout=120, what="the restarted worker")
        assert pool.submit(record, path, "after", 0).result(timeout=120) == "after"
    runs = [line.split() for line in open(path)]
    # Only the worker with velkora ran them, before and after its restart.
    bare = client.run(os.getpid, workers=[a for a in client.nthreads() if a != new])
    assert not {pid for _, pid in runs} & {str(p) for p in bare.values()}


@pytest.mark.timeout(240)
def test_last_able_worker_gone_fails_its_tasks(tmp_path, monkeypatch):
    """The only worker able to run the pool's tasks dies for good: after the
    grace, the tasks out there fail with WorkerLostError and shutdown returns;
    none stays pending."""
    from velkora.pool import WorkerLostError, _cluster

    monkeypatch.setattr(_cluster, "NO_WORKER_GRACE", 1.0)
    monkeypatch.setattr(_cluster, "JOIN_LOOK_EVERY", 0.2)
    cluster = Deployment(tmp_path)
    try:
        worker = cluster.worker("--nthreads", "1", "--no-nanny")
        with distributed.Client(cluster.address, set_as_default=False, timeout=60) as client:
            client.wait_for_workers(1, timeout=120)
            pool = AdaptivePool(1, kinds=("cluster",), cluster=client)
            futures = [pool.submit(record, str(tmp_path / "runs"), i, 0.5) for i in range(6)]
            assert futures[0].result(timeout=120) == 0
            os.killpg(worker.pid, signal.SIGKILL)
            pool.shutdown(wait=True, cancel_futures=True)
            assert all(f.done() for f in futures)
            lost = [f.exception() for f in futures[1:]]
            assert all(e is None or isinstance(e, WorkerLostError) for e in lost), lost
            assert any(isinstance(e, WorkerLostError) for e in lost)
    finally:
        cluster.stop()


@pytest.mark.timeout(240)
def test_refused_tasks_run_here(deployment, monkeypatch):
    """A scheduler that cannot unpickle the tasks: they run here, and the
    decision says why."""
    from velkora.cluster import _worker_mark
    from velkora.pool._remote import run_remote

    _, client = deployment
    monkeypatch.setattr(_worker_mark, "ShippedTask", lambda: run_remote)  # by reference
    with AdaptivePool(2, kinds=("cluster", "thread", "process"), cluster=client) as pool:
        futures = [pool.submit(abs, -i) for i in range(10)]
        assert [f.result(timeout=120) for f in futures] == list(range(10))
        assert pool.kind != "cluster"
        assert any("refuses the pool's tasks" in d.reason for d in pool.decisions)
    assert client.status == "running"


@pytest.mark.timeout(120)
def test_connect_deadline():
    from velkora.pool._cluster import open_link

    silent = StalledEndpoint()
    try:
        start = time.monotonic()
        with pytest.raises(ClusterUnavailable, match="within 1 s$"):
            open_link(silent.address, timeout=1)
        assert 0.9 <= time.monotonic() - start < 1 + 60
    finally:
        silent.close()
