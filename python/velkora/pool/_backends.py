"""Pool kinds: each one a small backend behind one interface.

A backend runs tasks of one kind at one width. The pool talks to it only through:

- ``submit(fn, args, kwargs)`` → a ``concurrent.futures.Future`` that resolves with
  the task's envelope (see ``_worker``) or with the exception the task raised.
  Raises ``Unpicklable`` (before anything is queued) when the task cannot be sent
  to this kind's workers, and ``concurrent.futures.BrokenExecutor`` when the
  backend can take no more work.
- ``cancel(future)`` → True only if the task will never start here (it may then
  be submitted elsewhere).
- ``close()``: take no new work; queued work that was not cancelled still runs
  (the backend drains). Returns at once.
- ``join()``: return once every worker is gone (after ``close``).
- ``lost(exc)`` → for an exception that a task's future failed with, the text of
  why its worker died ("worker process 1234 was killed by signal SIGKILL"), or
  None when the exception is the task's own.

``records`` (the tasks in flight on the backend, in submission order), ``broken``,
``closed`` and ``failure`` are the pool's bookkeeping; the backend never reads them. A new kind subclasses ``Backend``,
registers a ``KindProfile`` in ``_patterns`` and a factory in ``make_backend``.
"""

from __future__ import annotations

import concurrent.futures as cf
import multiprocessing
import signal
import time
from collections.abc import Callable
from concurrent.futures.process import BrokenProcessPool
from functools import partial
from typing import Any

from . import _worker


class Unpicklable(Exception):
    """The task cannot be sent to another process."""


class Backend:
    kind = ""

    def __init__(self, width: int) -> None:
        self.width = width
        self.records: dict[Any, None] = {}
        self.broken = False
        self.closed = False
        self.failure: str | None = None

    def submit(self, fn: Callable[..., Any], args: tuple[Any, ...],
               kwargs: dict[str, Any]) -> cf.Future[Any]:
        raise NotImplementedError

    def cancel(self, future: cf.Future[Any]) -> bool:
        return future.cancel()

    def close(self) -> None:
        raise NotImplementedError

    def join(self) -> None:
        raise NotImplementedError

    def lost(self, exc: BaseException) -> str | None:
        return None

    def __repr__(self) -> str:
        return f"<{type(self).__name__} {self.kind} x{self.width}>"


class ThreadBackend(Backend):
    kind = "thread"

    def __init__(self, width: int) -> None:
        super().__init__(width)
        self._running: list[None] = []
        self._executor = cf.ThreadPoolExecutor(width, thread_name_prefix="velkora-pool")
        self._run = partial(_worker.run_in_thread, self._running)

    def submit(self, fn: Callable[..., Any], args: tuple[Any, ...],
               kwargs: dict[str, Any]) -> cf.Future[Any]:
        return self._executor.submit(self._run, fn, args, kwargs)

    def close(self) -> None:
        self._executor.shutdown(wait=False)

    def join(self) -> None:
        self._executor.shutdown(wait=True)


class ProcessBackend(Backend):
    kind = "process"

    def __init__(self, width: int, mp_context: Any = None) -> None:
        super().__init__(width)
        # Not fork: the pool's own threads are running when workers start, and a
        # forked child would inherit their locks in whatever state they were.
        context = mp_context if mp_context is not None else multiprocessing.get_context("spawn")
        self._executor = cf.ProcessPoolExecutor(width, mp_context=context)
        self._manager: Any = None
        self._cause: str | None = None

    def submit(self, fn: Callable[..., Any], args: tuple[Any, ...],
               kwargs: dict[str, Any]) -> cf.Future[Any]:
        from multiprocessing.reduction import ForkingPickler

        try:
            payload = bytes(ForkingPickler.dumps((fn, args, kwargs)))
        except Exception as exc:
            raise Unpicklable(f"{type(exc).__name__}: {exc}") from exc
        return self._executor.submit(_worker.run_payload, payload)

    def close(self) -> None:
        # shutdown(wait=False) forgets the manager thread; keep it to join later.
        # That thread joins the worker processes before it ends.
        manager = getattr(self._executor, "_executor_manager_thread", None)
        if manager is not None:
            self._manager = manager
        self._executor.shutdown(wait=False)

    def join(self) -> None:
        self.close()
        if self._manager is not None:
            self._manager.join()

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


def make_backend(kind: str, width: int, mp_context: Any = None) -> Backend:
    if kind == "thread":
        return ThreadBackend(width)
    if kind == "process":
        return ProcessBackend(width, mp_context)
    raise ValueError(f"unknown pool kind {kind!r}")
