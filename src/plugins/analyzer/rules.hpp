// Plain adaptation rules over C++ values. The adaptlogic functions convert
// their arguments and walk their lists, then decide with these; the bench
// binds the very same rules through other binding libraries.
#pragma once

#include "plugins/analyzer/trend.hpp"

#include <cmath>
#include <cstdint>

namespace velkora::adaptlogic {

// Clamps to [0, 1]; a NaN counts as 1.0 and -0.0 becomes 0.0.
inline double unit_clamp(double value) {
    const double capped = value < 1.0 ? value : 1.0;
    return capped > 0.0 ? capped : 0.0;
}

inline double limit_to_unit(double value) {
    if (value < 0.0) return 0.0;
    if (value > 1.0) return 1.0;
    return value;
}

// ---- Benefit and cooldown ---------------------------------------------------

// `same_pool` is the string equality of the two pool names, settled by the
// caller; the rules after it are tried in order.
inline bool adaptation_beneficial(bool same_pool, double score, double confidence,
                                  double estimate, std::int32_t trigger_code,
                                  double min_improvement_ratio, double min_confidence) {
    if (same_pool) return false;
    if (confidence < min_confidence) return false;
    if (trigger_code == 0) return score > 0.5;
    if (estimate > 0.0) return score > estimate * min_improvement_ratio;
    // Without a usable estimate the score must clear a fixed bar.
    return score > 0.6;
}

inline bool skip_adaptation(double last_adaptation_time, double current_time,
                            double min_interval) {
    return min_interval > current_time - last_adaptation_time;
}

// ---- Memory pressure and fragmentation ----------------------------------------

inline bool memory_pressure_detected(double current_usage, double peak_usage, double threshold) {
    if (peak_usage <= 0.0) return false;
    if (current_usage < 0.0) return false;
    return current_usage / peak_usage > threshold;
}

inline bool fragmentation_exceeded(double fragmentation_ratio, double threshold) {
    if (fragmentation_ratio < 0.0) return false;
    return fragmentation_ratio > threshold;
}

// ---- Scores -------------------------------------------------------------------

inline double adaptation_urgency(double performance_degradation, double memory_pressure,
                                 double fragmentation_ratio, bool workload_changed) {
    double urgency = 0.0;
    urgency += unit_clamp(performance_degradation) * 0.4;
    urgency += unit_clamp(memory_pressure) * 0.3;
    urgency += unit_clamp(fragmentation_ratio) * 0.15;
    if (workload_changed) urgency += 0.15;
    return limit_to_unit(urgency);
}

inline double pool_score(double workload_fit, double memory_fit, double thread_count_fit,
                         double historical_success_rate) {
    const double score = ((unit_clamp(workload_fit) * 0.35 + unit_clamp(memory_fit) * 0.3) +
                          unit_clamp(thread_count_fit) * 0.2) +
                         unit_clamp(historical_success_rate) * 0.15;
    return limit_to_unit(score);
}

// ---- Performance history --------------------------------------------------------
//
// A history rule is fed every (timestamp, metric) entry in list order through
// add(); the checks before the walk tell whether the entries can matter.

// Whether a history of `entries` entries against this baseline needs reading:
// too short a list, or a baseline at or below zero, answers False at once (a
// NaN baseline is read, so malformed entries still raise).
inline bool degradation_reads_entries(std::int64_t entries, double baseline_performance) {
    return entries >= 5 && !(baseline_performance <= 0.0);
}

// The comparisons with the window start are inclusive, and a NaN on either
// side leaves the entry out.
struct WindowSum {
    double window_start;
    double total = 0.0;
    std::int64_t count = 0;
    void add(double timestamp, double metric) {
        if (timestamp >= window_start) {
            total += metric;
            ++count;
        }
    }
    bool degraded(double baseline_performance, double threshold) const {
        if (count < 5) return false;
        const double recent_mean = total / static_cast<double>(count);
        return (baseline_performance - recent_mean) / baseline_performance > threshold;
    }
};

inline bool trend_reads_entries(std::int64_t entries) { return entries >= 3; }

struct WindowTrend {
    double window_start;
    TrendAccumulator trend{};
    void add(double timestamp, double metric) {
        if (timestamp >= window_start) trend.add(timestamp, metric);
    }
};

// ---- Resource prediction ----------------------------------------------------------

inline bool prediction_reads_entries(std::int64_t entries) { return entries >= 10; }

struct SizeTotal {
    double total = 0.0;
    void add(double, double size) { total += size; }
};

struct Prediction {
    bool made = false;         // false: the neutral (0, 0, 0.0)
    double allocations = 0.0;  // whole numbers, truncated toward zero
    double bytes = 0.0;
    double confidence = 0.0;
};

// Whether the sizes need reading: a span (last minus first timestamp) of
// zero or less predicts nothing; a NaN span reads on.
inline bool prediction_reads_sizes(double span) { return !(span <= 0.0); }

// From the history's length, its span and the total of its sizes. A NaN or
// infinite prediction has no count, so it makes none.
inline Prediction predict(std::int64_t entries, double span, double size_total,
                          double prediction_horizon_seconds) {
    const double n = static_cast<double>(entries);
    const double rate = n / span;
    const double average = size_total / n;
    const double allocations = std::trunc(rate * prediction_horizon_seconds);
    const double bytes = std::trunc(average * allocations);
    if (!std::isfinite(allocations) || !std::isfinite(bytes)) return {};
    const double fraction = n / 100.0;
    return {true, allocations, bytes, 0.8 * (fraction < 1.0 ? fraction : 1.0)};
}

// ---- Workload change and dominant pattern -------------------------------------------

struct WorkloadChange {
    bool changed = false;
    double change[3] = {0.0, 0.0, 0.0};
};

// From the per-measure sums of the three recent and the three older samples;
// each sum becomes a mean on its own before the two are compared.
inline WorkloadChange workload_change(const double (&recent)[3], const double (&older)[3],
                                      double change_threshold) {
    WorkloadChange result;
    for (int key = 0; key < 3; ++key) {
        result.change[key] = std::fabs(recent[key] / 3.0 - older[key] / 3.0);
        if (result.change[key] > change_threshold) result.changed = true;
    }
    return result;
}

// The window's start index: in 64 bits, so a window size near -2**31 leaves
// the window empty instead of wrapping round to the whole list.
inline std::int64_t pattern_window_start(std::int64_t entries, std::int32_t window_size) {
    const std::int64_t start = entries - static_cast<std::int64_t>(window_size);
    return start > 0 ? start : 0;
}

// The final scan over the counts in first-seen order: a later name must have
// strictly more to replace an earlier one. `index` stays -1 for no counts.
struct DominantScan {
    std::int64_t best = 0;
    std::int64_t index = -1;
    void offer(std::int64_t position, std::int64_t count) {
        if (count > best) {
            best = count;
            index = position;
        }
    }
};

}  // namespace velkora::adaptlogic
