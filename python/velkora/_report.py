"""Text rendering of the capability report for the command line."""
import time
from collections.abc import Callable, Mapping
from typing import Any

from velkora._cpuquota import cpu_quota as read_cpu_quota

_HOST = object()

# (key, label, formatter) in report order; keys the report lacks are skipped.
_ROWS = (
    ("physical_cores", "Usable CPU cores", str),
    ("numa_nodes", "NUMA nodes", str),
    ("has_gpu", "GPU present", lambda v: "yes" if v else "no"),
    ("gpu_count", "GPU devices", str),
    ("gpu_memory_mb", "GPU memory", lambda v: f"{v} MiB" if v else "unknown"),
    ("cuda_available", "CUDA", lambda v: "available" if v else "-"),
    ("rocm_available", "ROCm", lambda v: "available" if v else "-"),
    ("oneapi_available", "oneAPI", lambda v: "available" if v else "-"),
    ("active_backend", "Active backend", str),
    ("backend_version", "Backend version", lambda v: v or "-"),
    ("python_version", "Python", str),
    ("subinterpreter_support", "Sub-interpreters", lambda v: "supported" if v else "no"),
    ("platform", "Platform", str),
    ("detected_at", "Detected at", lambda v: time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(v))),
    ("detector", "Detector", str),
    ("error", "Error", str),
    ("detection_time_ms", "Detection time", lambda v: f"{v:.3f} ms"),
)


def _cell(formatter: Callable[[Any], str], value: object) -> str:
    try:
        return formatter(value)
    except (TypeError, ValueError, OverflowError, OSError):
        return repr(value)


def format_report(caps: Mapping[str, object], cpu_quota: object = _HOST,
                  gpu_memory: object = _HOST) -> str:
    """The report as an aligned two-column table, with a title line.

    A "CPU quota" row follows the core count: the container's CPU quota, which
    the report itself does not hold (read from this host unless given).
    Where the report shows a GPU, a row per device follows its memory row:
    total and free memory as they are now (`velkora.gpu.memory()` records,
    read from this host unless given).
    """
    rows = [(label, _cell(fmt, caps[key])) for key, label, fmt in _ROWS if key in caps]
    known = {key for key, _, _ in _ROWS}
    rows += [(key, repr(value)) for key, value in caps.items() if key not in known]
    if caps.get("has_gpu"):
        devices = _device_rows(_host_gpu_memory() if gpu_memory is _HOST else gpu_memory)
        labels = [label for label, _ in rows]
        at = labels.index("GPU memory") + 1 if "GPU memory" in labels else len(rows)
        rows[at:at] = devices
    quota = read_cpu_quota() if cpu_quota is _HOST else cpu_quota
    after = 1 if "physical_cores" in caps else 0
    rows.insert(after, ("CPU quota", "none" if quota is None else _cell(_cpus, quota)))
    width = max(len(label) for label, _ in rows)
    lines = ["Host capabilities"]
    lines += [f"  {label:<{width}}  {text}" for label, text in rows]
    return "\n".join(lines)


def _cpus(quota: Any) -> str:
    return f"{float(quota):g} CPUs"


def _host_gpu_memory() -> object:
    try:
        from velkora import gpu

        return gpu.memory()
    except Exception:
        # The table still prints what the probe found.
        return []


def _device_rows(records: Any) -> list[tuple[str, str]]:
    rows = []
    for record in records if isinstance(records, (list, tuple)) else ():
        try:
            total = f"{_mib(record.total)} total" if record.total is not None else "total unknown"
            free = f"{_mib(record.free)} free" if record.free is not None else "free unknown"
            source = "" if record.source == "unavailable" else f" ({record.source})"
            rows.append((f"GPU {record.index} ({record.backend})",
                         f"{record.name}: {total}, {free}{source}"))
        except (AttributeError, TypeError, ValueError):
            rows.append(("GPU", repr(record)))
    return rows


def _mib(size: int) -> str:
    return f"{int(size) // 2 ** 20} MiB"
