"""What a Dask worker runs for the pool's cluster kind: one task, measured.

The same envelope as a local worker process sends (see ``_worker``), with two
differences that come from the worker being a thread of a long-lived process
that runs other work too: CPU time and page faults are the thread's own, and
``sharing`` counts the pool's tasks running in that process (Dask runs one
per worker thread). ``end`` is this host's clock, which means nothing to the
pool's host: the pool stamps the sample again when the result arrives.
"""

from __future__ import annotations

import pickle
import resource
import time

from ._worker import OK, UNLOADABLE, UNSENDABLE, resident_bytes

TYPE_CHECKING = False
if TYPE_CHECKING:
    from ._worker import Envelope

_RUSAGE_THREAD = getattr(resource, "RUSAGE_THREAD", resource.RUSAGE_SELF)
_running: list[None] = []  # one entry per task of ours running in this process


def run_remote(payload: bytes) -> Envelope:
    """Run one pickled ``(fn, args, kwargs)``; a task that raises raises here too."""
    try:
        fn, args, kwargs = pickle.loads(payload)
    except Exception as exc:  # never started: the pool may place it elsewhere
        return UNLOADABLE, f"{type(exc).__name__}: {exc}", (time.perf_counter(), 0.0, 0.0, 0, 1, 0)
    _running.append(None)
    faults = resource.getrusage(_RUSAGE_THREAD).ru_minflt
    cpu = time.thread_time()
    start = time.perf_counter()
    try:
        result = fn(*args, **kwargs)
    finally:
        sharing = len(_running)
        _running.pop()
    end = time.perf_counter()
    cpu = time.thread_time() - cpu
    faults = resource.getrusage(_RUSAGE_THREAD).ru_minflt - faults
    sample = (end, end - start, cpu, faults, sharing, resident_bytes(end))
    try:
        data = pickle.dumps(result, pickle.HIGHEST_PROTOCOL)
    except Exception as exc:
        return UNSENDABLE, f"{type(exc).__name__}: {exc}", sample
    return OK, data, sample
