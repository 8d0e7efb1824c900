"""The process kind: tasks run by a ``ProcessPoolExecutor`` of the pool's own.

A task is pickled when the executor hands it to a worker, not when it is
submitted: the executor keeps only its workers' next few calls pickled, so an
argument shared by many queued tasks is not copied once per task, and a task
that moves here from another kind is pickled once. A task that cannot be pickled
fails its envelope future with ``Unpicklable``; it never reached a worker.
"""

from __future__ import annotations

import concurrent.futures as cf
import multiprocessing
import os
import signal
import time
from concurrent.futures.process import BrokenProcessPool
from collections.abc import Callable
from typing import Any, cast

from ._kinds import Backend, Placement, Unpicklable
from ._worker import run_payload


class _Payload:
    """A task's call, pickled only when it leaves for a worker (as bytes, which the
    worker unpickles itself: a task it cannot load must not kill it)."""

    __slots__ = ("call",)

    def __init__(self, call: tuple[Any, tuple[Any, ...], dict[str, Any]]) -> None:
        self.call = call

    def __reduce__(self) -> tuple[Any, ...]:
        from multiprocessing.reduction import ForkingPickler

        try:
            data = bytes(ForkingPickler.dumps(self.call))
        except Exception as exc:
            raise Unpicklable(f"{type(exc).__name__}: {exc}", exc) from exc
        return bytes, (data,)


def default_context() -> Any:
    # Not fork: the pool's own threads are running when workers start, and a
    # forked child would inherit their locks in whatever state they were.
    return multiprocessing.get_context("spawn")


class ProcessBackend(Backend):
    kind = "process"
    # The executor stops every worker once one dies: a task on a healthy one is lost too.
    recovery = "the process pool stopped all its workers, and the pool started fresh ones"

    def __init__(self, width: int, mp_context: Any = None,
                 rescue: Callable[[list[Any]], None] = lambda tasks: None) -> None:
        super().__init__(width)
        context = mp_context if mp_context is not None else default_context()
        self._executor = cf.ProcessPoolExecutor(width, mp_context=context)
        self.records: dict[Any, None] = {}  # tasks handed to the executor, in order
        self._cause: str | None = None
        self._rescue = rescue
        self._rescued = False

    def submit(self, task: Any) -> cf.Future[Any]:
        if self.closed:
            raise RuntimeError("cannot schedule new futures after shutdown")
        # Bytes once pickled for the worker, which is when it is made.
        payload = cast(bytes, _Payload((task.fn, task.args, task.kwargs)))
        inner = self._executor.submit(run_payload, payload)
        task.inner, task.backend = inner, self
        self.records[task] = None
        # At once, not when the pool attaches its own callback: by then the
        # executor may have failed every future it held.
        inner.add_done_callback(self._watch)
        return inner

    def _watch(self, inner: cf.Future[Any]) -> None:
        """As the executor fails its futures one by one when a worker died (under
        its own lock), the first failure takes back every task no worker took yet."""
        # Runs on the executor's thread for every task: read the finished future
        # directly, without taking its lock.
        if inner._exception is None or self._rescued or not self.dies_of(inner._exception):
            return
        self._rescued = self.broken = True
        saved = []
        for task in list(self.records):
            queued = task.inner
            if queued is not None and queued is not inner and queued.cancel():
                self.forget(task)
                saved.append(task)
        if saved:
            self._rescue(saved)

    def start(self) -> list[cf.Future[Any]]:
        # One call per worker: each submission starts a worker while none is idle.
        return [self._executor.submit(os.getpid) for _ in range(self.width)]

    def forget(self, task: Any) -> None:
        self.records.pop(task, None)
        task.inner = task.backend = None

    def take_queued(self) -> list[Any]:
        tasks = []
        for task in list(self.records):
            inner = task.inner
            if inner is not None and inner.cancel():
                self.forget(task)
                tasks.append(task)
        return tasks

    def in_flight(self) -> int:
        return len(self.records)

    def close(self) -> None:
        # Only a flag: this may run in a completion callback under the executor's
        # own lock, which its shutdown takes. join() shuts it down.
        self.closed = True

    def join(self) -> None:
        self.closed = True
        self._executor.shutdown(wait=True)

    def cpu_files(self) -> list[str]:
        processes = getattr(self._executor, "_processes", None) or {}
        return [f"/proc/{pid}/schedstat" for pid in list(processes)]

    def dies_of(self, exc: BaseException | None) -> bool:
        return isinstance(exc, BrokenProcessPool)

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
        processes = getattr(self._executor, "_processes", None) or {}
        causes = []
        for pid, process in list(processes.items()):
            code = process.exitcode
            if code is None or code == -signal.SIGTERM:
                continue  # alive, or stopped by the executor once another one died
            if code < 0:
                try:
                    name = signal.Signals(-code).name
                except ValueError:
                    name = str(-code)
                causes.append(f"worker process {pid} was killed by signal {name}")
            else:
                causes.append(f"worker process {pid} exited with status {code}")
        return "; ".join(causes)


def make(width: int, place: Placement) -> Backend:
    return ProcessBackend(width, place.mp_context, place.rescue)
