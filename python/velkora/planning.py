"""Allocation plans: how an operation on arrays of given shapes and element
type is placed in GPU memory.

A plan counts what the operation holds at once (its working set: inputs,
outputs and temporaries) and splits it only along the axes where pieces give
the same result, in chunks that each stay under the safe limit. Every rule
behind the figures is the planner's native one (`velkora.gpu.accelplan`).

    >>> import velkora
    >>> velkora.plan((1_000_000, 1000), "float64", free="2GB").strategy
    'chunked'
    >>> velkora.plan(op="matmul", shapes=[(50_000, 50_000)] * 2, dtype="float32",
    ...              free="24GB").bytes_needed
    30000000000
"""
from __future__ import annotations

from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from types import EllipsisType
from typing import Any, Literal, NamedTuple, SupportsIndex

from velkora import _planner
from velkora._planinput import PlanError, PlanTypeError

TYPE_CHECKING = False
if TYPE_CHECKING:
    from velkora._planinput import SizeLike

__all__ = ["ChunkRun", "Decision", "Plan", "PlanError", "PlanTypeError", "plan", "SCHEMA",
           "DEFAULT_HEADROOM"]

SCHEMA = _planner.SCHEMA
DEFAULT_HEADROOM = _planner.DEFAULT_HEADROOM

Strategy = Literal["gpu", "chunked", "cpu"]


@dataclass(frozen=True)
class ChunkRun:
    """`count` consecutive chunks of one `shape`."""
    count: int
    shape: tuple[int, ...]


class Decision(NamedTuple):
    """The planner's allocation decision for the working set, exactly as it
    answered."""
    strategy_code: int
    chunk_size: int
    chunk_count: int
    message: str


@dataclass(frozen=True)
class Plan:
    """How an operation is placed: on the GPU in one pass, in chunks over
    several GPU passes, or on the CPU, and every figure that led there."""

    operation: str
    #: "creation", "elementwise", "reduction", "matmul", "fft", "sort",
    #: "convolution", "linalg" or "unknown".
    family: str
    #: The operands' shapes.
    shapes: tuple[tuple[int, ...], ...]
    #: The shape the chunks divide: the result of a matmul, an elementwise
    #: operation or a convolution; the input of a reduction, transform or sort.
    shape: tuple[int, ...]
    #: The axes of `shape` a reduction reduces, a sort sorts along or a
    #: transform transforms; None for other operations.
    axis: tuple[int, ...] | None
    dtype: str
    element_size: int
    chunkable: bool
    #: Axes of `shape` a chunk may split, outermost first.
    splittable_axes: tuple[int, ...]
    #: The working set: every buffer the operation holds at once.
    bytes_needed: int
    #: `bytes_needed` by part: "inputs", "outputs" and "temporaries".
    working_set: dict[str, int]
    free_bytes: int
    free_source: Literal["given", "detected"]
    #: The detected device the free memory was read from (backend, index,
    #: name, source), or None.
    device: dict[str, Any] | None
    used_bytes: int | None
    total_bytes: int | None
    memory_pressure: float | None
    #: The fraction of the free memory held back.
    headroom: float
    #: "given"; "pressure": recommended for `memory_pressure`; "default":
    #: DEFAULT_HEADROOM, with the pressure unknown.
    headroom_source: Literal["given", "pressure", "default"]
    #: True where the working set fits in the free memory but not under the
    #: safe limit: the headroom alone moved it off a single GPU pass.
    headroom_decides: bool
    safe_limit: int
    strategy: Strategy
    reason: str
    #: The working set of the largest chunk; 0 unless chunked.
    chunk_size: int
    #: The axes of `shape` the chunks split.
    chunk_axes: tuple[int, ...]
    #: The GPU passes as runs of equal chunks: one run of the whole shape on
    #: the GPU, none on the CPU.
    chunks: tuple[ChunkRun, ...]
    passes: int
    decision: Decision
    gpu_suitability: float
    #: What the operation's model assumes, in words.
    notes: tuple[str, ...]
    warnings: tuple[str, ...]

    def to_dict(self) -> dict[str, Any]:
        """The plan as JSON-ready data; the layout is versioned by "schema"."""
        fields = dict(self.__dict__)
        fields["chunks"] = tuple((run.count, run.shape) for run in self.chunks)
        return _planner.to_dict(fields)


def plan(shape: Iterable[SupportsIndex] | SupportsIndex | None = None, dtype: object = None, *,
         op: str | None = None, shapes: Iterable[Iterable[SupportsIndex]] | None = None,
         axis: int | Sequence[int] | None | EllipsisType = ...,
         free: SizeLike | None = None, used: SizeLike | None = None,
         total: SizeLike | None = None, headroom: float | str | None = None,
         device: int | None = None) -> Plan:
    """Plan operation `op` on arrays of `dtype` in GPU memory.

    `shape` is the one array's shape; `shapes` gives every operand instead
    (`plan(op="matmul", shapes=[(m, k), (k, n)], dtype="float32")`). One
    shape stands for operands of that shape where that is unambiguous (both
    operands of an elementwise `add`, a square matmul). `op` is None for the
    allocation itself ("empty"). `axis` is what a reduction reduces (default
    all), a sort sorts along (default the last) or a transform transforms.

    `dtype` is a type name or code ("float32", "f4", "<f8"), a numpy dtype or
    scalar type (with numpy installed), or a positive byte count. `free`,
    `used` and `total` are byte counts: ints, whole floats, numpy scalars or
    text such as "8GiB". Without `free`, the free memory of detected device
    `device` (an index into the best backend's devices, default its first) is
    planned for. `used` and `total` give the memory pressure that the
    headroom is recommended for, unless `headroom` (0 to 0.99) is given; with
    neither, DEFAULT_HEADROOM of the free memory is held back.

    Raises PlanError (a ValueError; PlanTypeError is also a TypeError) with a
    one-line message for input it cannot use.
    """
    fields = _planner.compute(shape, dtype, op=op, shapes=shapes, axis=axis, free=free,
                              used=used, total=total, headroom=headroom, device=device)
    fields["chunks"] = tuple(ChunkRun(count, dims) for count, dims in fields["chunks"])
    fields["decision"] = Decision(*fields["decision"])
    return Plan(**fields)
