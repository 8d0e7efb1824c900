#include "common/module.hpp"

#include "common/binding.hpp"

#include <frameobject.h>

#include <cstring>
#include <utility>

namespace velkora {

namespace {

// This library's module (see ModuleState); set by init_module.
ModuleState* this_module = nullptr;

constexpr const char* interpreter_change_message =
    "Interpreter change detected - this module can only be loaded into one interpreter per "
    "process.";

bool copy_spec_attr(PyObject* spec, PyObject* dict, const char* from, const char* to,
                    bool skip_none) {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return true;
        }
        return false;
    }
    if (skip_none && value.get() == Py_None) return true;
    return PyDict_SetItemString(dict, to, value.get()) == 0;
}

PyObject* make_module(PyObject* spec) {
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (!copy_spec_attr(spec, dict, "loader", "__loader__", false) ||
        !copy_spec_attr(spec, dict, "origin", "__file__", false) ||
        !copy_spec_attr(spec, dict, "parent", "__package__", false) ||
        !copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", true)) {
        return nullptr;
    }
    return module.release();
}

PyObject* create_module(PyObject* spec, PyModuleDef*) {
    ModuleState& state = *this_module;
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current < 0) return nullptr;
    // Claim the process for this interpreter before touching any state: the
    // module object of another interpreter may belong to one already destroyed.
    std::int64_t recorded = no_interpreter;
    const bool claimed = state.interpreter_id.compare_exchange_strong(recorded, current);
    if (!claimed && recorded != current) {
        PyErr_SetString(PyExc_ImportError, interpreter_change_message);
        return nullptr;
    }
    if (state.module != nullptr) {
        // The import machinery forgets the state block of a module that
        // create hands back and gives it a new one; exec frees the old.
        state.replaced_state = PyModule_GetState(state.module);
        return Py_NewRef(state.module);
    }
    PyObject* module = make_module(spec);
    if (module == nullptr) {
        // Only a successful create records the interpreter.
        if (claimed) state.interpreter_id.store(no_interpreter);
        return nullptr;
    }
    state.module = Py_NewRef(module);
    state.initialised = false;
    return module;
}

// Adds a traceback entry "init <qualified name>" to the pending exception.
void add_init_traceback(const char* qualified_name) {
    PyObject* exc = PyErr_GetRaisedException();
    Ref funcname = Ref::steal(PyUnicode_FromFormat("init %s", qualified_name));
    Ref globals = Ref::steal(PyDict_New());
    PyFrameObject* frame = nullptr;
    if (funcname && globals) {
        PyCodeObject* code =
            PyCode_NewEmpty(qualified_name, PyUnicode_AsUTF8(funcname.get()), 1);
        if (code != nullptr) {
            frame = PyFrame_New(PyThreadState_Get(), code, globals.get(), nullptr);
            Py_DECREF(code);
        }
    }
    // A failure to build the entry must not replace the import's own error.
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
    if (frame != nullptr) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

bool check_runtime_version(const char* qualified_name) {
    const int major = static_cast<int>((Py_Version >> 24) & 0xff);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return true;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime "
                            "version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, qualified_name, "does not match",
                            major, minor) == 0;
}

bool register_in_sys_modules(PyObject* module, const char* qualified_name) {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* existing = PyDict_GetItemString(modules, qualified_name);
    if (existing != nullptr) return true;
    return PyDict_SetItemString(modules, qualified_name, module) == 0;
}

int exec_module(PyObject* module) {
    ModuleState& state = *this_module;
    const ModuleDescription& d = *state.description;
    // Only the object this process's create step made may be initialised, and
    // only once; any other (a second object, one made elsewhere) is refused.
    if (module != state.module) {
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     d.short_name);
        return -1;
    }
    if (state.initialised) {
        void* replaced = std::exchange(state.replaced_state, nullptr);
        if (replaced != nullptr && replaced != PyModule_GetState(module)) PyMem_Free(replaced);
        return 0;
    }
    state.initialised = true;  // the body's own imports may re-enter this step
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    const bool ok = builtins && PyModule_AddObjectRef(module, "__builtins__", builtins.get()) == 0 &&
                    check_runtime_version(d.qualified_name) && d.build_constants() &&
                    register_in_sys_modules(module, d.qualified_name) && d.run_body(module);
    if (ok) return 0;
    if (!PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "init %s", d.qualified_name);
    add_init_traceback(d.qualified_name);
    // A failed initialisation leaves nothing behind, so a later import starts
    // over instead of handing out a half-built module.
    // The claim goes last: until then no other interpreter can import and
    // reach what this one made.
    state.initialised = false;
    state.replaced_state = nullptr;
    release_functions();
    d.release_constants();
    Py_CLEAR(state.module);
    state.interpreter_id.store(no_interpreter);
    return -1;
}

}  // namespace

PyObject* init_module(ModuleState& state, const ModuleDescription& description) {
    this_module = &state;
    state.description = &description;
    state.slots[0] = {Py_mod_create, reinterpret_cast<void*>(&create_module)};
    state.slots[1] = {Py_mod_exec, reinterpret_cast<void*>(&exec_module)};
    // Declared so that a sub-interpreter's import reaches the create step,
    // where the one-interpreter rule decides.
    state.slots[2] = {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED};
    state.slots[3] = {0, nullptr};
    state.def = {PyModuleDef_HEAD_INIT,
                 description.qualified_name,
                 description.doc,
                 0,
                 nullptr,
                 state.slots,
                 nullptr,
                 nullptr,
                 nullptr};
    return PyModuleDef_Init(&state.def);
}

namespace {

// Borrowed entry of a dict under a str key, null (with an error only if one
// occurred) when absent. The key object is made in the calling interpreter:
// nothing is cached across interpreters.
PyObject* dict_item(PyObject* dict, const char* key) {
    Ref name = Ref::steal(PyUnicode_FromString(key));
    return name ? PyDict_GetItemWithError(dict, name.get()) : nullptr;
}

}  // namespace

PyObject* builtins_of(PyObject* globals) {
    PyObject* builtins = dict_item(globals, "__builtins__");
    if (builtins != nullptr && PyModule_Check(builtins)) builtins = PyModule_GetDict(builtins);
    if (builtins != nullptr && PyDict_Check(builtins)) return builtins;
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "__builtins__ not found");
    return nullptr;
}

namespace {

// The interpreter's own `__import__`: the builtin function of that name bound
// to the builtins module.
bool is_original_import(PyObject* func) {
    if (!PyCFunction_Check(func)) return false;
    const PyMethodDef* def = reinterpret_cast<PyCFunctionObject*>(func)->m_ml;
    PyObject* self = PyCFunction_GET_SELF(func);
    if (def == nullptr || std::strcmp(def->ml_name, "__import__") != 0 || self == nullptr ||
        !PyModule_Check(self)) {
        return false;
    }
    const char* owner = PyModule_GetName(self);
    if (owner == nullptr) {
        PyErr_Clear();
        return false;
    }
    return std::strcmp(owner, "builtins") == 0;
}

}  // namespace

Ref import_statement(PyObject* globals, PyObject* builtins, PyObject* locals, PyObject* name,
                     PyObject* fromlist) {
    Ref import_func = Ref::borrow(dict_item(builtins, "__import__"));
    if (!import_func) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "__import__ not found");
        return Ref();
    }
    if (is_original_import(import_func.get())) {
        return Ref::steal(PyImport_ImportModuleLevelObject(name, globals, locals, fromlist, 0));
    }
    Ref level = Ref::steal(PyLong_FromLong(0));
    if (!level) return Ref();
    PyObject* args[] = {name, globals, locals != nullptr ? locals : Py_None,
                        fromlist != nullptr ? fromlist : Py_None, level.get()};
    return Ref::steal(PyObject_Vectorcall(import_func.get(), args, 5, nullptr));
}

bool import_as(PyObject* module, const char* name) {
    PyObject* globals = PyModule_GetDict(module);
    PyObject* builtins = builtins_of(globals);
    Ref bound_name = Ref::steal(PyUnicode_InternFromString(name));
    if (builtins == nullptr || !bound_name) return false;
    // Module-level code: its locals are its globals.
    Ref imported = import_statement(globals, builtins, globals, bound_name.get(), nullptr);
    return imported && PyDict_SetItem(globals, bound_name.get(), imported.get()) == 0;
}

bool log_load_line(PyObject* module, const char* line) {
    if (!import_as(module, "logging")) return false;
    Ref logging = Ref::steal(PyObject_GetAttrString(module, "logging"));
    if (!logging) return false;
    Ref module_name = Ref::steal(PyObject_GetAttrString(module, "__name__"));
    if (!module_name) return false;
    Ref logger = Ref::steal(PyObject_CallMethod(logging.get(), "getLogger", "O", module_name.get()));
    if (!logger || PyObject_SetAttrString(module, "logger", logger.get()) < 0) return false;
    Ref logged = Ref::steal(PyObject_CallMethod(logger.get(), "info", "s", line));
    return static_cast<bool>(logged);
}

bool bind_test_dict(PyObject* module) {
    Ref dict = Ref::steal(PyDict_New());
    return dict && PyObject_SetAttrString(module, "__test__", dict.get()) == 0;
}

bool intern(Ref& slot, const char* text) {
    slot = Ref::steal(PyUnicode_InternFromString(text));
    return static_cast<bool>(slot);
}

}  // namespace velkora
