// Declarative argument binding. A module function is declared once, as a
// struct holding its name, docstring, parameter list and body:
//
//   struct calculate_safe_limit {
//       static constexpr const char* name = "calculate_safe_limit";
//       static constexpr const char* doc = "...";
//       static constexpr std::array params{Param{"available_bytes"}, Param{"headroom_ratio"}};
//       static PyObject* run(std::uint64_t available_bytes, double headroom_ratio);
//   };
//
// The C++ parameter types of `run` name the kinds (double, std::int32_t,
// std::uint64_t, bool, the exact types below, PyObject* for untyped), and
// `Binder<F>::vectorcall` is the interpreter's fast-call entry point that
// matches, converts and checks the arguments before calling `run`.
#pragma once

#include "common/convert.hpp"

#include <array>
#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>

namespace velkora {

struct Param {
    enum class Default : unsigned char { none, real, integer };
    const char* name;
    Default kind = Default::none;
    double real = 0.0;
    long long integer = 0;

    constexpr Param(const char* n) : name(n) {}
    constexpr Param(const char* n, double value) : name(n), kind(Default::real), real(value) {}
    constexpr Param(const char* n, int value)
        : name(n), kind(Default::integer), integer(value) {}
};

// Exact-type parameters: the object, borrowed for the call, which is exactly
// of the type or None.
template <class Tag>
struct Exact {
    PyObject* obj;
    bool is_none() const { return obj == Py_None; }
};
struct ListTag {
    static PyTypeObject* type() { return &PyList_Type; }
};
struct TupleTag {
    static PyTypeObject* type() { return &PyTuple_Type; }
};
struct DictTag {
    static PyTypeObject* type() { return &PyDict_Type; }
};
struct StrTag {
    static PyTypeObject* type() { return &PyUnicode_Type; }
};
using List = Exact<ListTag>;
using Tuple = Exact<TupleTag>;
using Dict = Exact<DictTag>;
using Str = Exact<StrTag>;

// The keyword names of the last call that bound in declaration order, and
// its positional count. A call site passes the same constant names tuple on
// every call, so the next call from it matches by identity alone. The tuple
// is held, so its address cannot come back as a different tuple.
struct KeywordCache {
    PyObject* kwnames = nullptr;
    Py_ssize_t nargs = 0;
};

// What the binder and the function object know of a declared function. The
// names and the cache hold objects of the interpreter that imported the
// module; they are let go when that import fails (release_functions).
struct FunctionInfo {
    const char* name;
    const char* doc;
    const Param* params;
    Py_ssize_t count;
    Py_ssize_t required;
    PyObject** names;  // interned parameter names, made at module initialisation
    KeywordCache* keyword_cache;
};

// Matches positional and keyword arguments to parameter slots (the first
// three binding steps); unfilled optional slots stay null.
bool bind_slots(const FunctionInfo& info, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames, PyObject** slots);
bool reject_arguments(const FunctionInfo& info, Py_ssize_t nargs, PyObject* kwnames);
void raise_incorrect_type(const char* param, PyTypeObject* expected, PyObject* given);

// Creates the function object and binds it in the module's namespace.
bool add_function(PyObject* module, const FunctionInfo& info, vectorcallfunc call);

// After a failed initialisation, in the interpreter that ran it: the function
// objects it made refuse calls from now on (they may outlive the failure in
// the caller's hands, and the constants they read are gone), and the names and
// keyword caches let go of that interpreter's objects, so that the next import,
// perhaps in another interpreter, starts clean.
void release_functions();

namespace detail {

template <class T>
struct Kind;

template <>
struct Kind<double> {
    static constexpr bool c_kind = true;
    static bool convert(PyObject* obj, double& out) { return to_double(obj, out); }
    static double fallback(const Param& p) {
        return p.kind == Param::Default::real ? p.real : static_cast<double>(p.integer);
    }
};
template <>
struct Kind<std::int32_t> {
    static constexpr bool c_kind = true;
    static bool convert(PyObject* obj, std::int32_t& out) { return to_int32(obj, out); }
    static std::int32_t fallback(const Param& p) { return static_cast<std::int32_t>(p.integer); }
};
template <>
struct Kind<std::uint64_t> {
    static constexpr bool c_kind = true;
    static bool convert(PyObject* obj, std::uint64_t& out) { return to_uint64(obj, out); }
    static std::uint64_t fallback(const Param& p) { return static_cast<std::uint64_t>(p.integer); }
};
template <>
struct Kind<bool> {
    static constexpr bool c_kind = true;
    static bool convert(PyObject* obj, bool& out) { return to_bool(obj, out); }
    static bool fallback(const Param& p) { return p.integer != 0; }
};
template <class Tag>
struct Kind<Exact<Tag>> {
    static constexpr bool c_kind = false;
    static bool check(const Param& p, PyObject* obj, Exact<Tag>& out) {
        if (obj != Py_None && Py_TYPE(obj) != Tag::type()) {
            raise_incorrect_type(p.name, Tag::type(), obj);
            return false;
        }
        out.obj = obj;
        return true;
    }
};
template <>
struct Kind<PyObject*> {
    static constexpr bool c_kind = false;
    static bool check(const Param&, PyObject* obj, PyObject*& out) {
        out = obj;
        return true;
    }
};

template <class Sig>
struct Signature;
template <class... Args>
struct Signature<PyObject* (*)(Args...)> {
    using Values = std::tuple<std::remove_cvref_t<Args>...>;
    static constexpr std::size_t arity = sizeof...(Args);
};

template <std::size_t N>
constexpr Py_ssize_t required_count(const std::array<Param, N>& params) {
    Py_ssize_t required = 0;
    while (required < static_cast<Py_ssize_t>(N) &&
           params[static_cast<std::size_t>(required)].kind == Param::Default::none) {
        ++required;
    }
    return required;
}

}  // namespace detail

// Whether the keywords name the parameters right after the positional
// arguments, in declaration order (interned names match by identity), which
// is how callers mostly write calls. The caller has checked that they fit.
inline bool keywords_in_order(PyObject* const* names, Py_ssize_t nargs, PyObject* kwnames,
                              KeywordCache& cache) {
    if (kwnames == cache.kwnames && nargs == cache.nargs) return true;
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (PyTuple_GET_ITEM(kwnames, k) != names[nargs + k]) return false;
    }
    // The tuple held before is only names, so letting it go runs no code.
    Py_XSETREF(cache.kwnames, Py_NewRef(kwnames));
    cache.nargs = nargs;
    return true;
}

template <class F>
struct Binder {
    using Sig = detail::Signature<decltype(&F::run)>;
    using Values = typename Sig::Values;
    static constexpr std::size_t N = Sig::arity;
    static constexpr Py_ssize_t R = detail::required_count(F::params);
    static_assert(F::params.size() == N, "parameter list and body disagree");

    static inline std::array<PyObject*, (N > 0 ? N : 1)> names{};
    static inline KeywordCache keyword_cache{};
    static inline const FunctionInfo info{F::name, F::doc,       F::params.data(),
                                          static_cast<Py_ssize_t>(N), R, names.data(),
                                          &keyword_cache};

    static PyObject* vectorcall(PyObject*, PyObject* const* args, std::size_t nargsf,
                                PyObject* kwnames) {
        const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        if constexpr (N == 0) {
            if (nargs != 0 || (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0)) {
                reject_arguments(info, nargs, kwnames);
                return nullptr;
            }
            return F::run();
        } else {
            // Fast path: the arguments are already in parameter order, so
            // they convert straight from the caller's array.
            const Py_ssize_t given =
                nargs + (kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0);
            if (given >= R && given <= static_cast<Py_ssize_t>(N) &&
                (given == nargs ||
                 keywords_in_order(names.data(), nargs, kwnames, keyword_cache))) {
                return convert_and_run<false>(args, given);
            }
            return bind_and_run(args, nargs, kwnames);
        }
    }

private:
    [[gnu::noinline]] static PyObject* bind_and_run(PyObject* const* args, Py_ssize_t nargs,
                                                    PyObject* kwnames) {
        PyObject* slots[N];
        if (!bind_slots(info, args, nargs, kwnames, slots)) return nullptr;
        return convert_and_run<true>(slots, static_cast<Py_ssize_t>(N));
    }

    // The arguments for parameters 0 .. count-1 are `source[0 .. count-1]`;
    // when `Holes`, an optional parameter's entry may also be null (left
    // unfilled by keywords).
    template <bool Holes>
    [[gnu::always_inline]] static PyObject* convert_and_run(PyObject* const* source,
                                                            Py_ssize_t count) {
        Values values;
        if (!convert_all<Holes>(source, count, values, std::make_index_sequence<N>{})) {
            return nullptr;
        }
        return std::apply(F::run, values);
    }

    template <bool Holes, std::size_t I>
    static bool convert_c(PyObject* const* source, Py_ssize_t count, Values& values) {
        using T = std::tuple_element_t<I, Values>;
        using K = detail::Kind<T>;
        if constexpr (!K::c_kind) {
            return true;
        } else if constexpr (static_cast<Py_ssize_t>(I) < R) {
            return K::convert(source[I], std::get<I>(values));
        } else {
            if (static_cast<Py_ssize_t>(I) < count && (!Holes || source[I] != nullptr)) {
                return K::convert(source[I], std::get<I>(values));
            }
            std::get<I>(values) = K::fallback(F::params[I]);
            return true;
        }
    }
    template <std::size_t I>
    static bool check_exact(PyObject* const* source, Values& values) {
        using T = std::tuple_element_t<I, Values>;
        using K = detail::Kind<T>;
        if constexpr (!K::c_kind) {
            static_assert(I < static_cast<std::size_t>(R), "object parameters take no default");
            return K::check(F::params[I], source[I], std::get<I>(values));
        } else {
            return true;
        }
    }
    // C kinds first, then exact types, each pass in parameter order.
    template <bool Holes, std::size_t... I>
    static bool convert_all(PyObject* const* source, Py_ssize_t count, Values& values,
                            std::index_sequence<I...>) {
        return (convert_c<Holes, I>(source, count, values) && ...) &&
               (check_exact<I>(source, values) && ...);
    }
};

template <class F>
bool define(PyObject* module) {
    return add_function(module, Binder<F>::info, &Binder<F>::vectorcall);
}

// Results.
inline PyObject* py_bool(bool value) { return Py_NewRef(value ? Py_True : Py_False); }

// What taking len() of a None list or shape raises; the bodies that need a
// length fail with it when handed None.
inline PyObject* raise_none_has_no_len() {
    PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
    return nullptr;
}

}  // namespace velkora
