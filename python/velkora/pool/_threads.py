"""The thread kind: the pool's own threads, each resolving its task's future itself."""

from __future__ import annotations

import resource
import threading
import weakref
from collections import deque
from queue import Empty, SimpleQueue
from time import perf_counter as _perf_counter
from time import thread_time as _thread_time
from typing import Any

from ._kinds import Backend, Placement
from ._tasks import Tally
from ._worker import Sample, resident_bytes

#: A task shorter than this (seconds) is tiny: measuring it costs more than it
#: does, and the next SKIP tasks of that worker run unmeasured.
TINY_TASK = 1e-4
SKIP = 15
_getrusage = resource.getrusage
_RUSAGE_THREAD = getattr(resource, "RUSAGE_THREAD", resource.RUSAGE_SELF)

# Thread backends still open, closed when the interpreter exits: their threads
# are not daemons, and the interpreter joins those before it runs atexit hooks.
_open: weakref.WeakSet[ThreadBackend] = weakref.WeakSet()


def _close_at_exit() -> None:
    for backend in list(_open):
        backend.close()


threading._register_atexit(_close_at_exit)  # type: ignore[attr-defined]


class ThreadBackend(Backend):
    kind = "thread"

    def __init__(self, width: int, samples: deque[tuple[str, Sample]], tally: Tally) -> None:
        super().__init__(width)
        self._work: SimpleQueue[Any] = SimpleQueue()
        self._idle = threading.Semaphore(0)
        self._running: list[None] = []
        self._threads: list[threading.Thread] = []
        self._samples, self._tally = samples, tally
        # A pool dropped without shutdown still lets its threads go.
        weakref.finalize(self, self._work.put, None)
        _open.add(self)

    def submit(self, task: Any) -> None:
        if self.closed:
            raise RuntimeError("cannot schedule new futures after shutdown")
        task.backend = self
        self._work.put(task)
        if not self._idle.acquire(blocking=False) and len(self._threads) < self.width:
            thread = threading.Thread(
                target=thread_worker, name=f"velkora-pool-{len(self._threads)}",
                args=(self._work, self._idle, self._running, self._samples, self._tally))
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
            _open.discard(self)

    def join(self) -> None:
        self.close()
        for thread in list(self._threads):
            thread.join()

    def runs_current_thread(self) -> bool:
        return threading.current_thread() in self._threads

    def cpu_files(self) -> list[str]:
        return [f"/proc/self/task/{t.native_id}/schedstat" for t in list(self._threads)]


def make(width: int, place: Placement) -> Backend:
    return ThreadBackend(width, place.samples, place.tally)


def thread_worker(work: SimpleQueue[Any], idle: threading.Semaphore, running: list[None],
                  samples: deque[tuple[str, Sample]], tally: Tally) -> None:
    """The loop of one pool thread: take a task, run it unless cancelled, resolve its future.

    ``work`` yields the pool's task records and ``None`` to stop; ``running`` holds
    one entry per task running now. Measuring takes no call that lets go of the
    interpreter lock, which would make the workers queue for it again on every
    task; it costs a few system calls, so of tiny tasks only one in ``SKIP + 1``
    is measured (the controller reads a bounded number of samples anyway).
    """
    mine = tally.thread_pair()
    get, append = work.get, samples.append
    skip = 0
    try:
        while True:
            task = get()
            if task is None:
                work.put(None)  # the next worker stops too
                return
            outer = task.outer
            if not outer.set_running_or_notify_cancel():
                pass
            elif skip:
                skip -= 1
                running.append(None)
                try:
                    result = task.fn(*task.args, **task.kwargs)
                except BaseException as exc:
                    mine[1] += 1
                    outer.set_exception(exc)
                    del exc  # the traceback holds this frame
                else:
                    mine[0] += 1
                    outer.set_result(result)
                    del result
                finally:
                    running.pop()
            else:
                running.append(None)
                faults = _getrusage(_RUSAGE_THREAD).ru_minflt
                cpu = _thread_time()
                start = _perf_counter()
                try:
                    result = task.fn(*task.args, **task.kwargs)
                except BaseException as exc:
                    mine[1] += 1
                    outer.set_exception(exc)
                    del exc
                else:
                    mine[0] += 1
                    outer.set_result(result)
                    del result
                finally:
                    sharing = len(running)
                    running.pop()
                    end = _perf_counter()
                    cpu = _thread_time() - cpu
                    faults = _getrusage(_RUSAGE_THREAD).ru_minflt - faults
                    append(("thread", (end, end - start, cpu, faults, sharing,
                                       resident_bytes(end))))
                    if end - start < TINY_TASK:
                        skip = SKIP
            task.release()
            del task, outer
            idle.release()
    finally:
        tally.retire(mine)
