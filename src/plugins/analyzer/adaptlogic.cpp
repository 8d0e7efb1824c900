// velkora.plugins.analyzer.adaptlogic: decision rules of the adaptive pool controller.
#include "common/binding.hpp"
#include "common/module.hpp"
#include "common/unpack.hpp"
#include "plugins/analyzer/rules.hpp"

namespace velkora::adaptlogic {

namespace {

struct Constants {
    Ref no_prediction;  // (0, 0, 0.0)
    Ref no_change;      // (False, 0.0, 0.0, 0.0)
    Ref mixed;
    Ref zero;  // the index of an entry's timestamp
    Ref sample_keys[3];
};
// Never destroyed: it must outlive interpreter finalisation at process exit.
Immortal<Constants> constants;
Constants& k = constants.get();

bool build_constants() {
    k.no_prediction = Ref::steal(Py_BuildValue("(iid)", 0, 0, 0.0));
    k.no_change = Ref::steal(Py_BuildValue("(Oddd)", Py_False, 0.0, 0.0, 0.0));
    k.zero = Ref::steal(PyLong_FromLong(0));
    return k.no_prediction && k.no_change && k.zero && intern(k.mixed, "mixed") &&
           intern(k.sample_keys[0], "parallelization_potential") &&
           intern(k.sample_keys[1], "cpu_intensity") &&
           intern(k.sample_keys[2], "memory_intensity");
}

void release_constants() { k = Constants{}; }

bool raise_index_error() {
    PyErr_SetString(PyExc_IndexError, "list index out of range");
    return false;
}

// Exact floats and compact exact ints convert without running any code, so
// reading them needs no reference held. The int conversion is the one the
// interpreter's float() makes.
inline bool plain_double(PyObject* obj, double& out) {
    if (PyFloat_CheckExact(obj)) {
        out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    if (PyLong_CheckExact(obj) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(obj))) {
        out =
            static_cast<double>(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(obj)));
        return true;
    }
    return false;
}

// An exact 2-tuple or 2-list of plain numbers, read in place; false for any
// other entry, with nothing raised.
inline bool read_plain_pair(PyObject* entry, double& first, double& second) {
    PyObject* const* items;
    if (PyTuple_CheckExact(entry) && PyTuple_GET_SIZE(entry) == 2) [[likely]] {
        items = &PyTuple_GET_ITEM(entry, 0);
    } else if (PyList_CheckExact(entry) && PyList_GET_SIZE(entry) == 2) {
        items = &PyList_GET_ITEM(entry, 0);
    } else {
        return false;
    }
    return plain_double(items[0], first) && plain_double(items[1], second);
}

// Any other entry, by the two-item rule, the first item converted before the
// second. Conversion hooks may run here and may drop the list's hold on the
// entry, so it is held; unpack_pair holds the items themselves.
[[gnu::noinline]] bool read_pair_general(PyObject* entry, double& first, double& second) {
    const Ref held = Ref::borrow(entry);
    Ref a;
    Ref b;
    return unpack_pair(held.get(), a, b) && to_double(a.get(), first) && to_double(b.get(), second);
}

// Feeds every entry of a history list, in list order, to `sink.add` as two
// doubles. The length is taken once by the caller; a hook that shrinks the
// list ends the walk at its current end.
template <class Sink>
bool for_each_pair(PyObject* list, Py_ssize_t n, Sink& sink) {
    Py_ssize_t i = 0;
    for (;;) {
        // Runs of plain entries make no calls, so a local copy of the sink
        // keeps its sums in registers; any call would force them to memory.
        Sink local = sink;
        for (; i < n && i < PyList_GET_SIZE(list); ++i) {
            double first;
            double second;
            if (!read_plain_pair(PyList_GET_ITEM(list, i), first, second)) break;
            local.add(first, second);
        }
        sink = local;
        if (i >= n || i >= PyList_GET_SIZE(list)) return true;
        double first;
        double second;
        if (!read_pair_general(PyList_GET_ITEM(list, i), first, second)) return false;
        sink.add(first, second);
        ++i;
    }
}

}  // namespace

struct detect_performance_degradation {
    static constexpr const char* name = "detect_performance_degradation";
    static constexpr const char* doc = R"(
    Detect if performance has degraded significantly.

    IP-PROTECTED: Core performance degradation detection algorithm.

    Args:
        performance_history: List of (timestamp, metric) tuples
        baseline_performance: Baseline performance value
        threshold: Degradation threshold (e.g., 0.15 for 15%)
        window_start_time: Start of the window to analyze

    Returns:
        True if significant degradation detected
    )";
    static constexpr std::array params{Param{"performance_history"}, Param{"baseline_performance"},
                                       Param{"threshold"}, Param{"window_start_time"}};
    static PyObject* run(List performance_history, double baseline_performance, double threshold,
                         double window_start_time) {
        PyObject* history = performance_history.obj;
        if (performance_history.is_none()) return py_bool(false);
        const Py_ssize_t n = PyList_GET_SIZE(history);
        if (!degradation_reads_entries(n, baseline_performance)) return py_bool(false);
        WindowSum window{window_start_time};
        if (!for_each_pair(history, n, window)) return nullptr;
        return py_bool(window.degraded(baseline_performance, threshold));
    }
};

struct calculate_performance_trend {
    static constexpr const char* name = "calculate_performance_trend";
    static constexpr const char* doc = R"(
    Calculate performance trend over a time window.

    IP-PROTECTED: Performance trend analysis algorithm.

    Args:
        performance_history: List of (timestamp, metric) tuples
        window_start_time: Start of analysis window

    Returns:
        Trend coefficient (-1.0 to 1.0, negative = declining)
    )";
    static constexpr std::array params{Param{"performance_history"}, Param{"window_start_time"}};
    static PyObject* run(List performance_history, double window_start_time) {
        PyObject* history = performance_history.obj;
        if (performance_history.is_none()) return PyFloat_FromDouble(0.0);
        const Py_ssize_t n = PyList_GET_SIZE(history);
        if (!trend_reads_entries(n)) return PyFloat_FromDouble(0.0);
        WindowTrend window{window_start_time};
        if (!for_each_pair(history, n, window)) return nullptr;
        return PyFloat_FromDouble(window.trend.coefficient());
    }
};

namespace {

// Entry `index` of a pattern history as a dict, held: a hook run by an
// earlier value may have shrunk the list or replaced the entry.
bool sample_at(PyObject* list, Py_ssize_t index, Ref& out) {
    if (index >= PyList_GET_SIZE(list)) return raise_index_error();
    PyObject* entry = PyList_GET_ITEM(list, index);
    if (entry == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
        return false;
    }
    if (!PyDict_CheckExact(entry)) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "dict", Py_TYPE(entry)->tp_name);
        return false;
    }
    out = Ref::borrow(entry);
    return true;
}

// running += value with the interpreter's in-place addition, so any number
// type (or one that defines its own addition) takes part as it would in
// Python; plain numbers skip the float object.
bool add_value(double& running, PyObject* value) {
    double plain;
    if (plain_double(value, plain)) {
        running += plain;
        return true;
    }
    const Ref held = Ref::borrow(value);
    const Ref sum_object = Ref::steal(PyFloat_FromDouble(running));
    if (!sum_object) return false;
    const Ref result = Ref::steal(PyNumber_InPlaceAdd(sum_object.get(), held.get()));
    return result && to_double(result.get(), running);
}

// Sums the three measures over the entries first .. first + 2.
bool sum_samples(PyObject* list, Py_ssize_t first, double (&sums)[3]) {
    for (Py_ssize_t i = first; i < first + 3; ++i) {
        Ref sample;
        if (!sample_at(list, i, sample)) return false;
        for (int key = 0; key < 3; ++key) {
            PyObject* name = k.sample_keys[key].get();
            PyObject* value = PyDict_GetItemWithError(sample.get(), name);
            if (value == nullptr) {
                if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, name);
                return false;
            }
            if (!add_value(sums[key], value)) return false;
        }
    }
    return true;
}

// A sample is quiet when its keys are all exact strs and its three measures
// plain numbers: looking the measures up runs no key's own comparison and
// adding them runs no addition of their own. Small samples are scanned once
// instead of looked up three times; larger ones take the general route.
enum class Quiet { read, absent, no };
constexpr Py_ssize_t kQuietScanLimit = 16;

Quiet read_quiet_sample(PyObject* sample, double (&values)[3]) {
    if (PyDict_GET_SIZE(sample) > kQuietScanLimit) return Quiet::no;
    bool found[3] = {false, false, false};
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(sample, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return Quiet::no;
        for (int m = 0; m < 3; ++m) {
            if (str_equal(key, k.sample_keys[m].get())) {
                if (!plain_double(value, values[m])) return Quiet::no;
                found[m] = true;
                break;
            }
        }
    }
    return found[0] && found[1] && found[2] ? Quiet::read : Quiet::absent;
}

}  // namespace

struct detect_workload_characteristics_change {
    static constexpr const char* name = "detect_workload_characteristics_change";
    static constexpr const char* doc = R"(
    Detect significant changes in workload characteristics.

    IP-PROTECTED: Workload pattern shift detection algorithm.

    Args:
        pattern_history: List of dicts with parallelization_potential,
                        cpu_intensity, memory_intensity fields
        change_threshold: Threshold for significant change (default 0.3)

    Returns:
        Tuple: (changed: bool, parallel_change, cpu_change, memory_change)
    )";
    static constexpr std::array params{Param{"pattern_history"}, Param{"change_threshold", 0.3}};
    static PyObject* run(List pattern_history, double change_threshold) {
        if (pattern_history.is_none()) return raise_none_has_no_len();
        PyObject* history = pattern_history.obj;
        const Py_ssize_t n = PyList_GET_SIZE(history);
        if (n < 6) return k.no_change.new_ref();
        // A sample without one of the measures makes the comparison moot.
        // While every sample is quiet no code has run, so the values read
        // here are the ones the sums would read; after the first sample that
        // is not, the sums read every value afresh, in their own order.
        double plain[6][3];
        bool quiet = true;
        for (Py_ssize_t i = 0; i < 6; ++i) {
            Ref sample;
            if (!sample_at(history, n - 6 + i, sample)) return nullptr;
            if (quiet) {
                const Quiet read = read_quiet_sample(sample.get(), plain[i]);
                if (read == Quiet::absent) return k.no_change.new_ref();
                if (read == Quiet::read) continue;
                quiet = false;
            }
            for (int key = 0; key < 3; ++key) {
                if (PyDict_GetItemWithError(sample.get(), k.sample_keys[key].get()) == nullptr) {
                    if (PyErr_Occurred()) return nullptr;
                    return k.no_change.new_ref();
                }
            }
        }
        double recent[3] = {0.0, 0.0, 0.0};
        double older[3] = {0.0, 0.0, 0.0};
        if (quiet) {
            for (int i = 0; i < 6; ++i) {
                double* sums = i < 3 ? older : recent;
                for (int key = 0; key < 3; ++key) sums[key] += plain[i][key];
            }
        } else if (!sum_samples(history, n - 3, recent) || !sum_samples(history, n - 6, older)) {
            return nullptr;
        }
        const WorkloadChange w = workload_change(recent, older, change_threshold);
        Ref result = Ref::steal(PyTuple_New(4));
        if (!result) return nullptr;
        PyTuple_SET_ITEM(result.get(), 0, py_bool(w.changed));
        for (int key = 0; key < 3; ++key) {
            PyObject* change = PyFloat_FromDouble(w.change[key]);
            if (change == nullptr) return nullptr;
            PyTuple_SET_ITEM(result.get(), key + 1, change);
        }
        return result.release();
    }
};

namespace {

bool is_pattern_name(PyObject* entry) {
    if (entry == Py_None || PyUnicode_CheckExact(entry)) return true;
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(entry)->tp_name);
    return false;
}

bool same_pattern(PyObject* a, PyObject* b) {
    return a == b || (a != Py_None && b != Py_None && str_equal(a, b));
}

// Windows of a few names, the usual case, are tallied in place, in the
// order names first occur: no dict, no count objects, and no code runs, so
// the list cannot change under the walk.
constexpr Py_ssize_t kSmallWindow = 16;

PyObject* dominant_in_small_window(PyObject* list, Py_ssize_t start, Py_ssize_t end) {
    PyObject* names[kSmallWindow];
    std::int64_t counts[kSmallWindow];
    std::int64_t distinct = 0;
    for (Py_ssize_t i = start; i < end; ++i) {
        PyObject* entry = PyList_GET_ITEM(list, i);
        if (!is_pattern_name(entry)) return nullptr;
        std::int64_t j = 0;
        while (j < distinct && !same_pattern(names[j], entry)) ++j;
        if (j == distinct) {
            names[distinct] = entry;
            counts[distinct++] = 0;
        }
        ++counts[j];
    }
    DominantScan scan;
    for (std::int64_t j = 0; j < distinct; ++j) scan.offer(j, counts[j]);
    return Py_NewRef(scan.index < 0 ? k.mixed.get() : names[scan.index]);
}

}  // namespace

struct detect_dominant_pattern {
    static constexpr const char* name = "detect_dominant_pattern";
    static constexpr const char* doc = R"(
    Detect the dominant pattern in a list of pattern names.

    IP-PROTECTED: Pattern frequency analysis.

    Args:
        patterns: List of pattern name strings
        window_size: Number of recent patterns to consider

    Returns:
        The most frequent pattern in the window
    )";
    static constexpr std::array params{Param{"patterns"}, Param{"window_size", 5}};
    static PyObject* run(List patterns, std::int32_t window_size) {
        if (patterns.is_none()) return raise_none_has_no_len();
        PyObject* list = patterns.obj;
        const Py_ssize_t n = PyList_GET_SIZE(list);
        if (n == 0) return k.mixed.new_ref();
        const Py_ssize_t start = pattern_window_start(n, window_size);
        if (n - start <= kSmallWindow) return dominant_in_small_window(list, start, n);
        // Dicts keep insertion order: the scan below meets names in the order
        // they first occur, which settles ties.
        const Ref counts = Ref::steal(PyDict_New());
        if (!counts) return nullptr;
        // Inserting may collect garbage and so run arbitrary code: the length
        // is read again at every step.
        for (Py_ssize_t i = start; i < n && i < PyList_GET_SIZE(list); ++i) {
            const Ref entry = Ref::borrow(PyList_GET_ITEM(list, i));
            if (!is_pattern_name(entry.get())) return nullptr;
            PyObject* seen = PyDict_GetItemWithError(counts.get(), entry.get());
            if (seen == nullptr && PyErr_Occurred()) return nullptr;
            const Py_ssize_t previous = seen != nullptr ? PyLong_AsSsize_t(seen) : 0;
            const Ref count = Ref::steal(PyLong_FromSsize_t(previous + 1));
            if (!count || PyDict_SetItem(counts.get(), entry.get(), count.get()) < 0) {
                return nullptr;
            }
        }
        PyObject* dominant = k.mixed.get();
        DominantScan scan;
        Py_ssize_t pos = 0;
        PyObject* name;
        PyObject* count;
        for (std::int64_t seen = 0; PyDict_Next(counts.get(), &pos, &name, &count); ++seen) {
            scan.offer(seen, PyLong_AsSsize_t(count));
            if (scan.index == seen) dominant = name;
        }
        return Py_NewRef(dominant);
    }
};

struct is_adaptation_beneficial {
    static constexpr const char* name = "is_adaptation_beneficial";
    static constexpr const char* doc = R"(
    Determine if pool adaptation would be beneficial.

    IP-PROTECTED: Core adaptation decision algorithm.

    Args:
        current_pool: Current pool type name
        recommended_pool: Recommended pool type name
        recommendation_score: Score of the recommendation (0-1)
        recommendation_confidence: Confidence level (0-1)
        current_performance_estimate: Current pool performance estimate
        trigger_code: The adaptation trigger type
        min_improvement_ratio: Minimum improvement ratio required
        min_confidence: Minimum confidence required

    Returns:
        True if adaptation is recommended
    )";
    static constexpr std::array params{Param{"current_pool"},
                                       Param{"recommended_pool"},
                                       Param{"recommendation_score"},
                                       Param{"recommendation_confidence"},
                                       Param{"current_performance_estimate"},
                                       Param{"trigger_code"},
                                       Param{"min_improvement_ratio", 1.1},
                                       Param{"min_confidence", 0.6}};
    static PyObject* run(Str current_pool, Str recommended_pool, double recommendation_score,
                         double recommendation_confidence, double current_performance_estimate,
                         std::int32_t trigger_code, double min_improvement_ratio,
                         double min_confidence) {
        PyObject* current = current_pool.obj;
        PyObject* recommended = recommended_pool.obj;
        const bool same_pool =
            current == recommended ||
            (current != Py_None && recommended != Py_None && str_equal(current, recommended));
        return py_bool(adaptation_beneficial(same_pool, recommendation_score,
                                             recommendation_confidence,
                                             current_performance_estimate, trigger_code,
                                             min_improvement_ratio, min_confidence));
    }
};

struct should_skip_adaptation {
    static constexpr const char* name = "should_skip_adaptation";
    static constexpr const char* doc = R"(
    Check if adaptation should be skipped due to timing.

    IP-PROTECTED: Adaptation cooldown logic.

    Args:
        last_adaptation_time: Timestamp of last adaptation
        current_time: Current timestamp
        min_interval: Minimum seconds between adaptations

    Returns:
        True if adaptation should be skipped
    )";
    static constexpr std::array params{Param{"last_adaptation_time"}, Param{"current_time"},
                                       Param{"min_interval"}};
    static PyObject* run(double last_adaptation_time, double current_time, double min_interval) {
        return py_bool(skip_adaptation(last_adaptation_time, current_time, min_interval));
    }
};

struct detect_memory_pressure {
    static constexpr const char* name = "detect_memory_pressure";
    static constexpr const char* doc = R"(
    Detect memory pressure conditions.

    IP-PROTECTED: Memory pressure detection algorithm.

    Args:
        current_usage: Current memory usage in bytes
        peak_usage: Peak memory usage in bytes
        pressure_threshold: Threshold ratio (default 0.8 = 80%)

    Returns:
        True if memory pressure detected
    )";
    static constexpr std::array params{Param{"current_usage"}, Param{"peak_usage"},
                                       Param{"pressure_threshold", 0.8}};
    static PyObject* run(double current_usage, double peak_usage, double pressure_threshold) {
        return py_bool(memory_pressure_detected(current_usage, peak_usage, pressure_threshold));
    }
};

struct detect_fragmentation_threshold {
    static constexpr const char* name = "detect_fragmentation_threshold";
    static constexpr const char* doc = R"(
    Check if fragmentation exceeds threshold.

    IP-PROTECTED: Fragmentation evaluation.

    Args:
        fragmentation_ratio: Current fragmentation ratio (0-1)
        threshold: Fragmentation threshold (default 0.3 = 30%)

    Returns:
        True if fragmentation exceeds threshold
    )";
    static constexpr std::array params{Param{"fragmentation_ratio"}, Param{"threshold", 0.3}};
    static PyObject* run(double fragmentation_ratio, double threshold) {
        return py_bool(fragmentation_exceeded(fragmentation_ratio, threshold));
    }
};

struct calculate_adaptation_urgency {
    static constexpr const char* name = "calculate_adaptation_urgency";
    static constexpr const char* doc = R"(
    Calculate urgency score for adaptation.

    IP-PROTECTED: Urgency scoring algorithm for prioritizing adaptations.

    Args:
        performance_degradation: Performance degradation ratio (0-1)
        memory_pressure: Memory pressure ratio (0-1)
        fragmentation_ratio: Fragmentation ratio (0-1)
        workload_changed: Whether workload pattern changed

    Returns:
        Urgency score from 0.0 (no urgency) to 1.0 (critical)
    )";
    static constexpr std::array params{Param{"performance_degradation"}, Param{"memory_pressure"},
                                       Param{"fragmentation_ratio"}, Param{"workload_changed"}};
    static PyObject* run(double performance_degradation, double memory_pressure,
                         double fragmentation_ratio, bool workload_changed) {
        return PyFloat_FromDouble(adaptation_urgency(performance_degradation, memory_pressure,
                                                     fragmentation_ratio, workload_changed));
    }
};

struct score_pool_recommendation {
    static constexpr const char* name = "score_pool_recommendation";
    static constexpr const char* doc = R"(
    Score a pool recommendation based on multiple factors.

    IP-PROTECTED: Pool recommendation scoring algorithm.

    Args:
        workload_fit: How well pool fits workload (0-1)
        memory_fit: How well pool fits memory pattern (0-1)
        thread_count_fit: How well pool handles thread count (0-1)
        historical_success_rate: Past success rate with this pool (0-1)

    Returns:
        Combined score from 0.0 to 1.0
    )";
    static constexpr std::array params{Param{"workload_fit"}, Param{"memory_fit"},
                                       Param{"thread_count_fit"}, Param{"historical_success_rate"}};
    static PyObject* run(double workload_fit, double memory_fit, double thread_count_fit,
                         double historical_success_rate) {
        return PyFloat_FromDouble(
            pool_score(workload_fit, memory_fit, thread_count_fit, historical_success_rate));
    }
};

namespace {

// The timestamp of entry `index`: entry[0], converted. Exact tuples and lists
// are indexed directly; an empty one fails as unpacking it would.
bool timestamp_at(PyObject* list, Py_ssize_t index, double& out) {
    if (index >= PyList_GET_SIZE(list)) return raise_index_error();
    const Ref entry = Ref::borrow(PyList_GET_ITEM(list, index));
    Ref item;
    if (PyTuple_CheckExact(entry.get()) || PyList_CheckExact(entry.get())) {
        const bool is_tuple = PyTuple_CheckExact(entry.get());
        const Py_ssize_t size =
            is_tuple ? PyTuple_GET_SIZE(entry.get()) : PyList_GET_SIZE(entry.get());
        if (size == 0) {
            raise_need_more_values(0);
            return false;
        }
        item = Ref::borrow(is_tuple ? PyTuple_GET_ITEM(entry.get(), 0)
                                    : PyList_GET_ITEM(entry.get(), 0));
    } else {
        item = Ref::steal(PyObject_GetItem(entry.get(), k.zero.get()));
        if (!item) return false;
    }
    return to_double(item.get(), out);
}

}  // namespace

struct predict_resource_requirements {
    static constexpr const char* name = "predict_resource_requirements";
    static constexpr const char* doc = R"(
    Predict future resource requirements based on allocation history.

    IP-PROTECTED: Resource prediction algorithm.

    Args:
        allocation_history: List of (timestamp, size) tuples
        prediction_horizon_seconds: How far ahead to predict

    Returns:
        Tuple: (predicted_allocations, predicted_total_bytes, confidence)
    )";
    static constexpr std::array params{Param{"allocation_history"},
                                       Param{"prediction_horizon_seconds"}};
    static PyObject* run(List allocation_history, double prediction_horizon_seconds) {
        if (allocation_history.is_none()) return raise_none_has_no_len();
        PyObject* history = allocation_history.obj;
        const Py_ssize_t n = PyList_GET_SIZE(history);
        if (!prediction_reads_entries(n)) return k.no_prediction.new_ref();
        double first_time;
        double last_time;
        if (!timestamp_at(history, 0, first_time) || !timestamp_at(history, n - 1, last_time)) {
            return nullptr;
        }
        const double span = last_time - first_time;
        if (!prediction_reads_sizes(span)) return k.no_prediction.new_ref();
        SizeTotal sizes;
        if (!for_each_pair(history, n, sizes)) return nullptr;
        const Prediction p = predict(n, span, sizes.total, prediction_horizon_seconds);
        if (!p.made) return k.no_prediction.new_ref();
        // Ints of any size rather than wrapped 32-bit values.
        const Ref predicted_allocations = Ref::steal(PyLong_FromDouble(p.allocations));
        const Ref predicted_bytes = Ref::steal(PyLong_FromDouble(p.bytes));
        const Ref confidence_object = Ref::steal(PyFloat_FromDouble(p.confidence));
        if (!predicted_allocations || !predicted_bytes || !confidence_object) return nullptr;
        return PyTuple_Pack(3, predicted_allocations.get(), predicted_bytes.get(),
                            confidence_object.get());
    }
};

namespace {

bool run_body(PyObject* module) {
    return define<detect_performance_degradation>(module) &&
           define<calculate_performance_trend>(module) &&
           define<detect_workload_characteristics_change>(module) &&
           define<detect_dominant_pattern>(module) && define<is_adaptation_beneficial>(module) &&
           define<should_skip_adaptation>(module) && define<detect_memory_pressure>(module) &&
           define<detect_fragmentation_threshold>(module) &&
           define<calculate_adaptation_urgency>(module) &&
           define<score_pool_recommendation>(module) &&
           define<predict_resource_requirements>(module) &&
           log_load_line(module, "Velkora Adaptlogic Cython module loaded - IP protected") &&
           bind_test_dict(module);
}

const ModuleDescription description{
    "adaptlogic",
    "velkora.plugins.analyzer.adaptlogic",
    "Algorithms for dynamic pool switching and adaptation decisions: performance degradation\n"
    "detection, workload change detection, adaptation benefit scoring and memory pressure\n"
    "evaluation.",
    build_constants,
    run_body,
    release_constants,
};

ModuleState state;

}  // namespace

}  // namespace velkora::adaptlogic

PyMODINIT_FUNC PyInit_adaptlogic() {
    return velkora::init_module(velkora::adaptlogic::state, velkora::adaptlogic::description);
}
