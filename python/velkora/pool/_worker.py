"""What runs in a worker process: each task wrapped in a few microseconds of
measurement, its outcome sent back as an envelope ``(status, value, sample)``:

- ``OK``: ``value`` is the pickled result;
- ``RAISED``: ``value`` is the pickled ``(exception, traceback text)`` the task raised
  (a stand-in ``TypeError`` where that exception could not be rebuilt);
- ``UNLOADABLE``: the worker process could not unpickle the task (``value`` says why);
  it never started, so the pool may run it elsewhere;
- ``UNSENDABLE``: the task ran but its result could not be pickled back (``value``
  says why).

``unpack`` turns an envelope back into a result or an exception on the pool's side.

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
    from collections.abc import Callable, Iterable
    from typing import Any, Final

OK = 0
UNLOADABLE = 1
UNSENDABLE = 2
RAISED = 3

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


def run_payload(payload: bytes) -> Envelope:
    """Run one pickled ``(fn, args, kwargs)`` in a worker process. Its result or its
    exception goes back pickled here, so that nothing the task returns or raises can
    be mistaken for the death of its worker."""
    try:
        fn, args, kwargs = pickle.loads(payload)
    except BaseException as exc:  # the task never started: the pool may place it elsewhere
        return UNLOADABLE, f"{type(exc).__name__}: {exc}", (_perf_counter(), 0.0, 0.0, 0, 1, 0)
    del payload
    faults = _getrusage(_RUSAGE_SELF).ru_minflt
    cpu = _process_time()
    start = _perf_counter()
    status = OK
    try:
        result = fn(*args, **kwargs)
    except BaseException as exc:
        status, result = RAISED, _pack_exception(exc)
        del exc
    end = _perf_counter()
    cpu = _process_time() - cpu
    faults = _getrusage(_RUSAGE_SELF).ru_minflt - faults
    sample = (end, end - start, cpu, faults, 1, resident_bytes(end))
    if status == RAISED:
        return status, result, sample
    try:
        data = pickle.dumps(result, pickle.HIGHEST_PROTOCOL)
    except BaseException as exc:
        return UNSENDABLE, f"{type(exc).__name__}: {exc}", sample
    return OK, data, sample


def _pack_exception(exc: BaseException) -> bytes:
    import traceback

    text = "".join(traceback.format_exception(exc))
    try:
        data = pickle.dumps((exc, text), pickle.HIGHEST_PROTOCOL)
        pickle.loads(data)  # one that cannot be rebuilt here cannot be rebuilt there either
        return data
    except BaseException as problem:
        stand_in = TypeError(f"the task raised {type(exc).__qualname__}({exc}), which cannot be "
                             f"sent back from a worker process "
                             f"({type(problem).__name__}: {problem})")
        return pickle.dumps((stand_in, text), pickle.HIGHEST_PROTOCOL)


class RemoteTraceback(Exception):
    """The traceback of an exception raised in a worker process."""

    def __str__(self) -> str:
        return str(self.args[0]) if self.args else ""


def unpack(status: int, data: Any) -> tuple[Any, BaseException | None]:
    """(result, None) or (None, exception) of an envelope's status and value, on the
    pool's side. Never raises: a result that cannot be rebuilt here fails its task."""
    if status == OK:
        try:
            return pickle.loads(data), None
        except BaseException as exc:
            error: BaseException = pickle.UnpicklingError(
                f"the task's result cannot be rebuilt here: {type(exc).__name__}: {exc}")
            error.__cause__ = exc
            return None, error
    if status == RAISED:
        try:
            raised, text = pickle.loads(data)
        except BaseException as exc:
            error = TypeError(f"the task raised an exception that cannot be rebuilt here: "
                              f"{type(exc).__name__}: {exc}")
            error.__cause__ = exc
            return None, error
        raised.__cause__ = RemoteTraceback(f'\n"""\n{text}"""')
        return None, raised
    return None, pickle.PicklingError(
        f"the task ran, but its result cannot be sent back from a worker process: {data}")


def run_chunk(fn: Callable[..., Any], chunk: Iterable[tuple[Any, ...]]) -> list[Any]:
    """A batch of calls as one task (``map`` with a chunksize)."""
    return [fn(*args) for args in chunk]
