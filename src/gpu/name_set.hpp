// A fixed set of operation names. Lookups probe a small open-addressed table
// by the str's cached hash: no allocation, no interpreter call on a hit by
// identity, and cheaper than a set lookup through the C API.
#pragma once

#include "common/convert.hpp"

#include <array>
#include <string_view>

namespace velkora::accelplan {

class NameSet {
public:
    template <std::size_t N>
    bool build(const std::string_view (&names)[N]) {
        clear();
        for (std::string_view text : names) {
            PyObject* interned =
                PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
            if (interned == nullptr) return false;
            PyUnicode_InternInPlace(&interned);
            Ref name = Ref::steal(interned);
            const Py_hash_t hash = PyObject_Hash(name.get());
            if (hash == -1) return false;
            std::size_t i = static_cast<std::size_t>(hash) & kMask;
            while (slots_[i].name != nullptr) i = (i + 1) & kMask;
            slots_[i] = {name.release(), hash};
        }
        return true;
    }

    // `name` is an exact str or None (None is never a member).
    bool contains(PyObject* name) const {
        if (!PyUnicode_CheckExact(name)) return false;
        // A str caches its hash in the object; computed once when absent.
        Py_hash_t hash = reinterpret_cast<PyASCIIObject*>(name)->hash;
        if (hash == -1) hash = PyObject_Hash(name);
        for (std::size_t i = static_cast<std::size_t>(hash) & kMask; slots_[i].name != nullptr;
             i = (i + 1) & kMask) {
            if (slots_[i].name == name) return true;
            if (slots_[i].hash == hash && str_equal(slots_[i].name, name)) return true;
        }
        return false;
    }

    void clear() {
        for (Slot& slot : slots_) {
            Py_CLEAR(slot.name);
            slot.hash = 0;
        }
    }

private:
    struct Slot {
        PyObject* name = nullptr;
        Py_hash_t hash = 0;
    };
    static constexpr std::size_t kMask = 31;  // room for twice the largest set
    std::array<Slot, kMask + 1> slots_{};
};

}  // namespace velkora::accelplan
