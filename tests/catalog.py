"""Every module function with typical and failing arguments, for the suites that
sweep all of them (leaks, threads, fuzzing)."""
import velkora.gpu.accelplan as ap
import velkora.plugins.analyzer.adaptlogic as al

HISTORY = [(float(t), 100.0 - t) for t in range(20)]
PATTERNS = [{"parallelization_potential": 0.1 * i, "cpu_intensity": 0.2,
             "memory_intensity": 1} for i in range(8)]

# (function, [typical argument tuples], [argument tuples that raise])
CALLS = [
    (al.detect_performance_degradation,
     [(HISTORY, 100.0, 0.15, 5.0), (None, 1.0, 0.1, 0.0)],
     [(HISTORY + [(1, 2, 3)], 100.0, 0.15, 0.0), ((), 1.0, 0.1, 0.0), (HISTORY, "x", 0.1, 0.0)]),
    (al.calculate_performance_trend,
     [(HISTORY, 0.0), (HISTORY, 10.0)],
     [(HISTORY + [(None, 1.0)], 0.0), ([(1.0,)] * 4, 0.0)]),
    (al.detect_workload_characteristics_change,
     [(PATTERNS, 0.3), (PATTERNS[:3],)],
     [(PATTERNS + [[]], 0.3), (None,), (PATTERNS + [{"parallelization_potential": "x",
                                                      "cpu_intensity": 1, "memory_intensity": 1}],)]),
    (al.detect_dominant_pattern,
     [(["a", "b", "a"], 5), ([None, None, "a"],)],
     [([1, 2, 3],), (None,), (["a"], "5")]),
    (al.is_adaptation_beneficial,
     [("a", "b", 0.9, 0.8, 0.8, 1), ("a", "a", 1.0, 1.0, 0.0, 0, 1.1, 0.6)],
     [(1, "b", 0.9, 0.8, 0.8, 1), ("a", "b", 0.9, 0.8, 0.8, 2**40)]),
    (al.should_skip_adaptation, [(100.0, 104.9, 5.0), (0, 3, 5)], [(None, 1, 2), (1, 2)]),
    (al.detect_memory_pressure, [(81, 100), (50, 0, 0.9)], [("1", 2)]),
    (al.detect_fragmentation_threshold, [(0.31,), (0.1, 0.05)], [(None,)]),
    (al.calculate_adaptation_urgency, [(0.3, 0.6, 0.2, True), (2.0, -3.0, 0.2, [])],
     [(0.3, 0.6, 0.2)]),
    (al.score_pool_recommendation, [(0.8, 0.6, 0.7, 0.9)], [(0.8, 0.6, 0.7, "x")]),
    (al.predict_resource_requirements,
     [([(float(t), 1000.0) for t in range(20)], 10.0), (HISTORY[:5], 1.0)],
     [([(float(t), "x") for t in range(20)], 10.0), ([()] * 12, 1.0)]),
    (ap.estimate_allocation_bytes, [((1000, 1000), 8, 1.5), ((), 8)],
     [([1], 8), ((2**31,), 8), ((10,), -1)]),
    (ap.calculate_safe_limit, [(1000, 0.2), (2**64 - 1, 0.0)], [(-1, 0.1), (2**64, 0.1)]),
    (ap.decide_allocation_strategy, [(2500, 1000, 0.2, True), (800, 1000, 0.2, False)],
     [(-1, 1000, 0.2, True)]),
    (ap.compute_chunk_shapes, [((10, 4), 8, 100), ((), 4, 100), ((10, 0), 4, 100)],
     [((10,), 0, 100), ((10, -1), 4, 100), (None, 4, 100)]),
    (ap.calculate_optimal_chunks, [(2500, 1000, 0.2), (10**15, 1000, 0.0, 10, 5)],
     [(2500, 1000, "x")]),
    (ap.is_oom_error, [("CUDA out of memory", "RuntimeError"), ("", "")], [(None, "x"), (1, "")]),
    (ap.is_chunkable_operation, [("zeros",), (None,)], [(1,)]),
    (ap.score_gpu_suitability, [(640, "zeros", 1000, 0.2), (0, None, 0, 0.0)],
     [(640, 5, 1000, 0.2)]),
    (ap.calculate_memory_pressure, [(500, 1000), (0, 0)], [(-5, 10)]),
    (ap.recommend_headroom, [(0.7,), (0.2, 0.35)], [("0.5",)]),
]
