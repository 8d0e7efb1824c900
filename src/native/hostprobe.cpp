// velkora.native.hostprobe: what the host and the interpreter offer.
#include "common/binding.hpp"
#include "common/module.hpp"

namespace velkora::hostprobe {

namespace {

bool build_constants() { return true; }
void release_constants() {}

bool run_body(PyObject* module) {
    return import_as(module, "sys") && import_as(module, "os") && import_as(module, "time") &&
           bind_test_dict(module);
}

const ModuleDescription description{
    "hostprobe",
    "velkora.native.hostprobe",
    "Fast hardware capability detection.",
    build_constants,
    run_body,
    release_constants,
};

ModuleState state;

}  // namespace

}  // namespace velkora::hostprobe

PyMODINIT_FUNC PyInit_hostprobe() {
    return velkora::init_module(velkora::hostprobe::state, velkora::hostprobe::description);
}
