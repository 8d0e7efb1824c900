// The modules' rules as a C++ developer would expose them to a binding
// library: plain functions over standard C++ types, calling the very rule
// headers the modules use. The nanobind and pybind11 peers bind these; only
// the functions that must read Python containers in place (chunk shapes,
// workload change, dominant pattern) are written per library.
#pragma once

#include "gpu/planning.hpp"
#include "plugins/analyzer/rules.hpp"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

namespace peer {

using namespace velkora::accelplan;
using namespace velkora::adaptlogic;

using History = std::vector<std::pair<double, double>>;
using DecisionTuple = std::tuple<int, std::uint64_t, std::uint64_t, std::string>;
using PredictionTuple = std::tuple<long long, long long, double>;

// ---- accelplan ------------------------------------------------------------------

inline std::uint64_t estimate_allocation_bytes(const std::vector<std::int32_t>& shape,
                                               std::int32_t element_size,
                                               double overhead_factor) {
    std::uint64_t elements = 1;
    for (std::int32_t dimension : shape) {
        if (!count_dimension(elements, dimension)) return elements;
    }
    if (element_size < 0) throw std::invalid_argument("element_size must not be negative");
    return allocation_bytes(elements, element_size, overhead_factor);
}

inline std::uint64_t calculate_safe_limit(std::uint64_t available_bytes, double headroom_ratio) {
    return safe_limit(available_bytes, headroom_ratio);
}

inline DecisionTuple decide_allocation_strategy(std::uint64_t requested_bytes,
                                                std::uint64_t available_bytes,
                                                double headroom_ratio, bool is_chunkable) {
    const Decision d =
        decide_strategy(requested_bytes, available_bytes, headroom_ratio, is_chunkable);
    std::string message;
    switch (d.strategy) {
        case Strategy::no_memory:
            message = kNoMemoryMessage;
            break;
        case Strategy::fits:
            message = kFitsMessage;
            break;
        case Strategy::not_chunkable:
            message = kNotChunkableMessage;
            break;
        case Strategy::chunked:
            message.append(kChunkingPrefix)
                .append(std::to_string(d.chunk_count))
                .append(kChunkingSuffix);
            break;
    }
    return {strategy_code(d.strategy), d.chunk_size, d.chunk_count, std::move(message)};
}

inline std::int32_t calculate_optimal_chunks(std::uint64_t total_bytes,
                                             std::uint64_t available_bytes, double headroom_ratio,
                                             std::int32_t min_chunks, std::int32_t max_chunks) {
    return optimal_chunks(total_bytes, available_bytes, headroom_ratio, min_chunks, max_chunks);
}

// Searched in the UTF-8 text with ASCII capitals folded: the keywords are
// ASCII, so this agrees with lowering the whole text for every message whose
// non-ASCII characters do not lower to ASCII letters.
inline bool is_oom_error(std::string_view error_message, std::string_view error_type) {
    auto has = [](std::string_view text) {
        return [text](const Keyword& keyword) {
            return contains(reinterpret_cast<const unsigned char*>(text.data()), text.size(),
                            keyword, true);
        };
    };
    return looks_like_oom(has(error_message), has(error_type));
}

inline bool is_chunkable_operation(std::string_view operation) {
    return classify_operation(operation) == OperationKind::chunkable;
}

inline double score_gpu_suitability(std::uint64_t data_size_bytes, std::string_view operation_type,
                                    std::uint64_t available_gpu_memory, double headroom_ratio) {
    return gpu_suitability(data_size_bytes, classify_operation(operation_type),
                           available_gpu_memory, headroom_ratio);
}

inline double calculate_memory_pressure(std::uint64_t used_bytes, std::uint64_t total_bytes) {
    return memory_pressure(used_bytes, total_bytes);
}

inline double recommend_headroom(double current_pressure, double base_headroom) {
    return recommended_headroom(current_pressure, base_headroom);
}

// ---- adaptlogic -------------------------------------------------------------------

inline bool detect_performance_degradation(const History& performance_history,
                                           double baseline_performance, double threshold,
                                           double window_start_time) {
    const auto n = static_cast<std::int64_t>(performance_history.size());
    if (!degradation_reads_entries(n, baseline_performance)) return false;
    WindowSum window{window_start_time};
    for (const auto& [timestamp, metric] : performance_history) window.add(timestamp, metric);
    return window.degraded(baseline_performance, threshold);
}

inline double calculate_performance_trend(const History& performance_history,
                                          double window_start_time) {
    if (!trend_reads_entries(static_cast<std::int64_t>(performance_history.size()))) return 0.0;
    WindowTrend window{window_start_time};
    for (const auto& [timestamp, metric] : performance_history) window.add(timestamp, metric);
    return window.trend.coefficient();
}

inline long long to_count(double whole) {
    if (whole >= 9.2e18) return 9200000000000000000LL;
    if (whole <= -9.2e18) return -9200000000000000000LL;
    return static_cast<long long>(whole);
}

inline PredictionTuple predict_resource_requirements(const History& allocation_history,
                                                     double prediction_horizon_seconds) {
    const auto n = static_cast<std::int64_t>(allocation_history.size());
    if (!prediction_reads_entries(n)) return {0, 0, 0.0};
    const double span = allocation_history.back().first - allocation_history.front().first;
    if (!prediction_reads_sizes(span)) return {0, 0, 0.0};
    SizeTotal sizes;
    for (const auto& [timestamp, size] : allocation_history) sizes.add(timestamp, size);
    const Prediction p = predict(n, span, sizes.total, prediction_horizon_seconds);
    if (!p.made) return {0, 0, 0.0};
    return {to_count(p.allocations), to_count(p.bytes), p.confidence};
}

inline bool is_adaptation_beneficial(std::string_view current_pool,
                                     std::string_view recommended_pool,
                                     double recommendation_score, double recommendation_confidence,
                                     double current_performance_estimate,
                                     std::int32_t trigger_code, double min_improvement_ratio,
                                     double min_confidence) {
    return adaptation_beneficial(current_pool == recommended_pool, recommendation_score,
                                 recommendation_confidence, current_performance_estimate,
                                 trigger_code, min_improvement_ratio, min_confidence);
}

inline bool should_skip_adaptation(double last_adaptation_time, double current_time,
                                   double min_interval) {
    return skip_adaptation(last_adaptation_time, current_time, min_interval);
}

inline bool detect_memory_pressure(double current_usage, double peak_usage,
                                   double pressure_threshold) {
    return memory_pressure_detected(current_usage, peak_usage, pressure_threshold);
}

inline bool detect_fragmentation_threshold(double fragmentation_ratio, double threshold) {
    return fragmentation_exceeded(fragmentation_ratio, threshold);
}

inline double calculate_adaptation_urgency(double performance_degradation, double memory_pressure,
                                           double fragmentation_ratio, bool workload_changed) {
    return adaptation_urgency(performance_degradation, memory_pressure, fragmentation_ratio,
                              workload_changed);
}

inline double score_pool_recommendation(double workload_fit, double memory_fit,
                                        double thread_count_fit, double historical_success_rate) {
    return pool_score(workload_fit, memory_fit, thread_count_fit, historical_success_rate);
}

// The workload measures, in the order the rule reads them.
inline constexpr const char* kSampleKeys[3] = {"parallelization_potential", "cpu_intensity",
                                               "memory_intensity"};

// The dominant name of the window's entries, counted in first-seen order, or
// none ("mixed"); `name_at(i)` reads entry i the way the peer's library does.
template <class NameAt>
std::optional<std::string_view> dominant_name(std::int64_t entries, std::int32_t window_size,
                                              NameAt name_at) {
    std::vector<std::pair<std::string_view, std::int64_t>> counts;
    std::unordered_map<std::string_view, std::size_t> seen;
    for (std::int64_t i = pattern_window_start(entries, window_size); i < entries; ++i) {
        const std::string_view name = name_at(i);
        const auto [at, inserted] = seen.try_emplace(name, counts.size());
        if (inserted) {
            counts.emplace_back(name, 1);
        } else {
            ++counts[at->second].second;
        }
    }
    DominantScan scan;
    for (std::size_t i = 0; i < counts.size(); ++i) {
        scan.offer(static_cast<std::int64_t>(i), counts[i].second);
    }
    if (scan.index < 0) return std::nullopt;
    return counts[static_cast<std::size_t>(scan.index)].first;
}

}  // namespace peer
