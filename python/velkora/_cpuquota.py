"""The CPUs a container's CPU quota allows this process.

Core counts and affinity masks say which CPUs a process may run on, not how
much time it gets on them: a container limited to 1.5 CPUs still sees every
core of the host. The quota lives in the cgroup file system, as ``cpu.max``
(cgroup v2) or ``cpu.cfs_quota_us`` / ``cpu.cfs_period_us`` (v1). A quota set
on any ancestor cgroup limits the process too, so every level from the
process's own cgroup up to the mount's root is read and the tightest wins.

Nothing here raises: a host without cgroups, an unreadable file or a file in
an unexpected shape all mean "unknown", which is answered as ``None``.
"""

from __future__ import annotations

import math
import os
from collections.abc import Iterator

__all__ = ["cpu_quota", "usable_workers"]

_V2_FALLBACK_MOUNTS = ("/sys/fs/cgroup", "/sys/fs/cgroup/unified")
_V1_FALLBACK_MOUNTS = ("/sys/fs/cgroup/cpu", "/sys/fs/cgroup/cpu,cpuacct")


def cpu_quota() -> float | None:
    """CPUs the quota allows (e.g. ``1.5``), or ``None`` when unlimited or unknown."""
    try:
        return _quota_under("/")
    except Exception:  # a quota reader must never break its caller
        return None


def usable_workers(cores: int) -> int:
    """Worker count for ``cores`` usable cores under the quota (at least 1).

    A fractional quota rounds up: 1.5 CPUs keep two workers busy half the time
    each rather than leaving half a CPU unused.
    """
    quota = cpu_quota()
    width = max(1, int(cores))
    if quota is not None:
        width = min(width, max(1, math.ceil(quota)))
    return width


def _quota_under(fs_root: str) -> float | None:
    """The quota as seen with ``fs_root`` as the file-system root (tests use a tree)."""
    v2_dirs, v1_dirs = cgroup_dirs(fs_root, "cpu")
    limits: list[float] = []
    for directory in v2_dirs:
        limits += _v2_limit(read_file(fs_root, directory + "/cpu.max"))
    if not limits:
        # Namespaced containers often show only the root file; it still holds
        # the container's own limit there.
        limits += _v2_limit(read_file(fs_root, "/sys/fs/cgroup/cpu.max"))
    for directory in v1_dirs:
        limits += _v1_limit(read_file(fs_root, directory + "/cpu.cfs_quota_us"),
                            read_file(fs_root, directory + "/cpu.cfs_period_us"))
    return min(limits) if limits else None


def cgroup_dirs(fs_root: str, controller: str) -> tuple[list[str], list[str]]:
    """The process's cgroup directories and their ancestors, innermost first:
    (cgroup v2 directories, v1 directories of ``controller``)."""
    v2_path, v1_path = _memberships(read_file(fs_root, "/proc/self/cgroup"), controller)
    v2_mounts, v1_mounts = _cgroup_mounts(read_file(fs_root, "/proc/self/mountinfo"), controller)
    v2_dirs: list[str] = []
    v1_dirs: list[str] = []
    if v2_path is not None:
        for mount_root, mount_point in v2_mounts or [("/", m) for m in _V2_FALLBACK_MOUNTS]:
            v2_dirs += _levels(mount_point, mount_root, v2_path)
    if v1_path is not None:
        fallback = [("/", m) for m in _V1_FALLBACK_MOUNTS] if controller == "cpu" else \
            [("/", "/sys/fs/cgroup/" + controller)]
        for mount_root, mount_point in v1_mounts or fallback:
            v1_dirs += _levels(mount_point, mount_root, v1_path)
    return v2_dirs, v1_dirs


def read_file(fs_root: str, path: str) -> str | None:
    try:
        with open(os.path.join(fs_root, path.lstrip("/")), encoding="ascii", errors="replace") as f:
            return f.read(65536)
    except (OSError, ValueError):
        return None


def _memberships(text: str | None, controller: str) -> tuple[str | None, str | None]:
    """(v2 cgroup path, v1 path of ``controller``) from /proc/self/cgroup."""
    v2: str | None = None
    v1_cpu: str | None = None
    for line in (text or "").splitlines():
        parts = line.split(":", 2)
        if len(parts) != 3:
            continue
        hierarchy, controllers, path = parts
        if hierarchy == "0" and controllers == "":
            v2 = path
        elif controller in controllers.split(","):
            v1_cpu = path
    return v2, v1_cpu


def _cgroup_mounts(text: str | None,
                   controller: str) -> tuple[list[tuple[str, str]], list[tuple[str, str]]]:
    """(root, mount point) pairs of the cgroup2 mounts and of the v1 ``controller`` mounts."""
    v2: list[tuple[str, str]] = []
    v1: list[tuple[str, str]] = []
    for line in (text or "").splitlines():
        # id parent major:minor root mount-point options [optional...] - fstype source super-options
        left, sep, right = line.partition(" - ")
        fields, tail = left.split(), right.split()
        if not sep or len(fields) < 5 or not tail:
            continue
        root, mount_point = _unescape(fields[3]), _unescape(fields[4])
        if tail[0] == "cgroup2":
            v2.append((root, mount_point))
        elif tail[0] == "cgroup" and len(tail) >= 3 and controller in tail[2].split(","):
            v1.append((root, mount_point))
    return v2, v1


def _unescape(field: str) -> str:
    # mountinfo writes space, tab, newline and backslash as octal escapes.
    for code, char in (("\\040", " "), ("\\011", "\t"), ("\\012", "\n"), ("\\134", "\\")):
        field = field.replace(code, char)
    return field


def _levels(mount_point: str, mount_root: str, cgroup_path: str) -> Iterator[str]:
    """Directories from the process's cgroup up to the mount point, innermost first."""
    relative = cgroup_path
    root = mount_root.rstrip("/")
    if root and (relative == root or relative.startswith(root + "/")):
        relative = relative[len(root):]
    parts = [p for p in relative.split("/") if p and p not in (".", "..")]
    base = mount_point.rstrip("/")
    for depth in range(len(parts), -1, -1):
        yield "/".join([base, *parts[:depth]]) or "/"


def _v2_limit(text: str | None) -> list[float]:
    fields = (text or "").split()
    if len(fields) != 2 or fields[0] == "max":
        return []
    return _ratio(fields[0], fields[1])


def _v1_limit(quota: str | None, period: str | None) -> list[float]:
    if quota is None or period is None:
        return []
    return _ratio(quota.strip(), period.strip())


def _ratio(quota: str, period: str) -> list[float]:
    try:
        q, p = int(quota), int(period)
    except ValueError:
        return []
    # A negative quota (-1) is v1's "unlimited"; a zero period is nonsense.
    return [q / p] if q > 0 and p > 0 else []
