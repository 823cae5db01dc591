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

// Creates a heap class of `module`, a subclass of `base` (one of ours) or of
// object. Methods are added afterwards as plain functions (see ModuleBuilder).
// `text_signature` ("Summary(title, width)\n--\n\n") is what
// inspect.signature reads for the class; `doc` is its __doc__ (nullptr: None).
inline Ref make_class(PyObject* module, const char* qualified_name, const char* text_signature, const char* doc,
                      PyObject* base = nullptr) {
    static PyGetSetDef dict_getset[] = {
        {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    std::vector<PyType_Slot> slots = {
        {Py_tp_dealloc, reinterpret_cast<void*>(detail::plain_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(detail::plain_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(detail::plain_clear)},
    };
    if (!base) {
        slots.push_back({Py_tp_members, detail::plain_members});
        slots.push_back({Py_tp_getset, dict_getset});
        slots.push_back({Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)});
    }
    slots.push_back({Py_tp_doc, const_cast<char*>(text_signature)});
    slots.push_back({0, nullptr});

    PyType_Spec type_spec{
        qualified_name,
        base ? 0 : static_cast<int>(sizeof(PlainObject)),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
        slots.data(),
    };
    Ref bases = base ? check(PyTuple_Pack(1, base)) : Ref();
    Ref type = check(PyType_FromModuleAndSpec(module, &type_spec, bases.get()));
    Ref doc_value = doc ? text(doc) : none();
    setattr(type.get(), id<"__doc__">(), doc_value.get());
    return type;
}

using FastcallFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// The PyMethodDef of a fastcall function bound through a Signature.
template <class Sig>
PyMethodDef function_def(const char* name, FastcallFunction function, Sig& sig, const char* doc) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)), METH_FASTCALL | METH_KEYWORDS,
            sig.doc(doc)};
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

    // name = logging.getLogger(__name__)
    void bind_module_logger(const char* name, PyObject* logging) {
        Ref logger = call_method(logging, id<"getLogger">(), this->name().get());
        bind(name, logger.get());
    }

    Ref add_class(const char* qualified_name, const char* text_signature, const char* doc,
                  PyObject* base = nullptr) {
        Ref type = make_class(module_.get(), qualified_name, text_signature, doc, base);
        const char* dot = std::strrchr(qualified_name, '.');
        bind(dot ? dot + 1 : qualified_name, type.get());
        return type;
    }

    // A module-level function (called with the module as its C `self`).
    void add_function(PyMethodDef* def) {
        Ref function = check(PyCFunction_NewEx(def, module_.get(), name().get()));
        bind(def->ml_name, function.get());
    }

    // Methods are plain functions taking `self` as their first parameter (so
    // signatures, keyword passing and error texts are those of a def), bound to
    // instances the way Python functions are. The C `self` is the class.
    void add_method(PyObject* type, PyMethodDef* def) {
        Ref method = check(PyInstanceMethod_New(class_function(type, def).get()));
        setattr(type, text(def->ml_name).get(), method.get());
    }

    void add_classmethod(PyObject* type, PyMethodDef* def) {
        Ref method = check(PyClassMethod_New(class_function(type, def).get()));
        setattr(type, text(def->ml_name).get(), method.get());
    }

    // A read-only property whose getter is the function `def` (taking self).
    void add_property(PyObject* type, PyMethodDef* def) {
        Ref property = call(reinterpret_cast<PyObject*>(&PyProperty_Type), class_function(type, def).get());
        setattr(type, text(def->ml_name).get(), property.get());
    }

private:
    Ref name() const { return check(PyModule_GetNameObject(module_.get())); }

    Ref class_function(PyObject* type, PyMethodDef* def) {
        return check(PyCFunction_NewEx(def, type, name().get()));
    }

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

}  // namespace pyglue
