"""The pool's backends and where each task is, under one lock.

``lock`` guards the current backend, the set of backends, the orphans and where
each task is. It is held while calling a backend's ``submit``, ``withdraw``,
``take_queued`` and ``close``, never while waiting for a backend, and never by a
completion callback: a process pool's manager thread runs callbacks holding its
own lock, which its ``submit`` needs. Callbacks, the pool's and its users', never
run under ``lock``: whoever hands a task to a backend under it attaches the
completion callback after letting go (``take_attach_locked``).

Every task taken from a backend is, by the time ``lock`` is released, either in
another backend or among the ``orphans``, which the controller places again.
"""

from __future__ import annotations

import concurrent.futures as cf
import contextlib
import logging
import threading
from collections import deque
from collections.abc import Callable
from concurrent.futures import _base
from concurrent.futures.process import BrokenProcessPool
from typing import Any

from ._controller import Controller
from ._kinds import Backend, Unpicklable
from ._records import PoolDecision
from ._tasks import Task

logger = logging.getLogger("velkora.pool")

#: Process pools in a row that died before they ran a task, after which the pool
#: stops replacing them (a worker that cannot even start would be replaced for ever).
MAX_BARREN_POOLS = 3


class Fleet:
    def __init__(self, controller: Controller, make: Callable[[str, int], Backend],
                 clock: Callable[[], float], kind: str, width: int) -> None:
        self.lock = threading.Lock()
        self.controller = controller
        self._make = make
        self._clock = clock
        self.current = make(kind, width)
        self.backends: list[Backend] = [self.current]
        self.orphans: deque[Task] = deque()
        self.starting: tuple[Backend, list[cf.Future[Any]]] | None = None
        self.attach: list[tuple[Task, cf.Future[Any]]] = []
        self.shut = False  # the pool was shut down: no new work
        self.exiting = False  # the interpreter is exiting: run what is here, start nothing
        self.dead: str | None = None  # why the pool gave up replacing its workers
        self._barren = 0

    # -- under lock ----------------------------------------------------------

    def take_attach_locked(self) -> list[tuple[Task, cf.Future[Any]]]:
        pairs, self.attach = self.attach, []
        return pairs

    def dispatch_locked(self, task: Task) -> cf.Future[Any] | None:
        """Hand a task to the current backend; the caller attaches any callback unlocked."""
        last_error: BaseException | None = None
        for _ in range(3):
            backend = self.current
            if self.dead is not None:
                raise BrokenProcessPool(self.dead)
            if self.exiting:
                return backend.submit(task)
            if backend.broken:
                backend = self.replace_locked(backend, backend.failure or "its workers died")
            elif backend.closed:
                # Only after shutdown, for tasks saved from a dead worker process.
                backend = self.replace_locked(backend, "tasks saved from a dead worker",
                                              quiet=True)
            try:
                return backend.submit(task)
            except Unpicklable as exc:
                if "thread" not in self.controller.kinds:
                    raise
                self.leave_for_threads_locked(str(exc))
                last_error = exc
            except (cf.BrokenExecutor, RuntimeError) as exc:
                if self.current is backend:
                    backend.broken = True
                last_error = exc
        raise RuntimeError(f"no pool kind could take the task: {last_error}")

    def install_locked(self, fresh: Backend) -> None:
        """New work goes to ``fresh``; the old backend's queued tasks follow it."""
        old = self.current
        self.current = fresh
        if fresh not in self.backends:
            self.backends.append(fresh)
        self._move_locked(old, fresh)
        old.close()

    def _move_locked(self, old: Backend, fresh: Backend) -> None:
        tasks = old.take_queued()
        for i, task in enumerate(tasks):
            if _dropped(task):
                continue
            try:
                inner = fresh.submit(task)
            except Unpicklable as exc:
                # It stays where it can run; the workload is kept off other processes.
                self.controller.block_pickling(str(exc))
                self.orphans.append(task)
                continue
            except BaseException as exc:
                # The new workers broke while the work moved: what is not in yet
                # waits for the next repair, which replaces them.
                fresh.broken = True
                fresh.failure = fresh.failure or f"its workers failed ({exc})"
                self.orphans.extend(t for t in tasks[i:] if not _dropped(t))
                return
            if inner is not None:
                self.attach.append((task, inner))

    def replace_locked(self, broken: Backend, cause: str, *, quiet: bool = False) -> Backend:
        if self.current is not broken:
            return self.current
        controller = self.controller
        if broken.fallback:
            kind = broken.fallback
            if controller.pickling_blocked is not None or controller.processes_refused or \
                    ("process" not in controller.kinds and "thread" in controller.kinds):
                kind = "thread"
            fresh = self._make(kind, controller.max_width)
            action, reason = "switch", f"{cause}: back to {kind} workers on this host"
        else:
            self._barren = self._barren + 1 if broken.done == 0 else 0
            if self._barren >= MAX_BARREN_POOLS:
                self.dead = (f"the {broken.kind} workers died {self._barren} times in a row "
                             f"before running a task (last: {cause})")
                logger.error("%s", self.dead)
                raise BrokenProcessPool(self.dead)
            fresh = self._make(broken.kind, broken.width)
            action, reason = "replace", f"{cause}: started a fresh {broken.kind} pool"
        controller.forced(self._clock(), action, fresh.kind, fresh.width, "fault", reason)
        if not quiet:
            logger.warning("replaced the %s pool by a %s pool (%d workers): %s", broken.kind,
                           fresh.kind, fresh.width, cause)
        self.current = fresh
        self.backends.append(fresh)
        broken.close()
        return fresh

    def leave_for_threads_locked(self, reason: str) -> None:
        """A task cannot go to another process: from now on the workload stays on threads."""
        self.controller.block_pickling(reason)
        if self.current.kind == "thread" or "thread" not in self.controller.kinds:
            return
        fresh = self._make("thread", self.controller.max_width)
        self.controller.forced(self._clock(), "switch", "thread", fresh.width, "pickling",
                               f"tasks cannot be pickled ({reason}): staying on threads")
        logger.info("switched to thread (%d workers): tasks cannot be pickled (%s)",
                    fresh.width, reason)
        self.install_locked(fresh)

    def pending_locked(self) -> int:
        return sum(b.in_flight() for b in self.backends) + len(self.orphans)

    def take_all_queued_locked(self) -> list[Task]:
        tasks = [task for backend in self.backends for task in backend.take_queued()]
        while self.orphans:
            tasks.append(self.orphans.popleft())
        return tasks

    # -- changes of backend (the controller's thread) --------------------------

    def switch(self, decision: PoolDecision) -> list[cf.Future[Any]]:
        """Apply a switch or resize: new work goes to a new backend, queued work follows.

        A backend whose workers take a while to start (processes) starts first,
        while the current one keeps working; the work moves once they answer
        (``started``). Returns the futures that resolve as they do.
        """
        fresh: Backend | None = None
        try:
            fresh = self._make(decision.kind, decision.width)
            starting = fresh.start()
        except Exception as exc:  # out of file descriptors, processes, threads
            if fresh is not None:
                with contextlib.suppress(Exception):
                    fresh.join()
            self._stay_after_failed_start(decision.kind, exc)
            return []
        if not starting:
            self.install(fresh)
            return []
        with self.lock:
            self.backends.append(fresh)  # so that shutdown waits for it too
            if self.exiting or self.shut:
                fresh.close()
                return []
            self.starting = (fresh, starting)
        return starting

    def started(self) -> bool:
        """Install a backend whose workers have started; False while one is still starting."""
        fresh, starting = self.starting or (None, [])
        if fresh is None:
            return True
        if not all(f.done() for f in starting):
            return False
        self.starting = None
        failed = next((f.exception() for f in starting if f.exception() is not None), None)
        if (fresh.kind, fresh.width) != (self.controller.kind, self.controller.width):
            with self.lock:  # overtaken by a forced change while it started
                fresh.close()
            return True
        if failed is None:
            self.install(fresh)
            return True
        with self.lock:
            fresh.close()
        self._stay_after_failed_start(fresh.kind, failed)
        return True

    def _stay_after_failed_start(self, kind: str, exc: BaseException) -> None:
        current = self.current
        reason = f"the {kind} workers failed to start ({exc}): staying on {current.kind}"
        # The controller must know the pool stayed, so that it may try again later.
        self.controller.forced(self._clock(), "switch", current.kind, current.width, "fault",
                               reason)
        if not self.exiting:
            logger.warning("%s", reason)

    def install(self, fresh: Backend) -> None:
        with self.lock:
            if self.exiting or self.shut:
                if fresh not in self.backends:
                    self.backends.append(fresh)
                fresh.close()
                return
            self.install_locked(fresh)
            pairs = self.take_attach_locked()
        attach(pairs)

    def repair(self) -> list[tuple[Task, BaseException]]:
        """Replace a broken backend and send the orphans to the current one.
        Returns the tasks that no backend could take, with why."""
        failed: list[tuple[Task, BaseException]] = []
        with self.lock:
            if self.current.broken and self.dead is None and not self.exiting:
                try:
                    self.replace_locked(self.current, self.current.failure or "its workers died")
                except BrokenProcessPool:
                    pass  # self.dead says why; the orphans fail below
            if self.controller.pickling_blocked is not None and self.orphans:
                self.leave_for_threads_locked(self.controller.pickling_blocked)
            while self.orphans:
                task = self.orphans.popleft()
                if _dropped(task):
                    continue
                try:
                    inner = self.dispatch_locked(task)
                except Exception as exc:
                    failed.append((task, exc))
                    continue
                if inner is not None:
                    self.attach.append((task, inner))
            pairs = self.take_attach_locked()
        attach(pairs)
        return failed

    def reap(self) -> None:
        """Join the drained backends that hold no more work."""
        with self.lock:
            done = [b for b in self.backends
                    if b is not self.current and b.closed and not b.in_flight()
                    and (self.starting is None or b is not self.starting[0])]
            self.backends = [b for b in self.backends if b not in done]
        for backend in done:
            backend.join()

    def close_all(self, repair: Callable[[], None]) -> None:
        """Close every backend and wait for it, including any a late repair starts.
        Repairs once more after the last join: a backend may fail its tasks while
        it is joined (a cluster left without workers), and they must settle."""
        while True:
            repair()
            with self.lock:
                backends = list(self.backends)
                if not backends and not self.orphans:
                    self.backends = [self.current]
                    return
                for backend in backends:
                    backend.close()
            for backend in backends:
                backend.join()
            with self.lock:
                self.backends = [b for b in self.backends if b not in backends]

    def cpu_files(self) -> list[tuple[str, str]]:
        with self.lock:
            backends = list(self.backends)
        return [(b.kind, path) for b in backends for path in b.cpu_files()]

    def runs_current_thread(self) -> bool:
        with self.lock:
            backends = list(self.backends)
        return any(b.runs_current_thread() for b in backends)


def _dropped(task: Task) -> bool:
    """A task cancelled while it waited: announced here if no worker will, and let go."""
    state = task.outer._state
    if state == _base.PENDING:
        return False
    if state == _base.CANCELLED:
        task.outer.set_running_or_notify_cancel()
    task.release()
    return True


def attach(pairs: list[tuple[Task, cf.Future[Any]]]) -> None:
    for task, inner in pairs:
        inner.add_done_callback(task.on_done)
