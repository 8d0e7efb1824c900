"""Memory in use against the memory allowed, and the malloc heap's fragmentation.

Memory pressure is judged against what the process may use: the container's
memory limit where one is set below the host's memory, else the host's memory.
A resident size against its own high-water mark would read as "pressure" in any
steady state, so the limit is the reference. Reclaimable page cache (the
inactive file pages) is not counted as used, since the kernel drops it first.

Both readers are called once per controller check, never per task, and never raise.
"""

from __future__ import annotations

from typing import Any

from velkora._cpuquota import cgroup_dirs, read_file

_fragmentation_probe: Any = None
_SMALL_HEAP = 64 << 20


def memory_usage(fs_root: str = "/") -> tuple[float, float] | None:
    """(bytes in use, bytes allowed), or None where neither can be read."""
    try:
        host = _host_memory(fs_root)
        limited = _cgroup_memory(fs_root)
        if limited is not None and (host is None or limited[1] < host[1]):
            return limited
        return host
    except Exception:  # a reading must never break the controller
        return None


def _host_memory(fs_root: str) -> tuple[float, float] | None:
    fields: dict[str, float] = {}
    for line in (read_file(fs_root, "/proc/meminfo") or "").splitlines():
        name, _, rest = line.partition(":")
        parts = rest.split()
        if parts and parts[0].isdigit():
            fields[name] = float(parts[0]) * 1024.0
    total, available = fields.get("MemTotal"), fields.get("MemAvailable")
    if not total or available is None:
        return None
    return total - available, total


def _cgroup_memory(fs_root: str) -> tuple[float, float] | None:
    v2_dirs, v1_dirs = cgroup_dirs(fs_root, "memory")
    best: tuple[float, float] | None = None
    for directories, limit_file, usage_file, inactive_key in (
            (v2_dirs, "memory.max", "memory.current", "inactive_file"),
            (v1_dirs, "memory.limit_in_bytes", "memory.usage_in_bytes", "total_inactive_file")):
        for directory in directories:
            limit = _number(read_file(fs_root, f"{directory}/{limit_file}"))
            usage = _number(read_file(fs_root, f"{directory}/{usage_file}"))
            if limit is None or usage is None or limit <= 0:
                continue
            stat = _stat(read_file(fs_root, f"{directory}/memory.stat"))
            used = max(usage - stat.get(inactive_key, 0.0), 0.0)
            if best is None or limit < best[1]:
                best = (used, limit)
    return best


def _number(text: str | None) -> float | None:
    text = (text or "").strip()
    return float(text) if text.isdigit() else None


def _stat(text: str | None) -> dict[str, float]:
    values: dict[str, float] = {}
    for line in (text or "").splitlines():
        parts = line.split()
        if len(parts) == 2 and parts[1].isdigit():
            values[parts[0]] = float(parts[1])
    return values


def heap_fragmentation() -> float:
    """Share of the malloc heap that is free but cannot go back to the system (glibc).

    The free space at the top of the heap is left out (malloc returns it), and a
    heap under 64 MiB counts as unfragmented: holes in a small heap cost nothing
    worth narrowing the pool for. 0.0 where unknown.
    """
    global _fragmentation_probe
    try:
        if _fragmentation_probe is None:
            _fragmentation_probe = _make_probe()
        if _fragmentation_probe is False:
            return 0.0
        arena, free = _fragmentation_probe()
        return float(free) / float(arena) if arena >= _SMALL_HEAP else 0.0
    except Exception:
        _fragmentation_probe = False
        return 0.0


def _make_probe() -> Any:
    import ctypes  # only once the controller first looks: importing it costs milliseconds

    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except (OSError, AttributeError):
        return False

    class _MallInfo2(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in (
            "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
            "uordblks", "fordblks", "keepcost")]

    mallinfo2.restype = _MallInfo2
    mallinfo2.argtypes = []

    def probe() -> tuple[int, int]:
        info = mallinfo2()
        return int(info.arena), max(int(info.fordblks) - int(info.keepcost), 0)

    return probe
