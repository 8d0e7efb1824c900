"""``AdaptivePool``: a ``concurrent.futures.Executor`` that moves its work between pool kinds.

The pool itself is the Executor API and the controller's loop. Where each task
is, and the lock over that, is ``_fleet``'s; the task record and its future are
``_tasks``'; what to run next is ``_controller``'s.

A completion callback may run on a thread of the executor underneath, even
under that executor's own lock (a process pool fails its futures so when a
worker dies). So a callback never takes the pool's lock, and a future whose
worker died is resolved on the controller's thread instead: the user's own
callbacks (a retry, a look at ``stats()``) then run where they can take any lock.
"""

from __future__ import annotations

import concurrent.futures as cf
import importlib
import inspect
import itertools
import logging
import threading
import time
import warnings
import weakref
from collections import deque
from collections.abc import Callable, Iterable, Iterator
from concurrent.futures._base import CANCELLED, CANCELLED_AND_NOTIFIED
from concurrent.futures.process import BrokenProcessPool
from functools import lru_cache
from typing import TYPE_CHECKING, Any, Final, ParamSpec, TypeVar

from velkora._cpuquota import cpu_quota, usable_workers

# Imported here, before this module registers its exit hook, so that at exit the
# pool settles its work before the thread backends are closed (hooks run last first).
from . import _threads  # noqa: F401
from . import _worker
from ._controller import Controller
from ._fleet import Fleet, attach
from ._kinds import KINDS, Backend, Placement, Unpicklable
from ._mainguard import rerun_problem
from ._memory import heap_fragmentation, memory_usage
from ._processes import default_context
from ._records import PoolDecision, PoolStats
from ._schedstat import CpuWait
from ._tasks import PoolFuture, Tally, Task, mark_cancelled

if TYPE_CHECKING:
    from velkora.cluster import AddressOrClient

    from ._cluster import ClusterLink

__all__ = ["AdaptivePool", "WorkerLostError"]

logger = logging.getLogger("velkora.pool")

P = ParamSpec("P")
T = TypeVar("T")

MAX_SAMPLES_QUEUED: Final = 2048
_CANCELLED: Final = (CANCELLED, CANCELLED_AND_NOTIFIED)


class WorkerLostError(BrokenProcessPool):
    """The process worker running this task died (killed by a signal, or exited),
    or the cluster it was sent to went away.

    The tasks that were running in that process pool when it happened fail with
    it (the pool underneath stops all its workers once one dies); the tasks no
    worker had taken yet run on fresh workers, and the pool goes on.
    """


@lru_cache(maxsize=1)
def default_width() -> int:
    """Usable cores from the capability report, capped by the container's CPU quota."""
    from velkora.native import hostprobe

    cores = hostprobe.detect_capabilities().get("physical_cores") or 1
    return usable_workers(int(cores))


# -- the interpreter's exit ----------------------------------------------------

_pools: weakref.WeakSet[AdaptivePool] = weakref.WeakSet()
_exiting = False
_warned: set[str] = set()


def _at_exit() -> None:
    # Runs before the threads are joined and before the process pools run what
    # they hold: from here on nothing moves, and every task sits where it runs.
    global _exiting
    _exiting = True
    for pool in list(_pools):
        pool._exit()


threading._register_atexit(_at_exit)  # type: ignore[attr-defined]


def _warn_once(key: str, message: str) -> None:
    if key not in _warned:
        _warned.add(key)
        logger.warning("%s", message)


def _weak(fn: Callable[..., Any]) -> Callable[[], Any] | None:
    """A reference to ``fn`` that keeps nothing alive (a bound method's object least of all)."""
    try:
        return weakref.WeakMethod(fn) if inspect.ismethod(fn) else weakref.ref(fn)
    except TypeError:
        return None


class AdaptivePool(cf.Executor):
    """An executor that runs tasks on threads or processes, whichever the workload suits.

    ``max_workers`` defaults to the usable cores of the capability report, capped by
    the container's CPU quota. ``kinds`` are the pool kinds it may use and
    ``initial`` the one it starts with (the first of ``kinds``). ``cooldown`` is the
    least time between two adaptations, ``window`` how far back the measurements
    reach, ``check_interval`` the longest wait between two looks at them.
    ``mp_context`` is the multiprocessing context of the process workers (spawn).

    The pool moves work to processes of its own accord only where their workers
    would not run the main module's top-level code again (a script without
    ``if __name__ == "__main__":``); asked for processes (``kinds=("process",)``
    or ``initial="process"``), it uses them as ``ProcessPoolExecutor`` would.

    The "cluster" kind sends tasks to a Dask cluster, ``cluster``: a scheduler
    address (the pool opens a client, within ``connect_timeout`` seconds, and closes
    it at shutdown) or a connected ``distributed.Client`` (left open). CPU-bound
    work goes there while every local core is busy and the cluster offers more
    cores than this host; if the cluster goes away, the pool goes back to local
    workers for good. Raises ``velkora.cluster.ClusterUnavailable`` when the cluster
    cannot be reached.
    """

    def __init__(self, max_workers: int | None = None, *,
                 kinds: tuple[str, ...] = ("thread", "process"), initial: str | None = None,
                 cooldown: float = 5.0, window: float = 30.0, check_interval: float = 0.5,
                 mp_context: Any = None, cluster: AddressOrClient | None = None,
                 connect_timeout: float = 10.0) -> None:
        kinds = tuple(kinds)
        if not kinds:
            raise ValueError("kinds must name at least one pool kind")
        for kind in kinds:
            if kind not in KINDS:
                raise ValueError(f"unknown pool kind {kind!r} (known: {', '.join(KINDS)})")
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
        if "process" in kinds and mp_context is not None \
                and mp_context.get_start_method() == "fork":
            warnings.warn("AdaptivePool: mp_context=fork starts worker processes while the "
                          "pool's own threads run; a child may inherit a lock held at that "
                          "moment and hang (spawn or forkserver are safe)", RuntimeWarning,
                          stacklevel=2)
        self._cluster: ClusterLink | None = None
        if cluster is not None:
            from ._cluster import open_link

            self._cluster = open_link(cluster, timeout=connect_timeout)
        self._max_workers = max_workers
        self._clock = time.perf_counter
        self._samples: deque[tuple[str, _worker.Sample]] = deque(maxlen=MAX_SAMPLES_QUEUED)
        self.tally = Tally()
        self._faults: deque[tuple[Task, Backend, BaseException]] = deque()
        self._cpu_wait = CpuWait()
        self._completed_seen = 0
        self._last_fn: Callable[[], Any] | None = None
        self._wake = threading.Event()
        self._thread: threading.Thread | None = None
        self._place = Placement(self._samples, self.tally, self._take_back, mp_context,
                                self._cluster)
        self._awaiting_cluster = False
        controller = Controller(kinds=kinds, kind=initial, width=max_workers,
                                cooldown=cooldown, window=window,
                                check_interval=check_interval, now=self._clock())
        self._controller = controller
        if "process" in kinds and initial != "process" and "thread" in kinds:
            # The user did not ask for processes: never run their script again for them.
            controller.processes_refused = rerun_problem(
                mp_context if mp_context is not None else default_context())
        if self._cluster is not None:
            self._cluster.rescue = self._take_back
            controller.host_cores = default_width()
            controller.cluster = self._cluster.offer(self._clock())
            initial = self._start_off_cluster(initial)
        self._fleet = Fleet(controller, self._make, self._clock, initial,
                            controller.width if initial == "cluster" else max_workers)
        self._lock = self._fleet.lock
        if self._cluster is not None:
            controller.width = self._fleet.current.width
        _pools.add(self)

    def _start_off_cluster(self, initial: str) -> str:
        """A cluster that offers no cores yet cannot run the first tasks: start on a
        local kind, and move to the cluster once it offers cores."""
        local = next((k for k in self._controller.kinds if k != "cluster"), None)
        if initial != "cluster" or self._controller.cluster is not None or local is None:
            return initial
        assert self._cluster is not None
        self._awaiting_cluster = True
        self._controller.forced(
            self._clock(), "switch", local, self._max_workers, "cluster",
            f"the cluster at {self._cluster.address} offers no cores yet: starting on {local} "
            f"workers, to move there once it does")
        return local

    # -- the Executor interface ----------------------------------------------

    def submit(self, fn: Callable[P, T], /, *args: P.args, **kwargs: P.kwargs) -> cf.Future[T]:
        if _exiting:
            raise RuntimeError("cannot schedule new futures after interpreter shutdown")
        task = Task(self, fn, args, kwargs)
        fleet = self._fleet
        with fleet.lock:
            if fleet.shut:
                raise RuntimeError("cannot schedule new futures after shutdown")
            try:
                inner = fleet.dispatch_locked(task)
            except Unpicklable as exc:  # only processes allowed: this task fails alone
                inner = None
                task.outer.set_exception(exc.original or exc)
                task.release()
            self.tally.submitted += 1
            self._last_fn = _weak(fn)
            if self._thread is None:
                self._start_controller()
            pairs = fleet.take_attach_locked() if fleet.attach else None
        if inner is not None:
            inner.add_done_callback(task.on_done)
        if pairs:
            attach(pairs)
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
        fleet = self._fleet
        cancelled: list[tuple[PoolFuture[Any], bool]] = []
        with fleet.lock:
            fleet.shut = True
            if cancel_futures:
                for task in fleet.take_all_queued_locked():
                    if mark_cancelled(task.outer):
                        cancelled.append((task.outer, True))
                    elif task.outer.cancelled():
                        cancelled.append((task.outer, False))  # cancelled earlier
                    task.release()
            thread = self._thread
        self.tally.add(cancelled=sum(1 for _, fresh in cancelled if fresh))
        for future, fresh in cancelled:
            if fresh:
                future._invoke_callbacks()  # type: ignore[attr-defined]
            future.set_running_or_notify_cancel()
        self._wake.set()
        if wait and fleet.runs_current_thread():
            # A task waiting for its own pool to finish would wait for itself.
            raise RuntimeError("cannot join current thread")
        if thread is not None and thread is not threading.current_thread():
            # The controller thread closes every backend, waiting for each.
            if wait:
                thread.join()
        elif wait:
            self._close_all()
        else:
            with fleet.lock:
                for backend in fleet.backends:
                    backend.close()
            if self._cluster is not None:
                self._cluster.close()

    # -- what users read -----------------------------------------------------

    @property
    def kind(self) -> str:
        """The pool kind new tasks go to."""
        return self._fleet.current.kind

    @property
    def width(self) -> int:
        """The number of workers of the current pool."""
        return self._fleet.current.width

    @property
    def max_workers(self) -> int:
        return self._max_workers

    @property
    def decisions(self) -> list[PoolDecision]:
        """One record per decision, oldest first (the last 1000)."""
        return self._controller.decisions()

    def stats(self) -> PoolStats:
        with self._fleet.lock:
            pending = self._fleet.pending_locked()
        controller = self._controller
        return PoolStats(self.kind, self.width, self._max_workers, cpu_quota(),
                         *self.tally.counts(), pending=pending, switches=controller.switches,
                         decisions=controller.decision_count(), throughput=controller.last_rate,
                         pickling_blocked=controller.pickling_blocked)

    @property
    def _shutdown(self) -> bool:
        return self._fleet.shut

    def _make(self, kind: str, width: int) -> Backend:
        module = importlib.import_module(KINDS[kind].module, __package__)
        backend: Backend = module.make(width, self._place)
        return backend

    # -- completion of envelope futures (any thread; never takes the lock) ---

    def _on_done(self, task: Task, inner: cf.Future[Any]) -> None:
        # Done futures are read directly: this runs on the executor's own thread,
        # which feeds its workers only between callbacks.
        if inner._state in _CANCELLED or task.inner is not inner:
            return  # taken back: whoever cancelled it owns the task now
        try:
            self._settle(task, inner)
        except BaseException as exc:  # never let one task end the executor's own thread
            self._finish(task, exc=exc)

    def _settle(self, task: Task, inner: cf.Future[Any]) -> None:
        backend = task.backend
        exc = inner._exception
        if exc is None:
            envelope: Any = inner._result
            status, value, sample = envelope
            if status == _worker.UNLOADABLE:
                self._send_back(task, f"a worker process could not load the task: {value}")
                return
            if backend is not None:
                backend.done += 1
                self._samples.append((backend.kind, sample))
            if status == _worker.UNSENDABLE:
                self._controller.block_pickling(f"a result could not be pickled: {value}")
            result, error = _worker.unpack(status, value)
            self._finish(task, result=result, exc=error)
            return
        if isinstance(exc, Unpicklable):
            self._send_back(task, str(exc), exc.original or exc)
            return
        if backend is None or not backend.dies_of(exc):
            self._finish(task, exc=exc)
            return
        backend.broken = True
        self._faults.append((task, backend, exc))
        self._wake.set()
        if self._fleet.exiting:
            self._settle_faults()

    def _send_back(self, task: Task, reason: str, error: BaseException | None = None) -> None:
        """A task that never reached a worker process: to threads where the user
        allows them, else it fails alone."""
        if "thread" not in self._controller.kinds:
            self._finish(task, exc=error or RuntimeError(reason))
            return
        self._controller.block_pickling(reason)
        backend = task.backend
        if backend is not None:
            backend.forget(task)
        self._fleet.orphans.append(task)
        self._wake.set()

    def _settle_faults(self) -> None:
        """Fail the tasks whose worker died, off the executor's own thread and lock."""
        while self._faults:
            try:
                task, backend, exc = self._faults.popleft()
            except IndexError:
                return
            cause = backend.lost(exc) or "its worker died"
            if backend.failure is None:
                backend.failure = cause
            error = WorkerLostError(f"the task was lost: {cause}; {backend.recovery}")
            error.__cause__ = exc
            self._finish(task, exc=error, lost=True)

    def _finish(self, task: Task, *, result: Any = None, exc: BaseException | None = None,
                lost: bool = False) -> None:
        backend = task.backend
        if backend is not None:
            backend.forget(task)
        outer = task.outer
        task.release()
        if lost:
            self.tally.add(lost=1)
        elif exc is not None:
            self.tally.add(failed=1)
        else:
            self.tally.add(completed=1)
        try:
            if exc is None:
                outer.set_result(result)
            else:
                outer.set_exception(exc)
        except cf.InvalidStateError:
            pass  # cannot happen: a task is withdrawn before its future is cancelled

    def _take_back(self, tasks: list[Task]) -> None:
        """Tasks that a backend gave back without running them (its cluster went
        away), to run where the pool runs now."""
        self._fleet.orphans.extend(tasks)
        self._wake.set()

    # -- the controller's loop -----------------------------------------------

    def _start_controller(self) -> None:
        self._thread = threading.Thread(target=_control_loop, args=(weakref.ref(self),),
                                        name="velkora-pool-controller", daemon=True)
        self._thread.start()

    def _check(self) -> float:
        """One look: settle, repair, measure, decide, apply. Returns the seconds to the next."""
        self._settle_faults()
        self._repair()
        if self._fleet.shut:
            return self._controller.check_interval
        if not self._fleet.started():
            return self._controller.check_interval / 5.0
        self._seek_cluster()
        decision = self._decide()
        self._apply(decision)
        self._fleet.reap()
        return decision.next_check

    def _repair(self) -> None:
        for task, exc in self._fleet.repair():
            self._finish(task, exc=exc)

    def _seek_cluster(self) -> None:
        if self._cluster is None:
            return
        offer = self._cluster.offer(self._clock())
        self._controller.cluster = offer
        if self._awaiting_cluster and offer is not None:
            self._awaiting_cluster = False
            self._force("cluster", offer[1], f"the cluster at {self._cluster.address} offers "
                        f"{offer[0]} cores now")

    def _decide(self) -> PoolDecision:
        samples = [self._samples.popleft() for _ in range(len(self._samples))]
        completed = self.tally.counts()[1]
        done_now, self._completed_seen = completed - self._completed_seen, completed
        with self._fleet.lock:
            pending = self._fleet.pending_locked()
        controller = self._controller
        decision = controller.step(self._clock(), samples, done_now, pending > 0,
                                   memory_usage(), heap_fragmentation(),
                                   self._cpu_wait.read(self._fleet.cpu_files()),
                                   self._pickling_problem, pending)
        if controller.refusal_felt and controller.processes_refused:
            _warn_once("main", f"AdaptivePool stays on threads: "
                       f"{controller.processes_refused}. To let it use processes, put the "
                       f"script's top-level code under `if __name__ == \"__main__\":`, or ask "
                       f"for them with AdaptivePool(kinds=(\"process\",)) or "
                       f"initial=\"process\"")
        return decision

    def _apply(self, decision: PoolDecision) -> None:
        if decision.action == "stay":
            return
        logger.info("%s to %s (%d workers): %s", decision.action, decision.kind,
                    decision.width, decision.reason)
        for future in self._fleet.switch(decision):
            future.add_done_callback(lambda _: self._wake.set())

    def _pickling_problem(self) -> str | None:
        """Why the last submitted function could not go to a worker process, if it could not."""
        ref = self._last_fn
        fn = ref() if ref is not None else None
        if fn is None:
            return None
        from multiprocessing.reduction import ForkingPickler

        try:
            ForkingPickler.dumps(fn)
        except Exception as exc:
            return f"{type(exc).__name__}: {exc}"
        return None

    def _force(self, kind: str, width: int, reason: str, *, at_once: bool = True) -> None:
        """Switch or resize outside the loop and its cooldown (for tests and tools):
        at once, or once the new workers have started, as the loop does."""
        action = "switch" if kind != self.kind else "resize"
        decision = self._controller.forced(self._clock(), action, kind, width, "manual", reason)
        if at_once:
            self._fleet.install(self._make(kind, width))
        else:
            self._apply(decision)

    def _close_all(self) -> None:
        def settle_and_repair() -> None:
            self._settle_faults()
            self._repair()

        self._fleet.close_all(settle_and_repair)
        if self._cluster is not None:
            self._cluster.close()

    def _exit(self) -> None:
        """The interpreter is exiting: nothing moves any more, and what waits to be
        placed goes to the current backend, which runs it as the standard executors do."""
        fleet = self._fleet
        with fleet.lock:
            fleet.exiting = True
            if fleet.starting is not None:
                fleet.starting[0].close()
                fleet.starting = None
        self._settle_faults()
        self._repair()


def _control_loop(pool_ref: weakref.ref[AdaptivePool]) -> None:
    while True:
        pool = pool_ref()
        if pool is None:
            return
        wake = pool._wake
        if pool._fleet.exiting:
            return  # the exit hook placed everything; the workers finish it
        if pool._fleet.shut:
            try:
                pool._close_all()
            except Exception:
                logger.exception("the pool controller failed to close the pool")
            return
        try:
            delay = pool._check()
        except Exception:  # the loop must outlive any one bad look
            if pool._fleet.exiting:
                return
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
