"""The decision loop's brain: measurements in, the adaptation rules consulted, a PoolDecision out.

It owns the histories and the pool's current kind and width, and knows no
executor: the pool feeds it samples, completions and memory readings with a
timestamp, and applies what it decides. So every decision can be replayed with
a made-up clock and made-up measurements.

How each rule is fed:

- ``detect_performance_degradation``: the (time, tasks per second) samples of the
  current pool, its baseline (the mean of its first five samples after the
  first, which pays the start-up), 0.15, and the last sixth of the window.
- ``calculate_performance_trend``: the same samples over the whole window.
- ``detect_workload_characteristics_change``: one pattern dict per check, the
  mean over the tasks measured since the previous check.
- ``detect_dominant_pattern``: the pattern names of the recent tasks, over as many
  as the last check measured (at least 5).
- ``score_pool_recommendation``: the fits of a kind to those same tasks (see
  ``_patterns``) and the kind's share of switches to it that kept throughput up.
- ``is_adaptation_beneficial``: the recommended kind's score against the current
  kind's, the dominant pattern's share of the recent tasks as confidence, and the
  trigger: 1 degradation, 2 workload change, 3 memory, else 0.
- ``should_skip_adaptation``: the last switch or resize and the cooldown.
- ``detect_memory_pressure`` / ``detect_fragmentation_threshold``: memory in use
  against memory allowed, and the malloc heap's free share; either halves the width.
- ``calculate_adaptation_urgency``: 1.0 when degraded else the falling trend, the
  memory use ratio, the fragmentation, the workload change; the next check comes
  sooner the more urgent it is.
- ``predict_resource_requirements``: (time, fresh bytes) of each recent task over
  the next cooldown; recorded only.
"""

from __future__ import annotations

import math
import os
import threading
from collections import deque
from collections.abc import Callable, Iterable
from typing import Any, Final

from velkora.plugins.analyzer import adaptlogic as rules

from ._history import TimeWindow
from ._kinds import KINDS
from ._patterns import Pattern, fits, recommended_kind, summarize, task_pattern
from ._records import PoolDecision
from ._worker import Sample

TRIGGERS: Final = {"workload": 0, "degradation": 1, "workload_change": 2, "memory": 3}
DEGRADATION_THRESHOLD: Final = 0.15
CHANGE_THRESHOLD: Final = 0.3
PRESSURE_THRESHOLD: Final = 0.8
FRAGMENTATION_THRESHOLD: Final = 0.3
MIN_TASKS: Final = 16
BASELINE_SAMPLES: Final = 5
MAX_TASKS_KEPT: Final = 4096
# Samples read per check: more tasks than that in one interval say nothing new,
# and reading them would take the interpreter lock from the workers.
MAX_SAMPLES_READ: Final = 512
MAX_DECISIONS_KEPT: Final = 1000
_PAGE_SIZE: Final = os.sysconf("SC_PAGE_SIZE") if hasattr(os, "sysconf") else 4096


class Controller:
    """Decides, check after check, which kind and width the pool should run."""

    def __init__(self, *, kinds: tuple[str, ...], kind: str, width: int, cooldown: float,
                 window: float, check_interval: float, now: float) -> None:
        self.kinds = kinds
        self.kind = kind
        self.width = width
        self.max_width = width
        self.cooldown = cooldown
        self.window = window
        self.check_interval = check_interval
        self.pickling_blocked: str | None = None
        # Why the pool may not move to processes of its own accord, if it may not;
        # and whether a decision wanted processes all the same (the pool warns once).
        self.processes_refused: str | None = None
        self.refusal_felt = False
        # What a cluster offers, (cores, worker threads), None without one; and
        # this host's usable cores, which the cluster's are weighed against.
        self.cluster: tuple[int, int] | None = None
        self.host_cores = width
        self.switches = 0
        self._lock = threading.Lock()
        self._last_step = now
        self._last_adaptation = -math.inf
        self._tasks = TimeWindow[tuple[float, float, float, str]](window, MAX_TASKS_KEPT)
        self._allocations = TimeWindow[float](window, MAX_TASKS_KEPT)
        self._pattern_history = TimeWindow[Pattern](window, 256)
        self._throughput = TimeWindow[float](window, 1024)
        self._decisions: deque[PoolDecision] = deque(maxlen=MAX_DECISIONS_KEPT)
        self._decision_count = 0
        self._evidence = 0
        self._recent_tasks = 0
        self._rates_seen = 0
        self._baseline: float | None = None
        self._success: dict[str, list[int]] = {k: [0, 0] for k in kinds}
        self._evaluate: tuple[str, float] | None = None
        self.last_rate = 0.0

    # -- what the pool reads -------------------------------------------------

    def decisions(self) -> list[PoolDecision]:
        with self._lock:
            return list(self._decisions)

    def decision_count(self) -> int:
        """Every decision taken, not only those kept."""
        return self._decision_count

    # -- events the pool reports ---------------------------------------------

    def forced(self, now: float, action: str, kind: str, width: int, trigger: str,
               reason: str) -> PoolDecision:
        """A change the pool had to make outside the loop (a broken pool, a task that
        cannot be pickled, a change asked for by hand): recorded like any decision,
        without the cooldown. One asked for by hand then holds for the cooldown."""
        with self._lock:
            decision = PoolDecision(now, action, kind, width, self.kind, self.width, trigger,
                                    reason, next_check=self.check_interval)
            self._record(decision)
            if action == "switch":
                self.switches += 1
            if trigger == "manual":
                self._last_adaptation = now
            self._start_pool(kind, width)
            return decision

    def block_pickling(self, reason: str) -> None:
        with self._lock:
            if self.pickling_blocked is None:
                self.pickling_blocked = reason

    # -- one check -----------------------------------------------------------

    def step(self, now: float, samples: Iterable[tuple[str, Sample]], completed: int, busy: bool,
             memory: tuple[float, float] | None, fragmentation: float,
             cpu_wait: dict[str, float] | None = None,
             pickling: Callable[[], str | None] | None = None, pending: int = 0) -> PoolDecision:
        """Take in what happened since the last step, consult the rules, decide.

        ``cpu_wait``: per kind, the seconds its workers waited for a CPU that
        other processes held, per CPU second they ran; a task is taken to have
        waited that share of its CPU time, which is not time spent waiting for
        I/O. ``pickling``: asked before a move to processes, why the work could
        not go there (None if it can). ``pending``: the tasks in flight, run or
        waiting to.
        """
        with self._lock:
            self._ingest(now, list(samples)[-MAX_SAMPLES_READ:], completed, busy, cpu_wait or {})
            decision = self._decide(now, memory, fragmentation, pickling, pending)
            self._record(decision)
            if decision.action != "stay":
                self._last_adaptation = now
                self.switches += 1
                self._start_pool(decision.kind, decision.width)
            return decision

    def _record(self, decision: PoolDecision) -> None:
        self._decisions.append(decision)
        self._decision_count += 1

    def _start_pool(self, kind: str, width: int) -> None:
        if kind != self.kind and self._throughput:
            recent = self._throughput.values()[-BASELINE_SAMPLES:]
            self._evaluate = (kind, sum(recent) / len(recent))
        self.kind, self.width = kind, width
        self._throughput.clear()
        self._rates_seen = 0
        self._baseline = None
        self._evidence = 0

    def _ingest(self, now: float, samples: list[tuple[str, Sample]], completed: int,
                busy: bool, cpu_wait: dict[str, float]) -> None:
        elapsed = max(now - self._last_step, 1e-6)
        self._last_step = now
        totals = [0.0, 0.0, 0.0]
        for kind, (end, wall, cpu, faults, sharing, _rss) in samples:
            delay = cpu * cpu_wait.get(kind, 0.0)
            pattern, name = task_pattern(wall, cpu, delay, faults, sharing, _PAGE_SIZE)
            p, c, m = (pattern["parallelization_potential"], pattern["cpu_intensity"],
                       pattern["memory_intensity"])
            self._tasks.add(end, (p, c, m, name))
            self._allocations.add(end, float(faults * _PAGE_SIZE))
            totals[0] += p
            totals[1] += c
            totals[2] += m
        self._recent_tasks = len(samples)
        self._evidence += len(samples)
        if samples:
            n = len(samples)
            self._pattern_history.add(now, {"parallelization_potential": totals[0] / n,
                                            "cpu_intensity": totals[1] / n,
                                            "memory_intensity": totals[2] / n})
        self._tasks.prune(now)
        self._allocations.prune(now)
        self._pattern_history.prune(now)
        if busy or completed:
            self.last_rate = completed / elapsed
            self._throughput.add(now, self.last_rate)
            self._rates_seen += 1
            if self._baseline is None and self._rates_seen > BASELINE_SAMPLES:
                first = self._throughput.values()[-BASELINE_SAMPLES:]
                self._baseline = sum(first) / BASELINE_SAMPLES
                self._judge_last_switch(self._baseline)

    def _judge_last_switch(self, baseline: float) -> None:
        if self._evaluate is None:
            return
        kind, before = self._evaluate
        self._evaluate = None
        tally = self._success.setdefault(kind, [0, 0])
        tally[0] += baseline >= 0.95 * before
        tally[1] += 1

    def _success_rate(self, kind: str) -> float:
        good, tried = self._success.get(kind, [0, 0])
        return (1 + good) / (2 + tried)

    def _place(self, dominant: str | None, recommended: str, kinds: tuple[str, ...],
               pending: int) -> tuple[str, str]:
        """Where CPU-bound work goes when a cluster is at hand: there only while every
        local core is busy and the cluster offers more cores than this host. Returns
        the kind and why (empty without a cluster to weigh)."""
        if dominant != "cpu_bound" or "cluster" not in kinds or self.cluster is None:
            return recommended, ""
        cores, local = self.cluster[0], self.host_cores
        if cores <= local:
            return recommended, f"the cluster offers {cores} cores, no more than the {local} here"
        if pending < self.max_width:
            return recommended, (f"{pending} tasks in flight leave some of the {self.max_width} "
                                 f"local workers idle")
        return "cluster", (f"every local core is busy ({pending} tasks in flight for "
                           f"{self.max_width} workers) and the cluster offers {cores} cores "
                           f"against {local} here")

    def _decide(self, now: float, memory: tuple[float, float] | None, fragmentation: float,
                pickling: Callable[[], str | None] | None, pending: int) -> PoolDecision:
        calls: dict[str, dict[str, Any]] = {}
        recent_start = now - self.window / 6.0
        window_start = now - self.window
        history = self._throughput.pairs()
        baseline = self._baseline if self._baseline is not None else 0.0
        degraded = rules.detect_performance_degradation(
            history, baseline, DEGRADATION_THRESHOLD, recent_start)
        calls["detect_performance_degradation"] = {
            "history": len(history), "baseline_performance": baseline,
            "threshold": DEGRADATION_THRESHOLD, "window_start_time": recent_start,
            "result": degraded}
        trend = rules.calculate_performance_trend(history, window_start)
        calls["calculate_performance_trend"] = {
            "history": len(history), "window_start_time": window_start, "result": trend}

        patterns = self._pattern_history.values()
        changed, d_parallel, d_cpu, d_memory = rules.detect_workload_characteristics_change(
            patterns, CHANGE_THRESHOLD)
        calls["detect_workload_characteristics_change"] = {
            "history": len(patterns), "change_threshold": CHANGE_THRESHOLD,
            "result": [changed, d_parallel, d_cpu, d_memory]}

        tasks = self._tasks.values()[-1000:]
        window_size = max(5, min(self._recent_tasks, 1000))
        names: list[str | None] = [name for *_, name in tasks]
        dominant = rules.detect_dominant_pattern(names, window_size)
        calls["detect_dominant_pattern"] = {
            "patterns": len(names), "window_size": window_size, "result": dominant}
        recent = tasks[-window_size:]
        summary = summarize(recent)

        used, allowed = memory if memory is not None else (0.0, 0.0)
        pressure = rules.detect_memory_pressure(used, allowed, PRESSURE_THRESHOLD)
        calls["detect_memory_pressure"] = {
            "current_usage": used, "peak_usage": allowed,
            "pressure_threshold": PRESSURE_THRESHOLD, "result": pressure}
        fragmented = rules.detect_fragmentation_threshold(fragmentation, FRAGMENTATION_THRESHOLD)
        calls["detect_fragmentation_threshold"] = {
            "fragmentation_ratio": fragmentation, "threshold": FRAGMENTATION_THRESHOLD,
            "result": fragmented}

        allowed_kinds = self.kinds
        if self.pickling_blocked is not None:
            allowed_kinds = tuple(k for k in self.kinds if k == "thread") or (self.kind,)
        if self.processes_refused is not None:
            allowed_kinds = tuple(k for k in allowed_kinds if k != "process") or (self.kind,)
        wanted = recommended_kind(dominant, self.kinds, self.kind)
        recommended = recommended_kind(dominant, allowed_kinds, self.kind)
        if recommended not in allowed_kinds:
            recommended = self.kind
        recommended, placement = self._place(dominant, recommended, allowed_kinds, pending)
        wanted = self._place(dominant, wanted, self.kinds, pending)[0]

        def score(kind: str) -> float:
            workload_fit, memory_fit, width_fit = fits(kind, summary, self.width, pressure)
            history_rate = self._success_rate(kind)
            result = rules.score_pool_recommendation(workload_fit, memory_fit, width_fit,
                                                     history_rate)
            calls.setdefault("score_pool_recommendation", {})[kind] = {
                "workload_fit": workload_fit, "memory_fit": memory_fit,
                "thread_count_fit": width_fit, "historical_success_rate": history_rate,
                "result": result}
            return result

        recommended_score = score(recommended)
        current_score = score(self.kind) if recommended != self.kind else recommended_score
        evidence = min(1.0, self._evidence / MIN_TASKS)
        confidence = summary.shares.get(dominant or "", 0.0) * evidence
        trigger = ("degradation" if degraded else "workload_change" if changed
                   else "memory" if pressure or fragmented else "workload")
        beneficial = rules.is_adaptation_beneficial(
            self.kind, recommended, recommended_score, confidence, current_score,
            TRIGGERS[trigger])
        calls["is_adaptation_beneficial"] = {
            "current_pool": self.kind, "recommended_pool": recommended,
            "recommendation_score": recommended_score, "recommendation_confidence": confidence,
            "current_performance_estimate": current_score, "trigger_code": TRIGGERS[trigger],
            "result": beneficial}
        skip = rules.should_skip_adaptation(self._last_adaptation, now, self.cooldown)
        calls["should_skip_adaptation"] = {
            "last_adaptation_time": None if self._last_adaptation == -math.inf
            else self._last_adaptation,
            "current_time": now, "min_interval": self.cooldown, "result": skip}

        falling = 1.0 if degraded else max(0.0, -trend)
        usage_ratio = used / allowed if allowed > 0 else 0.0
        urgency = rules.calculate_adaptation_urgency(falling, usage_ratio, fragmentation, changed)
        calls["calculate_adaptation_urgency"] = {
            "performance_degradation": falling, "memory_pressure": usage_ratio,
            "fragmentation_ratio": fragmentation, "workload_changed": changed, "result": urgency}
        allocations = self._allocations.pairs()
        prediction = rules.predict_resource_requirements(allocations, self.cooldown)
        calls["predict_resource_requirements"] = {
            "allocation_history": len(allocations), "prediction_horizon_seconds": self.cooldown,
            "result": list(prediction)}

        next_check = self.check_interval * (1.0 - 0.8 * urgency)
        if self._evidence < MIN_TASKS:
            next_check = self.check_interval / 5.0

        kind, width = self.kind, self.width
        # The local width; on the cluster, the one to come back to.
        local = self.max_width if self.kind == "cluster" else self.width
        if pressure or fragmented:
            width = max(1, local // 2)
        elif local < self.max_width or self.kind == "cluster":
            width = self.max_width
        switch_kind = beneficial and recommended != self.kind and self._evidence >= MIN_TASKS
        if switch_kind and not skip and KINDS[recommended].profile.separate_memory \
                and pickling is not None:
            self.pickling_blocked = pickling()
            if self.pickling_blocked is not None:
                switch_kind, recommended = False, self.kind
        if switch_kind:
            kind = recommended
        if kind == "cluster":  # as wide as its workers' threads; this host's memory is not theirs
            width = self.cluster[1] if self.cluster is not None else self.width

        if kind == self.kind and width == self.width:
            action = "stay"
            if self._evidence < MIN_TASKS:
                reason = f"gathering measurements ({self._evidence} of {MIN_TASKS} tasks)"
            elif wanted != recommended and self.pickling_blocked is not None:
                reason = (f"tasks cannot be pickled ({self.pickling_blocked}): "
                          f"staying on {recommended}")
            elif wanted != recommended:
                reason = f"{self.processes_refused}: staying on {recommended}"
                self.refusal_felt = self._evidence >= MIN_TASKS
            elif recommended == self.kind:
                reason = f"{self.kind} is the kind for the dominant pattern {dominant}"
            else:
                reason = (f"not worth switching to {recommended}: score "
                          f"{recommended_score:.2f} against {current_score:.2f} for "
                          f"{self.kind}, confidence {confidence:.2f}")
        elif skip:
            action, kind, width = "stay", self.kind, self.width
            reason = (f"cooldown: last adaptation {now - self._last_adaptation:.1f} s ago, "
                      f"under {self.cooldown:g} s")
        elif kind != self.kind:
            action = "switch"
            reason = (f"dominant pattern {dominant}: {kind} scores {recommended_score:.2f} "
                      f"against {current_score:.2f} for {self.kind} "
                      f"(confidence {confidence:.2f}, trigger {trigger})")
        else:
            action = "resize"
            if kind == "cluster":
                reason = f"the cluster has {width} worker threads now"
            elif width < self.width:
                reason = (f"memory pressure ({usage_ratio:.0%} of the memory allowed in use)"
                          if pressure else f"heap fragmentation {fragmentation:.0%}")
                reason += f": narrowing to {width} workers"
            else:
                reason = f"memory pressure gone: back to {width} workers"
        if placement and self._evidence >= MIN_TASKS:
            reason += f"; {placement}"
        return PoolDecision(now, action, kind, width, self.kind, self.width, trigger, reason,
                        urgency, next_check, calls)
