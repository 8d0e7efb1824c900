"""Text rendering of the capability report for the command line."""
import time

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


def _cell(formatter, value):
    try:
        return formatter(value)
    except (TypeError, ValueError, OverflowError, OSError):
        return repr(value)


def format_report(caps):
    """The report as an aligned two-column table, with a title line."""
    rows = [(label, _cell(fmt, caps[key])) for key, label, fmt in _ROWS if key in caps]
    known = {key for key, _, _ in _ROWS}
    rows += [(key, repr(value)) for key, value in caps.items() if key not in known]
    width = max(len(label) for label, _ in rows)
    lines = ["Host capabilities"]
    lines += [f"  {label:<{width}}  {text}" for label, text in rows]
    return "\n".join(lines)
