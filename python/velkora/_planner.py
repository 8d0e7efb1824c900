"""The planning itself, as plain values: `velkora.planning` wraps the result
in its dataclasses and the `velkora plan` command prints it as it stands, so
the command's start pays for neither.

The native rules give every figure they can: the safe limit, the strategy
and its chunk count, the headroom recommended for a pressure, the pressure,
the GPU suitability and which names the planner itself knows. This layer
feeds them the operation's working set (from `velkora._opmodel`) instead of
one array's bytes, and chooses the chunks along the axes the operation
allows. Sizes are Python integers throughout, so no dimension or product
overflows; figures past the native rules' 64-bit range are clamped where
they are handed over.
"""
from __future__ import annotations

import math

from velkora import _opmodel
from velkora._planinput import (
    PlanError, PlanTypeError, byte_count, normalize_shape, number, resolve_dtype, suggestion)
from velkora.gpu import accelplan

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterable, Sequence
    from types import EllipsisType
    from typing import Any, SupportsIndex

    from velkora._planinput import SizeLike

    Run = tuple[int, tuple[int, ...]]

#: Version of the plan's dictionary layout; raised on any change a reader of
#: the JSON would notice.
SCHEMA = 2

UINT64_MAX = 2**64 - 1

#: Headroom with the memory pressure unknown: a tenth of the free memory,
#: for what no working set counts (the allocator's rounding and caching, the
#: libraries' own workspaces) and a little growth by others. Small enough
#: that a 60 GB working set runs directly on an idle 80 GB card.
DEFAULT_HEADROOM = 0.1

# Tile shapes tried when a split must reach a second axis: up to this many
# pieces along it, then powers of two.
_TILE_PIECES = 64


def compute(shape: Iterable[SupportsIndex] | SupportsIndex | None, dtype: object, *,
            op: str | None, shapes: Iterable[Iterable[SupportsIndex]] | None,
            axis: int | Sequence[int] | None | EllipsisType, free: SizeLike | None,
            used: SizeLike | None, total: SizeLike | None, headroom: object,
            device: int | None) -> dict[str, Any]:
    """Every field of a plan, in the order of its JSON layout."""
    operands = _operands(shape, shapes)
    if dtype is None:
        raise PlanTypeError("{0} is required: a type name, a dtype or a byte count", "dtype")
    element_size, dtype_name = resolve_dtype(dtype)
    operation = "empty" if op is None else op
    if not isinstance(operation, str):
        raise PlanTypeError("{0} must be an operation name, not {kind}", "op",
                            kind=type(operation).__name__)
    axis_given = axis is not ...
    model = _opmodel.build(operation, operands, element_size, dtype_name,
                           _axis(axis) if axis_given else None, axis_given)

    warnings: list[str] = []
    if model.family == "unknown":
        warnings.append(_unknown_operation(operation))
    if axis_given and model.family not in ("reduction", "fft", "sort"):
        raise PlanError("{0} applies to reductions, transforms and sorts, not {op}", "axis",
                        op=operation)
    used_bytes, total_bytes = _pair(used, total)
    memory = _memory(free, device, warnings)
    free_bytes = memory["free"]
    if used_bytes is None and memory.get("total") is not None and memory.get("used") is not None:
        used_bytes, total_bytes = memory["used"], memory["total"]
    _check_memory(free_bytes, used_bytes, total_bytes, given=free is not None)
    pressure = None
    if total_bytes is not None and used_bytes is not None:
        pressure = accelplan.calculate_memory_pressure(used_bytes, total_bytes)
    ratio, headroom_source = _choose_headroom(headroom, pressure)
    # What the native rules are given: the same fraction, less its rounding.
    given_ratio = _exact_ratio(free_bytes, ratio)

    needed = model.bytes(model.shape)
    # The creation names keep the native planner's own classification.
    chunkable = (accelplan.is_chunkable_operation(operation) if model.family == "creation"
                 else model.chunkable)
    safe_limit = accelplan.calculate_safe_limit(free_bytes, given_ratio)
    decision = tuple(accelplan.decide_allocation_strategy(
        min(needed, UINT64_MAX), free_bytes, given_ratio, chunkable))
    code, _, decided_count, message = decision

    runs: tuple[Run, ...] = ()
    chunk_axes: tuple[int, ...] = ()
    chunk_size = 0
    reason = str(message)
    if code == 0:
        strategy, runs = "gpu", ((1, model.shape),)
    elif code == 1:
        split = _split(model, safe_limit)
        if split is None:
            strategy = "cpu"
            smallest = [1 if a in model.splittable else d for a, d in enumerate(model.shape)]
            reason = (f"The smallest chunk along axes {_axes_text(model.splittable)} needs "
                      f"{model.bytes(smallest):,} B, more than the safe limit of "
                      f"{safe_limit:,} B: falling back to CPU")
        else:
            strategy = "chunked"
            chunk, runs, chunk_axes = split
            chunk_size = model.bytes(chunk)
            passes = sum(count for count, _ in runs)
            if passes != decided_count:
                reason = (f"Chunking into {passes} GPU passes along axes "
                          f"{_axes_text(chunk_axes)}: whole pieces of the operation make "
                          f"{passes} chunks where the byte count alone needs {decided_count}")
    else:
        strategy = "cpu"
    headroom_decides = safe_limit < needed <= free_bytes
    if headroom_decides:
        warnings.append(f"the headroom alone decides the strategy: the working set "
                        f"({needed:,} B) fits in the free memory ({free_bytes:,} B) but not "
                        f"under the safe limit ({safe_limit:,} B)")
    return {
        "operation": operation, "family": model.family, "shapes": model.shapes,
        "shape": model.shape, "axis": model.axes, "dtype": dtype_name, "element_size": element_size,
        "chunkable": chunkable, "splittable_axes": model.splittable,
        "bytes_needed": needed, "working_set": model.parts(model.shape),
        "free_bytes": free_bytes, "free_source": memory["source"], "device": memory["device"],
        "used_bytes": used_bytes, "total_bytes": total_bytes, "memory_pressure": pressure,
        "headroom": ratio, "headroom_source": headroom_source,
        "headroom_decides": headroom_decides, "safe_limit": safe_limit,
        "strategy": strategy, "reason": reason, "chunk_size": chunk_size,
        "chunk_axes": chunk_axes, "chunks": runs, "passes": sum(count for count, _ in runs),
        "decision": decision,
        "gpu_suitability": accelplan.score_gpu_suitability(
            min(needed, UINT64_MAX), operation, free_bytes, given_ratio),
        "notes": model.notes_for(chunk_axes), "warnings": tuple(warnings),
    }


def to_dict(fields: dict[str, Any]) -> dict[str, Any]:
    """JSON-ready data, versioned by "schema"."""
    from velkora import __version__

    data: dict[str, Any] = {"schema": SCHEMA, "version": __version__}
    for key, value in fields.items():
        if key == "shapes":
            value = [list(s) for s in value]
        elif key == "chunks":
            value = [{"count": count, "shape": list(shape)} for count, shape in value]
        elif key == "decision":
            value = dict(zip(("strategy_code", "chunk_size", "chunk_count", "message"), value))
        elif isinstance(value, tuple):
            value = list(value)
        elif isinstance(value, dict):
            value = dict(value)
        data[key] = value
    return data


def _operands(shape: object, shapes: object) -> tuple[tuple[int, ...], ...]:
    if shapes is None:
        if shape is None:
            raise PlanTypeError("{0} is required (or {1}, one per operand)", "shape", "shapes")
        return (normalize_shape(shape),)  # type: ignore[arg-type]  # checked there
    if shape is not None:
        raise PlanError("give {0} or {1}, not both", "shape", "shapes")
    if isinstance(shapes, (str, bytes)):
        raise PlanTypeError("{0} must be a sequence of shapes, not {kind}", "shapes",
                            kind=type(shapes).__name__)
    try:
        items: tuple[Any, ...] = tuple(shapes)  # type: ignore[arg-type]  # non-iterables are caught
    except TypeError:
        raise PlanTypeError("{0} must be a sequence of shapes, not {kind}", "shapes",
                            kind=type(shapes).__name__) from None
    if not items:
        raise PlanError("{0} must name at least one operand", "shapes")
    return tuple(normalize_shape(item, "shapes") for item in items)


def _axis(axis: object) -> int | tuple[int, ...] | None:
    if axis is None:
        return None
    if isinstance(axis, bool):
        raise PlanTypeError("{0} must be an integer, a tuple of integers or None", "axis")
    value = number(axis)
    if isinstance(value, int):
        return value
    try:
        items: tuple[object, ...] = tuple(axis)  # type: ignore[arg-type]  # failures caught
    except TypeError:
        raise PlanTypeError("{0} must be an integer, a tuple of integers or None",
                            "axis") from None
    out = []
    for item in items:
        value = number(item)
        if not isinstance(value, int):
            raise PlanTypeError("{0} must be an integer, a tuple of integers or None", "axis")
        out.append(value)
    return tuple(out)


def _pair(used: SizeLike | None, total: SizeLike | None) -> tuple[int | None, int | None]:
    if used is None and total is None:
        return None, None
    if used is None or total is None:
        raise PlanError("{0} and {1} go together", "used", "total")
    return byte_count(used, "used"), byte_count(total, "total")


def _check_memory(free: int, used: int | None, total: int | None, given: bool) -> None:
    """The figures must describe one card: none beyond its total, and what is
    free and what is used together no more than it holds."""
    if total is None or used is None:
        return
    if total == 0:
        raise PlanError("{0} must be greater than 0", "total")
    if used > total:
        raise PlanError("{0} ({used:,} B) must not exceed {1} ({total:,} B)", "used", "total",
                        used=used, total=total)
    if free > total:
        raise PlanError("{0} must not exceed {1}", "free", "total")
    if free + used > total:
        what = "{0} + {1}" if given else "the detected free memory + {1}"
        raise PlanError(what + " ({sum:,} B) must not exceed {2} ({total:,} B)", "free", "used",
                        "total", sum=free + used, total=total)


def _choose_headroom(value: object, pressure: float | None) -> tuple[float, str]:
    if value is not None:
        return _headroom(value), "given"
    if pressure is not None:
        # Others hold part of the card and may grow: the native
        # recommendation for that pressure.
        return accelplan.recommend_headroom(pressure), "pressure"
    return DEFAULT_HEADROOM, "default"


def _exact_ratio(free: int, ratio: float) -> float:
    """The headroom to hand the native rules so that their safe limit is the
    free memory less the headroom's decimal share, to the byte.

    They compute (1 - headroom) x free in doubles, where 1 - 0.8 is a shade
    under 0.2: 8 GB free at headroom 0.8 gave 1,599,999,999 B, and 40 GB then
    needed 26 passes where 25 suffice. A headroom a few units in the last
    place smaller gives the intended limit, never more.
    """
    text = repr(ratio)
    if "e" in text or free == 0:
        return ratio
    whole, _, digits = text.partition(".")
    scale = 10 ** len(digits)
    kept = scale - int(whole + digits)  # (1 - ratio) x scale, exactly
    intended = free * kept // scale
    candidate = ratio
    for _ in range(8):
        limit = accelplan.calculate_safe_limit(free, candidate)
        if limit == intended:
            return candidate
        if limit > intended:
            break
        candidate = math.nextafter(candidate, 0.0)
    return ratio


def _headroom(value: object) -> float:
    if isinstance(value, str):
        try:
            # float() would also take other scripts' digits.
            if not value.isascii():
                raise ValueError(value)
            ratio = float(value)
        except ValueError:
            raise PlanError("{0}: {value!r:.60} is not a number", "headroom",
                            value=value) from None
    else:
        plain = number(value)
        if plain is None:
            raise PlanTypeError("{0} must be a number, not {kind}", "headroom",
                                kind=type(value).__name__)
        ratio = float(plain)
    # The planner clamps above 0.99; refusing more keeps the plan's headroom
    # the one its safe limit was computed with.
    if not 0.0 <= ratio <= 0.99:
        raise PlanError("{0} must lie between 0 and 0.99", "headroom")
    return ratio


def _memory(free: SizeLike | None, device: int | None,
            warnings: list[str]) -> dict[str, Any]:
    """The free memory to plan for: given, or read from a detected device."""
    if device is not None:
        if isinstance(device, bool) or not isinstance(number(device), int):
            raise PlanTypeError("{0} must be a device index, not {kind}", "device",
                                kind=type(device).__name__)
        if free is not None:
            raise PlanError("give {0} or {1}, not both: {1} picks the card whose free memory "
                            "is read", "free", "device")
    if free is not None:
        return {"free": byte_count(free, "free"), "source": "given", "device": None}
    index = 0 if device is None else int(device)
    records = _detected_memory()
    if records:
        backend = records[0].backend
        mine = [r for r in records if r.backend == backend]
        if not 0 <= index < len(mine):
            raise PlanError("{0} {index}: the {backend} backend has {n} device(s)", "device",
                            index=index, backend=backend, n=len(mine))
        record = mine[index]
        where = {"backend": record.backend, "index": record.index, "name": record.name,
                 "source": record.source}
        if record.free is not None:
            return {"free": record.free, "source": "detected", "device": where,
                    "used": record.used, "total": record.total}
    elif device is not None:
        raise PlanError("{0} {index}: no GPU's memory can be read on this host", "device",
                        index=index)
    from velkora.native import hostprobe

    info = hostprobe.detect_gpu_backends()
    if not (info.get("has_gpu") and info.get("gpu_memory_mb")):
        raise PlanError("no GPU detected: give {0}, the free GPU memory to plan for", "free")
    warnings.append(f"free memory is the {info['active_backend']} device's reported memory, "
                    "not what is free now; give the free memory for a tighter plan")
    return {"free": int(info["gpu_memory_mb"]) * 2**20, "source": "detected", "device": None}


def _detected_memory() -> list[Any]:
    """The devices' memory records, best backend first; empty where the
    reading is unavailable."""
    try:
        from velkora import gpu

        reader: Callable[[], list[Any]] = getattr(gpu, "memory")
        return list(reader())
    except Exception:  # a reader that fails is no reading: plan as before it existed
        return []


def _unknown_operation(name: str) -> str:
    known = suggestion(name, _opmodel.KNOWN_OPERATIONS) or \
        f"known: {', '.join(_opmodel.KNOWN_OPERATIONS[:14])}, ..."
    return (f"operation {name!r:.60} is not one the planner knows, so it counts as not "
            f"chunkable; {known}")


def _axes_text(axes: Sequence[int]) -> str:
    return ", ".join(map(str, axes)) if axes else "(none)"


def _largest(fits: Callable[[int], bool], high: int) -> int:
    """The largest n in 1..high with fits(n), given fits(1)."""
    low = 1
    while low < high:
        mid = (low + high + 1) // 2
        if fits(mid):
            low = mid
        else:
            high = mid - 1
    return low


def _split(model: _opmodel.Model,
           limit: int) -> tuple[list[int], tuple[Run, ...], tuple[int, ...]] | None:
    """The chunk shape, its runs and the axes split, or None where no chunk
    fits under `limit`.

    Whole slabs along the outermost splittable axis come first (contiguous in
    C order); where one slab is too big, that axis goes to pieces of one and
    the next splittable axis is split as well, then tiles of the two are
    tried in case they need fewer passes (a matmul whose right-hand operand
    must stay whole in every chunk).
    """
    shape = model.shape
    chunk = list(shape)
    previous = None
    for axis in model.splittable:
        if shape[axis] <= 1:
            continue
        chunk[axis] = 1
        if model.bytes(chunk) > limit:
            previous = axis
            continue

        def fits(n: int, axis: int = axis) -> bool:
            chunk[axis] = n
            return model.bytes(chunk) <= limit

        chunk[axis] = _largest(fits, shape[axis])
        if previous is not None:
            _tile(model, chunk, previous, axis, limit)
        else:
            later = [a for a in model.splittable if a > axis and shape[a] > 1]
            if later and chunk[axis] < shape[axis]:
                _tile(model, chunk, axis, later[0], limit)
        break
    else:
        return None
    return chunk, _runs(shape, chunk), tuple(a for a in range(len(shape)) if chunk[a] != shape[a])


def _count(dim: int, piece: int) -> int:
    return -(-dim // piece) if dim else 1


def _tile(model: _opmodel.Model, chunk: list[int], outer: int, inner: int, limit: int) -> None:
    """Trade length along `inner` for length along `outer` where that saves
    at least a quarter of the chunks (an operand that spans only `inner`, the
    right-hand matrix of a matmul, is then read in pieces too); a smaller
    saving is not worth giving up contiguous slabs. `chunk` holds the slab
    answer."""
    shape = model.shape
    slabs = _count(shape[outer], chunk[outer]) * _count(shape[inner], chunk[inner])
    best = (slabs * 3 // 4 + 1, chunk[outer], chunk[inner])
    pieces = set(range(2, _TILE_PIECES + 1))
    power = _TILE_PIECES
    while power < shape[inner]:
        power *= 2
        pieces.add(power)
    trial = list(chunk)
    for n in sorted(pieces):
        size = _count(shape[inner], n)
        if size >= chunk[inner]:
            continue
        trial[inner], trial[outer] = size, 1
        if model.bytes(trial) > limit:
            continue

        def fits(m: int) -> bool:
            trial[outer] = m
            return model.bytes(trial) <= limit

        rows = _largest(fits, shape[outer])
        count = _count(shape[outer], rows) * _count(shape[inner], size)
        if count < best[0]:
            best = (count, rows, size)
    if best[0] <= slabs * 3 // 4:
        chunk[outer], chunk[inner] = best[1], best[2]


def _runs(shape: tuple[int, ...], chunk: Sequence[int]) -> tuple[Run, ...]:
    """The chunks as runs of equal shapes: per axis, the full pieces and the
    remainder, combined over the axes (at most two shapes per split axis)."""
    runs: list[Run] = [(1, ())]
    for dim, piece in zip(shape, chunk):
        if piece >= dim:
            options = [(1, dim)]
        else:
            full, rest = divmod(dim, piece)
            options = [(full, piece)] + ([(1, rest)] if rest else [])
        runs = [(count * n, dims + (size,)) for count, dims in runs for n, size in options]
    return tuple(runs)
