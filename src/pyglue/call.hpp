// Calling into Python: attribute reads, calls with positional and keyword
// arguments, method calls through attribute lookup, and module globals.
#pragma once

#include "pyglue/state.hpp"

#include <array>
#include <initializer_list>
#include <utility>

namespace pyglue {

inline Ref getattr(PyObject* o, PyObject* name) { return check(PyObject_GetAttr(o, name)); }
inline void setattr(PyObject* o, PyObject* name, PyObject* value) {
    check_status(PyObject_SetAttr(o, name, value));
}

// f(*args)
template <class... Args>
Ref call(PyObject* callable, Args... args) {
    PyObject* argv[] = {nullptr, args...};
    return check(PyObject_Vectorcall(callable, argv + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// o.name(*args), looked up on the object like Python code does (overrides honoured).
template <class... Args>
Ref call_method(PyObject* self, PyObject* name, Args... args) {
    PyObject* argv[] = {self, args...};
    return check(PyObject_VectorcallMethod(name, argv, (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

struct Keyword {
    PyObject* name;   // an interned str, e.g. id<"exclude">()
    PyObject* value;
};

// f(*positional, **keywords), keywords passed in the order given.
inline Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> positional,
                   std::initializer_list<Keyword> keywords) {
    constexpr std::size_t kMax = 16;
    std::size_t total = positional.size() + keywords.size();
    if (total + 1 > kMax) raise(PyExc_SystemError, "too many arguments for call_kw");
    std::array<PyObject*, kMax> argv{};
    std::size_t i = 1;
    for (PyObject* p : positional) argv[i++] = p;
    Ref kwnames;
    if (keywords.size()) {
        kwnames = check(PyTuple_New(static_cast<Py_ssize_t>(keywords.size())));
        Py_ssize_t k = 0;
        for (const Keyword& kw : keywords) {
            PyTuple_SET_ITEM(kwnames.get(), k++, Py_NewRef(kw.name));
            argv[i++] = kw.value;
        }
    }
    return check(PyObject_Vectorcall(callable, argv.data() + 1, positional.size() | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     kwnames.get()));
}

// f(*positional, name1=value1, ...) with the keyword names fixed at compile
// time: `call_named<"level">(Msg, {row}, {level})`.
template <Literal... Names>
Ref call_named(PyObject* callable, std::initializer_list<PyObject*> positional,
               const std::array<PyObject*, sizeof...(Names)>& values) {
    constexpr std::size_t kMax = 16;
    std::size_t total = positional.size() + values.size();
    if (total + 1 > kMax) raise(PyExc_SystemError, "too many arguments for call_named");
    std::array<PyObject*, kMax> argv{};
    std::size_t i = 1;
    for (PyObject* p : positional) argv[i++] = p;
    for (PyObject* v : values) argv[i++] = v;
    return check(PyObject_Vectorcall(callable, argv.data() + 1, positional.size() | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     keywords<Names...>()));
}

// templ.format(name1=value1, ...), the keyword names fixed at compile time.
template <Literal... Names>
Ref format_named(PyObject* templ, const std::array<PyObject*, sizeof...(Names)>& values) {
    std::array<PyObject*, sizeof...(Names) + 1> argv{templ};
    for (std::size_t i = 0; i < values.size(); ++i) argv[i + 1] = values[i];
    return check(PyObject_VectorcallMethod(id<"format">(), argv.data(), 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                           keywords<Names...>()));
}

// A module-level name as a function body would see it: the module's globals
// first, then the builtins; NameError otherwise.
inline Ref global(PyObject* module, PyObject* name) {
    PyObject* globals = PyModule_GetDict(module);
    if (!globals) fail();
    if (PyObject* found = PyDict_GetItemWithError(globals, name)) return Ref::borrow(found);
    if (PyErr_Occurred()) fail();
    if (PyObject* found = PyDict_GetItemWithError(PyEval_GetBuiltins(), name)) return Ref::borrow(found);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    fail();
}

// str.format(template, *args, **kwargs) with an interned template.
inline Ref format(PyObject* templ, std::initializer_list<PyObject*> positional,
                  std::initializer_list<Keyword> keywords = {}) {
    Ref method = getattr(templ, id<"format">());
    return call_kw(method.get(), positional, keywords);
}

inline Ref str(PyObject* o) { return check(PyObject_Str(o)); }
inline Ref text(const char* s) { return check(PyUnicode_FromString(s)); }

}  // namespace pyglue
