"""The cluster kind: tasks sent through a Dask client to the workers of a cluster.

Dask does not say when a task starts, and tasks are not assumed pure, so a task
that has been sent can be neither cancelled nor moved: it may be running. The
backend therefore keeps tasks here until the cluster has room for them, with at
most ``window`` (four times the cluster's worker threads) out on the cluster at
once; until it is sent, a task can be cancelled, or taken back and run
elsewhere, and is sure never to start on the cluster.

Results come back in batches: each Dask completion callback collects every
task of this backend that has finished by then, with one gather for all of
them. Callbacks run on Dask's own callback thread, one at a time; they take
this backend's lock, never the pool's.

A future that Dask cancels means the cluster went away: Dask cancels every
future of a client that lost its scheduler, or that was closed, and the pool
itself never cancels a task it has sent. Then the tasks that were sent fail
(their results are gone with the cluster, and running them again could run
them twice), the tasks still waiting here go back to the pool to run locally,
and the pool leaves the cluster for good. A worker that dies is Dask's to
handle: it runs the worker's tasks elsewhere, and fails a task that keeps
killing workers with ``distributed.KilledWorker``.

``distributed`` is imported only when a pool is given a cluster.
"""

from __future__ import annotations

import concurrent.futures as cf
import contextlib
import importlib
import logging
import math
import threading
import time
from collections import deque
from collections.abc import Callable
from typing import Any, Final

from ._kinds import Backend, Placement, Unpicklable
from ._remote import run_remote

logger = logging.getLogger("velkora.pool")

#: Seconds between two looks at what the cluster offers (workers come and go).
REFRESH_EVERY: Final = 30.0
#: Bound on each look and on closing a client the pool opened.
CLUSTER_TIMEOUT: Final = 5.0


class ClusterGone(Exception):
    """The cluster a task was sent to went away before its result came back."""


class ClusterLink:
    """The pool's one client of a cluster, and what the cluster offers.

    Shared by every cluster backend the pool starts. ``lost`` says why the
    cluster went away, once it has. ``rescue`` hands tasks that never left this
    host back to the pool, to run locally.
    """

    def __init__(self, client: Any, owned: bool) -> None:
        self.client = client
        self.owned = owned
        self.address = str(client.scheduler.address)
        self.cores = 0  # usable cores, each host counted once
        self.threads = 0  # task slots of all workers
        self.workers: list[str] | None = None  # those that can run our tasks; None: all
        self.lost: str | None = None
        self.rescue: Callable[[list[Any]], None] = lambda tasks: None
        self._checked = -math.inf

    @property
    def window(self) -> int:
        """Tasks out on the cluster at once: enough to keep its threads busy over
        the round trip of short tasks, few enough that little is lost or cannot
        be cancelled."""
        return max(8, 4 * self.threads)

    def offer(self, now: float) -> tuple[int, int] | None:
        """(cores, worker threads) the cluster offers, looked at again every
        ``REFRESH_EVERY`` seconds; None once it went away or if it has none."""
        if self.lost is None and now - self._checked >= REFRESH_EVERY:
            from velkora.cluster import ClusterUnavailable

            self._checked = now
            try:
                self.refresh()
            except ClusterUnavailable as exc:
                logger.warning("the cluster at %s did not report: %s", self.address, exc)
                self.cores = 0
        if self.lost is not None or self.cores <= 0:
            return None
        return self.cores, self.threads

    def refresh(self) -> None:
        """Read the cluster report again; ClusterUnavailable where it cannot be had."""
        from velkora.cluster import probe, usable_cores

        report = probe(self.client, timeout=CLUSTER_TIMEOUT)
        able = [address for address, entry in report.workers.items()
                if usable_cores(entry) is not None]
        self.cores, self.threads = report.cores, max(report.totals.threads, 1)
        # Workers without velkora could not load our tasks: keep the tasks off them.
        self.workers = able if able and len(able) < len(report.workers) else None

    def close(self) -> None:
        """Close the client if the pool opened it; a client the user gave stays open."""
        if self.owned:
            self.owned = False
            with contextlib.suppress(Exception):  # a scheduler gone holds nothing of ours
                self.client.close(timeout=CLUSTER_TIMEOUT)


def open_link(cluster: Any) -> ClusterLink:
    """A link to the cluster at an address (a client the pool owns) or through a
    connected ``distributed.Client`` (the user's, left open)."""
    from velkora.cluster._connect import ClusterUnavailable, connect, import_distributed

    distributed = import_distributed()
    if isinstance(cluster, distributed.Client):
        if cluster.status != "running":
            raise ClusterUnavailable(
                f"the cluster client is not connected (its status is {cluster.status!r})")
        link = ClusterLink(cluster, owned=False)
    elif isinstance(cluster, str):
        link = ClusterLink(connect(cluster, timeout=10.0), owned=True)
    else:
        raise TypeError("cluster must be a scheduler address or a distributed.Client, not "
                        f"{type(cluster).__name__}")
    try:
        link.refresh()
        link._checked = time.perf_counter()
    except BaseException:
        link.close()
        raise
    return link


def _dumps(task: Any) -> bytes:
    # Dask's own pickler: functions of a script or a notebook go by value.
    dumps = importlib.import_module("cloudpickle").dumps
    try:
        return bytes(dumps((task.fn, task.args, task.kwargs)))
    except Exception as exc:
        raise Unpicklable(f"{type(exc).__name__}: {exc}") from exc


class ClusterBackend(Backend):
    """Tasks sent through the link's client, a window of them at a time."""

    kind = "cluster"
    fallback = "process"
    recovery = "the pool went back to local workers"

    def __init__(self, width: int, link: ClusterLink) -> None:
        super().__init__(link.threads or width)
        self._link = link
        self._lock = threading.Lock()
        self._empty = threading.Condition(self._lock)
        self._waiting: deque[tuple[Any, cf.Future[Any], bytes]] = deque()
        self._held: dict[Any, None] = {}  # every task here, waiting or sent, until it resolves
        self._sent: dict[Any, Any] = {}  # task -> its Dask future

    def submit(self, task: Any) -> cf.Future[Any]:
        payload = _dumps(task)
        inner: cf.Future[Any] = cf.Future()
        with self._lock:
            if self.closed:
                raise RuntimeError("cannot schedule new futures after shutdown")
            task.inner, task.backend = inner, self
            self._held[task] = None
            self._waiting.append((task, inner, payload))
            if self._link.lost is not None:
                self._lose_locked(self._link.lost)
            else:
                self._send_locked()
        return inner

    def withdraw(self, task: Any) -> bool:
        inner = task.inner
        if inner is None or not inner.cancel():
            return False
        self._forget(task)
        return True

    def _forget(self, task: Any) -> None:
        with self._lock:
            self._held.pop(task, None)
            if not self._held:
                self._empty.notify_all()
        task.inner = task.backend = None

    def take_queued(self) -> list[Any]:
        with self._lock:
            tasks = [task for task, inner, _ in self._waiting
                     if task.inner is inner and inner.cancel()]
            self._waiting.clear()
        for task in tasks:
            self._forget(task)
        return tasks

    def in_flight(self) -> int:
        return len(self._held)

    def close(self) -> None:
        self.closed = True  # what waits here still goes out as the cluster has room

    def join(self) -> None:
        self.close()
        with self._lock:
            while self._held:
                self._empty.wait()

    def lost(self, exc: BaseException) -> str | None:
        return str(exc) if isinstance(exc, ClusterGone) else None

    # -- under self._lock ----------------------------------------------------

    def _send_locked(self) -> None:
        client, link = self._link.client, self._link
        while self._waiting and len(self._sent) < link.window:
            if client.status != "running":
                self._lose_locked(f"the cluster at {link.address} went away (its client is "
                                  f"{client.status})")
                return
            task, inner, payload = self._waiting.popleft()
            if task.inner is not inner or not inner.set_running_or_notify_cancel():
                continue  # cancelled or taken back meanwhile
            try:
                future = client.submit(run_remote, payload, pure=False, workers=link.workers)
                future.add_done_callback(self._landed)
            except Exception as exc:  # a client closed since the status was read
                # It never left: it may still run elsewhere.
                self._waiting.appendleft((task, inner, payload))
                self._lose_locked(f"the cluster at {link.address} went away ({exc})")
                return
            self._sent[task] = future

    def _lose_locked(self, cause: str) -> None:
        """The cluster is gone: never send again; what waits here goes back to the pool."""
        if self._link.lost is None:
            self._link.lost = cause
            logger.warning("lost the cluster: %s", cause)
        if not self.broken:
            self.failure, self.broken = cause, True
        rescued = []
        for task, inner, _ in self._waiting:
            # An inner already running was set so by a send that failed: still ours.
            if task.inner is inner and (inner.cancel() or inner.running()):
                self._held.pop(task, None)
                rescued.append(task)
        self._waiting.clear()
        if not self._held:
            self._empty.notify_all()
        if rescued:
            self._link.rescue(rescued)

    # -- on Dask's callback thread -------------------------------------------

    def _landed(self, _future: Any) -> None:
        with self._lock:
            done = [(task, future) for task, future in self._sent.items() if future.done()]
            for task, _ in done:
                del self._sent[task]
        if not done:
            return  # collected with an earlier one
        outcomes, cause = self._collect(done)
        with self._lock:
            if cause is not None:
                self._lose_locked(cause)
            elif self._waiting:
                self._send_locked()
        for (task, _), (value, exc) in zip(done, outcomes):
            inner = task.inner
            if exc is not None:
                inner.set_exception(exc)
            else:
                status, data, sample = value
                # Stamped on this host's clock: the worker's means nothing here.
                inner.set_result((status, data, (time.perf_counter(), *sample[1:])))
        with self._lock:
            for task, _ in done:
                self._held.pop(task, None)
            if not self._held:
                self._empty.notify_all()

    def _collect(self, done: list[tuple[Any, Any]]
                 ) -> tuple[list[tuple[Any, BaseException | None]], str | None]:
        """Each task's envelope or exception, and why the cluster went away if it did."""
        client = self._link.client
        finished = [future for _, future in done if future.status == "finished"]
        values: dict[Any, Any] = {}
        if finished:
            with contextlib.suppress(Exception):  # each is looked at alone below
                values = dict(zip((f.key for f in finished), client.gather(finished)))
        outcomes: list[tuple[Any, BaseException | None]] = []
        cause = None
        for _, future in done:
            if future.key in values:
                outcomes.append((values[future.key], None))
                continue
            try:
                if future.status == "finished":
                    outcomes.append((future.result(), None))
                    continue
                if future.status == "error":
                    outcomes.append((None, future.exception()))
                    continue
                why = future.status
            except Exception as exc:
                if future.status != "cancelled" and client.status == "running":
                    # The task's own error after all, or a result that could not
                    # be fetched from a cluster still there: this task's failure.
                    outcomes.append((None, exc))
                    continue
                why = f"{type(exc).__name__}: {exc}".splitlines()[0]
            reason = getattr(_exception_of(future), "reason", None)
            if reason in (None, "unknown"):  # what Dask says of a client closed under us
                reason = why if why != "cancelled" else f"its client is {client.status}"
            cause = f"the cluster at {self._link.address} went away ({reason})"
            outcomes.append((None, ClusterGone(cause)))
        return outcomes, cause


def _exception_of(future: Any) -> BaseException | None:
    """The exception a cancelled Dask future holds, without waiting for the client."""
    state = getattr(future, "_state", None)
    exc = getattr(state, "exception", None)
    return exc if isinstance(exc, BaseException) else None


def make(width: int, place: Placement) -> Backend:
    return ClusterBackend(width, place.cluster)
