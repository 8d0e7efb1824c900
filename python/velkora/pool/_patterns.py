"""From a task's measurements to its pattern, and from patterns to the fit of each pool kind.

The three measures of a task (each 0.0 to 1.0):

- ``cpu_intensity``: CPU time over the wall time the task was not kept off a CPU by
  other processes, times the number of the pool's tasks that shared its
  interpreter when it ended (1 in a worker process), capped at 1. Threads take
  turns holding the interpreter lock, so k busy threads get about 1/k of a CPU
  each; scaled back, the measure says how much of the lock that many such tasks
  need, and 1.0 means they queue for it. Where the scaled value exceeds 1 the
  tasks used more CPU together than one lock holder at a time could (numpy,
  zlib, hashing: work that releases the lock), so at most 1/value of that CPU
  time can have been under the lock: that share is the measure.
- ``memory_intensity``: fresh memory the task touched (minor page faults times the
  page size) per second of wall time, relative to 1 GiB/s.
- ``parallelization_potential``: the share of the task's cost that is its own work
  rather than the ~0.1 ms of handing a task to a worker process and taking its
  result back, ``wall / (wall + 0.1 ms)``: tiny tasks gain nothing from spreading.

Pattern names: ``memory_bound`` (memory intensity at least 0.5), else ``cpu_bound``
(CPU intensity at least 0.6), ``io_bound`` (below 0.3), ``mixed`` in between.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Final

from ._kinds import KINDS

DISPATCH_COST: Final = 1e-4
FRESH_MEMORY_RATE: Final = float(1 << 30)

Pattern = dict[str, float]


def task_pattern(wall: float, cpu: float, delay: float, faults: int, sharing: int,
                 page_size: int = 4096) -> tuple[Pattern, str]:
    """The pattern dict and pattern name of one task's sample."""
    wall = max(wall, 1e-9)
    running = max(wall - max(delay, 0.0), cpu, 1e-9)
    lock_demand = max(cpu * max(sharing, 1) / running, 0.0)
    cpu_intensity = 1.0 / lock_demand if lock_demand > 1.0 else lock_demand
    memory_intensity = min(max(faults * page_size / wall / FRESH_MEMORY_RATE, 0.0), 1.0)
    potential = wall / (wall + DISPATCH_COST)
    if memory_intensity >= 0.5:
        name = "memory_bound"
    elif cpu_intensity >= 0.6:
        name = "cpu_bound"
    elif cpu_intensity < 0.3:
        name = "io_bound"
    else:
        name = "mixed"
    return ({"parallelization_potential": potential, "cpu_intensity": cpu_intensity,
             "memory_intensity": memory_intensity}, name)


# The kind each dominant pattern asks for, in order of preference among the kinds allowed.
PREFERRED_KINDS: Final[dict[str, tuple[str, ...]]] = {
    "cpu_bound": ("process", "thread"),
    "io_bound": ("thread", "process"),
    "memory_bound": ("thread", "process"),
    "mixed": ("thread", "process"),
}


def recommended_kind(pattern: str | None, kinds: tuple[str, ...], current: str) -> str:
    for kind in PREFERRED_KINDS.get(pattern or "", ()):
        if kind in kinds:
            return kind
    return current


@dataclass(frozen=True)
class WindowSummary:
    """Means of the recent tasks' measures, and each pattern's share of them."""

    tasks: int
    potential: float
    cpu_intensity: float
    memory_intensity: float
    shares: dict[str, float]


def summarize(patterns: list[tuple[float, float, float, str]]) -> WindowSummary:
    """``patterns``: (potential, cpu intensity, memory intensity, name) per task."""
    n = len(patterns)
    if n == 0:
        return WindowSummary(0, 0.0, 0.0, 0.0, {})
    counts: dict[str, int] = {}
    p = c = m = 0.0
    for potential, cpu, memory, name in patterns:
        p += potential
        c += cpu
        m += memory
        counts[name] = counts.get(name, 0) + 1
    return WindowSummary(n, p / n, c / n, m / n, {k: v / n for k, v in counts.items()})


def fits(kind: str, summary: WindowSummary, width: int,
         memory_pressure: bool) -> tuple[float, float, float]:
    """(workload fit, memory fit, thread-count fit) of ``kind`` for the recent tasks.

    A kind that hands tasks to other processes is discounted by the tasks'
    parallelization potential: for tiny tasks the dispatch is the whole cost.
    """
    profile = KINDS[kind].profile
    workload = sum(profile.workload_fit.get(name, 0.5) * share
                   for name, share in summary.shares.items())
    if profile.separate_memory:
        workload *= summary.potential
        memory = 0.0 if memory_pressure else 1.0 - summary.memory_intensity / 2.0
    else:
        memory = 1.0
    if profile.shares_interpreter_lock:
        # Busy threads run one at a time: of `width` threads, those waiting on
        # I/O overlap and the CPU-bound ones queue for the lock.
        width = max(width, 1)
        width_fit = (1.0 + (width - 1) * (1.0 - summary.cpu_intensity)) / width
    else:
        width_fit = summary.potential
    return workload, memory, width_fit
