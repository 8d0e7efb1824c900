// Conversions from interpreter objects to the C kinds that module functions
// declare. Each returns false with the interpreter exception set on failure.
#pragma once

#include "common/ref.hpp"

#include <cstdint>
#include <cstring>

namespace velkora {

// C double: exact floats directly, anything else through the interpreter's
// float conversion (__float__, then __index__).
inline bool to_double(PyObject* obj, double& out) {
    if (PyFloat_CheckExact(obj)) {
        out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    out = PyFloat_AsDouble(obj);
    return !(out == -1.0 && PyErr_Occurred());
}

// The __int__ route for objects that are not ints: returns an int object, or
// null with TypeError / the hook's own exception set.
Ref int_from_dunder(PyObject* obj);

bool long_to_int32(PyObject* value, std::int32_t& out);
bool long_to_uint64(PyObject* value, std::uint64_t& out);

// C integer, signed 32-bit.
inline bool to_int32(PyObject* obj, std::int32_t& out) {
    if (PyLong_CheckExact(obj) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(obj))) {
        const Py_ssize_t v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(obj));
        if (v >= INT32_MIN && v <= INT32_MAX) {
            out = static_cast<std::int32_t>(v);
            return true;
        }
    }
    if (PyLong_Check(obj)) return long_to_int32(obj, out);
    Ref as_int = int_from_dunder(obj);
    return as_int && long_to_int32(as_int.get(), out);
}

// C integer, unsigned 64-bit (byte counts).
inline bool to_uint64(PyObject* obj, std::uint64_t& out) {
    if (PyLong_CheckExact(obj) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(obj))) {
        const Py_ssize_t v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(obj));
        if (v >= 0) {
            out = static_cast<std::uint64_t>(v);
            return true;
        }
    }
    if (PyLong_Check(obj)) return long_to_uint64(obj, out);
    Ref as_int = int_from_dunder(obj);
    return as_int && long_to_uint64(as_int.get(), out);
}

// C boolean: the object's truth value.
inline bool to_bool(PyObject* obj, bool& out) {
    if (obj == Py_True) {
        out = true;
        return true;
    }
    if (obj == Py_False || obj == Py_None) {
        out = false;
        return true;
    }
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0) return false;
    out = truth != 0;
    return true;
}

// Equality of `length` bytes, a word at a time: names and keys are short,
// and a library call costs more than comparing them.
inline bool same_bytes(const unsigned char* a, const unsigned char* b, std::size_t length) {
    if (length < 8) {
        for (std::size_t i = 0; i < length; ++i) {
            if (a[i] != b[i]) return false;
        }
        return true;
    }
    auto word = [](const unsigned char* p) {
        std::uint64_t w;
        std::memcpy(&w, p, sizeof w);
        return w;
    };
    for (std::size_t i = 0; i + 8 < length; i += 8) {
        if (word(a + i) != word(b + i)) return false;
    }
    return word(a + length - 8) == word(b + length - 8);
}

// Equality of two str objects, identity first; cheaper than the general
// comparison, which orders as well. Two different cached hashes settle an
// inequality without reading the text.
inline bool str_equal(PyObject* a, PyObject* b) {
    if (a == b) return true;
    const auto* sa = reinterpret_cast<const PyASCIIObject*>(a);
    const auto* sb = reinterpret_cast<const PyASCIIObject*>(b);
    if (sa->length != sb->length || sa->state.kind != sb->state.kind) return false;
    if (sa->hash != sb->hash && sa->hash != -1 && sb->hash != -1) return false;
    return same_bytes(static_cast<const unsigned char*>(PyUnicode_DATA(a)),
                      static_cast<const unsigned char*>(PyUnicode_DATA(b)),
                      static_cast<std::size_t>(sa->length) * sa->state.kind);
}

// Saturating conversions of doubles to integers; the caller never hands them
// a value whose conversion would be undefined.
inline std::uint64_t saturate_to_uint64(double value) {
    if (!(value > 0.0)) return 0;  // also NaN
    if (value >= 18446744073709551616.0) return UINT64_MAX;
    return static_cast<std::uint64_t>(value);
}

}  // namespace velkora
