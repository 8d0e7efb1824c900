"""GPU memory planning rules."""
import logging
from typing import SupportsFloat, SupportsInt

logger: logging.Logger

def estimate_allocation_bytes(
    shape: tuple[SupportsInt, ...] | None,
    element_size: SupportsInt,
    overhead_factor: SupportsFloat = 1.0,
) -> int: ...
def calculate_safe_limit(available_bytes: SupportsInt, headroom_ratio: SupportsFloat) -> int: ...
def decide_allocation_strategy(
    requested_bytes: SupportsInt,
    available_bytes: SupportsInt,
    headroom_ratio: SupportsFloat,
    is_chunkable: object,
) -> tuple[int, int, int, str]: ...
def compute_chunk_shapes(
    shape: tuple[SupportsInt, ...] | None,
    element_size: SupportsInt,
    max_chunk_bytes: SupportsInt,
) -> list[tuple[SupportsInt, ...]]: ...
def calculate_optimal_chunks(
    total_bytes: SupportsInt,
    available_bytes: SupportsInt,
    headroom_ratio: SupportsFloat,
    min_chunks: SupportsInt = 1,
    max_chunks: SupportsInt = 1000,
) -> int: ...
def is_oom_error(error_message: str, error_type: str) -> bool: ...
def is_chunkable_operation(operation: str | None) -> bool: ...
def score_gpu_suitability(
    data_size_bytes: SupportsInt,
    operation_type: str | None,
    available_gpu_memory: SupportsInt,
    headroom_ratio: SupportsFloat,
) -> float: ...
def calculate_memory_pressure(used_bytes: SupportsInt, total_bytes: SupportsInt) -> float: ...
def recommend_headroom(current_pressure: SupportsFloat, base_headroom: SupportsFloat = 0.5) -> float: ...
