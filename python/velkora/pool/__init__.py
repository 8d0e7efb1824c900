"""An executor that adapts to its workload: ``AdaptivePool``.

A drop-in ``concurrent.futures.Executor``. It starts on threads, measures every task
where it runs (wall time, CPU time, fresh memory touched, resident memory), and a
controller thread feeds those measurements to the adaptation rules of
``velkora.plugins.analyzer.adaptlogic``: CPU-bound Python work moves to worker
processes, waiting work stays on (or returns to) threads, memory pressure narrows
the pool. ``decisions`` says what it decided and why; ``stats()`` counts.

The measures of a task are defined in ``velkora.pool._patterns``.
"""

from __future__ import annotations

__all__ = ["AdaptivePool", "Decision", "PoolDecision", "PoolStats", "WorkerLostError"]

TYPE_CHECKING = False  # not typing's: importing typing would slow every worker's start
if TYPE_CHECKING:
    from ._executor import AdaptivePool, WorkerLostError
    from ._records import PoolDecision, PoolStats

    Decision = PoolDecision  # the name it had first; callers may still use it


def __getattr__(name: str) -> object:
    # Worker processes import velkora.pool._worker only; loading the executor
    # and the rules there on the way would cost every worker its start-up time.
    if name in ("AdaptivePool", "WorkerLostError"):
        from . import _executor

        return getattr(_executor, name)
    if name in ("PoolDecision", "PoolStats", "Decision"):
        from . import _records

        return getattr(_records, "PoolDecision" if name == "Decision" else name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
