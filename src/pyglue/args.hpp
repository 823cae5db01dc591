// The argument binder: one table per callable ("name" or "name=<literal>"
// entries, exactly as the Python signature reads, `self`/`cls` included for
// methods) binds vectorcall arguments with the interpreter's own TypeError
// wording. The table is plain C++ data; the parameter names and default
// values as Python objects belong to each function object (see function.hpp).
#pragma once

#include "pyglue/state.hpp"

#include <array>
#include <cstring>
#include <string>
#include <vector>

namespace pyglue {

// A native function as Python sees it: its parameters, defaults (built as
// objects once per function, like a def's __defaults__) and where it lives.
struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const struct FunctionDef* def;
    ModuleState* state;
    PyObject* module;
    PyObject* params;     // tuple of interned parameter names
    PyObject* defaults;   // tuple: the values of the last len(defaults) parameters
    PyObject* dict;       // __name__, __qualname__, __module__, __doc__, __text_signature__
    PyObject* weakrefs;
};

class SignatureBase {
public:
    SignatureBase(const char* qualname, const char* const* params, std::size_t count) : qualname_(qualname) {
        for (std::size_t i = 0; i < count; ++i) {
            std::string spec = params[i];
            auto eq = spec.find('=');
            names_.push_back(spec.substr(0, eq));
            defaults_src_.push_back(eq == std::string::npos ? std::string() : spec.substr(eq + 1));
        }
    }

    const char* qualname() const { return qualname_; }
    const std::vector<std::string>& names() const { return names_; }
    const std::vector<std::string>& default_sources() const { return defaults_src_; }

    // "(self, a, b=None)": what inspect.signature reads.
    std::string text_signature() const {
        std::string s = "(";
        for (std::size_t i = 0; i < names_.size(); ++i) {
            if (i) s += ", ";
            s += names_[i];
            if (!defaults_src_[i].empty()) s += '=' + defaults_src_[i];
        }
        return s + ")";
    }

protected:
    const char* qualname_;
    std::vector<std::string> names_;
    std::vector<std::string> defaults_src_;
};

template <std::size_t N>
class Signature : public SignatureBase {
public:
    using Bound = std::array<PyObject*, N>;  // borrowed for the duration of the call

    Signature(const char* qualname, const char* const (&params)[N]) : SignatureBase(qualname, params, N) {}

    // Binds the arguments of the running function (whose table this is).
    Bound bind(PyObject* const* args, Py_ssize_t nargs_flags, PyObject* kwnames) const {
        auto* function = reinterpret_cast<Function*>(current_frame.function);
        PyObject* names = function->params;
        Py_ssize_t nargs = PyVectorcall_NARGS(nargs_flags);
        Bound out{};
        Py_ssize_t copied = nargs < static_cast<Py_ssize_t>(N) ? nargs : static_cast<Py_ssize_t>(N);
        for (Py_ssize_t i = 0; i < copied; ++i) out[i] = args[i];

        Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            std::size_t index = find(names, key);
            if (index == N)
                type_error("%s() got an unexpected keyword argument '%S'", qualname_, key);
            if (out[index])
                type_error("%s() got multiple values for argument '%S'", qualname_, key);
            out[index] = args[nargs + k];
        }

        Py_ssize_t default_count = PyTuple_GET_SIZE(function->defaults);
        if (nargs > static_cast<Py_ssize_t>(N)) too_many_positional(nargs, default_count);

        std::size_t first_default = N - static_cast<std::size_t>(default_count);
        bool missing = false;
        for (std::size_t i = 0; i < N; ++i) {
            if (out[i]) continue;
            if (i >= first_default) out[i] = PyTuple_GET_ITEM(function->defaults, i - first_default);
            else missing = true;
        }
        if (missing) report_missing(out);
        return out;
    }

private:
    static std::size_t find(PyObject* names, PyObject* key) {
        for (std::size_t i = 0; i < N; ++i)
            if (PyTuple_GET_ITEM(names, i) == key) return i;
        for (std::size_t i = 0; i < N; ++i) {
            int eq = PyUnicode_Compare(PyTuple_GET_ITEM(names, i), key);
            if (eq == -1 && PyErr_Occurred()) fail();
            if (eq == 0) return i;
        }
        return N;
    }

    template <class... A>
    [[noreturn]] static void type_error(const char* fmt, A... a) {
        PyErr_Format(PyExc_TypeError, fmt, a...);
        fail();
    }

    [[noreturn]] void too_many_positional(Py_ssize_t given, Py_ssize_t default_count) const {
        Py_ssize_t argcount = static_cast<Py_ssize_t>(N);
        std::string takes = default_count
            ? "from " + std::to_string(argcount - default_count) + " to " + std::to_string(argcount)
            : std::to_string(argcount);
        type_error("%s() takes %s positional argument%s but %zd %s given", qualname_, takes.c_str(),
                   argcount == 1 ? "" : "s", given, given == 1 ? "was" : "were");
    }

    [[noreturn]] void report_missing(const Bound& out) const {
        std::vector<std::size_t> missing;
        for (std::size_t i = 0; i < N; ++i)
            if (!out[i]) missing.push_back(i);
        std::string list;
        for (std::size_t i = 0; i < missing.size(); ++i) {
            if (i) list += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
            list += "'" + names_[missing[i]] + "'";
        }
        type_error("%s() missing %zd required positional argument%s: %s", qualname_, missing.size(),
                   missing.size() == 1 ? "" : "s", list.c_str());
    }
};

template <std::size_t N>
Signature(const char*, const char* const (&)[N]) -> Signature<N>;

}  // namespace pyglue
