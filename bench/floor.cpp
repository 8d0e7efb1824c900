// The floors the modules are measured against: a no-op built-in fast-call
// function and a no-op object called through the vectorcall slot (the call
// path of the modules' own function objects), both taking any positional and
// keyword arguments; and the bare walk of a list of 2-tuples that reads both
// floats of each.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

namespace {

PyObject* noop(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return Py_NewRef(Py_None); }

PyObject* read_pairs(PyObject*, PyObject* list) {
    if (!PyList_CheckExact(list)) {
        PyErr_SetString(PyExc_TypeError, "expected a list");
        return nullptr;
    }
    double sum = 0.0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject* entry = PyList_GET_ITEM(list, i);
        if (!PyTuple_CheckExact(entry) || PyTuple_GET_SIZE(entry) != 2) continue;
        PyObject* a = PyTuple_GET_ITEM(entry, 0);
        PyObject* b = PyTuple_GET_ITEM(entry, 1);
        if (PyFloat_CheckExact(a) && PyFloat_CheckExact(b)) {
            sum += PyFloat_AS_DOUBLE(a) + PyFloat_AS_DOUBLE(b);
        }
    }
    return PyFloat_FromDouble(sum);
}

struct VectorcallNoop {
    PyObject_HEAD
    vectorcallfunc vectorcall;
};

PyObject* vectorcall_noop(PyObject*, PyObject* const*, size_t, PyObject*) {
    return Py_NewRef(Py_None);
}

// The same, returning a new float or a new (non-cached) int: what a function
// must at least pay to hand back its result.
PyObject* vectorcall_float(PyObject*, PyObject* const*, size_t, PyObject*) {
    return PyFloat_FromDouble(0.5);
}

PyObject* vectorcall_int(PyObject*, PyObject* const*, size_t, PyObject*) {
    return PyLong_FromLong(800);
}

PyTypeObject vectorcall_noop_type = [] {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "benchfloor.vectorcall_noop";
    t.tp_basicsize = sizeof(VectorcallNoop);
    t.tp_vectorcall_offset = offsetof(VectorcallNoop, vectorcall);
    t.tp_call = PyVectorcall_Call;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL;
    return t;
}();

PyMethodDef methods[] = {
    {"noop", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(noop)),
     METH_FASTCALL | METH_KEYWORDS, "Accepts any arguments and does nothing."},
    {"read_pairs", read_pairs, METH_O, "Reads both floats of every 2-tuple of a list."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {PyModuleDef_HEAD_INIT, "benchfloor", nullptr, -1, methods,
                      nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_benchfloor() {
    if (PyType_Ready(&vectorcall_noop_type) < 0) return nullptr;
    PyObject* m = PyModule_Create(&module);
    if (m == nullptr) return nullptr;
    const struct {
        const char* name;
        vectorcallfunc call;
    } floors[] = {{"vnoop", vectorcall_noop}, {"vfloat", vectorcall_float}, {"vint", vectorcall_int}};
    for (const auto& floor : floors) {
        auto* object = PyObject_New(VectorcallNoop, &vectorcall_noop_type);
        if (object == nullptr) {
            Py_DECREF(m);
            return nullptr;
        }
        object->vectorcall = floor.call;
        if (PyModule_AddObject(m, floor.name, reinterpret_cast<PyObject*>(object)) < 0) {
            Py_DECREF(object);
            Py_DECREF(m);
            return nullptr;
        }
    }
    return m;
}
