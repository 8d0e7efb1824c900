"""The pool's record of each submission, the future its user holds, and the counts.

Every future handed out resolves exactly once. A task moves to another backend
only after the one holding it gave it up (``take_queued``: it is sure never to
start there), so it never runs twice; cancelling a future is decided under the
pool's lock, the same lock as moves. The record drops the call's function and
arguments as soon as the task is done, so that nothing the call held outlives it.
"""

from __future__ import annotations

import concurrent.futures as cf
import threading
from collections.abc import Callable
from concurrent.futures import _base
from typing import TYPE_CHECKING, Any, Protocol, TypeVar

if TYPE_CHECKING:
    from ._kinds import Backend

T = TypeVar("T")


class Owner(Protocol):
    """What a task needs of its pool."""

    _lock: threading.Lock
    tally: Tally

    def _on_done(self, task: Task, inner: cf.Future[Any]) -> None: ...


class Task:
    __slots__ = ("owner", "fn", "args", "kwargs", "outer", "inner", "backend")

    def __init__(self, owner: Owner, fn: Callable[..., Any], args: tuple[Any, ...],
                 kwargs: dict[str, Any]) -> None:
        self.owner = owner
        self.fn, self.args, self.kwargs = fn, args, kwargs
        self.outer: PoolFuture[Any] = PoolFuture(self)
        self.inner: cf.Future[Any] | None = None
        self.backend: Backend | None = None

    def on_done(self, inner: cf.Future[Any]) -> None:
        self.owner._on_done(self, inner)

    def release(self) -> None:
        """Done with: drop the references that would keep the call's data alive."""
        self.outer._task = None
        self.fn = self.args = self.kwargs = None  # type: ignore[assignment]
        self.inner = self.backend = None


def mark_cancelled(future: cf.Future[Any]) -> bool:
    """PENDING -> CANCELLED without running callbacks (the caller runs them, unlocked)."""
    with future._condition:
        if future._state != _base.PENDING:
            return False
        future._state = _base.CANCELLED
        future._condition.notify_all()
    return True


def announce_cancelled(future: cf.Future[Any], notify: bool) -> None:
    future._invoke_callbacks()  # type: ignore[attr-defined]
    if notify:  # no worker will: wake wait() and as_completed()
        future.set_running_or_notify_cancel()


class PoolFuture(cf.Future[T]):
    """The future a user holds; cancelling it withdraws the task wherever it waits."""

    def __init__(self, task: Task) -> None:
        super().__init__()
        self._task: Task | None = task

    def cancel(self) -> bool:
        task = self._task
        if task is None:
            return super().cancel()
        owner = task.owner
        with owner._lock:
            if self._state == _base.PENDING and (task.backend is None
                                                 or task.backend.withdraw(task)):
                cancelled = mark_cancelled(self)
                # A backend that gave the task back forgot it; one that keeps it
                # queued lets its worker notify when it reaches the task.
                notify = task.backend is None
            else:
                cancelled = notify = False
        if not cancelled:
            return self.cancelled()
        owner.tally.add(cancelled=1)
        announce_cancelled(self, notify)
        return True

    def running(self) -> bool:
        task = self._task
        inner = task.inner if task is not None else None
        return super().running() or (inner is not None and inner.running() and not self.done())


class Tally:
    """The pool's counts. Thread workers count in a pair of their own, without a
    lock (one increment each, under the interpreter lock), folded in when they end."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self.submitted = self.completed = self.failed = self.cancelled = self.lost = 0
        self._threads: list[list[int]] = []

    def add(self, *, completed: int = 0, failed: int = 0, cancelled: int = 0,
            lost: int = 0) -> None:
        with self._lock:
            self.completed += completed
            self.failed += failed
            self.cancelled += cancelled
            self.lost += lost

    def thread_pair(self) -> list[int]:
        pair = [0, 0]
        with self._lock:
            self._threads.append(pair)
        return pair

    def retire(self, pair: list[int]) -> None:
        with self._lock:
            self._threads.remove(pair)
            self.completed += pair[0]
            self.failed += pair[1]

    def counts(self) -> tuple[int, int, int, int, int]:
        """(submitted, completed, failed, cancelled, lost); lost tasks count as failed too."""
        with self._lock:
            completed = self.completed + sum(p[0] for p in self._threads)
            failed = self.failed + self.lost + sum(p[1] for p in self._threads)
            return self.submitted, completed, failed, self.cancelled, self.lost
