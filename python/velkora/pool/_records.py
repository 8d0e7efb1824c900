"""What the pool tells its user: one record per decision, and its counters."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any


@dataclass(frozen=True)
class PoolDecision:
    """One look of the controller at the pool, with what it did and why.

    ``action`` is "stay", "switch" (another kind), "resize" (same kind, another
    width) or "replace" (a broken process pool swapped for a fresh one).
    ``rules`` maps each rule consulted to its inputs (histories by their length)
    and its result.
    """

    time: float
    action: str
    kind: str
    width: int
    previous_kind: str
    previous_width: int
    trigger: str
    reason: str
    urgency: float = 0.0
    next_check: float = 0.0
    rules: dict[str, dict[str, Any]] = field(default_factory=dict)

    def to_dict(self) -> dict[str, Any]:
        return {
            "time": self.time, "action": self.action, "kind": self.kind, "width": self.width,
            "previous_kind": self.previous_kind, "previous_width": self.previous_width,
            "trigger": self.trigger, "reason": self.reason, "urgency": self.urgency,
            "next_check": self.next_check,
            "rules": {name: dict(call) for name, call in self.rules.items()},
        }


@dataclass(frozen=True)
class PoolStats:
    """Counters of an ``AdaptivePool`` at one moment.

    ``lost``: tasks that failed because the process worker running them died.
    ``throughput``: tasks per second over the last check interval.
    ``pickling_blocked``: why the workload is kept off process workers, if it is.
    """

    kind: str
    width: int
    max_workers: int
    cpu_quota: float | None
    submitted: int
    completed: int
    failed: int
    cancelled: int
    lost: int
    pending: int
    switches: int
    decisions: int
    throughput: float
    pickling_blocked: str | None

    def to_dict(self) -> dict[str, Any]:
        return dict(self.__dict__)
