"""AdaptivePool's cluster kind against LocalClusters of this machine (two worker
processes of one thread each, loopback only), and its choice of the cluster
replayed with made-up measurements."""
import logging
import os
import signal
import sys
import threading
import time

import pytest
from support import SANITIZED, run_python

from velkora.pool import AdaptivePool, WorkerLostError
from velkora.pool._controller import Controller

pytestmark = pytest.mark.skipif(
    SANITIZED, reason="the cluster layer is Python; worker processes would inherit the preload")
distributed = pytest.importorskip("distributed")
dask = pytest.importorskip("dask")
# The workers load these tasks from the pickle: this module is not on their path.
pytest.importorskip("cloudpickle").register_pickle_by_value(sys.modules[__name__])


def record(path, i, seconds=0.0):
    time.sleep(seconds)
    with open(path, "a") as f:
        f.write(f"{i}\n")
    return i


def die():
    os.kill(os.getpid(), signal.SIGKILL)


def local_cluster(allowed_failures=1):
    # Any free port for the scheduler's HTTP server (8787 may be taken). A task
    # that killed a worker runs once more, then fails: the killed-worker cases
    # stay short.
    with dask.config.set({"distributed.scheduler.allowed-failures": allowed_failures}):
        return distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                        host="127.0.0.1", dashboard_address=":0",
                                        silence_logs=logging.ERROR)


@pytest.fixture(scope="module")
def client():
    with local_cluster() as cluster, distributed.Client(cluster, set_as_default=False) as user:
        yield user


@pytest.fixture(autouse=True)
def no_pool_threads():
    yield
    assert [t.name for t in threading.enumerate() if t.name.startswith("velkora-pool")] == []


def outcomes(futures):
    return [f.exception(timeout=60) if not f.cancelled() else "cancelled" for f in futures]


@pytest.mark.timeout(120)
def test_exactly_once(client, tmp_path):
    path = str(tmp_path / "runs")
    with AdaptivePool(2, kinds=("cluster",), cluster=client) as pool:
        futures = [pool.submit(record, path, i) for i in range(1000)]
        # Still waiting here, never sent: cancelled for sure, and never run.
        assert all(f.cancel() for f in futures[-10:])
        assert [f.result(timeout=60) for f in futures[:-10]] == list(range(990))
        with pytest.raises(ValueError, match="invalid literal"):
            pool.submit(int, "x").result(timeout=60)
        assert pool.submit(lambda x: x + 1, 1).result(timeout=60) == 2  # Dask's pickler
        stats = pool.stats()
    assert sorted(map(int, open(path).read().split())) == list(range(990))
    assert (stats.kind, stats.completed, stats.failed, stats.cancelled, stats.pending) == \
        ("cluster", 991, 1, 10, 0)
    assert client.status == "running"  # the user's client stays open


@pytest.mark.timeout(120)
def test_killed_worker(client, tmp_path):
    with AdaptivePool(2, kinds=("cluster",), cluster=client) as pool:
        futures = [pool.submit(record, str(tmp_path / "runs"), i, 0.05) for i in range(40)]
        futures[0].result(timeout=60)
        victim = next(iter(client.run(os.getpid).values()))
        os.kill(victim, signal.SIGKILL)
        # Dask runs the lost task again elsewhere...
        assert [f.result(timeout=60) for f in futures] == list(range(40))
        # ...and gives up on one that kills every worker it runs on.
        with pytest.raises(distributed.KilledWorker):
            pool.submit(die).result(timeout=60)
    client.wait_for_workers(2, timeout=30)


@pytest.mark.timeout(120)
@pytest.mark.parametrize("shut_down_first", [False, True])
def test_cluster_goes_away(tmp_path, shut_down_first):
    # Dask's own tolerance: closing a cluster stops its workers one by one,
    # which must not fail the tasks they held as tasks that kill workers.
    cluster = local_cluster(allowed_failures=3)
    try:
        pool = AdaptivePool(2, kinds=("cluster",), cluster=cluster.scheduler_address)
        futures = [pool.submit(record, str(tmp_path / "runs"), i, 0.05) for i in range(60)]
        futures[0].result(timeout=60)
        if shut_down_first:
            pool.shutdown(wait=False)
        cluster.close()
        results = outcomes(futures)
        lost = [e for e in results if e is not None]
        assert lost and all(isinstance(e, WorkerLostError) for e in lost)
        assert "went away" in str(lost[0]) and "back to local workers" in str(lost[0])
        # Only what was out on the cluster is lost; the rest ran here.
        assert len(lost) <= 8 and pool.kind == "process"
        assert any(d.action == "switch" and "went away" in d.reason for d in pool.decisions)
        if not shut_down_first:
            assert pool.submit(record, str(tmp_path / "runs"), "x").result(timeout=60) == "x"
        pool.shutdown()
        assert pool._cluster.client.status == "closed"  # the pool's own client is closed
    finally:
        cluster.close()


@pytest.mark.parametrize("offer, pending, initial, wanted, reason", [
    ((8, 8), 4, "thread", ("switch", "cluster", 8), "every local core is busy (4 tasks"),
    ((8, 8), 1, "thread", ("switch", "process", 2), "local workers idle"),
    ((2, 4), 4, "thread", ("switch", "process", 2), "offers 2 cores, no more than the 2 here"),
    (None, 4, "thread", ("switch", "process", 2), "dominant pattern cpu_bound"),
    ((8, 8), 4, "cluster", ("stay", "cluster", 8), "cluster is the kind"),
    ((8, 16), 4, "cluster", ("resize", "cluster", 16), "the cluster has 16 worker threads"),
    ((8, 8), 1, "cluster", ("switch", "process", 2), "local workers idle"),
])
def test_cluster_decisions(offer, pending, initial, wanted, reason):
    controller = Controller(kinds=("thread", "process", "cluster"), kind=initial, width=2,
                            cooldown=5.0, window=30.0, check_interval=0.5, now=0.0)
    controller.cluster = offer
    if initial == "cluster":
        controller.width = 8
    sample = ("thread", (1.0, 0.005, 0.0025, 0, 2, 0))  # CPU-bound, two threads on the lock
    decision = controller.step(1.0, [sample] * 20, 20, True, None, 0.0, pending=pending)
    assert (decision.action, decision.kind, decision.width) == wanted
    assert reason in decision.reason


def test_no_distributed_without_a_cluster():
    result = run_python(
        "import sys\n"
        "from velkora.pool import AdaptivePool\n"
        "with AdaptivePool(1) as pool:\n"
        "    assert pool.submit(abs, -1).result() == 1\n"
        "for kinds, cluster in [(('thread', 'cluster'), None), (('thread',), 'tcp://x:1')]:\n"
        "    try:\n"
        "        AdaptivePool(1, kinds=kinds, cluster=cluster)\n"
        "    except ValueError as exc:\n"
        "        print(exc)\n"
        "print(sorted(m for m in sys.modules if m.split('.')[0] in ('distributed', 'dask')))\n")
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "the cluster kind needs cluster=ADDRESS or a distributed.Client",
        "cluster is given but 'cluster' is not among kinds ('thread',)", "[]"]
