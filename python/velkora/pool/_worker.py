"""What runs where the work runs: each task wrapped in a few microseconds of measurement.

A task's outcome travels back as an envelope ``(status, value, sample)``:

- ``OK``: ``value`` is the result (pickled bytes when it comes from another process);
- ``UNLOADABLE``: the worker process could not unpickle the task (``value`` says why);
  it never started, so the pool may run it elsewhere;
- ``UNSENDABLE``: the task ran but its result could not be pickled back (``value``
  says why).

A task that raises is not wrapped: its exception travels as the executor sends it.

``sample`` is ``(end, wall, cpu, delay, faults, sharing, rss)``: the end time and wall
time (``time.perf_counter``, one clock for every process of the host); the CPU time
of the thread that ran it (in a thread worker) or of the whole worker process; the
time it was ready to run but waited for a CPU that other processes held (Linux
scheduler statistics; 0 where unknown), so that a busy host does not make
computing look like waiting; the minor page faults it caused (fresh memory it
touched); the number of the pool's tasks running in the same interpreter when it
ended (itself included: busy threads take turns holding the interpreter lock);
and the resident memory of the process in bytes (read at most every 50 ms; 0
where unknown).
"""

from __future__ import annotations

import os
import pickle
import resource
import threading
import time
TYPE_CHECKING = False  # typing itself costs a worker process ~10 ms to import
if TYPE_CHECKING:
    from collections.abc import Callable, Iterable
    from typing import Any, Final

OK = 0
UNLOADABLE = 1
UNSENDABLE = 2

Sample = tuple[float, float, float, float, int, int, int]
if TYPE_CHECKING:
    Envelope = tuple[int, Any, Sample]

_perf_counter = time.perf_counter
_process_time = time.process_time
_thread_time = time.thread_time
_getrusage = resource.getrusage
_pread = os.pread
_RUSAGE_THREAD: Final = getattr(resource, "RUSAGE_THREAD", resource.RUSAGE_SELF)
_RUSAGE_SELF: Final = resource.RUSAGE_SELF
_PAGE_SIZE: Final = os.sysconf("SC_PAGE_SIZE") if hasattr(os, "sysconf") else 4096
_RSS_EVERY: Final = 0.05


class _SchedStat:
    """An open /proc/thread-self/schedstat of one thread: (CPU ns, run-queue wait ns, slices).

    Closed when its thread ends (a thread's locals are dropped then)."""

    __slots__ = ("fd",)

    def __init__(self) -> None:
        self.fd = -1
        try:
            self.fd = os.open("/proc/thread-self/schedstat", os.O_RDONLY | os.O_CLOEXEC)
        except (OSError, AttributeError):
            pass

    def __del__(self) -> None:
        if self.fd >= 0:
            os.close(self.fd)


_local = threading.local()
_rss = [0.0, 0]  # when last read, bytes
_statm_fd: int | None = None
_statm_failed = False


def _schedstat_fd() -> int:
    try:
        return _local.schedstat.fd  # type: ignore[no-any-return]
    except AttributeError:
        _local.schedstat = _SchedStat()
        return _local.schedstat.fd  # type: ignore[no-any-return]


def _thread_clock(fd: int) -> tuple[float, float]:
    """(CPU seconds, run-queue wait seconds) of the calling thread."""
    if fd >= 0:
        try:
            cpu, wait, _ = _pread(fd, 64, 0).split()
            return int(cpu) * 1e-9, int(wait) * 1e-9
        except (OSError, ValueError):
            pass
    return _thread_time(), 0.0


def resident_bytes(now: float) -> int:
    """This process's resident memory from /proc/self/statm, re-read at most every 50 ms."""
    global _statm_fd, _statm_failed
    if now - _rss[0] < _RSS_EVERY or _statm_failed:
        return int(_rss[1])
    _rss[0] = now
    try:
        if _statm_fd is None:
            _statm_fd = os.open("/proc/self/statm", os.O_RDONLY | getattr(os, "O_CLOEXEC", 0))
        _rss[1] = int(_pread(_statm_fd, 64, 0).split()[1]) * _PAGE_SIZE
    except (OSError, ValueError, IndexError):
        _statm_failed = True  # not Linux: stop paying for the attempt
    return int(_rss[1])


def run_in_thread(running: list[None], fn: Callable[..., Any], args: tuple[Any, ...],
                  kwargs: dict[str, Any]) -> Envelope:
    """Run one task on a pool thread; ``running`` holds one entry per task running now."""
    fd = _schedstat_fd()
    running.append(None)
    faults = _getrusage(_RUSAGE_THREAD).ru_minflt
    cpu, wait = _thread_clock(fd)
    start = _perf_counter()
    try:
        result = fn(*args, **kwargs)
    finally:
        sharing = len(running)
        running.pop()
    end = _perf_counter()
    cpu_end, wait_end = _thread_clock(fd)
    faults = _getrusage(_RUSAGE_THREAD).ru_minflt - faults
    return OK, result, (end, end - start, cpu_end - cpu, wait_end - wait, faults, sharing,
                        resident_bytes(end))


def run_payload(payload: bytes) -> Envelope:
    """Run one pickled ``(fn, args, kwargs)`` in a worker process; the result goes back pickled."""
    try:
        fn, args, kwargs = pickle.loads(payload)
    except Exception as exc:  # the task never started: the pool may place it elsewhere
        return UNLOADABLE, f"{type(exc).__name__}: {exc}", (_perf_counter(), 0.0, 0.0, 0.0, 0, 1, 0)
    fd = _schedstat_fd()
    faults = _getrusage(_RUSAGE_SELF).ru_minflt
    _, wait = _thread_clock(fd)
    cpu = _process_time()
    start = _perf_counter()
    result = fn(*args, **kwargs)
    end = _perf_counter()
    cpu = _process_time() - cpu
    _, wait_end = _thread_clock(fd)
    faults = _getrusage(_RUSAGE_SELF).ru_minflt - faults
    sample = (end, end - start, cpu, wait_end - wait, faults, 1, resident_bytes(end))
    try:
        data = pickle.dumps(result, pickle.HIGHEST_PROTOCOL)
    except Exception as exc:
        return UNSENDABLE, f"{type(exc).__name__}: {exc}", sample
    return OK, data, sample


def run_chunk(fn: Callable[..., Any], chunk: Iterable[tuple[Any, ...]]) -> list[Any]:
    """A batch of calls as one task (``map`` with a chunksize)."""
    return [fn(*args) for args in chunk]
