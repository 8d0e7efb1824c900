"""GPU memory planning rules."""
import logging
from typing import Literal, SupportsFloat, SupportsIndex, SupportsInt, TypeAlias, TypeVar

logger: logging.Logger
__test__: dict[str, object]

# A C double parameter: floats, ints, anything with __float__ or __index__.
_Float: TypeAlias = SupportsFloat | SupportsIndex
# Chunk shapes share the shape's entries after the first, the same objects.
_Dim = TypeVar("_Dim", bound=SupportsInt)

def estimate_allocation_bytes(
    shape: tuple[SupportsInt, ...] | None,
    element_size: SupportsInt,
    overhead_factor: _Float = 1.0,
) -> int: ...
def calculate_safe_limit(available_bytes: SupportsInt, headroom_ratio: _Float) -> int: ...
def decide_allocation_strategy(
    requested_bytes: SupportsInt,
    available_bytes: SupportsInt,
    headroom_ratio: _Float,
    is_chunkable: object,
) -> tuple[Literal[0, 1, 2], int, int, str]: ...
def compute_chunk_shapes(
    shape: tuple[_Dim, ...] | None,
    element_size: SupportsInt,
    max_chunk_bytes: SupportsInt,
) -> list[tuple[int | _Dim, ...]]: ...
def calculate_optimal_chunks(
    total_bytes: SupportsInt,
    available_bytes: SupportsInt,
    headroom_ratio: _Float,
    min_chunks: SupportsInt = 1,
    max_chunks: SupportsInt = 1000,
) -> int: ...
def is_oom_error(error_message: str, error_type: str) -> bool: ...
def is_chunkable_operation(operation: str | None) -> bool: ...
def score_gpu_suitability(
    data_size_bytes: SupportsInt,
    operation_type: str | None,
    available_gpu_memory: SupportsInt,
    headroom_ratio: _Float,
) -> float: ...
def calculate_memory_pressure(used_bytes: SupportsInt, total_bytes: SupportsInt) -> float: ...
def recommend_headroom(current_pressure: _Float, base_headroom: _Float = 0.5) -> float: ...
