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

inline constexpr std::int64_t no_interpreter = -1;

// One per shared library: the frame is linked statically into each module's
// library with hidden symbols, so each library holds its own copy of the
// frame's data and the create and exec steps reach this module's state even
// for a module object that was not made from its definition.
struct ModuleState {
    PyModuleDef def;
    PyModuleDef_Slot slots[4];
    const ModuleDescription* description;
    // The interpreter of the first successful create, no_interpreter before it.
    std::atomic<std::int64_t> interpreter_id{no_interpreter};
    PyObject* module;   // the object the create step made, held for the process
    bool initialised;   // the exec step completed for it
    void* replaced_state;  // see create_module
};

// Returns the module definition for the interpreter; call from PyInit_<name>.
PyObject* init_module(ModuleState& state, const ModuleDescription& description);

// What `import <name>` (fromlist null) or `from <name> import ...` does in code
// with these globals and locals: a replaced `__import__` of the builtins is
// called with the statement's arguments; the interpreter's own goes straight
// to the import machinery. `builtins` is the builtins namespace dict.
Ref import_statement(PyObject* globals, PyObject* builtins, PyObject* locals, PyObject* name,
                     PyObject* fromlist);

// The builtins namespace of a module dict (its `__builtins__`, module or dict),
// borrowed; null with ImportError set when there is none.
PyObject* builtins_of(PyObject* globals);

// Module-body statements.
bool import_as(PyObject* module, const char* name);
bool log_load_line(PyObject* module, const char* line);
bool bind_test_dict(PyObject* module);

// Interned strings and constants of a module's table.
bool intern(Ref& slot, const char* text);

}  // namespace velkora
