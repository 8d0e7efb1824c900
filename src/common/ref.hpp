// Owning reference to an interpreter object: every new reference the modules
// create lives in one of these, so no code path forgets a decrement.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <utility>

namespace velkora {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(ptr_, std::exchange(other.ptr_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(ptr_); }

    // Takes over a new reference (a null one stands for a failed call).
    static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return Ref(obj);
    }

    PyObject* get() const noexcept { return ptr_; }
    // Hands the reference to the caller (the C API's return convention).
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    // A new reference for the caller, keeping this one.
    PyObject* new_ref() const noexcept {
        Py_XINCREF(ptr_);
        return ptr_;
    }
    void reset() noexcept { Py_CLEAR(ptr_); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    explicit Ref(PyObject* obj) noexcept : ptr_(obj) {}
    PyObject* ptr_ = nullptr;
};

// Storage for a module's constant table that is never destroyed: it must
// outlive interpreter finalisation at process exit. Built by placement at load
// time, so the modules need no C++ runtime library.
template <class T>
class Immortal {
public:
    Immortal() { new (storage_) T(); }
    T& get() { return *std::launder(reinterpret_cast<T*>(storage_)); }

private:
    alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace velkora
