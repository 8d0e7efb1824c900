"""Decision rules of the adaptive worker-pool controller."""
import logging
from typing import Iterable, Mapping, SupportsFloat, SupportsInt

logger: logging.Logger

_Pair = tuple[SupportsFloat, SupportsFloat] | list[SupportsFloat] | Iterable[SupportsFloat]

def detect_performance_degradation(
    performance_history: list[_Pair] | None,
    baseline_performance: SupportsFloat,
    threshold: SupportsFloat,
    window_start_time: SupportsFloat,
) -> bool: ...
def calculate_performance_trend(
    performance_history: list[_Pair] | None, window_start_time: SupportsFloat
) -> float: ...
def detect_workload_characteristics_change(
    pattern_history: list[Mapping[str, SupportsFloat]] | None,
    change_threshold: SupportsFloat = 0.3,
) -> tuple[bool, float, float, float]: ...
def detect_dominant_pattern(
    patterns: list[str | None] | None, window_size: SupportsInt = 5
) -> str | None: ...
def is_adaptation_beneficial(
    current_pool: str | None,
    recommended_pool: str | None,
    recommendation_score: SupportsFloat,
    recommendation_confidence: SupportsFloat,
    current_performance_estimate: SupportsFloat,
    trigger_code: SupportsInt,
    min_improvement_ratio: SupportsFloat = 1.1,
    min_confidence: SupportsFloat = 0.6,
) -> bool: ...
def should_skip_adaptation(
    last_adaptation_time: SupportsFloat, current_time: SupportsFloat, min_interval: SupportsFloat
) -> bool: ...
def detect_memory_pressure(
    current_usage: SupportsFloat, peak_usage: SupportsFloat, pressure_threshold: SupportsFloat = 0.8
) -> bool: ...
def detect_fragmentation_threshold(
    fragmentation_ratio: SupportsFloat, threshold: SupportsFloat = 0.3
) -> bool: ...
def calculate_adaptation_urgency(
    performance_degradation: SupportsFloat,
    memory_pressure: SupportsFloat,
    fragmentation_ratio: SupportsFloat,
    workload_changed: object,
) -> float: ...
def score_pool_recommendation(
    workload_fit: SupportsFloat,
    memory_fit: SupportsFloat,
    thread_count_fit: SupportsFloat,
    historical_success_rate: SupportsFloat,
) -> float: ...
def predict_resource_requirements(
    allocation_history: list[_Pair] | None, prediction_horizon_seconds: SupportsFloat
) -> tuple[int, int, float]: ...
