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

from velkora.cluster._worker_probe import UNAVAILABLE

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


def host_key(address: str, report: Mapping[str, Any]) -> str:
    """What tells one host from another: the identity the host reports of
    itself (one machine may be reached under several addresses), else the
    host part of the worker's address."""
    ident = report.get("host_id")
    return ident if isinstance(ident, str) and ident else host_of(address)


def gpu_free_bytes(report: Mapping[str, Any]) -> int | None:
    """The free memory of all of a worker's GPUs in bytes, None where no device said."""
    devices = report.get("gpu_memory")
    if not isinstance(devices, list):
        return None
    free = [device.get("free") for device in devices if isinstance(device, Mapping)]
    known = [value for value in free if isinstance(value, int) and not isinstance(value, bool)
             and value >= 0]
    return sum(known) if known else None


@dataclass(frozen=True)
class ClusterTotals:
    """What the cluster offers as a whole.

    Workers on one host share its cores and GPUs, so `cores`, `gpus`,
    `gpu_memory_mb` and `gpu_free_bytes` count each host once (the largest
    report among its workers), while `threads` is the sum of the task slots of
    the workers that can run velkora's tasks. `gpu_free_bytes` is None where
    no worker could read its GPUs' free memory.
    """

    workers: int
    unavailable: int
    hosts: int
    cores: int
    threads: int
    gpus: Mapping[str, int] = field(default_factory=dict)
    gpu_memory_mb: int = 0
    gpu_free_bytes: int | None = None

    def to_dict(self) -> dict[str, Any]:
        totals = {"workers": self.workers, "unavailable": self.unavailable, "hosts": self.hosts,
                  "cores": self.cores, "threads": self.threads, "gpus": dict(self.gpus),
                  "gpu_memory_mb": self.gpu_memory_mb}
        if self.gpu_free_bytes is not None:
            totals["gpu_free_bytes"] = self.gpu_free_bytes
        return totals


@dataclass(frozen=True)
class ClusterReport:
    """Every worker's report by address, and the totals.

    A worker's report is its capability report exactly as detected, with
    `cpu_quota`, `host_id` and (where it could be read) `gpu_memory` appended,
    and `dask`: what the scheduler knows of the worker (name, host, threads,
    memory limit, resources). A worker that could not produce a report has
    `detector` "unavailable" and an `error` saying why.
    """

    scheduler: str
    workers: Mapping[str, Mapping[str, Any]]
    totals: ClusterTotals

    @property
    def cores(self) -> int:
        """The cluster's usable cores, each host counted once."""
        return self.totals.cores

    def able(self) -> list[str]:
        """The addresses of the workers that can run velkora's tasks."""
        return [address for address, entry in self.workers.items()
                if usable_cores(entry) is not None]

    def to_dict(self) -> dict[str, Any]:
        return {"scheduler": self.scheduler,
                "workers": {address: dict(report) for address, report in self.workers.items()},
                "totals": self.totals.to_dict()}


def _entry(answer: object) -> dict[str, Any]:
    if isinstance(answer, BaseException):
        return {"detector": UNAVAILABLE, "error": f"{type(answer).__name__}: {answer}"}
    if isinstance(answer, Mapping) and all(isinstance(key, str) for key in answer):
        return dict(answer)
    return {"detector": UNAVAILABLE, "error": f"unexpected answer {answer!r:.200}"}


#: What the report keeps of the scheduler's view of a worker.
_DASK_KEYS = ("name", "host", "nthreads", "memory_limit", "resources")


def _dask_info(info: object) -> dict[str, Any]:
    if isinstance(info, int) and not isinstance(info, bool):  # a bare thread count
        return {"nthreads": info}
    if not isinstance(info, Mapping):
        return {}
    return {key: info[key] for key in _DASK_KEYS if key in info}


def build_report(scheduler: str, answers: Mapping[str, object],
                 workers: Mapping[str, object]) -> ClusterReport:
    """The report from each worker's answer (a report, or the exception it
    raised) and what the scheduler says of each worker (its identity entry,
    or just its thread count), both by worker address."""
    entries: dict[str, dict[str, Any]] = {}
    for address in sorted(answers):
        entry = _entry(answers[address])
        entry["dask"] = _dask_info(workers.get(address))
        entries[address] = entry
    per_host: dict[str, list[Mapping[str, Any]]] = {}
    threads = 0
    for address, report in entries.items():
        if usable_cores(report) is not None:
            per_host.setdefault(host_key(address, report), []).append(report)
            count = report["dask"].get("nthreads")
            threads += count if isinstance(count, int) and count > 0 else 0
    gpus: dict[str, int] = {}
    cores = memory = 0
    free: int | None = None
    for reports in per_host.values():
        cores += max(usable_cores(report) or 0 for report in reports)
        backend, count, host_memory = max((_gpus(report) for report in reports),
                                          key=lambda gpu: (gpu[1], gpu[2]))
        if count:
            gpus[backend] = gpus.get(backend, 0) + count
        memory += host_memory
        host_free = [value for value in map(gpu_free_bytes, reports) if value is not None]
        if host_free:
            free = (free or 0) + max(host_free)
    totals = ClusterTotals(
        workers=len(entries), unavailable=sum(usable_cores(r) is None for r in entries.values()),
        hosts=len(per_host), cores=cores, threads=threads, gpus=dict(sorted(gpus.items())),
        gpu_memory_mb=memory, gpu_free_bytes=free)
    return ClusterReport(scheduler, entries, totals)


# --- the table -----------------------------------------------------------------------

_COLUMNS = ("worker", "name", "threads", "memory limit", "resources", "cores", "CPU quota",
            "NUMA", "backend", "GPUs", "GPU memory", "GPU free", "Python", "detection")


def _bytes(value: object) -> str:
    if not isinstance(value, (int, float)) or isinstance(value, bool) or value <= 0:
        return "-"
    for unit, size in (("GiB", 2 ** 30), ("MiB", 2 ** 20)):
        if value >= size:
            return f"{value / size:.1f} {unit}"
    return f"{int(value)} B"


def _dask_cells(report: Mapping[str, Any]) -> list[str]:
    dask = report.get("dask")
    info: Mapping[str, Any] = dask if isinstance(dask, Mapping) else {}
    resources = info.get("resources")
    shown = (",".join(f"{key}={value:g}" if isinstance(value, (int, float)) else f"{key}={value}"
                      for key, value in sorted(resources.items()))
             if isinstance(resources, Mapping) and resources else "-")
    return [str(info.get("name", "?")), str(info.get("nthreads", "?")),
            _bytes(info.get("memory_limit")), shown]


def _row(address: str, report: Mapping[str, Any]) -> list[str]:
    if usable_cores(report) is None:
        python = report.get("python_version")
        why = str(report.get("error") or "no capability report")
        return [address, *_dask_cells(report),
                f"no report: {why}" + (f" (Python {python})" if python else "")]
    quota = cpu_quota(report)
    _, count, memory = _gpus(report)
    elapsed = report.get("detection_time_ms")
    return [
        address,
        *_dask_cells(report),
        str(usable_cores(report)),
        "-" if quota is None else f"{quota:g}",
        str(report.get("numa_nodes", "?")),
        str(report.get("active_backend", "?")),
        str(count),
        f"{memory} MiB" if memory else "-",
        _bytes(gpu_free_bytes(report)),
        str(report.get("python_version", "?")),
        f"{elapsed:.1f} ms" if isinstance(elapsed, (int, float)) else "?",
    ]


def _plural(count: int, noun: str) -> str:
    return f"{count} {noun}{'' if count == 1 else 's'}"


def format_report(report: ClusterReport) -> str:
    """One row per worker under a title, then the totals line."""
    rows = [_row(address, entry) for address, entry in report.workers.items()]
    full = [list(_COLUMNS)] + rows
    # A worker without a report gets one sentence after what Dask says of it.
    widths = [max((len(row[i]) for row in full if len(row) == len(_COLUMNS) or i < len(row) - 1),
                  default=0) for i in range(len(_COLUMNS))]
    lines = [f"Cluster at {report.scheduler} ({time.strftime('%Y-%m-%d %H:%M:%S')})"]
    for row in full:
        cells = zip(row, widths if len(row) == len(_COLUMNS) else widths[:len(row) - 1] + [0])
        lines.append("  " + "  ".join(cell.ljust(width) for cell, width in cells).rstrip())
    totals = report.totals
    gpus = ", ".join(f"{count} {backend}" for backend, count in totals.gpus.items()) or "none"
    without = f" ({totals.unavailable} without a report)" if totals.unavailable else ""
    free = ("" if totals.gpu_free_bytes is None
            else f", GPU free: {_bytes(totals.gpu_free_bytes)}")
    lines.append(f"Totals: {_plural(totals.workers, 'worker')}{without} on "
                 f"{_plural(totals.hosts, 'host')}, {_plural(totals.cores, 'core')}, "
                 f"{_plural(totals.threads, 'thread')}, GPUs: {gpus}, "
                 f"GPU memory: {totals.gpu_memory_mb} MiB{free}")
    return "\n".join(lines)
