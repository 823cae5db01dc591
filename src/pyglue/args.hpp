// Declaring a native function and binding its arguments.
//
// A function is declared once, with its name, parameters ("name" or
// "name=<literal>", exactly as the Python signature reads, `self`/`cls`
// included for methods), docstring and body together:
//
//     Ref add(ModuleState& m, const Args<3>& a) { auto [self, x, y] = a; ... }
//     const auto add_def = def("add", {"self", "x", "y=1"}, nullptr, add);
//
// The parameter count is checked against the body's at compile time, and the
// state type the body takes against its module's when the module adds it
// (module.hpp); the class a method is added to gives its qualified name. The
// function type (function.hpp) binds the vectorcall arguments before the
// body runs, with the interpreter's own TypeError wording.
#pragma once

#include "pyglue/state.hpp"

#include <algorithm>
#include <array>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace pyglue {

inline constexpr std::size_t kMaxParams = 12;

template <std::size_t N>
using Args = std::array<PyObject*, N>;  // borrowed for the duration of the call

struct FunctionDef {
    const char* name;
    std::array<const char*, kMaxParams> params;
    std::size_t param_count;
    const char* doc;                               // nullptr: __doc__ is None
    Ref (*invoke)(const FunctionDef&, ModuleState&, PyObject* const* bound);
    void (*body)();                                // the typed body, called back by `invoke`
};

namespace detail {
template <class State, std::size_t N>
Ref invoke(const FunctionDef& def, ModuleState& m, PyObject* const* bound) {
    Args<N> args;
    std::copy_n(bound, N, args.begin());
    auto body = reinterpret_cast<Ref (*)(State&, const Args<N>&)>(def.body);
    return body(static_cast<State&>(m), args);
}
}  // namespace detail

// A FunctionDef whose body takes `State&`: only a module whose state is (or
// derives from) State accepts it, so `invoke`'s cast always holds.
template <class State>
struct Def : FunctionDef {};

template <class State, std::size_t N>
Def<State> def(const char* name, const char* const (&params)[N], const char* doc, Ref (*body)(State&, const Args<N>&)) {
    static_assert(N <= kMaxParams, "raise kMaxParams");
    static_assert(std::is_base_of_v<ModuleState, State>);
    Def<State> d{{name, {}, N, doc, detail::invoke<State, N>, reinterpret_cast<void (*)()>(body)}};
    std::copy_n(params, N, d.params.begin());
    return d;
}

// The parts of a parameter entry: its name and the source of its default.
inline std::string param_name(const char* spec) {
    std::string_view s = spec;
    return std::string(s.substr(0, s.find('=')));
}

inline std::string param_default(const char* spec) {
    std::string_view s = spec;
    auto eq = s.find('=');
    return eq == std::string_view::npos ? std::string() : std::string(s.substr(eq + 1));
}

namespace detail {
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

// "(self, a, b=None)": what inspect.signature reads.
inline std::string text_signature(const FunctionDef& def) {
    std::string s = "(";
    for (std::size_t i = 0; i < def.param_count; ++i) {
        if (i) s += ", ";
        s += def.params[i];
    }
    return s + ")";
}

using Bound = std::array<PyObject*, kMaxParams>;

namespace detail {

template <class... A>
[[noreturn]] void type_error(const char* fmt, A... a) {
    PyErr_Format(PyExc_TypeError, fmt, a...);
    fail();
}

inline std::size_t find_param(PyObject* names, std::size_t count, PyObject* key) {
    for (std::size_t i = 0; i < count; ++i)
        if (PyTuple_GET_ITEM(names, i) == key) return i;
    for (std::size_t i = 0; i < count; ++i) {
        int eq = PyUnicode_Compare(PyTuple_GET_ITEM(names, i), key);
        if (eq == -1 && PyErr_Occurred()) fail();
        if (eq == 0) return i;
    }
    return count;
}

// The qualified name TypeErrors give: the one the function was made with.
inline const char* utf8(PyObject* text) {
    const char* s = PyUnicode_AsUTF8(text);
    if (!s) fail();
    return s;
}

[[noreturn]] inline void too_many_positional(const FunctionDef& def, PyObject* qualname, Py_ssize_t given,
                                             Py_ssize_t default_count) {
    auto argcount = static_cast<Py_ssize_t>(def.param_count);
    std::string takes = default_count
        ? "from " + std::to_string(argcount - default_count) + " to " + std::to_string(argcount)
        : std::to_string(argcount);
    type_error("%s() takes %s positional argument%s but %zd %s given", utf8(qualname), takes.c_str(),
               argcount == 1 ? "" : "s", given, given == 1 ? "was" : "were");
}

[[noreturn]] inline void report_missing(const FunctionDef& def, PyObject* qualname, const Bound& out) {
    std::vector<std::size_t> missing;
    for (std::size_t i = 0; i < def.param_count; ++i)
        if (!out[i]) missing.push_back(i);
    std::string list;
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i) list += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
        list += '\'';
        list += param_name(def.params[missing[i]]);
        list += '\'';
    }
    type_error("%s() missing %zd required positional argument%s: %s", utf8(qualname), missing.size(),
               missing.size() == 1 ? "" : "s", list.c_str());
}

}  // namespace detail

// Binds vectorcall arguments to the parameters `names` (a tuple of interned
// str) with `defaults` for the last ones, as a def's call does; TypeErrors
// name the function by `qualname`.
inline Bound bind(const FunctionDef& def, PyObject* qualname, PyObject* names, PyObject* defaults,
                  PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::size_t count = def.param_count;
    Bound out{};
    Py_ssize_t copied = std::min(nargs, static_cast<Py_ssize_t>(count));
    for (Py_ssize_t i = 0; i < copied; ++i) out[i] = args[i];

    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        std::size_t index = detail::find_param(names, count, key);
        if (index == count)
            detail::type_error("%s() got an unexpected keyword argument '%S'", detail::utf8(qualname), key);
        if (out[index])
            detail::type_error("%s() got multiple values for argument '%S'", detail::utf8(qualname), key);
        out[index] = args[nargs + k];
    }

    Py_ssize_t default_count = PyTuple_GET_SIZE(defaults);
    if (nargs > static_cast<Py_ssize_t>(count)) detail::too_many_positional(def, qualname, nargs, default_count);

    std::size_t first_default = count - static_cast<std::size_t>(default_count);
    bool missing = false;
    for (std::size_t i = 0; i < count; ++i) {
        if (out[i]) continue;
        if (i >= first_default) out[i] = PyTuple_GET_ITEM(defaults, i - first_default);
        else missing = true;
    }
    if (missing) detail::report_missing(def, qualname, out);
    return out;
}

}  // namespace pyglue
