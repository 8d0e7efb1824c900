// The two-item unpacking rule: how a pair such as a (timestamp, metric) entry
// or a (version, flag) result is taken apart.
#pragma once

#include "common/convert.hpp"

namespace velkora {

void raise_need_more_values(Py_ssize_t count);
void raise_too_many_values();

// General path: any object. On success `first` and `second` hold strong
// references, so a conversion hook of one item cannot free the other.
bool unpack_pair(PyObject* obj, Ref& first, Ref& second);

// Unpacks a pair and converts its items to doubles, the first before the
// second. Exact 2-tuples of exact floats take no reference at all: nothing
// in them can run code.
inline bool unpack_pair_doubles(PyObject* obj, double& first, double& second) {
    if (PyTuple_CheckExact(obj) && PyTuple_GET_SIZE(obj) == 2) {
        PyObject* a = PyTuple_GET_ITEM(obj, 0);
        PyObject* b = PyTuple_GET_ITEM(obj, 1);
        if (PyFloat_CheckExact(a) && PyFloat_CheckExact(b)) {
            first = PyFloat_AS_DOUBLE(a);
            second = PyFloat_AS_DOUBLE(b);
            return true;
        }
    }
    Ref a;
    Ref b;
    if (!unpack_pair(obj, a, b)) return false;
    return to_double(a.get(), first) && to_double(b.get(), second);
}

}  // namespace velkora
