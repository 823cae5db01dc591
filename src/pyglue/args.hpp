// The argument binder: one table per callable ("name" or "name=<literal>"
// entries, exactly as the Python signature reads, `self`/`cls` included for
// methods) binds vectorcall arguments with the interpreter's own TypeError
// wording, and yields the text signature that `inspect.signature` reads.
#pragma once

#include "pyglue/ref.hpp"

#include <array>
#include <cstring>
#include <string>
#include <vector>

namespace pyglue {

template <std::size_t N>
class Signature {
public:
    using Bound = std::array<PyObject*, N>;  // borrowed for the duration of the call

    Signature(const char* qualname, const char* const (&params)[N]) : qualname_(qualname) {
        for (std::size_t i = 0; i < N; ++i) {
            std::string spec = params[i];
            auto eq = spec.find('=');
            names_[i] = spec.substr(0, eq);
            defaults_src_[i] = eq == std::string::npos ? std::string() : spec.substr(eq + 1);
            if (eq != std::string::npos) ++default_count_;
        }
    }

    // "name(self, a, b=None)\n--\n\n" + doc: the docstring convention that
    // gives builtins their signature and an exact __doc__ (None when empty).
    const char* doc(const char* body = nullptr) {
        std::string s = short_name();
        s += '(';
        for (std::size_t i = 0; i < N; ++i) {
            if (i) s += ", ";
            s += names_[i];
            if (!defaults_src_[i].empty()) s += '=' + defaults_src_[i];
        }
        s += ")\n--\n\n";
        if (body) s += body;
        doc_ = std::move(s);
        return doc_.c_str();
    }

    const char* qualname() const { return qualname_; }

    Bound bind(PyObject* const* args, Py_ssize_t nargs_flags, PyObject* kwnames) {
        prepare();
        Py_ssize_t nargs = PyVectorcall_NARGS(nargs_flags);
        Bound out{};
        Py_ssize_t copied = nargs < static_cast<Py_ssize_t>(N) ? nargs : static_cast<Py_ssize_t>(N);
        for (Py_ssize_t i = 0; i < copied; ++i) out[i] = args[i];

        Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            std::size_t index = find(key);
            if (index == N)
                type_error("%s() got an unexpected keyword argument '%S'", qualname_, key);
            if (out[index])
                type_error("%s() got multiple values for argument '%S'", qualname_, key);
            out[index] = args[nargs + k];
        }

        if (nargs > static_cast<Py_ssize_t>(N)) too_many_positional(nargs);

        std::vector<std::size_t> missing;
        for (std::size_t i = 0; i < N; ++i) {
            if (out[i]) continue;
            if (defaults_[i]) out[i] = defaults_[i];
            else missing.push_back(i);
        }
        if (!missing.empty()) report_missing(missing);
        return out;
    }

private:
    std::string short_name() const {
        const char* dot = std::strrchr(qualname_, '.');
        return dot ? dot + 1 : qualname_;
    }

    // Names and default values are made on first use and kept for the
    // process, like a function's __defaults__ (shared between calls).
    void prepare() {
        if (prepared_) return;
        for (std::size_t i = 0; i < N; ++i) {
            if (!names_obj_[i]) names_obj_[i] = check(PyUnicode_InternFromString(names_[i].c_str())).release();
            if (!defaults_src_[i].empty() && !defaults_[i]) {
                PyObject* builtins = PyEval_GetBuiltins();
                defaults_[i] = check(PyRun_String(defaults_src_[i].c_str(), Py_eval_input, builtins, builtins)).release();
            }
        }
        prepared_ = true;
    }

    std::size_t find(PyObject* key) const {
        for (std::size_t i = 0; i < N; ++i)
            if (names_obj_[i] == key) return i;
        for (std::size_t i = 0; i < N; ++i) {
            int eq = PyUnicode_Compare(names_obj_[i], key);
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

    [[noreturn]] void too_many_positional(Py_ssize_t nargs) const {
        Py_ssize_t argcount = static_cast<Py_ssize_t>(N);
        Py_ssize_t given = nargs;
        std::string takes = default_count_
            ? "from " + std::to_string(argcount - default_count_) + " to " + std::to_string(argcount)
            : std::to_string(argcount);
        type_error("%s() takes %s positional argument%s but %zd %s given", qualname_, takes.c_str(),
                   argcount == 1 ? "" : "s", given, given == 1 ? "was" : "were");
    }

    [[noreturn]] void report_missing(const std::vector<std::size_t>& missing) const {
        std::string list;
        for (std::size_t i = 0; i < missing.size(); ++i) {
            if (i) list += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
            list += "'" + names_[missing[i]] + "'";
        }
        type_error("%s() missing %zd required positional argument%s: %s", qualname_, missing.size(),
                   missing.size() == 1 ? "" : "s", list.c_str());
    }

    const char* qualname_;
    std::array<std::string, N> names_;
    std::array<std::string, N> defaults_src_;
    Py_ssize_t default_count_ = 0;
    std::string doc_;
    bool prepared_ = false;
    std::array<PyObject*, N> names_obj_{};
    std::array<PyObject*, N> defaults_{};
};

}  // namespace pyglue
