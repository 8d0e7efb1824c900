"""``AdaptivePool``: a ``concurrent.futures.Executor`` that moves its work between pool kinds.

Every future handed out resolves exactly once. A task moves to another backend
only after the one holding it gave it up (``take_queued``: it is sure never to
start there), so it never runs twice, and cancelling a future is decided under
the same lock as moves.

Locking, so that nothing deadlocks with the executors underneath:

- ``_lock`` guards the current backend and where each task is. It is held while
  calling a backend's ``submit``, ``withdraw``, ``take_queued`` and ``close``, never
  while waiting for a backend, and never by a completion callback: a process
  pool's manager thread runs callbacks holding its own lock, which ``submit`` needs.
- Completion callbacks only read their future, append to deques and resolve
  futures. A callback that needs a decision (a dead worker, a task a worker
  could not load) queues the task for the controller thread.
- Callbacks, the pool's and its users', never run under ``_lock``.
"""

from __future__ import annotations

import concurrent.futures as cf
import itertools
import logging
import pickle
import threading
import time
import weakref
from collections import deque
from collections.abc import Callable, Iterable, Iterator
from concurrent.futures import _base
from concurrent.futures.process import BrokenProcessPool
from functools import lru_cache
from typing import TYPE_CHECKING, Any, Final, ParamSpec, TypeVar

from velkora._cpuquota import cpu_quota, usable_workers

from . import _worker
from ._backends import Backend, ProcessBackend, Unpicklable, make_backend
from ._controller import Controller
from ._memory import heap_fragmentation, memory_usage
from ._patterns import PROFILES
from ._records import Decision, PoolStats

if TYPE_CHECKING:
    from velkora.cluster import AddressOrClient

    from ._cluster import ClusterLink

__all__ = ["AdaptivePool", "WorkerLostError"]

logger = logging.getLogger("velkora.pool")

P = ParamSpec("P")
T = TypeVar("T")

MAX_SAMPLES_QUEUED: Final = 2048


class WorkerLostError(BrokenProcessPool):
    """The process worker running this task died (killed by a signal, or exited),
    or the cluster it was sent to went away.

    Only the tasks that were running or already handed to the workers fail with
    it; the pool replaces its process workers and goes on with the rest.
    """


@lru_cache(maxsize=1)
def default_width() -> int:
    """Usable cores from the capability report, capped by the container's CPU quota."""
    from velkora.native import hostprobe

    cores = hostprobe.detect_capabilities().get("physical_cores") or 1
    return usable_workers(int(cores))


class _Task:
    __slots__ = ("pool", "fn", "args", "kwargs", "outer", "inner", "backend")

    def __init__(self, pool: AdaptivePool, fn: Callable[..., Any], args: tuple[Any, ...],
                 kwargs: dict[str, Any]) -> None:
        self.pool = pool
        self.fn, self.args, self.kwargs = fn, args, kwargs
        self.outer: _PoolFuture[Any] = _PoolFuture(self)
        self.inner: cf.Future[Any] | None = None
        self.backend: Backend | None = None

    def on_done(self, inner: cf.Future[Any]) -> None:
        self.pool._on_done(self, inner)

    def release(self) -> None:
        """Done with: drop the references that would keep the call's data alive."""
        self.outer._task = None
        self.fn = self.args = self.kwargs = None  # type: ignore[assignment]
        self.inner = self.backend = None


def _mark_cancelled(future: cf.Future[Any]) -> bool:
    """PENDING -> CANCELLED without running callbacks (the caller runs them, unlocked)."""
    with future._condition:
        if future._state != _base.PENDING:
            return False
        future._state = _base.CANCELLED
        future._condition.notify_all()
    return True


def _announce_cancelled(future: cf.Future[Any], notify: bool) -> None:
    future._invoke_callbacks()  # type: ignore[attr-defined]
    if notify:  # no worker will: wake wait() and as_completed()
        future.set_running_or_notify_cancel()


class _PoolFuture(cf.Future[T]):
    """The future a user holds; cancelling it withdraws the task wherever it waits."""

    def __init__(self, task: _Task) -> None:
        super().__init__()
        self._task: _Task | None = task

    def cancel(self) -> bool:
        task = self._task
        if task is None:
            return super().cancel()
        with task.pool._lock:
            if self._state == _base.PENDING and (task.backend is None
                                                 or task.backend.withdraw(task)):
                cancelled = _mark_cancelled(self)
                # A backend that gave the task back forgot it; one that keeps it
                # queued lets its worker notify when it reaches the task.
                notify = task.backend is None
            else:
                cancelled = notify = False
        if not cancelled:
            return self.cancelled()
        task.pool._count_cancelled(1)
        _announce_cancelled(self, notify)
        return True

    def running(self) -> bool:
        task = self._task
        inner = task.inner if task is not None else None
        return super().running() or (inner is not None and inner.running() and not self.done())


class AdaptivePool(cf.Executor):
    """An executor that runs tasks on threads or processes, whichever the workload suits.

    ``max_workers`` defaults to the usable cores of the capability report, capped by
    the container's CPU quota. ``kinds`` are the pool kinds it may use and
    ``initial`` the one it starts with (the first of ``kinds``). ``cooldown`` is the
    least time between two adaptations, ``window`` how far back the measurements
    reach, ``check_interval`` the longest wait between two looks at them.
    ``mp_context`` is the multiprocessing context of the process workers (spawn).

    The "cluster" kind sends tasks to a Dask cluster, ``cluster``: a scheduler
    address (the pool opens a client and closes it at shutdown) or a connected
    ``distributed.Client`` (left open). CPU-bound work goes there while every
    local core is busy and the cluster offers more cores than this host; if the
    cluster goes away, the pool goes back to local workers for good. Raises
    ``velkora.cluster.ClusterUnavailable`` when the cluster cannot be reached.
    """

    def __init__(self, max_workers: int | None = None, *,
                 kinds: tuple[str, ...] = ("thread", "process"), initial: str | None = None,
                 cooldown: float = 5.0, window: float = 30.0, check_interval: float = 0.5,
                 mp_context: Any = None, cluster: AddressOrClient | None = None) -> None:
        kinds = tuple(kinds)
        if not kinds:
            raise ValueError("kinds must name at least one pool kind")
        for kind in kinds:
            if kind not in PROFILES:
                raise ValueError(f"unknown pool kind {kind!r} (known: {', '.join(PROFILES)})")
        if ("cluster" in kinds) != (cluster is not None):
            raise ValueError("the cluster kind needs cluster=ADDRESS or a distributed.Client"
                             if cluster is None else "cluster is given but 'cluster' is not "
                             f"among kinds {kinds}")
        initial = kinds[0] if initial is None else initial
        if initial not in kinds:
            raise ValueError(f"initial kind {initial!r} is not among kinds {kinds}")
        if max_workers is None:
            max_workers = default_width()
        elif max_workers <= 0:
            raise ValueError("max_workers must be greater than 0")
        if not cooldown >= 0.0 or not window > 0.0 or not check_interval > 0.0:
            raise ValueError("cooldown must be >= 0, window and check_interval > 0")
        self._cluster: ClusterLink | None = None
        if cluster is not None:
            from ._cluster import open_link

            self._cluster = open_link(cluster)
        self._max_workers = max_workers
        self._mp_context = mp_context
        self._clock = time.perf_counter
        self._lock = threading.Lock()
        self._shutdown = False
        self._samples: deque[tuple[str, _worker.Sample]] = deque(maxlen=MAX_SAMPLES_QUEUED)
        self._thread_counts: list[list[int]] = []  # [completed, failed] of each pool thread
        self._backend = self._make(initial, max_workers)
        self._backends: list[Backend] = [self._backend]
        self._orphans: deque[_Task] = deque()
        self._tally_lock = threading.Lock()
        self._submitted = self._completed = self._failed = self._cancelled = self._lost = 0
        self._completed_seen = 0
        self._cpu_seen: dict[str, tuple[int, int]] = {}
        self._last_fn: Callable[..., Any] | None = None
        self._starting: tuple[Backend, list[cf.Future[Any]]] | None = None
        self._wake = threading.Event()
        self._thread: threading.Thread | None = None
        self._controller = Controller(kinds=kinds, kind=initial, width=max_workers,
                                      cooldown=cooldown, window=window,
                                      check_interval=check_interval, now=self._clock())
        if self._cluster is not None:
            self._cluster.rescue = self._take_back
            self._controller.host_cores = default_width()
            self._controller.cluster = self._cluster.offer(self._clock())
            self._controller.width = self._backend.width

    # -- the Executor interface ----------------------------------------------

    def submit(self, fn: Callable[P, T], /, *args: P.args, **kwargs: P.kwargs) -> cf.Future[T]:
        task = _Task(self, fn, args, kwargs)
        with self._lock:
            if self._shutdown:
                raise RuntimeError("cannot schedule new futures after shutdown")
            inner = self._dispatch_locked(task)
            self._submitted += 1
            self._last_fn = fn
            if self._thread is None:
                self._start_controller()
        if inner is not None:
            inner.add_done_callback(task.on_done)
        return task.outer

    def map(self, fn: Callable[..., T], *iterables: Iterable[Any], timeout: float | None = None,
            chunksize: int = 1) -> Iterator[T]:
        if chunksize < 1:
            raise ValueError("chunksize must be >= 1.")
        if chunksize == 1:
            return super().map(fn, *iterables, timeout=timeout)
        chunks = _chunks(zip(*iterables), chunksize)
        return _flatten(super().map(_worker.run_chunk, itertools.repeat(fn), chunks,
                                    timeout=timeout))

    def shutdown(self, wait: bool = True, *, cancel_futures: bool = False) -> None:
        cancelled: list[tuple[_PoolFuture[Any], bool]] = []
        with self._lock:
            self._shutdown = True
            if cancel_futures:
                for backend in self._backends:
                    for task in backend.take_queued():
                        if _mark_cancelled(task.outer):
                            cancelled.append((task.outer, True))
                        elif task.outer.cancelled():
                            cancelled.append((task.outer, False))  # cancelled earlier
                        task.release()
                while self._orphans:
                    task = self._orphans.popleft()
                    if _mark_cancelled(task.outer):
                        cancelled.append((task.outer, True))
                        task.release()
            thread = self._thread
        self._count_cancelled(sum(1 for _, fresh in cancelled if fresh))
        for future, fresh in cancelled:
            if fresh:
                future._invoke_callbacks()  # type: ignore[attr-defined]
            future.set_running_or_notify_cancel()
        self._wake.set()
        if thread is not None and thread is not threading.current_thread():
            # The controller thread closes every backend, waiting for each.
            if wait:
                thread.join()
        elif wait:
            self._close_all()
        else:
            with self._lock:
                for backend in self._backends:
                    backend.close()
            if self._cluster is not None:
                self._cluster.close()

    # -- what users read -----------------------------------------------------

    @property
    def kind(self) -> str:
        """The pool kind new tasks go to."""
        return self._backend.kind

    @property
    def width(self) -> int:
        """The number of workers of the current pool."""
        return self._backend.width

    @property
    def max_workers(self) -> int:
        return self._max_workers

    @property
    def decisions(self) -> list[Decision]:
        """One record per decision, oldest first (the last 1000)."""
        return self._controller.decisions()

    def stats(self) -> PoolStats:
        with self._lock:
            pending = sum(b.in_flight() for b in self._backends) + len(self._orphans)
        completed, failed = self._counts()
        with self._tally_lock:
            counts = (self._submitted, completed, failed, self._cancelled, self._lost)
        controller = self._controller
        return PoolStats(self.kind, self.width, self._max_workers, cpu_quota(), *counts,
                         pending=pending, switches=controller.switches,
                         decisions=controller.decision_count(), throughput=controller.last_rate,
                         pickling_blocked=controller.pickling_blocked)

    def _counts(self) -> tuple[int, int]:
        completed = sum(c[0] for c in list(self._thread_counts))
        failed = sum(c[1] for c in list(self._thread_counts))
        with self._tally_lock:
            return completed + self._completed, failed + self._failed + self._lost

    def _count_cancelled(self, n: int) -> None:
        with self._tally_lock:
            self._cancelled += n

    # -- dispatch (under _lock) ----------------------------------------------

    def _make(self, kind: str, width: int) -> Backend:
        return make_backend(kind, width, self._samples, self._thread_counts, self._mp_context,
                            self._cluster)

    def _dispatch_locked(self, task: _Task) -> cf.Future[Any] | None:
        """Hand a task to the current backend; the caller attaches any callback unlocked."""
        last_error: BaseException | None = None
        for _ in range(3):
            backend = self._backend
            if backend.broken:
                backend = self._replace_locked(backend, backend.failure or "its workers died")
            elif backend.closed:
                # Only after shutdown, for tasks saved from a dead worker process.
                backend = self._replace_locked(backend, "tasks saved from a dead worker")
            try:
                return backend.submit(task)
            except Unpicklable as exc:
                self._leave_for_threads_locked(str(exc))
                last_error = exc
            except (cf.BrokenExecutor, RuntimeError) as exc:
                if self._backend is backend:
                    backend.broken = True
                last_error = exc
        raise RuntimeError(f"no pool kind could take the task: {last_error}")

    def _install_locked(self, backend: Backend) -> Backend:
        # Open even after shutdown: it is there for the tasks being saved, and
        # _close_all closes it once they are in.
        old = self._backend
        self._backend = backend
        self._backends.append(backend)
        old.close()
        return backend

    def _replace_locked(self, broken: Backend, cause: str) -> Backend:
        if self._backend is not broken:
            return self._backend
        if broken.fallback:
            kinds = self._controller.kinds
            kind = broken.fallback
            if self._controller.pickling_blocked is not None or \
                    ("process" not in kinds and "thread" in kinds):
                kind = "thread"
            fresh = self._make(kind, self._max_workers)
            action, reason = "switch", f"{cause}: back to {kind} workers on this host"
        else:
            fresh = self._make(broken.kind, broken.width)
            action, reason = "replace", f"{cause}: started a fresh {broken.kind} pool"
        self._controller.forced(self._clock(), action, fresh.kind, fresh.width, "fault", reason)
        logger.warning("replaced the %s pool by a %s pool (%d workers): %s", broken.kind,
                       fresh.kind, fresh.width, cause)
        return self._install_locked(fresh)

    def _leave_for_threads_locked(self, reason: str) -> None:
        """A task cannot go to another process: from now on the workload stays on threads."""
        self._controller.block_pickling(reason)
        if self._backend.kind == "thread":
            return
        fresh = self._make("thread", self._max_workers)
        self._controller.forced(self._clock(), "switch", "thread", fresh.width, "pickling",
                                f"tasks cannot be pickled ({reason}): staying on threads")
        logger.info("switched to thread (%d workers): tasks cannot be pickled (%s)",
                    fresh.width, reason)
        self._install_locked(fresh)

    # -- completion of envelope futures (any thread; never takes _lock) ------

    def _on_done(self, task: _Task, inner: cf.Future[Any]) -> None:
        if inner.cancelled() or task.inner is not inner:
            return  # taken back: whoever cancelled it owns the task now
        backend = task.backend
        exc = inner.exception()
        if exc is None:
            status, value, sample = inner.result()
            kind = backend.kind if backend is not None else "process"
            if status == _worker.UNLOADABLE:
                self._controller.block_pickling(f"a worker process could not load a task: {value}")
                self._orphans.append(task)
                self._wake.set()
                return
            self._samples.append((kind, sample))
            if status == _worker.UNSENDABLE:
                self._controller.block_pickling(f"a result could not be pickled: {value}")
                self._finish(task, exc=pickle.PicklingError(
                    f"the task ran, but its result cannot be sent back from a worker process: "
                    f"{value}"))
                return
            try:
                value = pickle.loads(value)
            except Exception as unpickling_error:
                self._finish(task, exc=unpickling_error)
                return
            self._finish(task, result=value)
            return
        cause = backend.lost(exc) if backend is not None else None
        if cause is None or backend is None:
            self._finish(task, exc=exc)
            return
        if not backend.broken:
            backend.failure = cause
            backend.broken = True
            self._rescue(backend, task)
        error = WorkerLostError(f"the task was lost: {cause}; {backend.recovery}")
        error.__cause__ = exc
        self._finish(task, exc=error, lost=True)

    def _rescue(self, backend: Backend, failed: _Task) -> None:
        # Runs while the dying pool fails its futures one by one: the tasks it
        # never sent to a worker can still be cancelled there, and so saved.
        records = getattr(backend, "records", {})
        for task in list(records):
            inner = task.inner
            if task is not failed and inner is not None and inner.cancel():
                self._orphans.append(task)
        self._wake.set()

    def _finish(self, task: _Task, *, result: Any = None, exc: BaseException | None = None,
                lost: bool = False) -> None:
        backend = task.backend
        if isinstance(backend, ProcessBackend):
            backend.records.pop(task, None)
        outer = task.outer
        task.release()
        with self._tally_lock:
            if lost:
                self._lost += 1
            elif exc is not None:
                self._failed += 1
            else:
                self._completed += 1
        try:
            if exc is None:
                outer.set_result(result)
            else:
                outer.set_exception(exc)
        except cf.InvalidStateError:
            pass  # cannot happen: a task is withdrawn before its future is cancelled

    # -- changes of backend --------------------------------------------------

    def _switch(self, decision: Decision) -> None:
        """Apply a switch or resize: new work goes to a new backend, queued work follows.

        A backend whose workers take a while to start (processes) starts first,
        while the current one keeps working; the controller moves the work once
        its workers answer.
        """
        fresh = self._make(decision.kind, decision.width)
        starting = fresh.start()
        if not starting:
            self._install(fresh)
            return
        with self._lock:
            self._backends.append(fresh)  # so that shutdown waits for it too
            if self._shutdown:
                fresh.close()
                return
            self._starting = (fresh, starting)
        for future in starting:
            future.add_done_callback(lambda _: self._wake.set())

    def _started(self) -> bool:
        """Install a backend whose workers have started; False while one is still starting."""
        fresh, starting = self._starting or (None, [])
        if fresh is None:
            return True
        if not all(f.done() for f in starting):
            return False
        self._starting = None
        failed = next((f.exception() for f in starting if f.exception() is not None), None)
        if (fresh.kind, fresh.width) != (self._controller.kind, self._controller.width):
            with self._lock:  # overtaken by a forced change while it started
                fresh.close()
            return True
        if failed is None:
            self._install(fresh)
            return True
        with self._lock:
            fresh.close()
            current = self._backend
        reason = f"the {fresh.kind} workers failed to start ({failed}): staying on {current.kind}"
        self._controller.forced(self._clock(), "switch", current.kind, current.width, "fault",
                                reason)
        logger.warning("%s", reason)
        return True

    def _install(self, fresh: Backend) -> None:
        attach: list[tuple[_Task, cf.Future[Any]]] = []
        with self._lock:
            if self._shutdown:
                if fresh not in self._backends:
                    self._backends.append(fresh)
                fresh.close()
                return
            old = self._backend
            self._backend = fresh
            if fresh not in self._backends:
                self._backends.append(fresh)
            for task in old.take_queued():
                if task.outer._state != _base.PENDING:  # cancelled while queued
                    task.outer.set_running_or_notify_cancel()
                    task.release()
                    continue
                try:
                    inner = fresh.submit(task)
                except Unpicklable as exc:
                    # It stays where it can run; the workload is kept off processes.
                    self._controller.block_pickling(str(exc))
                    inner = old.submit(task)
                if inner is not None:
                    attach.append((task, inner))
            old.close()
        for task, inner in attach:
            inner.add_done_callback(task.on_done)

    def _force(self, kind: str, width: int, reason: str, *, at_once: bool = True) -> None:
        """Switch or resize outside the loop and its cooldown (for tests and tools):
        at once, or once the new workers have started, as the loop does."""
        action = "switch" if kind != self._backend.kind else "resize"
        decision = self._controller.forced(self._clock(), action, kind, width, "manual", reason)
        if at_once:
            self._install(self._make(kind, width))
        else:
            self._switch(decision)

    # -- the controller thread -----------------------------------------------

    def _start_controller(self) -> None:
        self._thread = threading.Thread(target=_control_loop, args=(weakref.ref(self),),
                                        name="velkora-pool-controller", daemon=True)
        self._thread.start()

    def _check(self) -> float:
        """One look: repair, measure, decide, apply. Returns the seconds to the next look."""
        self._repair()
        if self._shutdown:
            return self._controller.check_interval
        if not self._started():
            return self._controller.check_interval / 5.0
        samples = [self._samples.popleft() for _ in range(len(self._samples))]
        completed = sum(self._counts())
        done_now, self._completed_seen = completed - self._completed_seen, completed
        with self._lock:
            backends = list(self._backends)
        pending = sum(b.in_flight() for b in backends)
        if self._cluster is not None:
            self._controller.cluster = self._cluster.offer(self._clock())
        decision = self._controller.step(self._clock(), samples, done_now, pending > 0,
                                         memory_usage(), heap_fragmentation(),
                                         self._cpu_wait(backends), self._pickling_problem,
                                         pending)
        if decision.action != "stay":
            logger.info("%s to %s (%d workers): %s", decision.action, decision.kind,
                        decision.width, decision.reason)
            self._switch(decision)
        self._reap()
        return decision.next_check

    def _cpu_wait(self, backends: list[Backend]) -> dict[str, float]:
        """Per kind: seconds its workers waited for a CPU per CPU second they ran,
        since the last look (the Linux scheduler's statistics; empty elsewhere)."""
        totals: dict[str, list[int]] = {}
        seen: dict[str, tuple[int, int]] = {}
        for backend in backends:
            for path in backend.cpu_files():
                try:
                    with open(path, "rb") as f:
                        ran, waited = (int(v) for v in f.read().split()[:2])
                except (OSError, ValueError):
                    continue
                seen[path] = (ran, waited)
                before = self._cpu_seen.get(path, (0, 0))
                total = totals.setdefault(backend.kind, [0, 0])
                total[0] += ran - before[0]
                total[1] += waited - before[1]
        self._cpu_seen = seen
        return {kind: waited / ran for kind, (ran, waited) in totals.items() if ran > 0}

    def _pickling_problem(self) -> str | None:
        """Why the last submitted function could not go to a worker process, if it could not."""
        fn = self._last_fn
        if fn is None:
            return None
        from multiprocessing.reduction import ForkingPickler

        try:
            ForkingPickler.dumps(fn)
        except Exception as exc:
            return f"{type(exc).__name__}: {exc}"
        return None

    def _repair(self) -> None:
        """Replace a broken backend and send the saved tasks to the current one."""
        attach: list[tuple[_Task, cf.Future[Any]]] = []
        with self._lock:
            if self._backend.broken:
                self._replace_locked(self._backend, self._backend.failure or "its workers died")
            while self._orphans:
                task = self._orphans.popleft()
                backend = task.backend
                if backend is None or task.outer.done():
                    continue  # withdrawn by its user meanwhile
                if isinstance(backend, ProcessBackend):
                    backend.forget(task)
                if self._controller.pickling_blocked is not None:
                    self._leave_for_threads_locked(self._controller.pickling_blocked)
                inner = self._dispatch_locked(task)
                if inner is not None:
                    attach.append((task, inner))
        for task, inner in attach:
            inner.add_done_callback(task.on_done)

    def _reap(self) -> None:
        """Join the drained backends that hold no more work."""
        with self._lock:
            done = [b for b in self._backends
                    if b is not self._backend and b.closed and not b.in_flight()]
            self._backends = [b for b in self._backends if b not in done]
        for backend in done:
            backend.join()

    def _close_all(self) -> None:
        """Close every backend and wait for it, including any a late repair starts."""
        while True:
            self._repair()
            with self._lock:
                backends = list(self._backends)
                for backend in backends:
                    backend.close()
            for backend in backends:
                backend.join()
            with self._lock:
                self._backends = [b for b in self._backends if b not in backends]
                if not self._backends and not self._orphans:
                    self._backends = [self._backend]
                    break
        if self._cluster is not None:
            self._cluster.close()

    def _take_back(self, tasks: list[_Task]) -> None:
        """Tasks that a backend gave back without running them (its cluster went
        away), to run where the pool runs now."""
        self._orphans.extend(tasks)
        self._wake.set()


def _control_loop(pool_ref: weakref.ref[AdaptivePool]) -> None:
    while True:
        pool = pool_ref()
        if pool is None:
            return
        wake = pool._wake
        if pool._shutdown:
            try:
                pool._close_all()
            except Exception:
                logger.exception("the pool controller failed to close the pool")
            return
        try:
            delay = pool._check()
        except Exception:  # the loop must outlive any one bad look
            logger.exception("the pool controller failed a check")
            delay = pool._controller.check_interval
        del pool
        wake.wait(max(delay, 0.001))
        wake.clear()


def _chunks(items: Iterator[tuple[Any, ...]], size: int) -> Iterator[list[tuple[Any, ...]]]:
    while chunk := list(itertools.islice(items, size)):
        yield chunk


def _flatten(results: Iterator[list[T]]) -> Iterator[T]:
    try:
        for chunk in results:
            yield from chunk
    finally:
        close = getattr(results, "close", None)
        if close is not None:
            close()
