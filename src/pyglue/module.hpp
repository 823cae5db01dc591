// Functions, classes and modules that look like Python's own.
//
// - A native function is an object of a small per-module type: it calls
//   through vectorcall, binds to instances as a def does (a descriptor with
//   __get__ only, flagged as a method descriptor so `obj.method()` needs no
//   bound-method object), pickles by qualified name, and reaches its module
//   through its own reference to it.
// - Classes are made as a class statement makes them, by calling
//   type(name, bases, namespace), so their layout, instance __dict__,
//   weakrefs and GC are the interpreter's own.
// - Modules use multi-phase initialisation with per-module state, so each
//   import (re-import, another interpreter) gets fresh classes and state.
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
#include <initializer_list>
#include <string>

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
[[gnu::tls_model("initial-exec")]] inline thread_local const char* stack_floor = nullptr;

inline bool stack_nearly_exhausted() {
    const char* here = static_cast<const char*>(__builtin_frame_address(0));
    if (!stack_floor) [[unlikely]] {
        stack_floor = here;  // unknown bounds: no check
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
        Bound bound = bind(*f->def, f->params, f->defaults, args, PyVectorcall_NARGS(nargsf), kwnames);
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

// A default as the def's source would evaluate it: the literals we use.
inline Ref literal(const std::string& source) {
    if (source == "None") return none();
    if (source == "True") return boolean(true);
    if (source == "False") return boolean(false);
    if (source.size() >= 2 && (source.front() == '\'' || source.front() == '"') && source.back() == source.front())
        return check(PyUnicode_FromStringAndSize(source.data() + 1, static_cast<Py_ssize_t>(source.size() - 2)));
    return check(PyLong_FromString(source.c_str(), nullptr, 10));
}

}  // namespace detail

// A new function object of module state `m`.
inline Ref make_function(ModuleState& m, const FunctionDef& def, PyObject* module_name) {
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
    Ref qualname = text(def.qualname);

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
    f->qualname = qualname.release();
    f->dict = dict.release();
    f->weakrefs = nullptr;
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

// How a function sits in a class: `def`, `@classmethod def`, `@property def`.
struct Member {
    enum Kind { Method, ClassMethod, Property } kind;
    const FunctionDef* def;
};
inline Member method(const FunctionDef& def) { return {Member::Method, &def}; }
inline Member classmethod(const FunctionDef& def) { return {Member::ClassMethod, &def}; }
inline Member property(const FunctionDef& def) { return {Member::Property, &def}; }

// Module construction: names are bound one by one, so the module's globals
// come out in the order of the equivalent Python source.
class ModuleBuilder {
public:
    explicit ModuleBuilder(ModuleState& m)
        : m_(m), module_(m.module), name_(check(PyModule_GetNameObject(m.module))) {}

    PyObject* module() const { return module_; }
    ModuleState& state() const { return m_; }

    void bind(const char* name, PyObject* value) { check_status(PyModule_AddObjectRef(module_, name, value)); }

    // import name
    Ref import(const char* name) {
        Ref m = check(PyImport_ImportModule(name));
        bind(name, m.get());
        return m;
    }

    // from module import name
    Ref import_from(const char* module_name, const char* name) {
        Ref value = from_import(module_name, name);
        bind(name, value.get());
        return value;
    }

    // The value of `from module import name`, with the interpreter's ImportError.
    static Ref from_import(const char* module_name, const char* name) {
        Ref fromlist = check(Py_BuildValue("(s)", name));
        Ref package = check(PyImport_ImportModuleLevel(module_name, nullptr, nullptr, fromlist.get(), 0));
        Ref attr_name = text(name);
        PyObject* value = PyObject_GetAttr(package.get(), attr_name.get());
        if (value) return Ref::steal(value);
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) fail();
        PyErr_Clear();
        Ref file = Ref::steal(PyModule_GetFilenameObject(package.get()));
        if (!file) PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s' (%S)", name, module_name,
                     file ? file.get() : Py_None);
        fail();
    }

    // name = logging.getLogger(__name__)
    void bind_module_logger(const char* name, PyObject* logging) {
        Ref logger = call_method(logging, id<"getLogger">(m_), name_.get());
        bind(name, logger.get());
    }

    // class name(base): """doc"""; members...  — made by calling type().
    Ref add_class(const char* name, const char* doc, std::initializer_list<Member> members, PyObject* base = nullptr) {
        Ref ns = check(PyDict_New());
        auto put = [&](const char* key, PyObject* value) { check_status(PyDict_SetItemString(ns.get(), key, value)); };
        put("__module__", name_.get());
        Ref qualname = text(name);
        put("__qualname__", qualname.get());
        if (doc) put("__doc__", text(doc).get());
        for (const Member& member : members) {
            Ref function = make_function(m_, *member.def, name_.get());
            if (member.kind == Member::ClassMethod) function = check(PyClassMethod_New(function.get()));
            if (member.kind == Member::Property)
                function = call(reinterpret_cast<PyObject*>(&PyProperty_Type), function.get());
            put(member.def->name, function.get());
        }
        Ref bases = base ? check(PyTuple_Pack(1, base)) : check(PyTuple_New(0));
        Ref type = check(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyType_Type), qualname.get(),
                                                      bases.get(), ns.get(), nullptr));
        bind(name, type.get());
        return type;
    }

    // def name(...) at module level.
    void add_function(const FunctionDef& def) {
        Ref function = make_function(m_, def, name_.get());
        bind(def.name, function.get());
    }

private:
    ModuleState& m_;
    PyObject* module_;
    Ref name_;
};

namespace detail {

inline ModuleState* module_state(PyObject* module) {
    return *static_cast<ModuleState**>(PyModule_GetState(module));
}

inline int module_traverse(PyObject* module, visitproc visit, void* arg) {
    ModuleState* s = module_state(module);
    if (!s) return 0;
    for (const Ref& r : s->ids) Py_VISIT(r.get());
    for (const Ref& r : s->keyword_tuples) Py_VISIT(r.get());
    Py_VISIT(s->builtins.get());
    Py_VISIT(s->function_type.get());
    Py_VISIT(s->twins.get());
    return s->traverse_own(visit, arg);
}

inline int module_clear(PyObject* module) {
    if (ModuleState* s = module_state(module)) {
        s->ids.clear();
        s->keyword_tuples.clear();
        s->builtins = Ref();
        s->function_type = Ref();
        s->twins = Ref();
        s->clear_own();
    }
    return 0;
}

inline void module_free(void* module) {
    auto** slot = static_cast<ModuleState**>(PyModule_GetState(static_cast<PyObject*>(module)));
    if (!slot) return;
    delete *slot;
    *slot = nullptr;
}

inline PyObject* note_exit(PyObject*, PyObject*) {
    interpreter_exiting.store(true, std::memory_order_relaxed);
    Py_RETURN_NONE;
}

inline PyMethodDef note_exit_def = {"korrin_utils_exiting", note_exit, METH_NOARGS, nullptr};

// Exit callbacks run before the interpreter ends its daemon threads, so one
// of ours tells release_reference when to look at the thread first. One per
// interpreter: an equal callback registered before is dropped first.
inline void note_interpreter_exit() {
    Ref atexit = check(PyImport_ImportModule("atexit"));
    Ref callback = check(PyCFunction_New(&note_exit_def, nullptr));
    check(PyObject_CallMethod(atexit.get(), "unregister", "O", callback.get()));
    check(PyObject_CallMethod(atexit.get(), "register", "O", callback.get()));
}

template <class State, void (*Body)(ModuleBuilder&)>
int module_exec(PyObject* module) {
    return entry_status([&] {
        auto** slot = static_cast<ModuleState**>(PyModule_GetState(module));
        if (!slot) fail();
        *slot = new State;
        ModuleState& s = **slot;
        s.module = module;
        Ref builtins = check(PyImport_ImportModule("builtins"));
        s.builtins = Ref::borrow(PyModule_GetDict(builtins.get()));
        for (const char* text : id_texts()) s.ids.push_back(check(PyUnicode_InternFromString(text)));
        for (const auto& names : keyword_lists()) {
            Ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
            for (std::size_t i = 0; i < names.size(); ++i)
                PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), check(PyUnicode_InternFromString(names[i])).release());
            s.keyword_tuples.push_back(std::move(tuple));
        }
        Ref name = check(PyModule_GetNameObject(module));
        const char* module_name = PyUnicode_AsUTF8(name.get());
        if (!module_name) fail();
        std::string type_name = std::string(module_name) + ".native_function";
        PyType_Spec spec{type_name.c_str(), static_cast<int>(sizeof(Function)), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                             Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION |
                             Py_TPFLAGS_IMMUTABLETYPE,
                         function_slots};
        s.function_type = check(PyType_FromModuleAndSpec(module, &spec, nullptr));
        note_interpreter_exit();
        ModuleBuilder builder(s);
        Body(builder);
    });
}

}  // namespace detail

// PyMODINIT_FUNC PyInit_x() { return pyglue::define_module<exec>("korrin.utils.x"); }
// `exec` runs once per module object and binds the module's names in order;
// `State` is what the module keeps (ModuleState, or a struct deriving from it).
template <void (*Body)(ModuleBuilder&), class State = ModuleState>
PyObject* define_module(const char* name) {
    static_assert(std::is_base_of_v<ModuleState, State>);
    static PyModuleDef_Slot slots[] = {
        {Py_mod_exec, reinterpret_cast<void*>(detail::module_exec<State, Body>)},
#if PY_VERSION_HEX >= 0x030C0000
        {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
        {0, nullptr},
    };
    static PyModuleDef def = {
        PyModuleDef_HEAD_INIT, name, nullptr, sizeof(ModuleState*), nullptr, slots,
        detail::module_traverse, detail::module_clear, detail::module_free,
    };
    return PyModuleDef_Init(&def);
}

}  // namespace pyglue
