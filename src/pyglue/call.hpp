// Calling into Python: attribute reads, calls with positional and keyword
// arguments, method calls through attribute lookup, and module globals.
#pragma once

#include "pyglue/errors.hpp"
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

// The same calls for a `try` body (see attempt): the exception comes back in
// the Outcome instead of being thrown.
template <class... Args>
Outcome try_call(PyObject* callable, Args... args) {
    PyObject* argv[] = {nullptr, args...};
    return Outcome::of(PyObject_Vectorcall(callable, argv + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

template <class... Args>
Outcome try_call_method(PyObject* self, PyObject* name, Args... args) {
    PyObject* argv[] = {self, args...};
    return Outcome::of(PyObject_VectorcallMethod(name, argv, (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

inline Outcome try_getattr(PyObject* o, PyObject* name) { return Outcome::of(PyObject_GetAttr(o, name)); }

// o[key]; an exact dict is read directly, a missing key taking the generic
// path for the interpreter's own KeyError.
inline Outcome try_getitem(PyObject* o, PyObject* key) {
    if (PyDict_CheckExact(o)) {
        if (PyObject* found = PyDict_GetItemWithError(o, key)) return Outcome::value(Ref::borrow(found));
        if (PyErr_Occurred()) return Outcome::raised();
    }
    return Outcome::of(PyObject_GetItem(o, key));
}

namespace detail {
// callable(*positional, *values), the values passed by the keyword names in `kwnames`.
template <class Values>
Ref vectorcall(PyObject* callable, std::initializer_list<PyObject*> positional, const Values& values,
               PyObject* kwnames) {
    constexpr std::size_t kMax = 16;
    if (positional.size() + values.size() + 1 > kMax) raise(PyExc_SystemError, "too many arguments for one call");
    std::array<PyObject*, kMax> argv{};
    std::size_t i = 1;
    for (PyObject* p : positional) argv[i++] = p;
    for (PyObject* v : values) argv[i++] = v;
    return check(PyObject_Vectorcall(callable, argv.data() + 1, positional.size() | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     kwnames));
}
}  // namespace detail

// f(*positional, name1=value1, ...) with the keyword names fixed at compile
// time (their tuple is made once per module): `call_named<"level">(m, Msg, {row}, {level})`.
template <Literal... Names>
Ref call_named(const ModuleState& m, PyObject* callable, std::initializer_list<PyObject*> positional,
               const std::array<PyObject*, sizeof...(Names)>& values) {
    return detail::vectorcall(callable, positional, values, keywords<Names...>(m));
}

// templ.format(name1=value1, ...), the keyword names fixed at compile time.
template <Literal... Names>
Ref format_named(const ModuleState& m, PyObject* templ, const std::array<PyObject*, sizeof...(Names)>& values) {
    std::array<PyObject*, sizeof...(Names) + 1> argv{templ};
    for (std::size_t i = 0; i < values.size(); ++i) argv[i + 1] = values[i];
    return check(PyObject_VectorcallMethod(id<"format">(m), argv.data(), 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                           keywords<Names...>(m)));
}

// A module-level name as a function body would see it: the module's globals
// first, then the builtins the module was executed with; NameError otherwise.
inline Ref global(const ModuleState& m, PyObject* name) {
    PyObject* globals = PyModule_GetDict(m.module);
    if (!globals) fail();
    if (PyObject* found = PyDict_GetItemWithError(globals, name)) return Ref::borrow(found);
    if (PyErr_Occurred()) fail();
    if (!m.builtins) detail::state_cleared();
    if (PyObject* found = PyDict_GetItemWithError(m.builtins.get(), name)) return Ref::borrow(found);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    fail();
}

template <Literal Name>
Ref global(const ModuleState& m) {
    return global(m, id<Name>(m));
}

// `import name` inside a function body: through the `__import__` of the
// module's builtins, as the statement does (never the caller's).
inline Ref import_module(const ModuleState& m, const char* name) {
    Ref importer = global<"__import__">(m);
    Ref module_name = check(PyUnicode_FromString(name));
    return call(importer.get(), module_name.get());
}

// templ.format(*positional)
inline Ref format(const ModuleState& m, PyObject* templ, std::initializer_list<PyObject*> positional) {
    Ref method = getattr(templ, id<"format">(m));
    return detail::vectorcall(method.get(), positional, std::array<PyObject*, 0>{}, nullptr);
}

inline Ref str(PyObject* o) { return check(PyObject_Str(o)); }
inline Ref text(const char* s) { return check(PyUnicode_FromString(s)); }

}  // namespace pyglue
