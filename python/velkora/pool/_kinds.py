"""Pool kinds: the interface every backend keeps, and one registry of the kinds.

A backend runs tasks of one kind at one width. A task is the pool's record of one
submission (see ``_tasks``): ``fn``, ``args``, ``kwargs``, ``outer`` (the future its
user holds), ``inner`` and ``backend`` (where it is now). The pool calls, holding
its lock:

- ``submit(task)``: start the task, or queue it. Returns None when the backend
  resolves ``task.outer`` itself, or a ``concurrent.futures.Future`` that resolves
  with the task's envelope (see ``_worker``) or with an exception of the transport
  (the task never reached a worker, or its worker died): the pool then attaches
  its completion callback, after letting go of its lock. Raises ``Unpicklable``
  (before anything is queued) when the task cannot be sent to this kind's
  workers, ``concurrent.futures.BrokenExecutor`` or ``RuntimeError`` when the
  backend can take no more work.
- ``withdraw(task)``: before the pool cancels ``task.outer``: True unless the task
  may already have started.
- ``take_queued()``: remove and return every task that has not started, so that
  it can go elsewhere; each is sure never to start here.
- ``forget(task)``: the task resolved or left; drop what this backend holds of it.
- ``start()``: start the workers ahead of any work, where that takes a while;
  returns futures that resolve once they run (none where starting is instant).
- ``close()``: take no new work; what is queued still runs. Never blocks and
  takes no lock of the executor underneath: it may run in a completion callback.
- ``join()``: let go of the workers once they are idle and return when they are gone.
- ``lost(exc)``: for an exception an envelope future failed with, why its worker
  died ("worker process 1234 was killed by signal SIGKILL"), or None when the
  exception says something else (the task could not be sent).
- ``dies_of(exc)``: ``lost`` without waiting, True or False: it may run under the
  executor's own lock.
- ``cpu_files()``: the Linux scheduler statistics files of its workers.
- ``runs_current_thread()``: whether the calling thread is one of its workers.

A new kind is a ``Backend`` subclass in a module of its own with a ``make(width,
place)`` function, and one ``register`` call below. This module imports none of them.
"""

from __future__ import annotations

import concurrent.futures as cf
from collections import deque
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, Final


class Unpicklable(Exception):
    """The task cannot be sent to another process; ``original`` is the pickler's error."""

    def __init__(self, message: str, original: BaseException | None = None) -> None:
        super().__init__(message)
        self.original = original


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
        self.done = 0  # envelopes that came back: a pool that ran nothing is no pool

    def submit(self, task: Any) -> cf.Future[Any] | None:
        raise NotImplementedError

    def withdraw(self, task: Any) -> bool:
        """Take back a task no worker has started: True if it will not run here."""
        inner = task.inner
        if inner is None or not inner.cancel():
            return False
        self.forget(task)
        return True

    def take_queued(self) -> list[Any]:
        raise NotImplementedError

    def forget(self, task: Any) -> None:
        task.inner = task.backend = None

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

    def dies_of(self, exc: BaseException) -> bool:
        """Cheaply, without waiting: does ``exc`` say this backend's workers died?"""
        return self.lost(exc) is not None

    def runs_current_thread(self) -> bool:
        return False

    def cpu_files(self) -> list[str]:
        return []

    def __repr__(self) -> str:
        return f"<{type(self).__name__} {self.kind} x{self.width}>"


@dataclass(frozen=True)
class Placement:
    """What a backend gets from its pool: where thread workers leave their
    measurements, the tally they count in, where tasks go that a backend gives
    back unstarted as its workers die (``rescue``), the multiprocessing context of
    process workers, and the pool's link to its cluster."""

    samples: deque[Any]
    tally: Any
    rescue: Callable[[list[Any]], None]
    mp_context: Any = None
    cluster: Any = None


@dataclass(frozen=True)
class KindProfile:
    """How a pool kind suits each pattern, and whether it pays a dispatch cost per task.

    ``separate_memory``: its workers are other processes (a copy of the
    interpreter each, data pickled in and out), which memory pressure and
    memory-heavy tasks count against.
    """

    workload_fit: dict[str, float]
    separate_memory: bool
    shares_interpreter_lock: bool


@dataclass(frozen=True)
class Kind:
    """A registered kind: its profile, and the module whose ``make(width, place)``
    builds its backends (imported by the pool when it first needs one, so that a
    worker or a thread-only pool never loads the others)."""

    name: str
    profile: KindProfile
    module: str


KINDS: Final[dict[str, Kind]] = {}


def register(name: str, profile: KindProfile, module: str) -> None:
    KINDS[name] = Kind(name, profile, module)


register("thread", KindProfile(
    {"io_bound": 1.0, "mixed": 0.6, "memory_bound": 0.8, "cpu_bound": 0.2},
    separate_memory=False, shares_interpreter_lock=True), "._threads")
register("process", KindProfile(
    {"cpu_bound": 1.0, "mixed": 0.6, "memory_bound": 0.3, "io_bound": 0.3},
    separate_memory=True, shares_interpreter_lock=False), "._processes")
# Another host's processes: whether CPU-bound work goes there rather than to
# local processes is decided by what the cluster offers (see _controller).
register("cluster", KindProfile(
    {"cpu_bound": 1.0, "mixed": 0.5, "memory_bound": 0.2, "io_bound": 0.2},
    separate_memory=True, shares_interpreter_lock=False), "._cluster")
