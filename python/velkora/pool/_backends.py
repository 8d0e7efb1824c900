"""Pool kinds: each one a small backend behind one interface.

A backend runs tasks of one kind at one width. A task is the pool's record of one
submission: ``fn``, ``args``, ``kwargs``, ``outer`` (the future its user holds),
``inner`` and ``backend`` (where it is now). The pool calls, holding its lock:

- ``submit(task)``: start the task, or queue it. Returns None when the backend
  resolves ``task.outer`` itself, or a ``concurrent.futures.Future`` that resolves
  with the task's envelope (see ``_worker``) or the task's exception: the pool
  then attaches its completion callback, after letting go of its lock. Raises
  ``Unpicklable`` (before anything is queued) when the task cannot be sent to this
  kind's workers, ``concurrent.futures.BrokenExecutor`` when the backend can take
  no more work.
- ``withdraw(task)``: before the pool cancels ``task.outer``: True unless the task
  may already have started (a backend whose workers check ``outer`` before they
  start a task answers True and lets the future's own state decide).
- ``take_queued()``: remove and return every task that has not started, so that
  it can go elsewhere; each is sure never to start here.
- ``start()``: start the workers ahead of any work, where that takes a while;
  returns futures that resolve once they run (none where starting is instant).
- ``close()``: take no new work; what is queued still runs (the backend drains).
- ``join()``: return once every worker is gone (after ``close``).
- ``lost(exc)``: for an exception an envelope future failed with, the text of why
  its worker died ("worker process 1234 was killed by signal SIGKILL"), or None
  when the exception is the task's own.
- ``cpu_files()``: the Linux scheduler statistics files of its workers, from
  which the pool learns how long they waited for a CPU that others held.

A new kind subclasses ``Backend``, registers a ``KindProfile`` in ``_patterns`` and a
branch in ``make_backend``.
"""

from __future__ import annotations

import concurrent.futures as cf
import multiprocessing
import os
import signal
import threading
import time
import weakref
from collections import deque
from concurrent.futures.process import BrokenProcessPool
from queue import Empty, SimpleQueue
from typing import Any

from . import _worker


class Unpicklable(Exception):
    """The task cannot be sent to another process."""


class Backend:
    kind = ""
    # The kind that takes over when this one breaks ("": a fresh one of its own
    # kind), and what the pool then tells the owners of the tasks lost with it.
    fallback = ""
    recovery = "the pool replaced its workers"

    def __init__(self, width: int) -> None:
        self.width = width
        self.broken = False
        self.closed = False
        self.failure: str | None = None

    def submit(self, task: Any) -> cf.Future[Any] | None:
        raise NotImplementedError

    def withdraw(self, task: Any) -> bool:
        raise NotImplementedError

    def take_queued(self) -> list[Any]:
        raise NotImplementedError

    def start(self) -> list[cf.Future[Any]]:
        return []

    def in_flight(self) -> int:
        raise NotImplementedError

    def close(self) -> None:
        raise NotImplementedError

    def join(self) -> None:
        raise NotImplementedError

    def lost(self, exc: BaseException) -> str | None:
        return None

    def cpu_files(self) -> list[str]:
        return []

    def __repr__(self) -> str:
        return f"<{type(self).__name__} {self.kind} x{self.width}>"


# Thread backends still open, closed when the interpreter exits: their threads
# are not daemons, and the interpreter joins those before it runs atexit hooks.
_open_thread_backends: weakref.WeakSet[ThreadBackend] = weakref.WeakSet()


def _close_at_exit() -> None:
    for backend in list(_open_thread_backends):
        backend.close()


threading._register_atexit(_close_at_exit)  # type: ignore[attr-defined]


class ThreadBackend(Backend):
    """The pool's own threads: each resolves its task's future itself, one future a task."""

    kind = "thread"

    def __init__(self, width: int, samples: deque[tuple[str, _worker.Sample]],
                 counts: list[list[int]]) -> None:
        super().__init__(width)
        self._work: SimpleQueue[Any] = SimpleQueue()
        self._idle = threading.Semaphore(0)
        self._running: list[None] = []
        self._threads: list[threading.Thread] = []
        self._samples, self._counts = samples, counts
        # A pool dropped without shutdown still lets its threads go.
        weakref.finalize(self, self._work.put, None)
        _open_thread_backends.add(self)

    def submit(self, task: Any) -> None:
        if self.closed:
            raise RuntimeError("cannot schedule new futures after shutdown")
        task.backend = self
        self._work.put(task)
        if not self._idle.acquire(blocking=False) and len(self._threads) < self.width:
            thread = threading.Thread(
                target=_worker.thread_worker, name=f"velkora-pool-{len(self._threads)}",
                args=(self._work, self._idle, self._running, self._samples, self._counts))
            thread.start()
            self._threads.append(thread)

    def withdraw(self, task: Any) -> bool:
        return True  # a worker starts a task only if its future is still pending

    def take_queued(self) -> list[Any]:
        tasks, stop = [], False
        while True:
            try:
                task = self._work.get_nowait()
            except Empty:
                break
            if task is None:
                stop = True
            else:
                tasks.append(task)
        if stop:
            self._work.put(None)
        return tasks

    def in_flight(self) -> int:
        queued = self._work.qsize() - (1 if self.closed else 0)  # the stop sentinel
        return max(queued, 0) + len(self._running)

    def close(self) -> None:
        if not self.closed:
            self.closed = True
            self._work.put(None)
            _open_thread_backends.discard(self)

    def join(self) -> None:
        self.close()
        for thread in list(self._threads):
            thread.join()

    def cpu_files(self) -> list[str]:
        return [f"/proc/self/task/{t.native_id}/schedstat" for t in list(self._threads)]


class ProcessBackend(Backend):
    kind = "process"

    def __init__(self, width: int, mp_context: Any = None) -> None:
        super().__init__(width)
        # Not fork: the pool's own threads are running when workers start, and a
        # forked child would inherit their locks in whatever state they were.
        context = mp_context if mp_context is not None else multiprocessing.get_context("spawn")
        self._executor = cf.ProcessPoolExecutor(width, mp_context=context)
        self.records: dict[Any, None] = {}  # tasks handed to the executor, in order
        self._manager: Any = None
        self._cause: str | None = None

    def submit(self, task: Any) -> cf.Future[Any]:
        from multiprocessing.reduction import ForkingPickler

        try:
            payload = bytes(ForkingPickler.dumps((task.fn, task.args, task.kwargs)))
        except Exception as exc:
            raise Unpicklable(f"{type(exc).__name__}: {exc}") from exc
        inner = self._executor.submit(_worker.run_payload, payload)
        task.inner, task.backend = inner, self
        self.records[task] = None
        return inner

    def start(self) -> list[cf.Future[Any]]:
        # One call per worker: each submission starts a worker while none is idle.
        return [self._executor.submit(os.getpid) for _ in range(self.width)]

    def withdraw(self, task: Any) -> bool:
        inner = task.inner
        if inner is None or not inner.cancel():
            return False
        self.forget(task)
        return True

    def forget(self, task: Any) -> None:
        self.records.pop(task, None)
        task.inner = task.backend = None

    def take_queued(self) -> list[Any]:
        tasks = []
        for task in list(self.records):
            if task.inner is not None and task.inner.cancel():
                self.forget(task)
                tasks.append(task)
        return tasks

    def in_flight(self) -> int:
        return len(self.records)

    def close(self) -> None:
        # shutdown(wait=False) forgets the manager thread; keep it to join later.
        # That thread joins the worker processes before it ends.
        self.closed = True
        manager = getattr(self._executor, "_executor_manager_thread", None)
        if manager is not None:
            self._manager = manager
        self._executor.shutdown(wait=False)

    def join(self) -> None:
        self.close()
        if self._manager is not None:
            self._manager.join()

    def cpu_files(self) -> list[str]:
        processes = getattr(self._executor, "_processes", None) or {}
        return [f"/proc/{pid}/schedstat" for pid in list(processes)]

    def lost(self, exc: BaseException) -> str | None:
        if not isinstance(exc, BrokenProcessPool):
            return None
        if self._cause is None:
            # A dead worker's pipe closes a moment before its exit status can be
            # collected: give it up to half a second to show.
            for _ in range(50):
                self._cause = self._dead_workers()
                if self._cause:
                    break
                time.sleep(0.01)
            self._cause = self._cause or "a worker process died"
        return self._cause

    def _dead_workers(self) -> str:
        # The manager thread fails the futures before it stops the other workers,
        # so the dead ones are those with an exit code by now.
        processes = getattr(self._executor, "_processes", None) or {}
        causes = []
        for pid, process in list(processes.items()):
            code = process.exitcode
            if code is None:
                continue
            if code < 0:
                try:
                    name = signal.Signals(-code).name
                except ValueError:
                    name = str(-code)
                causes.append(f"worker process {pid} was killed by signal {name}")
            else:
                causes.append(f"worker process {pid} exited with status {code}")
        return "; ".join(causes)


def make_backend(kind: str, width: int, samples: deque[tuple[str, _worker.Sample]],
                 counts: list[list[int]], mp_context: Any = None, cluster: Any = None) -> Backend:
    """``cluster``: the pool's link to its cluster (see ``_cluster``), for that kind."""
    if kind == "thread":
        return ThreadBackend(width, samples, counts)
    if kind == "process":
        return ProcessBackend(width, mp_context)
    if kind == "cluster" and cluster is not None:
        from ._cluster import ClusterBackend

        return ClusterBackend(width, cluster)
    raise ValueError(f"unknown pool kind {kind!r}")
