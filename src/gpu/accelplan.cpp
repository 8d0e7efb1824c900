// velkora.gpu.accelplan: GPU memory planning rules.
#include "common/binding.hpp"
#include "common/module.hpp"
#include "gpu/planning.hpp"

namespace velkora::accelplan {

namespace {

struct Constants {
    Ref decision_no_memory;
    Ref decision_fits;
    Ref decision_not_chunkable;
};
// Never destroyed: it must outlive interpreter finalisation at process exit.
Constants& k = *new Constants();

bool build_constants() {
    k.decision_no_memory = Ref::steal(Py_BuildValue("(iiis)", 2, 0, 1, "No GPU memory available"));
    k.decision_fits = Ref::steal(Py_BuildValue("(iiis)", 0, 0, 1, "Allocation fits in GPU memory"));
    k.decision_not_chunkable = Ref::steal(
        Py_BuildValue("(iiis)", 2, 0, 1, "Operation not chunkable, falling back to CPU"));
    return k.decision_no_memory && k.decision_fits && k.decision_not_chunkable;
}

void release_constants() { k = Constants{}; }

}  // namespace

struct calculate_safe_limit {
    static constexpr const char* name = "calculate_safe_limit";
    static constexpr const char* doc = R"(
    Calculate safe allocation limit with headroom.

    IP-PROTECTED: Safety margin calculation for GPU memory.

    Args:
        available_bytes: Total available GPU memory
        headroom_ratio: Fraction to keep as safety headroom (0.0-1.0)

    Returns:
        Safe allocation limit in bytes
    )";
    static constexpr std::array params{Param{"available_bytes"}, Param{"headroom_ratio"}};
    static PyObject* run(std::uint64_t available_bytes, double headroom_ratio) {
        return PyLong_FromUnsignedLongLong(safe_limit(available_bytes, headroom_ratio));
    }
};

namespace {

bool run_body(PyObject* module) {
    return define<calculate_safe_limit>(module) &&
           log_load_line(module, "Velkora Accelplan Cython module loaded - IP protected") &&
           bind_test_dict(module);
}

const ModuleDescription description{
    "accelplan",
    "velkora.gpu.accelplan",
    "GPU memory management algorithms: memory estimation with dynamic headroom, a three-tier\n"
    "allocation strategy decision, chunk size calculation for large arrays and out-of-memory\n"
    "detection heuristics.",
    build_constants,
    run_body,
    release_constants,
};

ModuleState state;

}  // namespace

}  // namespace velkora::accelplan

PyMODINIT_FUNC PyInit_accelplan() {
    return velkora::init_module(velkora::accelplan::state, velkora::accelplan::description);
}
