"""Allocation plans: how an array of a given shape and element type is placed
in GPU memory.

Every figure and decision in a plan comes from the planner's native rules
(`velkora.gpu.accelplan`). Those rules answer separate questions (bytes by
bytes, chunks by whole rows), so this layer reconciles their answers into one
plan that never contradicts itself, and says so where it had to.

    >>> import velkora
    >>> velkora.plan((1_000_000, 1000), "float64", free="2GB").strategy
    'chunked'
"""
from __future__ import annotations

from collections.abc import Iterable
from dataclasses import dataclass
from typing import Any, Literal, NamedTuple, SupportsIndex

from velkora.gpu import accelplan
from velkora._planinput import (
    PlanError, PlanTypeError, SizeLike, byte_count, normalize_shape, resolve_dtype, suggestion)

__all__ = ["ChunkRun", "Decision", "Plan", "PlanError", "PlanTypeError", "plan", "SCHEMA"]

#: Version of the dictionary layout of `Plan.to_dict`; raised on any change
#: a reader of the JSON would notice.
SCHEMA = 1

#: Where the planner's byte estimate saturates (2**63 - 1).
SATURATED_BYTES = 2**63 - 1

#: Operation names the planner classifies, for suggestions only: whether a
#: name is known, and how, is always asked of the planner itself.
KNOWN_OPERATIONS = (
    "zeros", "ones", "empty", "full", "random.randn", "random.rand", "random.random",
    "random.standard_normal", "random.uniform", "arange", "linspace",
    "matmul", "dot", "fft", "ifft", "fft2", "ifft2", "svd", "eig", "eigvals", "solve", "inv",
    "sort", "argsort",
)

Strategy = Literal["gpu", "chunked", "cpu"]


@dataclass(frozen=True)
class ChunkRun:
    """`count` consecutive chunks of one `shape`."""
    count: int
    shape: tuple[int, ...]


class Decision(NamedTuple):
    """The planner's allocation decision, exactly as it answered."""
    strategy_code: int
    chunk_size: int
    chunk_count: int
    message: str


@dataclass(frozen=True)
class Plan:
    """How an array is placed: on the GPU in one pass, in chunks over several
    GPU passes, or on the CPU, and every figure that led there."""

    shape: tuple[int, ...]
    dtype: str
    element_size: int
    operation: str
    chunkable: bool
    #: The planner's estimate; when `saturated`, the true size is at least this.
    bytes_needed: int
    saturated: bool
    free_bytes: int
    free_source: Literal["given", "detected"]
    used_bytes: int | None
    total_bytes: int | None
    memory_pressure: float | None
    headroom: float
    #: "given"; "pressure": recommended for `memory_pressure`; "default":
    #: recommended with the pressure unknown.
    headroom_source: Literal["given", "pressure", "default"]
    safe_limit: int
    strategy: Strategy
    reason: str
    #: False only when no memory could hold the array (its estimate saturates).
    placeable: bool
    #: Bytes of the largest chunk; 0 unless chunked.
    chunk_size: int
    #: The GPU passes as runs of equal chunks: one run of the whole shape on
    #: the GPU, none on the CPU.
    chunks: tuple[ChunkRun, ...]
    passes: int
    decision: Decision
    gpu_suitability: float
    warnings: tuple[str, ...]

    def to_dict(self) -> dict[str, Any]:
        """The plan as JSON-ready data; the layout is versioned by "schema"."""
        from velkora import __version__

        return {
            "schema": SCHEMA, "version": __version__,
            "shape": list(self.shape), "dtype": self.dtype, "element_size": self.element_size,
            "operation": self.operation, "chunkable": self.chunkable,
            "bytes_needed": self.bytes_needed, "saturated": self.saturated,
            "free_bytes": self.free_bytes, "free_source": self.free_source,
            "used_bytes": self.used_bytes, "total_bytes": self.total_bytes,
            "memory_pressure": self.memory_pressure,
            "headroom": self.headroom, "headroom_source": self.headroom_source,
            "safe_limit": self.safe_limit,
            "strategy": self.strategy, "reason": self.reason, "placeable": self.placeable,
            "chunk_size": self.chunk_size,
            "chunks": [{"count": run.count, "shape": list(run.shape)} for run in self.chunks],
            "passes": self.passes,
            "decision": self.decision._asdict(),
            "gpu_suitability": self.gpu_suitability,
            "warnings": list(self.warnings),
        }


def plan(shape: Iterable[SupportsIndex] | SupportsIndex, dtype: object, *,
         op: str | None = None, free: SizeLike | None = None, used: SizeLike | None = None,
         total: SizeLike | None = None, headroom: float | str | None = None) -> Plan:
    """Plan the placement of an array of `shape` and `dtype` in GPU memory.

    `dtype` is a type name or code ("float32", "f4", "<f8"), a numpy dtype or
    scalar type (with numpy installed), or a positive byte count. `op` names
    the operation that uses the array; None plans the allocation itself
    ("empty"). `free`, `used` and `total` are byte counts: ints, whole floats
    or text such as "8GiB"; `free` defaults to the detected GPU's memory.
    `used` and `total` give the memory pressure that the headroom is
    recommended for, unless `headroom` (0 to 0.99) is given.

    Raises PlanError (a ValueError; PlanTypeError is also a TypeError) with a
    one-line message for input it cannot use.
    """
    dims = normalize_shape(shape)
    element_size, dtype_name = resolve_dtype(dtype)
    headroom_source: Literal["given", "pressure", "default"]
    operation = "empty" if op is None else op
    if not isinstance(operation, str):
        raise PlanTypeError("{0} must be an operation name, not {kind}", "op",
                            kind=type(operation).__name__)
    warnings: list[str] = []
    used_bytes, total_bytes, pressure = _pressure(used, total)
    free_bytes, free_source = _free_bytes(free, warnings)
    if total_bytes is not None and free_bytes > total_bytes:
        raise PlanError("{0} must not exceed {1}", "free", "total")
    if headroom is not None:
        ratio, headroom_source = _headroom(headroom), "given"
    elif pressure is not None:
        ratio, headroom_source = accelplan.recommend_headroom(pressure), "pressure"
    else:
        ratio, headroom_source = accelplan.recommend_headroom(0.0), "default"

    # The suitability factor of a perfect fit tells which operation set, if
    # any, the planner puts the name in: 0.5 means neither.
    if accelplan.score_gpu_suitability(1, operation, 1, 0.0) == 0.5:
        warnings.append(_unknown_operation(operation))
    chunkable = accelplan.is_chunkable_operation(operation)
    needed = accelplan.estimate_allocation_bytes(dims, element_size)
    saturated = needed == SATURATED_BYTES and _exceeds_estimate(dims, element_size)
    safe_limit = accelplan.calculate_safe_limit(free_bytes, ratio)
    decision = Decision(*accelplan.decide_allocation_strategy(needed, free_bytes, ratio, chunkable))

    strategy: Strategy
    chunks: tuple[ChunkRun, ...] = ()
    chunk_size = 0
    reason = decision.message
    if saturated:
        strategy = "cpu"
        reason = ("The array cannot be placed: its size estimate saturates at 8 EiB, "
                  "beyond any memory")
        if 0 in dims:
            warnings.append("the array has no elements, but the size estimate saturates "
                            "before it reaches the zero dimension")
    elif decision.strategy_code == 0:
        strategy, chunks = "gpu", (ChunkRun(1, dims),)
    elif decision.strategy_code != 1:
        strategy = "cpu"
    else:
        runs = _chunk_runs(dims, element_size, decision.chunk_size)
        largest = max(accelplan.estimate_allocation_bytes(r.shape, element_size) for r in runs)
        if largest > decision.chunk_size:
            # A chunk is at least one row along the first axis; where one row
            # is over the limit, no split of that axis fits.
            strategy = "cpu"
            reason = (f"One row along the first axis needs {largest:,} B, more than the "
                      f"chunk limit of {decision.chunk_size:,} B: splitting the first axis "
                      "cannot fit it, falling back to CPU")
        else:
            strategy, chunks, chunk_size = "chunked", runs, largest
            passes = sum(r.count for r in runs)
            if passes != decision.chunk_count:
                reason = (f"Chunking into {passes} GPU passes: whole rows along the first axis "
                          f"make {passes} chunks where the byte count alone needs "
                          f"{decision.chunk_count}")
    return Plan(
        shape=dims, dtype=dtype_name, element_size=element_size, operation=operation,
        chunkable=chunkable, bytes_needed=needed, saturated=saturated,
        free_bytes=free_bytes, free_source=free_source, used_bytes=used_bytes,
        total_bytes=total_bytes, memory_pressure=pressure, headroom=ratio,
        headroom_source=headroom_source, safe_limit=safe_limit, strategy=strategy,
        reason=reason, placeable=not saturated, chunk_size=chunk_size, chunks=chunks,
        passes=sum(r.count for r in chunks), decision=decision,
        gpu_suitability=accelplan.score_gpu_suitability(needed, operation, free_bytes, ratio),
        warnings=tuple(warnings))


def _free_bytes(free: SizeLike | None,
                warnings: list[str]) -> tuple[int, Literal["given", "detected"]]:
    if free is not None:
        return byte_count(free, "free"), "given"
    from velkora.native import hostprobe

    info = hostprobe.detect_gpu_backends()
    if not (info.get("has_gpu") and info.get("gpu_memory_mb")):
        raise PlanError("no GPU detected: give {0}, the free GPU memory to plan for", "free")
    warnings.append(f"free memory is the {info['active_backend']} device's reported memory, "
                    "not what is free now; give the free memory for a tighter plan")
    return int(info["gpu_memory_mb"]) * 2**20, "detected"


def _pressure(used: SizeLike | None,
              total: SizeLike | None) -> tuple[int | None, int | None, float | None]:
    if used is None and total is None:
        return None, None, None
    if used is None or total is None:
        raise PlanError("{0} and {1} go together", "used", "total")
    used_bytes, total_bytes = byte_count(used, "used"), byte_count(total, "total")
    if total_bytes == 0:
        raise PlanError("{0} must be greater than 0", "total")
    if used_bytes > total_bytes:
        raise PlanError("{0} ({used:,} B) must not exceed {1} ({total:,} B)", "used", "total",
                        used=used_bytes, total=total_bytes)
    return used_bytes, total_bytes, accelplan.calculate_memory_pressure(used_bytes, total_bytes)


def _headroom(value: float | str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float, str)):
        raise PlanTypeError("{0} must be a number, not {kind}", "headroom",
                            kind=type(value).__name__)
    try:
        ratio = float(value)
    except ValueError:
        raise PlanError("{0}: {value!r:.60} is not a number", "headroom", value=value) from None
    # The planner clamps above 0.99; refusing more keeps the plan's headroom
    # the one its safe limit was computed with.
    if not 0.0 <= ratio <= 0.99:
        raise PlanError("{0} must lie between 0 and 0.99", "headroom")
    return ratio


def _unknown_operation(name: str) -> str:
    known = suggestion(name, KNOWN_OPERATIONS) or f"known: {', '.join(KNOWN_OPERATIONS)}"
    return (f"operation {name!r:.60} is not one the planner knows, so it counts as not "
            f"chunkable; {known}")


def _exceeds_estimate(dims: tuple[int, ...], element_size: int) -> bool:
    """Whether the true size differs from the saturated estimate, found
    without building the exact product of a hostile, very long shape."""
    size = element_size
    for dim in dims:
        size *= dim
        if size > SATURATED_BYTES:
            return True
    return size != SATURATED_BYTES


def _chunk_runs(dims: tuple[int, ...], element_size: int, limit: int) -> tuple[ChunkRun, ...]:
    """The planner's chunk shapes as runs, without listing what may be
    millions of chunks: the planner is asked about ever longer prefixes of the
    first axis until it splits one, which gives its rows per chunk."""
    if not dims:
        return (ChunkRun(1, dims),)
    rows, tail = dims[0], dims[1:]
    probe_rows = 1
    while True:
        probe = accelplan.compute_chunk_shapes((min(probe_rows, rows), *tail), element_size, limit)
        if len(probe) > 1 or probe_rows >= rows:
            break
        probe_rows *= 2
    rows_per_chunk = int(probe[0][0])
    full, rest = divmod(rows, rows_per_chunk)
    runs = [ChunkRun(full, (rows_per_chunk, *tail))] if full else []
    if rest:
        runs.append(ChunkRun(1, (rest, *tail)))
    return tuple(runs)
