// Native functions that look like Python's own: an object of a small
// per-module type that calls through vectorcall, binds to instances as a def
// does (a descriptor with __get__ only, flagged as a method descriptor so
// `obj.method()` needs no bound-method object), pickles by qualified name,
// and reaches its module through its own reference to it.
#pragma once

#include "pyglue/args.hpp"
#include "pyglue/call.hpp"
#include "pyglue/idioms.hpp"

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#endif

#include <pthread.h>

#include <algorithm>
#include <cstddef>

namespace pyglue {

// A native function as Python sees it: its declaration, its module (and the
// module's state, which the module owns), parameters and defaults (built as
// objects once per function, like a def's __defaults__).
struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef* def;
    ModuleState* state;   // null once the function is cleared
    PyObject* module;
    PyObject* params;     // tuple of interned parameter names
    PyObject* defaults;   // tuple: the values of the last len(defaults) parameters
    PyObject* name;       // __name__ and __qualname__: str only, as a def's
    PyObject* qualname;
    PyObject* code_qualname;  // the qualname made with, for TypeErrors (as a code object's co_qualname)
    PyObject* dict;       // __module__, __doc__, __text_signature__ and whatever callers set
    PyObject* weakrefs;
};

namespace detail {

#if PY_VERSION_HEX < 0x030C0000
// 3.11 declares member tables only in structmember.h, under older names.
constexpr int kMemberSsize = T_PYSSIZET;
constexpr int kMemberReadonly = READONLY;
#else
constexpr int kMemberSsize = Py_T_PYSSIZET;
constexpr int kMemberReadonly = Py_READONLY;
#endif

inline Function* as_function(PyObject* self) { return reinterpret_cast<Function*>(self); }

inline PyObject* function_get(PyObject* self, PyObject* instance, PyObject*) {
    if (!instance || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

inline int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Function* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->module);
    Py_VISIT(f->params);
    Py_VISIT(f->defaults);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->code_qualname);
    Py_VISIT(f->dict);
    return 0;
}

inline int function_clear(PyObject* self) {
    Function* f = as_function(self);
    f->state = nullptr;
    Py_CLEAR(f->module);
    Py_CLEAR(f->params);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->code_qualname);
    Py_CLEAR(f->dict);
    return 0;
}

inline void function_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// The lowest address a call may use on this thread's stack: a margin above
// its end, for the interpreter and library code a call runs. Bodies nest
// through Python code, and the interpreter's own depth limit (a count, not
// bytes) lets such frames outgrow the stack before it trips on some versions.
//
// The margin is what may run between two of our checks: one body, the
// interpreter frames and library code it calls (formatting, regular
// expressions, a logging handler) until the next native call checks again.
// A quarter of the stack keeps small thread stacks (threading.stack_size)
// usable; 512 KiB is far more than such a stretch takes, and leaves the
// main thread's 8 MiB nearly all to the program.
//
// Null until the thread's first call looks its stack up. Where the bounds
// cannot be had, it becomes (const char*)1: not null, so the lookup is not
// repeated on every call, and below any frame, so the check never trips.
[[gnu::tls_model("initial-exec")]] inline thread_local const char* stack_floor = nullptr;

inline bool stack_nearly_exhausted() {
    const char* here = static_cast<const char*>(__builtin_frame_address(0));
    if (!stack_floor) [[unlikely]] {
        stack_floor = here;  // stays so when the bounds are unknown
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            void* low = nullptr;
            std::size_t size = 0;
            if (pthread_attr_getstack(&attr, &low, &size) == 0 && low && size)
                stack_floor = static_cast<const char*>(low) + std::min<std::size_t>(size / 4, 512 * 1024);
            pthread_attr_destroy(&attr);
        }
        if (stack_floor == here) stack_floor = reinterpret_cast<const char*>(1);
    }
    return here < stack_floor;
}

// Binds the arguments and runs the body with the function's own module
// state. Recursion is guarded as the interpreter guards its own calls; a
// cleared function (interpreter or module teardown) raises instead of
// running without its module.
inline PyObject* function_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    Function* f = as_function(self);
    ModuleState* m = f->state;
    if (!m) {
        PyErr_SetString(PyExc_SystemError, "function called after its module was cleared");
        return nullptr;
    }
    if (stack_nearly_exhausted()) {
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while calling a Python object");
        return nullptr;
    }
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    PyObject* result = entry([&] {
        Bound bound = bind(*f->def, f->code_qualname, f->params, f->defaults, args, PyVectorcall_NARGS(nargsf), kwnames);
        return f->def->invoke(*f->def, *m, bound.data());
    });
    Py_LeaveRecursiveCall();
    return result;
}

inline PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Pickled as a global, by module and qualified name, as a def is.
inline PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->qualname); }

// __name__ and __qualname__ take a str; anything else, or deleting them, is
// refused with the error a def's attribute gives, by asking a def.
template <std::size_t Offset>
PyObject* function_get_text(PyObject* self, void*) {
    return Py_NewRef(*reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + Offset));
}

template <std::size_t Offset, Literal Attribute>
int function_set_text(PyObject* self, PyObject* value, void*) {
    if (value && PyUnicode_Check(value)) {
        Py_XSETREF(*reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + Offset), Py_NewRef(value));
        return 0;
    }
    return entry_status([&] {
        ModuleState* m = as_function(self)->state;
        if (!m) raise(PyExc_SystemError, "function used after its module was cleared");
        Ref plain = interpreter_twin(*m, id<"plain">(*m));
        check_status(PyObject_SetAttr(plain.get(), id<Attribute>(*m), value));
        raise(PyExc_SystemError, "a def accepted this value");
    });
}

inline PyGetSetDef function_getset[] = {
    {"__name__", function_get_text<offsetof(Function, name)>,
     function_set_text<offsetof(Function, name), "__name__">, nullptr, nullptr},
    {"__qualname__", function_get_text<offsetof(Function, qualname)>,
     function_set_text<offsetof(Function, qualname), "__qualname__">, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

inline PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

inline PyMemberDef function_members[] = {
    {"__vectorcalloffset__", kMemberSsize, offsetof(Function, vectorcall), kMemberReadonly, nullptr},
    {"__dictoffset__", kMemberSsize, offsetof(Function, dict), kMemberReadonly, nullptr},
    {"__weaklistoffset__", kMemberSsize, offsetof(Function, weakrefs), kMemberReadonly, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

inline PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {0, nullptr},
};

}  // namespace detail
// A new function object of module state `m`; a method's qualified name is
// its class's `qualname` and its own name.
inline Ref make_function(ModuleState& m, const FunctionDef& def, PyObject* module_name, PyObject* class_qualname = nullptr) {
    std::size_t count = def.param_count;
    Ref params = check(PyTuple_New(static_cast<Py_ssize_t>(count)));
    std::size_t first_default = count;
    for (std::size_t i = count; i-- > 0 && !param_default(def.params[i]).empty();) first_default = i;
    Ref defaults = check(PyTuple_New(static_cast<Py_ssize_t>(count - first_default)));
    for (std::size_t i = 0; i < count; ++i) {
        PyTuple_SET_ITEM(params.get(), static_cast<Py_ssize_t>(i),
                         check(PyUnicode_InternFromString(param_name(def.params[i]).c_str())).release());
        if (i >= first_default)
            PyTuple_SET_ITEM(defaults.get(), static_cast<Py_ssize_t>(i - first_default),
                             detail::literal(param_default(def.params[i])).release());
    }

    Ref dict = check(PyDict_New());
    auto put = [&](const char* key, PyObject* value) { check_status(PyDict_SetItemString(dict.get(), key, value)); };
    put("__module__", module_name);
    put("__doc__", def.doc ? text(def.doc).get() : Py_None);
    put("__text_signature__", text(text_signature(def).c_str()).get());
    Ref name = text(def.name);
    Ref qualname = class_qualname ? check(PyUnicode_FromFormat("%U.%s", class_qualname, def.name)) : name;

    auto* type = reinterpret_cast<PyTypeObject*>(m.function_type.get());
    Function* f = PyObject_GC_New(Function, type);
    if (!f) fail();
    f->vectorcall = detail::function_vectorcall;
    f->def = &def;
    f->state = &m;
    f->module = Py_NewRef(m.module);
    f->params = params.release();
    f->defaults = defaults.release();
    f->name = name.release();
    f->qualname = qualname.new_ref();
    f->code_qualname = qualname.release();
    f->dict = dict.release();
    f->weakrefs = nullptr;
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

}  // namespace pyglue
