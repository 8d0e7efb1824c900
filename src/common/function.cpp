// The function object type shared by the three modules, and the argument
// matching that every declared function goes through.
#include "common/binding.hpp"

#include <structmember.h>

namespace velkora {

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionInfo* info;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;  // only reported: calls use the declared defaults
    // Links of the list of objects the current initialisation made. Once off
    // it an object never reads the list again: its interpreter may no longer
    // hold the claim, and another may be filling the list.
    FunctionObject* prev;
    FunctionObject* next;
    bool listed;
};

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

// What the current initialisation made: its function objects (a list, since
// they may die at any time) and the declarations whose names and keyword
// caches it filled. Only the interpreter holding the module's claim touches
// these, and release_functions empties them before the claim is let go.
FunctionObject* made_functions = nullptr;
constexpr int max_declared = 32;
const FunctionInfo* declared[max_declared];
int declared_count = 0;

void link_made(FunctionObject* f) {
    f->listed = true;
    f->prev = nullptr;
    f->next = made_functions;
    if (made_functions != nullptr) made_functions->prev = f;
    made_functions = f;
}

void unlink_made(FunctionObject* f) {
    if (!f->listed) return;
    if (f->prev != nullptr) {
        f->prev->next = f->next;
    } else {
        made_functions = f->next;
    }
    if (f->next != nullptr) f->next->prev = f->prev;
    f->prev = f->next = nullptr;
    f->listed = false;
}

bool note_declared(const FunctionInfo& info) {
    for (int i = 0; i < declared_count; ++i) {
        if (declared[i] == &info) return true;
    }
    if (declared_count == max_declared) {
        PyErr_SetString(PyExc_SystemError, "too many module functions");
        return false;
    }
    declared[declared_count++] = &info;
    return true;
}

// The entry point of a function object whose initialisation failed.
PyObject* refuse_call(PyObject* self, PyObject* const*, std::size_t, PyObject*) {
    PyErr_Format(PyExc_RuntimeError,
                 "%.200s() belongs to a failed import of its module and cannot be called",
                 as_function(self)->info->name);
    return nullptr;
}

Ref default_object(const Param& p) {
    switch (p.kind) {
        case Param::Default::real:
            return Ref::steal(PyFloat_FromDouble(p.real));
        case Param::Default::integer:
            return Ref::steal(PyLong_FromLongLong(p.integer));
        case Param::Default::none:
            break;
    }
    return Ref::borrow(Py_None);
}

Ref defaults_tuple(const FunctionInfo& info) {
    const Py_ssize_t optional = info.count - info.required;
    if (optional == 0) return Ref::borrow(Py_None);
    Ref tuple = Ref::steal(PyTuple_New(optional));
    if (!tuple) return {};
    for (Py_ssize_t i = 0; i < optional; ++i) {
        Ref value = default_object(info.params[info.required + i]);
        if (!value) return {};
        PyTuple_SET_ITEM(tuple.get(), i, value.release());
    }
    return tuple;
}

void function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    FunctionObject* f = as_function(self);
    unlink_made(f);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    return 0;
}

int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    return 0;
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Like staticmethod: looked up on a class it stays the plain function. It
// also makes the object a routine for inspect and pydoc.
PyObject* function_descr_get(PyObject* self, PyObject*, PyObject*) { return Py_NewRef(self); }

PyObject* get_defaults(PyObject* self, void*) {
    PyObject* d = as_function(self)->defaults;
    return Py_NewRef(d != nullptr ? d : Py_None);
}

int set_defaults(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) value = Py_None;
    if (value != Py_None && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XSETREF(as_function(self)->defaults, Py_NewRef(value));
    return 0;
}

// inspect.signature() and help() read this: the real parameters and defaults.
PyObject* get_signature(PyObject* self, void*) {
    const FunctionInfo& info = *as_function(self)->info;
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    if (!inspect) return nullptr;
    Ref parameter = Ref::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
    if (!parameter) return nullptr;
    Ref kind = Ref::steal(PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD"));
    if (!kind) return nullptr;
    Ref params = Ref::steal(PyList_New(info.count));
    if (!params) return nullptr;
    for (Py_ssize_t i = 0; i < info.count; ++i) {
        const Param& p = info.params[i];
        Ref args = Ref::steal(Py_BuildValue("(sO)", p.name, kind.get()));
        Ref kwargs = Ref::steal(PyDict_New());
        if (!args || !kwargs) return nullptr;
        if (p.kind != Param::Default::none) {
            Ref value = default_object(p);
            if (!value || PyDict_SetItemString(kwargs.get(), "default", value.get()) < 0) {
                return nullptr;
            }
        }
        PyObject* item = PyObject_Call(parameter.get(), args.get(), kwargs.get());
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(params.get(), i, item);
    }
    Ref signature = Ref::steal(PyObject_GetAttrString(inspect.get(), "Signature"));
    if (!signature) return nullptr;
    return PyObject_CallOneArg(signature.get(), params.get());
}

PyObject* function_reduce(PyObject* self, PyObject*) {
    return Py_NewRef(as_function(self)->qualname);
}

PyMemberDef function_members[] = {
    {"__name__", T_OBJECT, offsetof(FunctionObject, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(FunctionObject, qualname), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    // Sets the type's vectorcall offset.
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "velkora_function", sizeof(FunctionObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots};

// The type of the function objects, made by the interpreter that holds the
// claim: a type readied once for the process would keep its dict and method
// resolution order in the allocator of whichever interpreter imported first.
// Each object holds its type, so objects of a failed import keep theirs.
PyObject* function_type = nullptr;

void raise_count_error(const FunctionInfo& info, Py_ssize_t given) {
    const bool exact = info.required == info.count;
    const Py_ssize_t expected = given < info.required ? info.required : info.count;
    const char* how = exact ? "exactly" : (given < info.required ? "at least" : "at most");
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 info.name, how, expected, expected == 1 ? "" : "s", given);
}

// Index of the parameter a keyword names, -1 if none; interned names match
// by identity, others by value. Callers mostly pass keywords in declaration
// order, so the parameter at `hint` is tried first.
Py_ssize_t find_parameter(const FunctionInfo& info, PyObject* key, Py_ssize_t hint) {
    if (hint < info.count && info.names[hint] == key) return hint;
    for (Py_ssize_t i = 0; i < info.count; ++i) {
        if (info.names[i] == key) return i;
    }
    for (Py_ssize_t i = 0; i < info.count; ++i) {
        if (str_equal(info.names[i], key)) return i;
    }
    return -1;
}

}  // namespace

void raise_incorrect_type(const char* param, PyTypeObject* expected, PyObject* given) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 param, expected->tp_name, Py_TYPE(given)->tp_name);
}

bool reject_arguments(const FunctionInfo& info, Py_ssize_t nargs, PyObject* kwnames) {
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s", info.name, "takes no keyword arguments");
    } else {
        PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", info.name, "takes no arguments",
                     nargs);
    }
    return false;
}

bool bind_slots(const FunctionInfo& info, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames, PyObject** slots) {
    if (nargs > info.count) {
        raise_count_error(info, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < info.count; ++i) slots[i] = i < nargs ? args[i] : nullptr;
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", info.name);
            return false;
        }
        const Py_ssize_t index = find_parameter(info, key, nargs + k);
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", info.name,
                         key);
            return false;
        }
        if (slots[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         info.name, key);
            return false;
        }
        slots[index] = args[nargs + k];
    }
    for (Py_ssize_t i = 0; i < info.required; ++i) {
        if (slots[i] == nullptr) {
            raise_count_error(info, i);
            return false;
        }
    }
    return true;
}

bool add_function(PyObject* module, const FunctionInfo& info, vectorcallfunc call) {
    if (function_type == nullptr) function_type = PyType_FromSpec(&function_spec);
    if (function_type == nullptr || !note_declared(info)) return false;
    for (Py_ssize_t i = 0; i < info.count; ++i) {
        if (info.names[i] == nullptr) {
            info.names[i] = PyUnicode_InternFromString(info.params[i].name);
            if (info.names[i] == nullptr) return false;
        }
    }
    Ref module_name = Ref::steal(PyObject_GetAttrString(module, "__name__"));
    Ref name = Ref::steal(PyUnicode_InternFromString(info.name));
    Ref doc = Ref::steal(PyUnicode_FromString(info.doc));
    Ref defaults = defaults_tuple(info);
    if (!module_name || !name || !doc || !defaults) return false;
    FunctionObject* f = PyObject_GC_New(FunctionObject, reinterpret_cast<PyTypeObject*>(function_type));
    if (f == nullptr) return false;
    f->vectorcall = call;
    f->info = &info;
    f->name = name.new_ref();
    f->qualname = name.new_ref();
    f->module = module_name.release();
    f->doc = doc.release();
    f->defaults = defaults.release();
    link_made(f);
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    Ref function = Ref::steal(reinterpret_cast<PyObject*>(f));
    return PyObject_SetAttr(module, name.get(), function.get()) == 0;
}

void release_functions() {
    while (made_functions != nullptr) {
        FunctionObject* f = made_functions;
        f->vectorcall = refuse_call;
        unlink_made(f);
    }
    for (int i = 0; i < declared_count; ++i) {
        const FunctionInfo& info = *declared[i];
        for (Py_ssize_t p = 0; p < info.count; ++p) Py_CLEAR(info.names[p]);
        Py_CLEAR(info.keyword_cache->kwnames);
        info.keyword_cache->nargs = 0;
    }
    declared_count = 0;
    Py_CLEAR(function_type);
}

}  // namespace velkora
