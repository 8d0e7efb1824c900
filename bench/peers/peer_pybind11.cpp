// The rules bound through pybind11, with the modules' parameter names and
// defaults: the long-standing default choice for C++ bindings.
#include "peers/peer_rules.hpp"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>


namespace py = pybind11;
using namespace py::literals;

namespace {

py::list compute_chunk_shapes(py::tuple shape, std::int32_t element_size,
                              std::uint64_t max_chunk_bytes) {
    if (element_size <= 0) throw py::value_error("element_size must be positive");
    if (max_chunk_bytes == 0) throw py::value_error("max_chunk_bytes must be positive");
    py::list chunks;
    const size_t size = shape.size();
    if (size == 0) {
        chunks.append(shape);
        return chunks;
    }
    auto row_bytes = static_cast<std::uint64_t>(element_size);
    for (size_t i = 1; i < size; ++i) {
        row_bytes = peer::saturating_mul(row_bytes, shape[i].cast<std::uint64_t>());
    }
    const peer::ChunkRows rows = peer::split_rows(
        shape[0].cast<std::int32_t>(), peer::rows_per_chunk(row_bytes, max_chunk_bytes));
    for (std::uint64_t c = 0; c < rows.count; ++c) {
        py::tuple chunk(size);
        chunk[0] = py::int_(c + 1 < rows.count ? rows.full : rows.last);
        for (size_t i = 1; i < size; ++i) chunk[i] = shape[i];
        chunks.append(chunk);
    }
    return chunks;
}

std::tuple<bool, double, double, double> detect_workload_characteristics_change(
    py::list pattern_history, double change_threshold) {
    const size_t n = pattern_history.size();
    if (n < 6) return {false, 0.0, 0.0, 0.0};
    const py::str keys[3] = {py::str(peer::kSampleKeys[0]), py::str(peer::kSampleKeys[1]),
                             py::str(peer::kSampleKeys[2])};
    for (size_t i = n - 6; i < n; ++i) {
        py::dict sample = pattern_history[i].cast<py::dict>();
        for (const py::str& key : keys) {
            if (!sample.contains(key)) return {false, 0.0, 0.0, 0.0};
        }
    }
    double recent[3] = {0.0, 0.0, 0.0};
    double older[3] = {0.0, 0.0, 0.0};
    for (size_t i = n - 6; i < n; ++i) {
        py::dict sample = pattern_history[i].cast<py::dict>();
        double* sums = i >= n - 3 ? recent : older;
        for (int key = 0; key < 3; ++key) sums[key] += sample[keys[key]].cast<double>();
    }
    const peer::WorkloadChange w = peer::workload_change(recent, older, change_threshold);
    return {w.changed, w.change[0], w.change[1], w.change[2]};
}

py::str detect_dominant_pattern(py::list patterns, std::int32_t window_size) {
    const auto n = static_cast<std::int64_t>(patterns.size());
    const std::optional<std::string_view> dominant =
        peer::dominant_name(n, window_size, [&](std::int64_t i) {
            return patterns[static_cast<size_t>(i)].cast<std::string_view>();
        });
    if (!dominant) return py::str("mixed");
    return py::str(dominant->data(), dominant->size());
}

}  // namespace

PYBIND11_MODULE(peer_pybind11, m) {
    // The library version the peer was built with, for the results file.
    m.attr("binding_version") =
        py::make_tuple(PYBIND11_VERSION_MAJOR, PYBIND11_VERSION_MINOR, PYBIND11_VERSION_MICRO);
#include "peers/peer_defs.inc"
}
