// The floors the modules are measured against: a no-op built-in fast-call
// function and a no-op object called through the vectorcall slot (the call
// path of the modules' own function objects), both taking any positional and
// keyword arguments; vectorcall objects that return a new object equal to an
// example, the least a function with that result can cost; and the bare walk
// of a list of 2-tuples that reads both floats of each.
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

PyTypeObject vectorcall_noop_type = [] {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "benchfloor.vectorcall_noop";
    t.tp_basicsize = sizeof(VectorcallNoop);
    t.tp_vectorcall_offset = offsetof(VectorcallNoop, vectorcall);
    t.tp_call = PyVectorcall_Call;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL;
    return t;
}();

// The same-result floor: called like vectorcall_noop, it makes a new object
// equal to a given example, as the function measured against it must at
// least do: True/False and small ints cost nothing, a float or a larger int
// one allocation, a tuple or list its items as well.
struct ResultFloor {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* example;
    double real;          // a float example's value
    long long integer;    // an int example's value
};

ResultFloor* floor_of(PyObject* self) { return reinterpret_cast<ResultFloor*>(self); }
PyObject* example_of(PyObject* self) { return floor_of(self)->example; }

PyObject* remake(PyObject* obj);

template <class Make>
PyObject* remake_items(Py_ssize_t size, PyObject* const* items, Make make) {
    PyObject* result = make(size);
    if (result == nullptr) return nullptr;
    PyObject** out = PyTuple_Check(result) ? &PyTuple_GET_ITEM(result, 0)
                                           : &PyList_GET_ITEM(result, 0);
    for (Py_ssize_t i = 0; i < size; ++i) {
        out[i] = remake(items[i]);
        if (out[i] == nullptr) {
            Py_DECREF(result);
            return nullptr;
        }
    }
    return result;
}

PyObject* remake(PyObject* obj) {
    if (PyFloat_CheckExact(obj)) return PyFloat_FromDouble(PyFloat_AS_DOUBLE(obj));
    if (PyLong_CheckExact(obj) &&
        PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(obj))) {
        return PyLong_FromSsize_t(
            PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(obj)));
    }
    if (PyLong_CheckExact(obj)) return PyLong_FromLongLong(PyLong_AsLongLong(obj));
    if (PyUnicode_CheckExact(obj)) {
        return PyUnicode_FromKindAndData(PyUnicode_KIND(obj), PyUnicode_DATA(obj),
                                         PyUnicode_GET_LENGTH(obj));
    }
    if (PyTuple_CheckExact(obj)) {
        return remake_items(PyTuple_GET_SIZE(obj), &PyTuple_GET_ITEM(obj, 0), PyTuple_New);
    }
    if (PyList_CheckExact(obj)) {
        return remake_items(PyList_GET_SIZE(obj), &PyList_GET_ITEM(obj, 0), PyList_New);
    }
    return Py_NewRef(obj);  // True, False, None
}

PyObject* result_shared(PyObject* self, PyObject* const*, size_t, PyObject*) {
    return Py_NewRef(example_of(self));
}
PyObject* result_float(PyObject* self, PyObject* const*, size_t, PyObject*) {
    return PyFloat_FromDouble(floor_of(self)->real);
}
PyObject* result_int(PyObject* self, PyObject* const*, size_t, PyObject*) {
    return PyLong_FromLongLong(floor_of(self)->integer);
}
PyObject* result_remade(PyObject* self, PyObject* const*, size_t, PyObject*) {
    return remake(example_of(self));
}

void result_floor_dealloc(PyObject* self) {
    Py_XDECREF(example_of(self));
    PyObject_Free(self);
}

PyTypeObject result_floor_type = [] {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "benchfloor.result_floor";
    t.tp_basicsize = sizeof(ResultFloor);
    t.tp_dealloc = result_floor_dealloc;
    t.tp_vectorcall_offset = offsetof(ResultFloor, vectorcall);
    t.tp_call = PyVectorcall_Call;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL;
    return t;
}();

PyObject* result_floor(PyObject*, PyObject* example) {
    auto* floor = PyObject_New(ResultFloor, &result_floor_type);
    if (floor == nullptr) return nullptr;
    floor->example = Py_NewRef(example);
    floor->real = 0.0;
    floor->integer = 0;
    if (PyFloat_CheckExact(example)) {
        floor->real = PyFloat_AS_DOUBLE(example);
        floor->vectorcall = result_float;
    } else if (PyLong_CheckExact(example) && (PyLong_AsLongLong(example) > 256 ||
                                              PyLong_AsLongLong(example) < -5)) {
        floor->integer = PyLong_AsLongLong(example);
        floor->vectorcall = result_int;
    } else if (PyTuple_CheckExact(example) || PyList_CheckExact(example) ||
               PyUnicode_CheckExact(example)) {
        floor->vectorcall = result_remade;
    } else {
        floor->vectorcall = result_shared;  // True, False, None, a small int
    }
    if (PyErr_Occurred()) {
        Py_DECREF(floor);
        return nullptr;
    }
    return reinterpret_cast<PyObject*>(floor);
}

PyMethodDef methods[] = {
    {"noop", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(noop)),
     METH_FASTCALL | METH_KEYWORDS, "Accepts any arguments and does nothing."},
    {"read_pairs", read_pairs, METH_O, "Reads both floats of every 2-tuple of a list."},
    {"result_floor", result_floor, METH_O,
     "A vectorcall object that returns a new object equal to the example."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {PyModuleDef_HEAD_INIT, "benchfloor", nullptr, -1, methods,
                      nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_benchfloor() {
    if (PyType_Ready(&vectorcall_noop_type) < 0 || PyType_Ready(&result_floor_type) < 0) {
        return nullptr;
    }
    PyObject* m = PyModule_Create(&module);
    if (m == nullptr) return nullptr;
    auto* vnoop = PyObject_New(VectorcallNoop, &vectorcall_noop_type);
    if (vnoop == nullptr) {
        Py_DECREF(m);
        return nullptr;
    }
    vnoop->vectorcall = vectorcall_noop;
    if (PyModule_AddObject(m, "vnoop", reinterpret_cast<PyObject*>(vnoop)) < 0) {
        Py_DECREF(vnoop);
        Py_DECREF(m);
        return nullptr;
    }
    return m;
}
