"""The cluster report: every worker's capability report and the cluster's totals.

Pure data, built from what the workers answered; nothing here talks to a
cluster, so it needs no `distributed`.
"""
from __future__ import annotations

import math
import time
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any

from velkora.cluster._remote import UNAVAILABLE

#: Reports a worker answers with (the fallback report included).
_DETECTORS = ("native", "native_fallback")


def host_of(address: str) -> str:
    """The host part of a worker address: "tcp://10.0.0.5:4000" -> "10.0.0.5"."""
    location = address.split("://", 1)[-1]
    host = location.rsplit(":", 1)[0] if ":" in location else location
    return host.strip("[]")


def _int(report: Mapping[str, Any], key: str) -> int | None:
    value = report.get(key)
    # bool is an int, but never a count
    return value if isinstance(value, int) and not isinstance(value, bool) else None


def cpu_quota(report: Mapping[str, Any]) -> float | None:
    """The worker's CPU quota in cores, None where it has none or did not say."""
    value = report.get("cpu_quota")
    if isinstance(value, (int, float)) and not isinstance(value, bool) \
            and math.isfinite(value) and value > 0:
        return float(value)
    return None


def usable_cores(report: Mapping[str, Any]) -> int | None:
    """The cores a worker's report says it may use: its usable CPUs, capped by
    its CPU quota (rounded up, as the local pool does). None for a worker without a report."""
    if report.get("detector") not in _DETECTORS:
        return None
    cores = _int(report, "physical_cores")
    if cores is None or cores < 1:
        return None
    quota = cpu_quota(report)
    return cores if quota is None else max(1, min(cores, math.ceil(quota)))


def _gpus(report: Mapping[str, Any]) -> tuple[str, int, int]:
    """(backend, device count, memory of all devices in MiB) of one worker."""
    count = _int(report, "gpu_count") or 0
    per_device = _int(report, "gpu_memory_mb") or 0
    backend = report.get("active_backend")
    # The command-line fallback counts devices without knowing their backend.
    name = backend if isinstance(backend, str) and backend != "cpu" else "unknown"
    return name, max(count, 0), max(count, 0) * max(per_device, 0)


@dataclass(frozen=True)
class ClusterTotals:
    """What the cluster offers as a whole.

    Workers on one host share its cores and GPUs, so `cores`, `gpus` and
    `gpu_memory_mb` count each host once (the largest report among its
    workers), while `threads` is the sum of the workers' task slots.
    """

    workers: int
    unavailable: int
    hosts: int
    cores: int
    threads: int
    gpus: Mapping[str, int] = field(default_factory=dict)
    gpu_memory_mb: int = 0

    def to_dict(self) -> dict[str, Any]:
        return {"workers": self.workers, "unavailable": self.unavailable, "hosts": self.hosts,
                "cores": self.cores, "threads": self.threads, "gpus": dict(self.gpus),
                "gpu_memory_mb": self.gpu_memory_mb}


@dataclass(frozen=True)
class ClusterReport:
    """Every worker's report by address, and the totals.

    A worker's report is its capability report exactly as detected, with
    `cpu_quota` appended; a worker that could not produce one has `detector`
    "unavailable" and an `error` saying why.
    """

    scheduler: str
    workers: Mapping[str, Mapping[str, Any]]
    totals: ClusterTotals

    @property
    def cores(self) -> int:
        """The cluster's usable cores, each host counted once."""
        return self.totals.cores

    def to_dict(self) -> dict[str, Any]:
        return {"workers": {address: dict(report) for address, report in self.workers.items()},
                "totals": self.totals.to_dict()}


def _entry(answer: object) -> dict[str, Any]:
    if isinstance(answer, BaseException):
        return {"detector": UNAVAILABLE, "error": f"{type(answer).__name__}: {answer}"}
    if isinstance(answer, Mapping) and all(isinstance(key, str) for key in answer):
        return dict(answer)
    return {"detector": UNAVAILABLE, "error": f"unexpected answer {answer!r:.200}"}


def build_report(scheduler: str, answers: Mapping[str, object],
                 threads: Mapping[str, int]) -> ClusterReport:
    """The report from each worker's answer (a report, or the exception it
    raised) and the workers' thread counts, both by worker address."""
    workers = {address: _entry(answers[address]) for address in sorted(answers)}
    per_host: dict[str, list[Mapping[str, Any]]] = {}
    for address, report in workers.items():
        if usable_cores(report) is not None:
            per_host.setdefault(host_of(address), []).append(report)
    gpus: dict[str, int] = {}
    cores = memory = 0
    for reports in per_host.values():
        cores += max(usable_cores(report) or 0 for report in reports)
        backend, count, host_memory = max((_gpus(report) for report in reports),
                                          key=lambda gpu: (gpu[1], gpu[2]))
        if count:
            gpus[backend] = gpus.get(backend, 0) + count
        memory += host_memory
    totals = ClusterTotals(
        workers=len(workers), unavailable=sum(usable_cores(r) is None for r in workers.values()),
        hosts=len(per_host), cores=cores, threads=sum(threads.get(a, 0) for a in workers),
        gpus=dict(sorted(gpus.items())), gpu_memory_mb=memory)
    return ClusterReport(scheduler, workers, totals)


# --- the table -----------------------------------------------------------------------

_COLUMNS = ("worker", "cores", "CPU quota", "NUMA", "backend", "GPUs", "GPU memory", "Python",
            "detection")


def _row(address: str, report: Mapping[str, Any]) -> list[str]:
    if usable_cores(report) is None:
        python = report.get("python_version")
        why = str(report.get("error") or "no capability report")
        return [address, f"no report: {why}" + (f" (Python {python})" if python else "")]
    quota = cpu_quota(report)
    _, count, memory = _gpus(report)
    elapsed = report.get("detection_time_ms")
    return [
        address,
        str(usable_cores(report)),
        "-" if quota is None else f"{quota:g}",
        str(report.get("numa_nodes", "?")),
        str(report.get("active_backend", "?")),
        str(count),
        f"{memory} MiB" if memory else "-",
        str(report.get("python_version", "?")),
        f"{elapsed:.1f} ms" if isinstance(elapsed, (int, float)) else "?",
    ]


def _plural(count: int, noun: str) -> str:
    return f"{count} {noun}{'' if count == 1 else 's'}"


def format_report(report: ClusterReport) -> str:
    """One row per worker under a title, then the totals line."""
    rows = [_row(address, entry) for address, entry in report.workers.items()]
    full = [list(_COLUMNS)] + [row for row in rows if len(row) == len(_COLUMNS)]
    widths = [max(len(row[i]) for row in full) for i in range(len(_COLUMNS))]
    lines = [f"Cluster at {report.scheduler} ({time.strftime('%Y-%m-%d %H:%M:%S')})"]
    for row in [list(_COLUMNS)] + rows:
        # A worker without a report gets one sentence after its address.
        cells = zip(row, widths) if len(row) == len(_COLUMNS) else zip(row, (widths[0], 0))
        lines.append("  " + "  ".join(cell.ljust(width) for cell, width in cells).rstrip())
    totals = report.totals
    gpus = ", ".join(f"{count} {backend}" for backend, count in totals.gpus.items()) or "none"
    without = f" ({totals.unavailable} without a report)" if totals.unavailable else ""
    lines.append(f"Totals: {_plural(totals.workers, 'worker')}{without} on "
                 f"{_plural(totals.hosts, 'host')}, {_plural(totals.cores, 'core')}, "
                 f"{_plural(totals.threads, 'thread')}, GPUs: {gpus}, "
                 f"GPU memory: {totals.gpu_memory_mb} MiB")
    return "\n".join(lines)
