// Classes and modules that look like Python's own.
//
// - Classes are made as a class statement makes them, by calling
//   type(name, bases, namespace), so their layout, instance __dict__,
//   weakrefs and GC are the interpreter's own.
// - Modules use multi-phase initialisation with per-module state, so each
//   import (re-import, another interpreter) gets fresh classes and state.
#pragma once

#include "pyglue/function.hpp"
#include "pyglue/lifecycle.hpp"

#include <initializer_list>
#include <string>
#include <type_traits>

namespace pyglue {

// How a function sits in a class: `def`, `@classmethod def`, `@property def`.
// A member whose body takes `State&` goes into the classes of a module whose
// state is State or derives from it; any other does not convert.
template <class State>
struct Member {
    enum Kind { Method, ClassMethod, Property } kind;
    const FunctionDef* def;

    Member(Kind k, const FunctionDef* d) : kind(k), def(d) {}
    template <class Base>
        requires(std::is_base_of_v<Base, State> && !std::is_same_v<Base, State>)
    Member(const Member<Base>& other) : kind(static_cast<Kind>(other.kind)), def(other.def) {}
};
template <class State>
Member<State> method(const Def<State>& def) { return {Member<State>::Method, &def}; }
template <class State>
Member<State> classmethod(const Def<State>& def) { return {Member<State>::ClassMethod, &def}; }
template <class State>
Member<State> property(const Def<State>& def) { return {Member<State>::Property, &def}; }

// Module construction: names are bound one by one, so the module's globals
// come out in the order of the equivalent Python source. `State` is the
// module's state type: it takes only functions whose bodies take it (or a
// base of it).
template <class State>
class Builder {
public:
    explicit Builder(State& m)
        : m_(m), module_(m.module), name_(check(PyModule_GetNameObject(m.module))) {}

    State& state() const { return m_; }

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
    Ref add_class(const char* name, const char* doc, std::initializer_list<Member<State>> members,
                  PyObject* base = nullptr) {
        Ref ns = check(PyDict_New());
        auto put = [&](const char* key, PyObject* value) { check_status(PyDict_SetItemString(ns.get(), key, value)); };
        put("__module__", name_.get());
        Ref qualname = text(name);
        put("__qualname__", qualname.get());
        if (doc) put("__doc__", text(doc).get());
        for (const Member<State>& member : members) {
            Ref function = make_function(m_, *member.def, name_.get(), qualname.get());
            if (member.kind == Member<State>::ClassMethod) function = check(PyClassMethod_New(function.get()));
            if (member.kind == Member<State>::Property)
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
    template <class BodyState>
    void add_function(const Def<BodyState>& def) {
        static_assert(std::is_base_of_v<BodyState, State>, "the body takes another module's state");
        Ref function = make_function(m_, def, name_.get());
        bind(def.name, function.get());
    }

private:
    State& m_;
    PyObject* module_;
    Ref name_;
};

// The builder of modules that keep nothing of their own.
using ModuleBuilder = Builder<ModuleState>;

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

template <class State>
State state_of(void (*)(Builder<State>&));

template <auto Body>
int module_exec(PyObject* module) {
    using State = decltype(state_of(Body));
    return entry_status([&] {
        auto** slot = static_cast<ModuleState**>(PyModule_GetState(module));
        if (!slot) fail();
        auto* state = new State;
        *slot = state;
        ModuleState& s = *state;
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
        Builder<State> builder(*state);
        Body(builder);
    });
}

}  // namespace detail

// PyMODINIT_FUNC PyInit_x() { return pyglue::define_module<exec>("korrin.utils.x"); }
// `exec` runs once per module object and binds the module's names in order.
// It takes a Builder<State>, State being what the module keeps (ModuleState,
// or a struct deriving from it).
template <auto Body>
PyObject* define_module(const char* name) {
    static_assert(std::is_base_of_v<ModuleState, decltype(detail::state_of(Body))>);
    static PyModuleDef_Slot slots[] = {
        {Py_mod_exec, reinterpret_cast<void*>(detail::module_exec<Body>)},
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
