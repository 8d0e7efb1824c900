// The rules bound through nanobind, with the modules' parameter names and
// defaults: the binding most C++ developers would reach for first.
#include "peers/peer_rules.hpp"

#include <nanobind/nanobind.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <unordered_map>

namespace nb = nanobind;
using namespace nb::literals;

namespace {

nb::list compute_chunk_shapes(nb::tuple shape, std::int32_t element_size,
                              std::uint64_t max_chunk_bytes) {
    if (element_size <= 0) throw nb::value_error("element_size must be positive");
    if (max_chunk_bytes == 0) throw nb::value_error("max_chunk_bytes must be positive");
    nb::list chunks;
    const size_t size = shape.size();
    if (size == 0) {
        chunks.append(shape);
        return chunks;
    }
    auto row_bytes = static_cast<std::uint64_t>(element_size);
    for (size_t i = 1; i < size; ++i) {
        row_bytes = peer::saturating_mul(row_bytes, nb::cast<std::uint64_t>(shape[i]));
    }
    const peer::ChunkRows rows = peer::split_rows(
        nb::cast<std::int32_t>(shape[0]), peer::rows_per_chunk(row_bytes, max_chunk_bytes));
    for (std::uint64_t c = 0; c < rows.count; ++c) {
        nb::object chunk = nb::steal(PyTuple_New(static_cast<Py_ssize_t>(size)));
        if (!chunk.is_valid()) throw nb::python_error();
        PyTuple_SET_ITEM(chunk.ptr(), 0,
                         nb::cast(c + 1 < rows.count ? rows.full : rows.last).release().ptr());
        for (size_t i = 1; i < size; ++i) {
            PyTuple_SET_ITEM(chunk.ptr(), static_cast<Py_ssize_t>(i),
                             nb::object(shape[i]).release().ptr());
        }
        chunks.append(chunk);
    }
    return chunks;
}

std::tuple<bool, double, double, double> detect_workload_characteristics_change(
    nb::list pattern_history, double change_threshold) {
    const size_t n = pattern_history.size();
    if (n < 6) return {false, 0.0, 0.0, 0.0};
    const nb::str keys[3] = {nb::str(peer::kSampleKeys[0]), nb::str(peer::kSampleKeys[1]),
                             nb::str(peer::kSampleKeys[2])};
    for (size_t i = n - 6; i < n; ++i) {
        nb::dict sample = nb::cast<nb::dict>(pattern_history[i]);
        for (const nb::str& key : keys) {
            if (!sample.contains(key)) return {false, 0.0, 0.0, 0.0};
        }
    }
    double recent[3] = {0.0, 0.0, 0.0};
    double older[3] = {0.0, 0.0, 0.0};
    for (size_t i = n - 6; i < n; ++i) {
        nb::dict sample = nb::cast<nb::dict>(pattern_history[i]);
        double* sums = i >= n - 3 ? recent : older;
        for (int key = 0; key < 3; ++key) sums[key] += nb::cast<double>(sample[keys[key]]);
    }
    const peer::WorkloadChange w = peer::workload_change(recent, older, change_threshold);
    return {w.changed, w.change[0], w.change[1], w.change[2]};
}

nb::str detect_dominant_pattern(nb::list patterns, std::int32_t window_size) {
    const auto n = static_cast<std::int64_t>(patterns.size());
    std::vector<std::pair<std::string_view, std::int64_t>> counts;  // in first-seen order
    std::unordered_map<std::string_view, size_t> seen;
    for (std::int64_t i = peer::pattern_window_start(n, window_size); i < n; ++i) {
        const auto name = nb::cast<std::string_view>(patterns[static_cast<size_t>(i)]);
        const auto [at, inserted] = seen.try_emplace(name, counts.size());
        if (inserted) {
            counts.emplace_back(name, 1);
        } else {
            ++counts[at->second].second;
        }
    }
    peer::DominantScan scan;
    for (size_t i = 0; i < counts.size(); ++i) {
        scan.offer(static_cast<std::int64_t>(i), counts[i].second);
    }
    if (scan.index < 0) return nb::str("mixed");
    const std::string_view dominant = counts[static_cast<size_t>(scan.index)].first;
    return nb::str(dominant.data(), dominant.size());
}

}  // namespace

NB_MODULE(peer_nanobind, m) {
    // The library version the peer was built with, for the results file.
    m.attr("binding_version") =
        nb::make_tuple(NB_VERSION_MAJOR, NB_VERSION_MINOR, NB_VERSION_PATCH);
    m.def("estimate_allocation_bytes", &peer::estimate_allocation_bytes, "shape"_a,
          "element_size"_a, "overhead_factor"_a = 1.0);
    m.def("calculate_safe_limit", &peer::calculate_safe_limit, "available_bytes"_a,
          "headroom_ratio"_a);
    m.def("decide_allocation_strategy", &peer::decide_allocation_strategy, "requested_bytes"_a,
          "available_bytes"_a, "headroom_ratio"_a, "is_chunkable"_a);
    m.def("compute_chunk_shapes", &compute_chunk_shapes, "shape"_a, "element_size"_a,
          "max_chunk_bytes"_a);
    m.def("calculate_optimal_chunks", &peer::calculate_optimal_chunks, "total_bytes"_a,
          "available_bytes"_a, "headroom_ratio"_a, "min_chunks"_a = 1, "max_chunks"_a = 1000);
    m.def("is_oom_error", &peer::is_oom_error, "error_message"_a, "error_type"_a);
    m.def("is_chunkable_operation", &peer::is_chunkable_operation, "operation"_a);
    m.def("score_gpu_suitability", &peer::score_gpu_suitability, "data_size_bytes"_a,
          "operation_type"_a, "available_gpu_memory"_a, "headroom_ratio"_a);
    m.def("calculate_memory_pressure", &peer::calculate_memory_pressure, "used_bytes"_a,
          "total_bytes"_a);
    m.def("recommend_headroom", &peer::recommend_headroom, "current_pressure"_a,
          "base_headroom"_a = 0.5);

    m.def("detect_performance_degradation", &peer::detect_performance_degradation,
          "performance_history"_a, "baseline_performance"_a, "threshold"_a,
          "window_start_time"_a);
    m.def("calculate_performance_trend", &peer::calculate_performance_trend,
          "performance_history"_a, "window_start_time"_a);
    m.def("detect_workload_characteristics_change", &detect_workload_characteristics_change,
          "pattern_history"_a, "change_threshold"_a = 0.3);
    m.def("detect_dominant_pattern", &detect_dominant_pattern, "patterns"_a, "window_size"_a = 5);
    m.def("is_adaptation_beneficial", &peer::is_adaptation_beneficial, "current_pool"_a,
          "recommended_pool"_a, "recommendation_score"_a, "recommendation_confidence"_a,
          "current_performance_estimate"_a, "trigger_code"_a, "min_improvement_ratio"_a = 1.1,
          "min_confidence"_a = 0.6);
    m.def("should_skip_adaptation", &peer::should_skip_adaptation, "last_adaptation_time"_a,
          "current_time"_a, "min_interval"_a);
    m.def("detect_memory_pressure", &peer::detect_memory_pressure, "current_usage"_a,
          "peak_usage"_a, "pressure_threshold"_a = 0.8);
    m.def("detect_fragmentation_threshold", &peer::detect_fragmentation_threshold,
          "fragmentation_ratio"_a, "threshold"_a = 0.3);
    m.def("calculate_adaptation_urgency", &peer::calculate_adaptation_urgency,
          "performance_degradation"_a, "memory_pressure"_a, "fragmentation_ratio"_a,
          "workload_changed"_a);
    m.def("score_pool_recommendation", &peer::score_pool_recommendation, "workload_fit"_a,
          "memory_fit"_a, "thread_count_fit"_a, "historical_success_rate"_a);
    m.def("predict_resource_requirements", &peer::predict_resource_requirements,
          "allocation_history"_a, "prediction_horizon_seconds"_a);
}
