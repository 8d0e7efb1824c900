// velkora.plugins.analyzer.adaptlogic: decision rules of the adaptive pool controller.
#include "common/binding.hpp"
#include "common/module.hpp"

namespace velkora::adaptlogic {

namespace {

bool build_constants() { return true; }
void release_constants() {}

bool run_body(PyObject* module) {
    return log_load_line(module, "Velkora Adaptlogic Cython module loaded - IP protected") &&
           bind_test_dict(module);
}

const ModuleDescription description{
    "adaptlogic",
    "velkora.plugins.analyzer.adaptlogic",
    "Algorithms for dynamic pool switching and adaptation decisions.",
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
