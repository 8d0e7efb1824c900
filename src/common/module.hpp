// Module creation and initialisation (multi-phase): the one-interpreter rule,
// one module object per process, the constant table and the module body.
#pragma once

#include "common/ref.hpp"

#include <atomic>
#include <cstdint>

namespace velkora {

struct ModuleDescription {
    const char* short_name;      // "accelplan"
    const char* qualified_name;  // "velkora.gpu.accelplan"
    const char* doc;
    bool (*build_constants)();           // makes the constant table
    bool (*run_body)(PyObject* module);  // the module body, statement by statement
    void (*release_constants)();         // after a failed initialisation
};

struct ModuleState {
    PyModuleDef def;  // first member: the create and exec steps find the state from it
    PyModuleDef_Slot slots[4];
    const ModuleDescription* description;
    std::atomic<std::int64_t> interpreter_id;
    PyObject* module;
};

// Returns the module definition for the interpreter; call from PyInit_<name>.
PyObject* init_module(ModuleState& state, const ModuleDescription& description);

// Module-body statements.
bool import_as(PyObject* module, const char* name);
bool log_load_line(PyObject* module, const char* line);
bool bind_test_dict(PyObject* module);

// Interned strings and constants of a module's table.
bool intern(Ref& slot, const char* text);

}  // namespace velkora
