#include "common/unpack.hpp"

namespace velkora {

void raise_need_more_values(Py_ssize_t count) {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", count,
                 count == 1 ? "" : "s");
}

void raise_too_many_values() {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)",
                 static_cast<Py_ssize_t>(2));
}

namespace {

// After an iterator stopped: StopIteration (or nothing) means it ran out,
// anything else is the iterator's own failure and propagates.
bool iteration_ended_cleanly() {
    PyObject* exc = PyErr_Occurred();
    if (exc == nullptr) return true;
    if (PyErr_GivenExceptionMatches(exc, PyExc_StopIteration)) {
        PyErr_Clear();
        return true;
    }
    return false;
}

}  // namespace

bool unpack_pair(PyObject* obj, Ref& first, Ref& second) {
    if (PyTuple_CheckExact(obj) || PyList_CheckExact(obj)) {
        const bool is_tuple = PyTuple_CheckExact(obj);
        const Py_ssize_t size = is_tuple ? PyTuple_GET_SIZE(obj) : PyList_GET_SIZE(obj);
        if (size != 2) {
            if (size > 2) {
                raise_too_many_values();
            } else {
                raise_need_more_values(size);
            }
            return false;
        }
        PyObject* const* items =
            is_tuple ? &PyTuple_GET_ITEM(obj, 0) : &PyList_GET_ITEM(obj, 0);
        first = Ref::borrow(items[0]);
        second = Ref::borrow(items[1]);
        return true;
    }
    Ref iter = Ref::steal(PyObject_GetIter(obj));
    if (!iter) return false;
    iternextfunc next = Py_TYPE(iter.get())->tp_iternext;
    first = Ref::steal(next(iter.get()));
    if (!first) {
        if (iteration_ended_cleanly()) raise_need_more_values(0);
        return false;
    }
    second = Ref::steal(next(iter.get()));
    if (!second) {
        if (iteration_ended_cleanly()) raise_need_more_values(1);
        return false;
    }
    Ref extra = Ref::steal(next(iter.get()));
    if (extra) {
        raise_too_many_values();
        return false;
    }
    return iteration_ended_cleanly();
}

}  // namespace velkora
