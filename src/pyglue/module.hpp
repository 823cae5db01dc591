// Plain Python-looking classes and module construction.
#pragma once

#include "pyglue/call.hpp"

#include <structmember.h>

#include <vector>

namespace pyglue {

// Instance layout of every class made here: only an instance __dict__ and a
// weakref list, so all state is ordinary attributes and instances pickle,
// copy and subclass like those of a class statement.
struct PlainObject {
    PyObject_HEAD
    PyObject* dict;
    PyObject* weakrefs;
};

namespace detail {
inline int plain_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<PlainObject*>(self)->dict);
    return 0;
}

inline int plain_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<PlainObject*>(self)->dict);
    return 0;
}

inline void plain_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (reinterpret_cast<PlainObject*>(self)->weakrefs) PyObject_ClearWeakRefs(self);
    plain_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

inline PyMemberDef plain_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(PlainObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(PlainObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};
}  // namespace detail

struct ClassSpec {
    const char* name;            // fully qualified: "korrin.utils.summary.Summary"
    const char* text_signature;  // "Summary(title, width)\n--\n\n", read by inspect.signature
    const char* doc;             // the class __doc__, or nullptr for None
    PyMethodDef* methods;        // may be nullptr
    PyGetSetDef* getset;         // extra properties (besides __dict__), may be nullptr
    initproc init;               // may be nullptr (inherited)
};

// Creates a heap class of `module`. With a base (one of ours), the layout is
// inherited and only methods, properties, __init__ and doc are added.
inline Ref make_class(PyObject* module, const ClassSpec& spec, PyObject* base = nullptr) {
    static PyGetSetDef dict_getset[] = {
        {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    std::vector<PyType_Slot> slots;
    if (!base) {
        slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(detail::plain_dealloc)});
        slots.push_back({Py_tp_traverse, reinterpret_cast<void*>(detail::plain_traverse)});
        slots.push_back({Py_tp_clear, reinterpret_cast<void*>(detail::plain_clear)});
        slots.push_back({Py_tp_members, detail::plain_members});
        slots.push_back({Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)});
    }
    slots.push_back({Py_tp_getset, spec.getset ? spec.getset : (base ? nullptr : dict_getset)});
    if (base && !spec.getset) slots.pop_back();
    if (spec.methods) slots.push_back({Py_tp_methods, spec.methods});
    if (spec.init) slots.push_back({Py_tp_init, reinterpret_cast<void*>(spec.init)});
    slots.push_back({Py_tp_doc, const_cast<char*>(spec.text_signature)});
    slots.push_back({0, nullptr});

    PyType_Spec type_spec{
        spec.name,
        base ? 0 : static_cast<int>(sizeof(PlainObject)),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
        slots.data(),
    };
    Ref bases = base ? check(PyTuple_Pack(1, base)) : Ref();
    Ref type = check(PyType_FromModuleAndSpec(module, &type_spec, bases.get()));
    // Our own getset table replaces the __dict__ one: add it back.
    if (!base && spec.getset) {
        Ref descr = check(PyDescr_NewGetSet(reinterpret_cast<PyTypeObject*>(type.get()), dict_getset));
        setattr(type.get(), id<"__dict__">(), descr.get());
    }
    Ref doc = spec.doc ? text(spec.doc) : none();
    setattr(type.get(), id<"__doc__">(), doc.get());
    return type;
}

// Module construction: names are bound one by one, so the module's globals
// come out in the order of the equivalent Python source.
class ModuleBuilder {
public:
    explicit ModuleBuilder(PyModuleDef* def) : module_(check(PyModule_Create(def))) {}

    PyObject* module() const { return module_.get(); }
    PyObject* release() { return module_.release(); }

    void bind(const char* name, PyObject* value) { check_status(PyModule_AddObjectRef(module_.get(), name, value)); }

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

    Ref add_class(const ClassSpec& spec, PyObject* base = nullptr) {
        Ref type = make_class(module_.get(), spec, base);
        const char* dot = std::strrchr(spec.name, '.');
        bind(dot ? dot + 1 : spec.name, type.get());
        return type;
    }

    void add_function(PyMethodDef* def) {
        Ref name = check(PyModule_GetNameObject(module_.get()));
        Ref function = check(PyCFunction_NewEx(def, module_.get(), name.get()));
        bind(def->ml_name, function.get());
    }

private:
    Ref module_;
};

// Module init: `return pyglue::init_module(&def, [](ModuleBuilder& m) {...});`
template <class Body>
PyObject* init_module(PyModuleDef* def, Body&& body) noexcept {
    try {
        ModuleBuilder builder(def);
        body(builder);
        return builder.release();
    } catch (...) {
        detail::translate_current_exception();
        return nullptr;
    }
}

using FastcallFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// The PyMethodDef of a fastcall function or method bound through a Signature.
template <class Sig>
PyMethodDef method(const char* name, FastcallFunction function, Sig& sig, const char* doc, int extra_flags = 0) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)),
            METH_FASTCALL | METH_KEYWORDS | extra_flags, sig.doc(doc)};
}

}  // namespace pyglue
