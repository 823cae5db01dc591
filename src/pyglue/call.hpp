// Calling into Python: attribute reads, calls with positional and keyword
// arguments, method calls through attribute lookup, and module globals.
#pragma once

#include "pyglue/errors.hpp"
#include "pyglue/state.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <initializer_list>
#include <string_view>
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
// The __init__ function of a plain class: its metaclass is type, object.__new__
// makes its instances and a Python function sets them up. Null (no error
// set) for any other callable.
inline PyObject* plain_class_init(const ModuleState& m, PyObject* callable) {
    if (!Py_IS_TYPE(callable, &PyType_Type)) return nullptr;
    auto* cls = reinterpret_cast<PyTypeObject*>(callable);
    if (!(cls->tp_flags & Py_TPFLAGS_HEAPTYPE) || cls->tp_new != PyBaseObject_Type.tp_new) return nullptr;
    PyObject* init = compat::type_lookup(cls, id<"__init__">(m));
    return init && PyFunction_Check(init) ? init : nullptr;
}

// cls(*argv[1:nargs+1], **kwnames) for a plain class, as type.__call__ does
// it, but with the arguments as they are: type.__call__ packs them into a
// tuple and a dict for the two slots and __init__ unpacks them again (the
// interpreter skips that itself from 3.13 on). argv[0] is free for self.
// __init__ is taken before the instance is made, as the interpreter does.
[[gnu::noinline]] inline PyObject* construct(PyObject* cls, PyObject* init, PyObject** argv, std::size_t nargs,
                                             PyObject* kwnames) {
    Ref held = Ref::borrow(init);  // the class may drop it meanwhile
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    struct Leave {
        ~Leave() { Py_LeaveRecursiveCall(); }
    } leave;
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    Ref no_args = Ref::steal(PyTuple_New(0));
    if (!no_args) return nullptr;
    // object.__new__ with no arguments: with __init__ overridden it accepts
    // any, so only its own checks (an abstract class) remain.
    Ref self = Ref::steal(type->tp_new(type, no_args.get(), nullptr));
    if (!self) return nullptr;
    argv[0] = self.get();
    Ref result = Ref::steal(PyObject_Vectorcall(init, argv, nargs + 1, kwnames));
    if (!result) return nullptr;
    if (result.get() != Py_None) {
        PyErr_Format(PyExc_TypeError, "__init__() should return None, not '%.200s'", Py_TYPE(result.get())->tp_name);
        return nullptr;
    }
    return self.release();
}

// callable(*positional, *values), the values passed by the keyword names in `kwnames`.
template <class Values>
Ref vectorcall(const ModuleState& m, PyObject* callable, std::initializer_list<PyObject*> positional,
               const Values& values, PyObject* kwnames) {
    constexpr std::size_t kMax = 16;
    if (positional.size() + values.size() + 1 > kMax) raise(PyExc_SystemError, "too many arguments for one call");
    std::array<PyObject*, kMax> argv;  // only the slots filled below are read
    std::size_t i = 1;
    for (PyObject* p : positional) argv[i++] = p;
    for (PyObject* v : values) argv[i++] = v;
    if (PyObject* init = plain_class_init(m, callable))
        return check(construct(callable, init, argv.data(), positional.size(), kwnames));
    return check(PyObject_Vectorcall(callable, argv.data() + 1, positional.size() | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     kwnames));
}
}  // namespace detail

// f(*positional, name1=value1, ...) with the keyword names fixed at compile
// time (their tuple is made once per module): `call_named<"level">(m, Msg, {row}, {level})`.
template <Literal... Names>
Ref call_named(const ModuleState& m, PyObject* callable, std::initializer_list<PyObject*> positional,
               const std::array<PyObject*, sizeof...(Names)>& values) {
    return detail::vectorcall(m, callable, positional, values, keywords<Names...>(m));
}

namespace detail {
// templ.format(**fields) worked out here when it is plain substitution: an
// ASCII template whose replacement fields are all bare names of `names`,
// filled with exact str values (an exact str formats as itself). Anything
// else (a conversion, a format spec, an unknown name, a stray brace, another
// value type) gives an empty Ref with no error set: str.format decides then,
// with its own result or error. It costs a small part of the method call.
template <std::size_t N>
Ref substitute(PyObject* templ, const std::array<std::string_view, N>& names, const std::array<PyObject*, N>& values) {
    if (!PyUnicode_CheckExact(templ)) return Ref();
    ready(templ);
    if (!PyUnicode_IS_ASCII(templ)) return Ref();
    for (PyObject* value : values) {
        if (!PyUnicode_CheckExact(value)) return Ref();
        ready(value);
    }
    // The result as pieces: template text [begin, end), or values[field].
    struct Piece {
        Py_ssize_t begin, end;
        std::size_t field;
    };
    constexpr std::size_t kNoField = N, kMaxPieces = 16;
    std::array<Piece, kMaxPieces> pieces;
    std::size_t count = 0;
    Py_ssize_t length = 0;
    // The widest kind among the values used: a str is always made in the
    // narrowest kind that holds it, or it compares unequal to its twin.
    Py_UCS4 maxchar = 127;
    auto add = [&](Piece piece) {
        if (piece.field == kNoField && piece.begin == piece.end) return true;
        if (count == kMaxPieces) return false;
        pieces[count++] = piece;
        if (piece.field == kNoField) {
            length += piece.end - piece.begin;
        } else {
            length += PyUnicode_GET_LENGTH(values[piece.field]);
            maxchar = std::max<Py_UCS4>(maxchar, PyUnicode_MAX_CHAR_VALUE(values[piece.field]));
        }
        return true;
    };
    const char* text = static_cast<const char*>(PyUnicode_DATA(templ));
    const Py_ssize_t size = PyUnicode_GET_LENGTH(templ);
    // Where the next '{' or '}' from `from` on is, or `size`.
    auto next_brace = [&](Py_ssize_t from) {
        const std::size_t rest = static_cast<std::size_t>(size - from);
        const char* open = static_cast<const char*>(std::memchr(text + from, '{', rest));
        const std::size_t before_open = open ? static_cast<std::size_t>(open - (text + from)) : rest;
        const char* close = static_cast<const char*>(std::memchr(text + from, '}', before_open));
        const char* found = close ? close : open;
        return found ? found - text : size;
    };
    Py_ssize_t start = 0;
    for (Py_ssize_t i = next_brace(0); i < size; i = next_brace(i + 1)) {
        const char c = text[i];
        if (i + 1 < size && text[i + 1] == c) {  // "{{" or "}}": one brace of text
            if (!add({start, i + 1, kNoField})) return Ref();
            start = i + 2;
            ++i;
            continue;
        }
        if (c == '}') return Ref();
        const void* close = std::memchr(text + i + 1, '}', static_cast<std::size_t>(size - i - 1));
        if (!close) return Ref();
        const std::string_view name(text + i + 1, static_cast<const char*>(close) - (text + i + 1));
        const auto found = std::find(names.begin(), names.end(), name);
        if (found == names.end()) return Ref();
        if (!add({start, i, kNoField}) || !add({0, 0, static_cast<std::size_t>(found - names.begin())})) return Ref();
        i = static_cast<const char*>(close) - text;
        start = i + 1;
    }
    if (count == 0 || !add({start, size, kNoField})) return Ref();  // no field: str.format's own copy
    Ref result = check(PyUnicode_New(length, maxchar));
    Py_ssize_t at = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const Piece& piece = pieces[i];
        PyObject* from = piece.field == kNoField ? templ : values[piece.field];
        Py_ssize_t begin = piece.field == kNoField ? piece.begin : 0;
        Py_ssize_t n = piece.field == kNoField ? piece.end - piece.begin : PyUnicode_GET_LENGTH(from);
        if (maxchar == 127) {
            std::memcpy(static_cast<char*>(PyUnicode_DATA(result.get())) + at,
                        static_cast<const char*>(PyUnicode_DATA(from)) + begin, static_cast<std::size_t>(n));
        } else if (PyUnicode_CopyCharacters(result.get(), at, from, begin, n) < 0) {
            fail();
        }
        at += n;
    }
    return result;
}
}  // namespace detail

// templ.format(name1=value1, ...), the keyword names fixed at compile time.
template <Literal... Names>
Ref format_named(const ModuleState& m, PyObject* templ, const std::array<PyObject*, sizeof...(Names)>& values) {
    static constexpr std::array<std::string_view, sizeof...(Names)> names{Names.text...};
    if (Ref text = detail::substitute(templ, names, values)) return text;
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
    return detail::vectorcall(m, method.get(), positional, std::array<PyObject*, 0>{}, nullptr);
}

inline Ref str(PyObject* o) { return check(PyObject_Str(o)); }
inline Ref text(const char* s) { return check(PyUnicode_FromString(s)); }

}  // namespace pyglue
