// The rules bound through nanobind, with the modules' parameter names and
// defaults: the binding most C++ developers would reach for first.
#include "peers/peer_rules.hpp"

#include <nanobind/nanobind.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>


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
    const std::optional<std::string_view> dominant =
        peer::dominant_name(n, window_size, [&](std::int64_t i) {
            return nb::cast<std::string_view>(patterns[static_cast<size_t>(i)]);
        });
    if (!dominant) return nb::str("mixed");
    return nb::str(dominant->data(), dominant->size());
}

}  // namespace

NB_MODULE(peer_nanobind, m) {
    // The library version the peer was built with, for the results file.
    m.attr("binding_version") =
        nb::make_tuple(NB_VERSION_MAJOR, NB_VERSION_MINOR, NB_VERSION_PATCH);
#include "peers/peer_defs.inc"
}
