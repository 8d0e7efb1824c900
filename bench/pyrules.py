"""The rules in plain Python, written straight from their arithmetic, the way a
Python developer would: the benchmark's third peer. Same names, parameters
and defaults as the modules; the benchmark checks they return the same values.
"""
import math
from collections import Counter

CAP = 2**63 - 1
U64_MAX = 2**64 - 1

CHUNKABLE_OPERATIONS = frozenset({
    "zeros", "ones", "empty", "full", "random.randn", "random.rand", "random.random",
    "random.standard_normal", "random.uniform", "arange", "linspace"})
NON_CHUNKABLE_OPERATIONS = frozenset({
    "matmul", "dot", "fft", "ifft", "fft2", "ifft2", "svd", "eig", "eigvals", "solve", "inv",
    "sort", "argsort"})

NO_MEMORY = (2, 0, 1, "No GPU memory available")
FITS = (0, 0, 1, "Allocation fits in GPU memory")
NOT_CHUNKABLE = (2, 0, 1, "Operation not chunkable, falling back to CPU")
SAMPLE_KEYS = ("parallelization_potential", "cpu_intensity", "memory_intensity")


# ---- accelplan -----------------------------------------------------------------

def _byte_count(value):
    if not value > 0:
        return 0
    if value >= 2.0**64:
        return U64_MAX
    return int(value)


def _safe_limit(available_bytes, headroom_ratio):
    if headroom_ratio != headroom_ratio:
        headroom_ratio = 0.99
    elif headroom_ratio < 0.0:
        headroom_ratio = 0.0
    elif headroom_ratio > 0.99:
        headroom_ratio = 0.99
    return _byte_count((1.0 - headroom_ratio) * available_bytes)


def estimate_allocation_bytes(shape, element_size, overhead_factor=1.0):
    elements = 1
    for dimension in shape:
        if dimension <= 0:
            return 0
        if elements > CAP // dimension:
            return CAP
        elements *= dimension
    if element_size < 0:
        raise ValueError("element_size must not be negative")
    if element_size > 0 and elements > CAP // element_size:
        return CAP
    total = elements * element_size
    if overhead_factor > 1.0:
        return _byte_count(total * overhead_factor)
    return total


def calculate_safe_limit(available_bytes, headroom_ratio):
    return _safe_limit(available_bytes, headroom_ratio)


def decide_allocation_strategy(requested_bytes, available_bytes, headroom_ratio, is_chunkable):
    limit = _safe_limit(available_bytes, headroom_ratio)
    if limit == 0:
        return NO_MEMORY
    if requested_bytes <= limit:
        return FITS
    if not is_chunkable:
        return NOT_CHUNKABLE
    count = min(math.ceil(float(requested_bytes) / limit), U64_MAX)
    return (1, limit, count, f"Chunking into {count} GPU passes")


def compute_chunk_shapes(shape, element_size, max_chunk_bytes):
    if element_size <= 0:
        raise ValueError("element_size must be positive")
    if max_chunk_bytes == 0:
        raise ValueError("max_chunk_bytes must be positive")
    if not shape:
        return [shape]
    tail = shape[1:]
    row_bytes = element_size
    for dimension in tail:
        row_bytes *= dimension
    row_bytes = min(row_bytes, U64_MAX)
    first = shape[0]
    if row_bytes == 0:
        per_chunk = max(first, 1)
    elif row_bytes > max_chunk_bytes:
        per_chunk = 1
    else:
        per_chunk = max_chunk_bytes // row_bytes
    chunks = []
    start = 0
    while start < first:
        rows = min(per_chunk, first - start)
        chunks.append((rows,) + tail)
        start += rows
    return chunks


def calculate_optimal_chunks(total_bytes, available_bytes, headroom_ratio, min_chunks=1,
                             max_chunks=1000):
    limit = _safe_limit(available_bytes, headroom_ratio)
    if limit == 0:
        return max_chunks
    needed = math.ceil(float(total_bytes) / limit)
    if needed < min_chunks:
        return min_chunks
    if needed > max_chunks:
        return max_chunks
    return needed


def is_oom_error(error_message, error_type):
    message = error_message.lower()
    kind = error_type.lower()
    return ("out of memory" in message or "outofmemoryerror" in kind
            or ("cuda" in message and "memory" in message)
            or ("allocat" in message and "failed" in message)
            or ("memory" in message and "insufficient" in message)
            or ("gpu" in message and "memory" in message))


def is_chunkable_operation(operation):
    return operation in CHUNKABLE_OPERATIONS


def score_gpu_suitability(data_size_bytes, operation_type, available_gpu_memory,
                          headroom_ratio):
    limit = _safe_limit(available_gpu_memory, headroom_ratio)
    if limit == 0:
        memory = 0.0
    elif data_size_bytes > limit:
        memory = limit / data_size_bytes
    else:
        memory = min(data_size_bytes / (limit * 0.8), 1.0)
    if operation_type in CHUNKABLE_OPERATIONS:
        factor = 0.9
    elif operation_type in NON_CHUNKABLE_OPERATIONS:
        factor = 0.7
    else:
        factor = 0.5
    return factor * memory


def calculate_memory_pressure(used_bytes, total_bytes):
    if total_bytes == 0:
        return 1.0
    ratio = used_bytes / total_bytes
    if ratio < 0.0:
        return 0.0
    if ratio > 1.0:
        return 1.0
    return ratio


def recommend_headroom(current_pressure, base_headroom=0.5):
    if current_pressure > 0.8:
        headroom = 0.8
    elif current_pressure > 0.6:
        headroom = (current_pressure - 0.5) * 0.5 + base_headroom
    elif current_pressure > 0.3:
        headroom = base_headroom
    else:
        headroom = base_headroom - 0.1
        if not headroom > 0.3:
            headroom = 0.3
    if headroom < 0.3:
        return 0.3
    if headroom > 0.8:
        return 0.8
    return headroom


# ---- adaptlogic ----------------------------------------------------------------

def _unit(value):
    value = value if value < 1.0 else 1.0
    return value if value > 0.0 else 0.0


def _limit_to_unit(value):
    if value < 0.0:
        return 0.0
    if value > 1.0:
        return 1.0
    return value


def detect_performance_degradation(performance_history, baseline_performance, threshold,
                                   window_start_time):
    if not performance_history or baseline_performance <= 0.0 or len(performance_history) < 5:
        return False
    total = 0.0
    count = 0
    for timestamp, metric in performance_history:
        if timestamp >= window_start_time:
            total += metric
            count += 1
    if count < 5:
        return False
    return (baseline_performance - total / count) / baseline_performance > threshold


def calculate_performance_trend(performance_history, window_start_time):
    if not performance_history or len(performance_history) < 3:
        return 0.0
    window = [(t, y) for t, y in performance_history if t >= window_start_time]
    m = len(window)
    if m < 3:
        return 0.0
    t0 = window[0][0]
    sum_x = sum_y = sum_xy = sum_xx = 0.0
    for t, y in window:
        x = t - t0
        sum_y += y
        sum_x += x
        sum_xy += x * y
        sum_xx += x * x
    mean_x = sum_x / m
    denominator = sum_xx - (m * mean_x) * mean_x
    if abs(denominator) < 1e-10:
        return 0.0
    mean_y = sum_y / m
    if abs(mean_y) < 1e-10:
        return 0.0
    coefficient = (sum_xy - (m * mean_x) * mean_y) / denominator / mean_y
    coefficient = coefficient if coefficient < 1.0 else 1.0
    return coefficient if coefficient > -1.0 else -1.0


def detect_workload_characteristics_change(pattern_history, change_threshold=0.3):
    if len(pattern_history) < 6:
        return (False, 0.0, 0.0, 0.0)
    last = pattern_history[-6:]
    for sample in last:
        for key in SAMPLE_KEYS:
            if key not in sample:
                return (False, 0.0, 0.0, 0.0)
    older, recent = last[:3], last[3:]
    changes = [abs((recent[0][key] + recent[1][key] + recent[2][key]) / 3.0
                   - (older[0][key] + older[1][key] + older[2][key]) / 3.0)
               for key in SAMPLE_KEYS]
    return (any(change > change_threshold for change in changes), *changes)


def detect_dominant_pattern(patterns, window_size=5):
    window = patterns[max(0, len(patterns) - window_size):]
    common = Counter(window).most_common(1)
    return common[0][0] if common else "mixed"


def is_adaptation_beneficial(current_pool, recommended_pool, recommendation_score,
                             recommendation_confidence, current_performance_estimate,
                             trigger_code, min_improvement_ratio=1.1, min_confidence=0.6):
    if current_pool == recommended_pool:
        return False
    if recommendation_confidence < min_confidence:
        return False
    if trigger_code == 0:
        return recommendation_score > 0.5
    if current_performance_estimate > 0.0:
        return recommendation_score > current_performance_estimate * min_improvement_ratio
    return recommendation_score > 0.6


def should_skip_adaptation(last_adaptation_time, current_time, min_interval):
    return current_time - last_adaptation_time < min_interval


def detect_memory_pressure(current_usage, peak_usage, pressure_threshold=0.8):
    if peak_usage <= 0.0 or current_usage < 0.0:
        return False
    return current_usage / peak_usage > pressure_threshold


def detect_fragmentation_threshold(fragmentation_ratio, threshold=0.3):
    return fragmentation_ratio >= 0.0 and fragmentation_ratio > threshold


def calculate_adaptation_urgency(performance_degradation, memory_pressure, fragmentation_ratio,
                                 workload_changed):
    urgency = 0.0
    urgency += _unit(performance_degradation) * 0.4
    urgency += _unit(memory_pressure) * 0.3
    urgency += _unit(fragmentation_ratio) * 0.15
    if workload_changed:
        urgency += 0.15
    return _limit_to_unit(urgency)


def score_pool_recommendation(workload_fit, memory_fit, thread_count_fit,
                              historical_success_rate):
    score = (_unit(workload_fit) * 0.35 + _unit(memory_fit) * 0.3 + _unit(thread_count_fit) * 0.2
             + _unit(historical_success_rate) * 0.15)
    return _limit_to_unit(score)


def predict_resource_requirements(allocation_history, prediction_horizon_seconds):
    n = len(allocation_history)
    if n < 10:
        return (0, 0, 0.0)
    span = allocation_history[-1][0] - allocation_history[0][0]
    if span <= 0.0:
        return (0, 0, 0.0)
    total = 0.0
    for _, size in allocation_history:
        total += size
    allocations = math.trunc(n / span * prediction_horizon_seconds)
    return (allocations, math.trunc(total / n * allocations), 0.8 * min(n / 100.0, 1.0))
