"""How long the pool's workers waited for a CPU that others held: the Linux
scheduler's statistics of each worker thread or process, read once per check."""

from __future__ import annotations

from collections.abc import Iterable


class CpuWait:
    """Per kind, seconds waited for a CPU per CPU second run, since the last reading."""

    def __init__(self) -> None:
        self._seen: dict[str, tuple[int, int]] = {}

    def read(self, files: Iterable[tuple[str, str]]) -> dict[str, float]:
        """``files``: (kind, schedstat path) of every worker; empty where unreadable."""
        totals: dict[str, list[int]] = {}
        seen: dict[str, tuple[int, int]] = {}
        for kind, path in files:
            try:
                with open(path, "rb") as f:
                    ran, waited = (int(v) for v in f.read().split()[:2])
            except (OSError, ValueError):
                continue
            seen[path] = (ran, waited)
            before = self._seen.get(path, (0, 0))
            total = totals.setdefault(kind, [0, 0])
            total[0] += ran - before[0]
            total[1] += waited - before[1]
        self._seen = seen
        return {kind: waited / ran for kind, (ran, waited) in totals.items() if ran > 0}
