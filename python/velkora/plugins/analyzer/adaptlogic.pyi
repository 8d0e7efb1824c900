"""Decision rules of the adaptive worker-pool controller."""
import logging
from collections.abc import Iterable, Mapping
from typing import Literal, SupportsFloat, SupportsIndex, SupportsInt, TypeAlias, TypeVar

logger: logging.Logger
__test__: dict[str, object]

# A C double parameter: floats, ints, anything with __float__ or __index__.
_Float: TypeAlias = SupportsFloat | SupportsIndex
# History entries: (timestamp, value) pairs, as tuples, lists or any iterable
# of exactly two numbers. Type variables keep list[tuple[float, float]] and
# the like acceptable despite list's invariance.
_Pair = TypeVar("_Pair", bound=Iterable[_Float])
# Pattern history entries: dicts holding parallelization_potential,
# cpu_intensity and memory_intensity.
_Pattern = TypeVar("_Pattern", bound=Mapping[str, object])
_Name = TypeVar("_Name", bound=str | None)

def detect_performance_degradation(
    performance_history: list[_Pair] | None,
    baseline_performance: _Float,
    threshold: _Float,
    window_start_time: _Float,
) -> bool: ...
def calculate_performance_trend(
    performance_history: list[_Pair] | None, window_start_time: _Float
) -> float: ...
def detect_workload_characteristics_change(
    pattern_history: list[_Pattern] | None, change_threshold: _Float = 0.3
) -> tuple[bool, float, float, float]: ...
def detect_dominant_pattern(
    patterns: list[_Name] | None, window_size: SupportsInt = 5
) -> _Name | Literal["mixed"]: ...
def is_adaptation_beneficial(
    current_pool: str | None,
    recommended_pool: str | None,
    recommendation_score: _Float,
    recommendation_confidence: _Float,
    current_performance_estimate: _Float,
    trigger_code: SupportsInt,
    min_improvement_ratio: _Float = 1.1,
    min_confidence: _Float = 0.6,
) -> bool: ...
def should_skip_adaptation(
    last_adaptation_time: _Float, current_time: _Float, min_interval: _Float
) -> bool: ...
def detect_memory_pressure(
    current_usage: _Float, peak_usage: _Float, pressure_threshold: _Float = 0.8
) -> bool: ...
def detect_fragmentation_threshold(fragmentation_ratio: _Float, threshold: _Float = 0.3) -> bool: ...
def calculate_adaptation_urgency(
    performance_degradation: _Float,
    memory_pressure: _Float,
    fragmentation_ratio: _Float,
    workload_changed: object,
) -> float: ...
def score_pool_recommendation(
    workload_fit: _Float,
    memory_fit: _Float,
    thread_count_fit: _Float,
    historical_success_rate: _Float,
) -> float: ...
def predict_resource_requirements(
    allocation_history: list[_Pair] | None, prediction_horizon_seconds: _Float
) -> tuple[int, int, float]: ...
