"""What each worker runs for the cluster report.

The client sends this module's function by value, not by reference, so a
worker without velkora can still run it and say so instead of failing to
unpickle it. It therefore imports everything it needs inside itself.
"""
from typing import Any

#: `detector` of a worker entry whose worker could not import velkora.
UNAVAILABLE = "unavailable"


def worker_report() -> dict[str, Any]:
    """This worker's capability report, with its CPU quota appended."""
    import importlib
    import platform
    import sys

    try:
        hostprobe = importlib.import_module("velkora.native.hostprobe")
    except ImportError as exc:
        return {"detector": UNAVAILABLE, "error": f"velkora is not importable here: {exc}",
                "python_version": platform.python_version(), "platform": sys.platform}
    report: dict[str, Any] = dict(hostprobe.detect_capabilities())
    try:
        quota = importlib.import_module("velkora._cpuquota").cpu_quota()
    except Exception:  # an older velkora, or an unreadable cgroup: quota unknown
        quota = None
    report["cpu_quota"] = quota
    return report
