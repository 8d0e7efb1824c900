"""What runs where the work runs: each task wrapped in a few microseconds of measurement.

On a pool thread, ``thread_worker`` runs the task and resolves the user's future
itself. In a worker process, ``run_payload`` runs it and its outcome travels back
as an envelope ``(status, value, sample)``:

- ``OK``: ``value`` is the pickled result;
- ``UNLOADABLE``: the worker process could not unpickle the task (``value`` says why);
  it never started, so the pool may run it elsewhere;
- ``UNSENDABLE``: the task ran but its result could not be pickled back (``value``
  says why).

A task that raises in a worker process is not wrapped: its exception travels as
the process pool sends it.

``sample`` is ``(end, wall, cpu, faults, sharing, rss)``: the end time and wall time
(``time.perf_counter``, one clock for every process of the host); the CPU time of
the thread that ran it (in a thread worker) or of the whole worker process; the
minor page faults it caused (fresh memory it touched); the number of the pool's
tasks running in the same interpreter when it ended (itself included: busy threads
take turns holding the interpreter lock); and the resident memory of the process
in bytes (read at most every 50 ms; 0 where unknown). Apart from that read, none
of these calls lets go of the interpreter lock, which would make the workers
queue for it again on every task.
"""

from __future__ import annotations

import os
import pickle
import resource
import time

TYPE_CHECKING = False  # typing itself costs a worker process ~10 ms to import
if TYPE_CHECKING:
    import threading
    from collections import deque
    from collections.abc import Callable, Iterable
    from queue import SimpleQueue
    from typing import Any, Final

OK = 0
UNLOADABLE = 1
UNSENDABLE = 2

Sample = tuple[float, float, float, int, int, int]
if TYPE_CHECKING:
    Envelope = tuple[int, Any, Sample]

_perf_counter = time.perf_counter
_process_time = time.process_time
_thread_time = time.thread_time
_getrusage = resource.getrusage
_RUSAGE_THREAD: Final = getattr(resource, "RUSAGE_THREAD", resource.RUSAGE_SELF)
_RUSAGE_SELF: Final = resource.RUSAGE_SELF
_PAGE_SIZE: Final = os.sysconf("SC_PAGE_SIZE") if hasattr(os, "sysconf") else 4096
_RSS_EVERY: Final = 0.05

_rss = [0.0, 0]  # when last read, bytes
_statm_fd: int | None = None
_statm_failed = False


def resident_bytes(now: float) -> int:
    """This process's resident memory from /proc/self/statm, re-read at most every 50 ms."""
    global _statm_fd, _statm_failed
    if now - _rss[0] < _RSS_EVERY or _statm_failed:
        return int(_rss[1])
    _rss[0] = now
    try:
        if _statm_fd is None:
            _statm_fd = os.open("/proc/self/statm", os.O_RDONLY | getattr(os, "O_CLOEXEC", 0))
        _rss[1] = int(os.pread(_statm_fd, 64, 0).split()[1]) * _PAGE_SIZE
    except (OSError, ValueError, IndexError):
        _statm_failed = True  # not Linux: stop paying for the attempt
    return int(_rss[1])


def thread_worker(work: SimpleQueue[Any], idle: threading.Semaphore, running: list[None],
                  samples: deque[tuple[str, Sample]], counts: list[list[int]]) -> None:
    """The loop of one pool thread: take a task, run it unless cancelled, resolve its future.

    ``work`` yields the pool's task records (``fn``, ``args``, ``kwargs``, ``outer``
    and ``release()``) and ``None`` to stop; ``running`` holds one entry per task
    running now; ``counts`` gets this thread's [completed, failed].
    """
    mine = [0, 0]
    counts.append(mine)
    get, append = work.get, samples.append
    while True:
        task = get()
        if task is None:
            work.put(None)  # the next worker stops too
            return
        outer = task.outer
        if outer.set_running_or_notify_cancel():
            running.append(None)
            faults = _getrusage(_RUSAGE_THREAD).ru_minflt
            cpu = _thread_time()
            start = _perf_counter()
            try:
                result = task.fn(*task.args, **task.kwargs)
            except BaseException as exc:
                outer.set_exception(exc)
                mine[1] += 1
                del exc  # the traceback holds this frame
            else:
                outer.set_result(result)
                del result
            finally:
                sharing = len(running)
                running.pop()
                end = _perf_counter()
                cpu = _thread_time() - cpu
                faults = _getrusage(_RUSAGE_THREAD).ru_minflt - faults
                append(("thread", (end, end - start, cpu, faults, sharing, resident_bytes(end))))
                mine[0] += 1
        task.release()
        del task, outer
        idle.release()


def run_payload(payload: bytes) -> Envelope:
    """Run one pickled ``(fn, args, kwargs)`` in a worker process; the result goes back pickled."""
    try:
        fn, args, kwargs = pickle.loads(payload)
    except Exception as exc:  # the task never started: the pool may place it elsewhere
        return UNLOADABLE, f"{type(exc).__name__}: {exc}", (_perf_counter(), 0.0, 0.0, 0, 1, 0)
    faults = _getrusage(_RUSAGE_SELF).ru_minflt
    cpu = _process_time()
    start = _perf_counter()
    result = fn(*args, **kwargs)
    end = _perf_counter()
    cpu = _process_time() - cpu
    faults = _getrusage(_RUSAGE_SELF).ru_minflt - faults
    sample = (end, end - start, cpu, faults, 1, resident_bytes(end))
    try:
        data = pickle.dumps(result, pickle.HIGHEST_PROTOCOL)
    except Exception as exc:
        return UNSENDABLE, f"{type(exc).__name__}: {exc}", sample
    return OK, data, sample


def run_chunk(fn: Callable[..., Any], chunk: Iterable[tuple[Any, ...]]) -> list[Any]:
    """A batch of calls as one task (``map`` with a chunksize)."""
    return [fn(*args) for args in chunk]
