// Interpreter operations as module-level Python code performs them: names
// resolved in the module's namespace and then the builtins at the moment of
// use, truth tests, `==` against a string, `from m import name`, and the
// state an `except` clause keeps while its body runs.
#pragma once

#include "common/ref.hpp"

namespace velkora::hostprobe {

// A global name: the module's namespace, then the builtins; NameError if
// neither has it.
inline Ref load_global(PyObject* globals, PyObject* builtins, PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(globals, name);
    if (value != nullptr) return Ref::borrow(value);
    if (PyErr_Occurred()) return {};
    value = PyDict_GetItemWithError(builtins, name);
    if (value != nullptr) return Ref::borrow(value);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

// The truth value: 1, 0, or -1 with the exception set.
inline int truth(PyObject* obj) {
    if (obj == Py_True) return 1;
    if (obj == Py_False || obj == Py_None) return 0;
    return PyObject_IsTrue(obj);
}

// `obj == literal` taken as a truth value; exact strings compare directly,
// anything else goes through the interpreter's comparison.
inline int equals_str(PyObject* obj, PyObject* literal) {
    if (PyUnicode_CheckExact(obj)) return PyUnicode_Compare(obj, literal) == 0 ? 1 : 0;
    Ref result = Ref::steal(PyObject_RichCompare(obj, literal, Py_EQ));
    return result ? truth(result.get()) : -1;
}

// `hasattr(obj, name)`: 1, 0, or -1 when reading the attribute raised
// something other than AttributeError.
inline int has_attr(PyObject* obj, PyObject* name) {
    Ref value = Ref::steal(PyObject_GetAttr(obj, name));
    if (value) return 1;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
}

// One name of `from <module> import <name>`: the attribute, else a submodule
// already in sys.modules, else ImportError as the import statement raises it.
inline Ref import_from(PyObject* module, PyObject* name) {
    Ref value = Ref::steal(PyObject_GetAttr(module, name));
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
    PyErr_Clear();
    Ref module_name = Ref::steal(PyObject_GetAttrString(module, "__name__"));
    if (module_name && PyUnicode_Check(module_name.get())) {
        Ref full = Ref::steal(PyUnicode_FromFormat("%U.%U", module_name.get(), name));
        if (!full) return {};
        PyObject* sub = PyDict_GetItemWithError(PyImport_GetModuleDict(), full.get());
        if (sub != nullptr) return Ref::borrow(sub);
        if (PyErr_Occurred()) return {};
    } else {
        PyErr_Clear();
        module_name = Ref::borrow(Py_None);
    }
    Ref path = Ref::steal(PyModule_Check(module) ? PyModule_GetFilenameObject(module) : nullptr);
    if (!path) PyErr_Clear();
    Ref message =
        Ref::steal(path ? PyUnicode_FromFormat("cannot import name %R from %R (%S)", name,
                                               module_name.get(), path.get())
                        : PyUnicode_FromFormat("cannot import name %R from %R (unknown location)",
                                               name, module_name.get()));
    if (message)
        PyErr_SetImportError(message.get(), module_name.get(), path ? path.get() : Py_None);
    return {};
}

// While an `except` body runs, the caught exception is the one being handled:
// sys.exception() shows it and an exception raised in the body gets it as its
// context. Restores the previous one on scope exit.
class Handling {
public:
    explicit Handling(PyObject* caught) : saved_(PyErr_GetHandledException()) {
        PyErr_SetHandledException(caught);
    }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;
    ~Handling() {
        PyErr_SetHandledException(saved_);
        Py_XDECREF(saved_);
    }

private:
    PyObject* saved_;
};

// After a failed step: true, with the exception taken into `caught`, when it
// is an Exception; false, leaving it raised, when it must propagate.
inline bool catch_exception(Ref& caught) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    caught = Ref::steal(PyErr_GetRaisedException());
    return true;
}

}  // namespace velkora::hostprobe
