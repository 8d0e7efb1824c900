#include "common/convert.hpp"

namespace velkora {

Ref int_from_dunder(PyObject* obj) {
    PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
    if (number == nullptr || number->nb_int == nullptr) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return {};
    }
    Ref result = Ref::steal(number->nb_int(obj));
    if (!result) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "an integer is required");
        return {};
    }
    if (PyLong_CheckExact(result.get())) return result;
    if (PyLong_Check(result.get())) {
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to return an "
                             "instance of a strict subclass of int is deprecated, and may be "
                             "removed in a future version of Python.",
                             Py_TYPE(result.get())->tp_name) < 0) {
            return {};
        }
        return result;
    }
    PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                 Py_TYPE(result.get())->tp_name);
    return {};
}

bool long_to_int32(PyObject* value, std::int32_t& out) {
    // Beyond the C long range the interpreter's own OverflowError stands.
    const long wide = PyLong_AsLong(value);
    if (wide == -1 && PyErr_Occurred()) return false;
    if (wide < INT32_MIN || wide > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    out = static_cast<std::int32_t>(wide);
    return true;
}

bool long_to_uint64(PyObject* value, std::uint64_t& out) {
    // Byte counts mostly fit a signed 64-bit value, whose conversion is a
    // short loop; the unsigned one goes through a byte array.
    int overflow = 0;
    const long long wide = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow == 0) {
        if (wide == -1 && PyErr_Occurred()) return false;
        if (wide >= 0) {
            out = static_cast<std::uint64_t>(wide);
            return true;
        }
    }
    if (overflow < 0 || (overflow == 0 && wide < 0)) {
        PyErr_SetString(PyExc_OverflowError, "can't convert negative value to uint64_t");
        return false;
    }
    const unsigned long long unsigned_wide = PyLong_AsUnsignedLongLong(value);
    if (unsigned_wide == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = static_cast<std::uint64_t>(unsigned_wide);
    return true;
}

}  // namespace velkora
