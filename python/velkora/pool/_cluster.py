"""The cluster kind: tasks sent through a Dask client to the workers of a cluster.

Dask does not say when a task starts, and tasks are not assumed pure, so a task
that has been sent can be neither cancelled nor moved: it may be running. The
backend therefore keeps tasks here until the cluster has room for them, with at
most ``window`` out on the cluster at once: enough to keep every worker thread
busy over the round trip (many of a short task, a few of a long one); until it
is sent, a task can be cancelled, or taken back and run elsewhere, and is sure
never to start on the cluster.

Tasks go out in batches, one ``client.map`` for every task that fits, and
results come back in batches: each Dask completion callback collects every
task of this backend that has finished by then, with one gather for all of
them. Callbacks run on Dask's own callback thread, one at a time; they take
this backend's lock, never the pool's.

Tasks run only on workers that can run them (velkora installed there): a
worker plugin marks those with the worker resource ``velkora`` and each task
asks for one unit of it, so a worker that restarts under a new address is
marked again and gets the tasks that were waiting for it.

A future that Dask cancels means the cluster went away: Dask cancels every
future of a client that lost its scheduler, or that was closed, and the pool
itself never cancels a task it has sent. Then the tasks that were sent fail
(their results are gone with the cluster, and running them again could run
them twice), the tasks still waiting here go back to the pool to run locally,
and the pool leaves the cluster for good; so it does, running the tasks here,
if the scheduler refuses them. A worker that dies is Dask's to
handle: it runs the worker's tasks elsewhere, and fails a task that keeps
killing workers with ``distributed.KilledWorker``.

``distributed`` is imported only when a pool is given a cluster.
"""

from __future__ import annotations

import concurrent.futures as cf
import contextlib
import importlib
import itertools
import logging
import math
import threading
import time
import uuid
from collections import deque
from collections.abc import Callable
from typing import Any, Final

from ._kinds import Backend, Placement, Unpicklable

logger = logging.getLogger("velkora.pool")

#: Seconds between two looks at what the cluster offers (workers come and go).
REFRESH_EVERY: Final = 30.0
#: Bound on each look and on closing a client the pool opened.
CLUSTER_TIMEOUT: Final = 5.0
#: Seconds the cluster may have no worker able to run our tasks while some are
#: out there, before they fail: a nanny restarts a worker well within it, and
#: Dask itself would hold them for ever.
NO_WORKER_GRACE = 60.0
#: Seconds between two looks at the workers while shutdown waits for results.
JOIN_LOOK_EVERY = 5.0
#: Seconds of work to keep out per worker thread, so that a thread finds its
#: next task there when it finishes one, whatever the round trip costs.
COVER_SECONDS: Final = 0.05
#: Tasks out per worker thread: at least enough for a batch, at most what is
#: worth the tasks that can no longer be cancelled or moved.
MIN_PER_THREAD: Final = 2
MAX_PER_THREAD: Final = 256
#: Tasks waiting here that go out at once, without waiting for a result to land.
SEND_BATCH: Final = 64
#: Seconds a burst of submits may gather before it goes out as one batch.
FLUSH_DELAY: Final = 0.002
#: What the scheduler says of a task it could not unpickle.
_REFUSED = "Error during deserialization of the task graph"


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
        self.threads = 0  # task slots of the workers that can run our tasks
        self.task_seconds: float | None = None  # a task's running time, smoothed
        self.lost: str | None = None
        self.rescue: Callable[[list[Any]], None] = lambda tasks: None
        self._checked = -math.inf
        self.backends: list[ClusterBackend] = []  # those using this link, for check_starved
        self._starved_since: float | None = None  # time.monotonic()

    @property
    def window(self) -> int:
        """Tasks out on the cluster at once: enough to keep its threads busy over
        the round trip, few enough that little is lost or cannot be cancelled."""
        seconds = self.task_seconds
        per_thread = MIN_PER_THREAD if seconds is None else int(
            min(max(COVER_SECONDS / max(seconds, 1e-6), MIN_PER_THREAD), MAX_PER_THREAD))
        return max(8, per_thread * max(self.threads, 1))

    def ran(self, seconds: float) -> None:
        """A task ran for ``seconds`` on a worker: the window follows."""
        old = self.task_seconds
        self.task_seconds = seconds if old is None else 0.8 * old + 0.2 * seconds

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
            else:
                self.check_starved()
        if self.lost is not None or self.cores <= 0 or self.threads <= 0:
            return None
        return self.cores, self.threads

    def refresh(self, deadline: float | None = None) -> None:
        """Read the cluster report again, by ``deadline`` (time.monotonic(),
        default ``CLUSTER_TIMEOUT`` from now); ClusterUnavailable where it
        cannot be had."""
        from velkora.cluster._probe import report_through

        if deadline is None:
            deadline = time.monotonic() + CLUSTER_TIMEOUT
        report = report_through(self.client, deadline, max(deadline - time.monotonic(), 0.001))
        # Only the workers that can load our tasks count (velkora installed there).
        self.cores, self.threads = report.cores, report.totals.threads

    def check_starved(self) -> None:
        """After a look: where no worker able to run our tasks has been there
        for ``NO_WORKER_GRACE`` seconds, the tasks out on the cluster fail and
        the pool leaves it, rather than wait for a worker that may never come."""
        if self.threads > 0 or self.lost is not None:
            self._starved_since = None
            return
        now = time.monotonic()
        if self._starved_since is None:
            self._starved_since = now
        elif now - self._starved_since >= NO_WORKER_GRACE:
            cause = (f"the cluster at {self.address} has had no worker able to run the "
                     f"pool's tasks for {now - self._starved_since:.0f} s")
            for backend in list(self.backends):
                backend.abandon(cause)

    def mark_workers(self, deadline: float) -> None:
        """Mark the workers able to run our tasks, now and as they join."""
        from velkora.cluster import ClusterUnavailable
        from velkora.cluster._worker_mark import PLUGIN_NAME, VelkoraWorkerMark

        importlib.import_module("cloudpickle").register_pickle_by_value(
            importlib.import_module("velkora.cluster._worker_mark"))
        try:
            # Registered again each time: it marks every worker there now.
            self.client.sync(self.client._register_worker_plugin, VelkoraWorkerMark(),
                             PLUGIN_NAME, False,
                             callback_timeout=max(deadline - time.monotonic(), 0.001))
        except Exception as exc:
            raise ClusterUnavailable(
                f"the cluster at {self.address} did not take the worker mark "
                f"({type(exc).__name__}: {exc})".splitlines()[0]) from exc

    def close(self) -> None:
        """Close the client if the pool opened it; a client the user gave stays open."""
        if self.owned:
            self.owned = False
            with contextlib.suppress(Exception):  # a scheduler gone holds nothing of ours
                self.client.close(timeout=CLUSTER_TIMEOUT)


def open_link(cluster: Any, *, timeout: float = 10.0) -> ClusterLink:
    """A link to the cluster at an address (a client the pool owns) or through a
    connected ``distributed.Client`` (the user's, left open), ready within
    ``timeout`` seconds: connecting, marking the workers and the first look
    at what the cluster offers. Raises ``ClusterUnavailable`` where it is not."""
    from velkora.cluster._connect import (ClusterUnavailable, check_timeout, connect_by,
                                          import_distributed)

    timeout = check_timeout(timeout)
    deadline = time.monotonic() + timeout
    distributed = import_distributed()
    if isinstance(cluster, distributed.Client):
        if cluster.status != "running":
            raise ClusterUnavailable(
                f"the cluster client is not connected (its status is {cluster.status!r})")
        link = ClusterLink(cluster, owned=False)
    elif isinstance(cluster, str):
        link = ClusterLink(connect_by(cluster, deadline, timeout), owned=True)
    else:
        raise TypeError("cluster must be a scheduler address or a distributed.Client, not "
                        f"{type(cluster).__name__}")
    try:
        link.mark_workers(deadline)
        link.refresh(deadline)
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
        self._sent: dict[str, tuple[Any, Any]] = {}  # Dask key -> (task, its Dask future)
        from velkora.cluster._worker_mark import ShippedTask

        self._entry = ShippedTask()
        link.backends.append(self)
        self._prefix = uuid.uuid4().hex
        self._serial = itertools.count()
        self._flush_due = False

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
            elif len(self._sent) < max(self._link.threads, 1) or len(self._waiting) >= SEND_BATCH:
                self._send_locked()  # a thread may be idle, or a batch is ready
            elif not self._flush_due:
                # The rest of a burst of submits goes out in one batch, soon, or
                # with the next result to land, whichever comes first.
                self._flush_due = True
                timer = threading.Timer(FLUSH_DELAY, self._flush)
                timer.name, timer.daemon = "velkora-cluster-flush", True
                timer.start()
        return inner

    def _flush(self) -> None:
        with self._lock:
            self._flush_due = False
            if self._waiting and self._link.lost is None:
                self._send_locked()

    def forget(self, task: Any) -> None:
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
            self.forget(task)
        return tasks

    def in_flight(self) -> int:
        return len(self._held)

    def close(self) -> None:
        self.closed = True  # what waits here still goes out as the cluster has room

    def join(self) -> None:
        self.close()
        with self._lock:
            while self._held:
                if self._empty.wait(JOIN_LOOK_EVERY) or not self._sent:
                    continue
                self._lock.release()
                try:  # the control loop may have stopped: look at the workers here
                    from velkora.cluster import ClusterUnavailable

                    with contextlib.suppress(ClusterUnavailable):
                        self._link.refresh()
                        self._link.check_starved()
                finally:
                    self._lock.acquire()
        with contextlib.suppress(ValueError):
            self._link.backends.remove(self)

    def abandon(self, cause: str) -> None:
        """No worker can run the tasks out on the cluster: they fail (Dask is
        told to drop them, so none runs later as well), and those waiting here
        go back to the pool."""
        with self._lock:
            if not self._sent:
                return  # nothing stuck: the pool may still use the cluster once it has workers
            sent = list(self._sent.values())
            self._sent.clear()
            self._lose_locked(cause)
        if sent:
            with contextlib.suppress(Exception):  # a scheduler gone holds nothing to drop
                self._link.client.cancel([future for _, future in sent])
        for task, _ in sent:
            if task.inner is not None and not task.inner.done():
                task.inner.set_exception(ClusterGone(cause))
        with self._lock:
            for task, _ in sent:
                self._held.pop(task, None)
            if not self._held:
                self._empty.notify_all()

    def lost(self, exc: BaseException) -> str | None:
        return str(exc) if isinstance(exc, ClusterGone) else None

    # -- under self._lock ----------------------------------------------------

    def _send_locked(self) -> None:
        client, link = self._link.client, self._link
        room = link.window - len(self._sent)
        batch: list[tuple[Any, cf.Future[Any], bytes]] = []
        while self._waiting and len(batch) < room:
            task, inner, payload = self._waiting.popleft()
            if task.inner is not inner or not inner.set_running_or_notify_cancel():
                continue  # cancelled or taken back meanwhile
            batch.append((task, inner, payload))
        if not batch:
            return
        if client.status != "running":
            self._waiting.extendleft(reversed(batch))
            self._lose_locked(f"the cluster at {link.address} went away (its client is "
                              f"{client.status})")
            return
        from velkora.cluster._worker_mark import RESOURCE

        keys = [f"velkora-task-{self._prefix}-{next(self._serial)}" for _ in batch]
        try:
            # One message for the whole batch; keys of our own, so Dask need
            # not hash the payloads to name them.
            futures = client.map(self._entry, [payload for _, _, payload in batch], key=keys,
                                 pure=False, resources={RESOURCE: 1})
        except Exception as exc:  # a client closed since the status was read
            # They never left: they may still run elsewhere.
            self._waiting.extendleft(reversed(batch))
            self._lose_locked(f"the cluster at {link.address} went away ({exc})")
            return
        for (task, _, _), future in zip(batch, futures):
            self._sent[future.key] = (task, future)
        for future in futures:
            future.add_done_callback(self._landed)

    def _lose_locked(self, cause: str, refused: list[Any] | None = None) -> None:
        """The cluster is gone: never send again; what waits here, and what the
        cluster ``refused``, goes back to the pool."""
        if self._link.lost is None:
            self._link.lost = cause
            logger.warning("lost the cluster: %s", cause)
        if not self.broken:
            self.failure, self.broken = cause, True
        rescued = list(refused or ())
        for task in rescued:
            self._held.pop(task, None)
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

    def _landed(self, future: Any) -> None:
        with self._lock:
            if future.key not in self._sent:  # collected with an earlier one
                if self._waiting and self._link.lost is None:
                    self._send_locked()
                return
            done = [(task, sent) for task, sent in self._sent.values() if sent.done()]
            for _, sent in done:
                del self._sent[sent.key]
        # Room is given back once the results are here: a cluster lost meanwhile
        # takes no more than a window of tasks with it.
        outcomes, cause, refused = self._collect(done)
        with self._lock:
            if cause is not None:
                self._lose_locked(cause, refused)
            elif self._waiting:
                self._send_locked()
        for (task, _), (value, exc) in zip(done, outcomes):
            if task in refused:
                continue  # back with the pool, to run here
            inner = task.inner
            if exc is not None:
                inner.set_exception(exc)
            else:
                status, data, sample = value
                self._link.ran(sample[1])
                # Stamped on this host's clock: the worker's means nothing here.
                inner.set_result((status, data, (time.perf_counter(), *sample[1:])))
        with self._lock:
            for task, _ in done:
                self._held.pop(task, None)
            if not self._held:
                self._empty.notify_all()

    def _collect(self, done: list[tuple[Any, Any]]
                 ) -> tuple[list[tuple[Any, BaseException | None]], str | None, list[Any]]:
        """Each task's envelope or exception, why the cluster went away if it
        did, and the tasks the scheduler refused (they never ran)."""
        client = self._link.client
        finished = [future for _, future in done if future.status == "finished"]
        values: dict[Any, Any] = {}
        if finished:
            with contextlib.suppress(Exception):  # each is looked at alone below
                values = dict(zip((f.key for f in finished), client.gather(finished)))
        outcomes: list[tuple[Any, BaseException | None]] = []
        refused: list[Any] = []
        cause = None
        for task, future in done:
            if future.key in values:
                outcomes.append((values[future.key], None))
                continue
            try:
                if future.status == "finished":
                    outcomes.append((future.result(), None))
                    continue
                if future.status == "error":
                    error = future.exception()
                    if isinstance(error, RuntimeError) and str(error).startswith(_REFUSED):
                        refused.append(task)
                        cause = (f"the cluster at {self._link.address} refuses the pool's tasks "
                                 f"(its scheduler cannot unpickle them: "
                                 f"{_first_line(error.__cause__ or error)})")
                        outcomes.append((None, error))
                        continue
                    outcomes.append((None, error))
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
        return outcomes, cause, refused


def _first_line(exc: BaseException) -> str:
    return f"{type(exc).__name__}: {exc}".strip().splitlines()[0]


def _exception_of(future: Any) -> BaseException | None:
    """The exception a cancelled Dask future holds, without waiting for the client."""
    state = getattr(future, "_state", None)
    exc = getattr(state, "exception", None)
    return exc if isinstance(exc, BaseException) else None


def make(width: int, place: Placement) -> Backend:
    return ClusterBackend(width, place.cluster)
