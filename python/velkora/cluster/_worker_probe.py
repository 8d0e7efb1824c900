"""What each worker runs for the cluster report.

The client sends this module's function by value, not by reference, so a
worker without velkora can still run it and say so instead of failing to
unpickle it. It therefore imports everything it needs inside itself.
"""
from typing import Any

#: `detector` of a worker entry whose worker could not import velkora.
UNAVAILABLE = "unavailable"


def host_identity() -> str | None:
    """This host as the host itself knows it: its name and the id of this boot
    (or of the installed system), so that one machine reached under two
    addresses is counted once. None where neither id can be read."""
    import socket

    for path in ("/proc/sys/kernel/random/boot_id", "/etc/machine-id"):
        try:
            with open(path, encoding="ascii") as f:
                ident = f.read().strip()
        except (OSError, ValueError):
            continue
        if ident:
            return f"{socket.gethostname()}/{ident}"
    return None


def worker_report() -> dict[str, Any]:
    """This worker's capability report, with its CPU quota, its host's identity
    and each GPU's free memory appended."""
    import importlib
    import platform
    import sys

    try:
        hostprobe = importlib.import_module("velkora.native.hostprobe")
    except ImportError as exc:
        return {"detector": UNAVAILABLE, "error": f"velkora is not importable here: {exc}",
                "python_version": platform.python_version(), "platform": sys.platform,
                "host_id": host_identity()}
    report: dict[str, Any] = dict(hostprobe.detect_capabilities())
    try:
        quota = importlib.import_module("velkora._cpuquota").cpu_quota()
    except Exception:  # an older velkora, or an unreadable cgroup: quota unknown
        quota = None
    report["cpu_quota"] = quota
    report["host_id"] = host_identity()
    try:
        devices = importlib.import_module("velkora.gpu").memory()
        report["gpu_memory"] = [device.to_dict() for device in devices]
    except Exception:  # a velkora without the memory query, or a driver that failed
        pass
    return report
