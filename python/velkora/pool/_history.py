"""Histories bounded by a time window and by a length, handed to the rules as lists."""

from __future__ import annotations

from collections import deque
from collections.abc import Iterator
from typing import Generic, TypeVar

T = TypeVar("T")


class TimeWindow(Generic[T]):
    """``(timestamp, value)`` entries, oldest first, within ``span`` seconds of the newest.

    The length bound keeps memory flat however fast entries arrive; the span keeps
    the rules looking at the recent past only.
    """

    __slots__ = ("span", "_entries")

    def __init__(self, span: float, maxlen: int) -> None:
        self.span = span
        self._entries: deque[tuple[float, T]] = deque(maxlen=maxlen)

    def add(self, timestamp: float, value: T) -> None:
        self._entries.append((timestamp, value))
        self.prune(timestamp)

    def prune(self, now: float) -> None:
        horizon = now - self.span
        entries = self._entries
        while entries and entries[0][0] < horizon:
            entries.popleft()

    def pairs(self) -> list[tuple[float, T]]:
        return list(self._entries)

    def values(self) -> list[T]:
        return [value for _, value in self._entries]

    def clear(self) -> None:
        self._entries.clear()

    def __len__(self) -> int:
        return len(self._entries)

    def __iter__(self) -> Iterator[tuple[float, T]]:
        return iter(self._entries)
