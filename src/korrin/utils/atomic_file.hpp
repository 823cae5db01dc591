// Files of the run directory. Those written by korrin.utils.profile land whole
// or not at all: the content goes to a temporary file beside the target, which
// os.replace then moves into place. A failed or interrupted write leaves an
// earlier file of that name as it was and no temporary file behind.
#pragma once

#include "pyglue/pyglue.hpp"

#include <atomic>
#include <cstdio>
#include <string>

namespace korrin {

// Like `with open(path, mode) as f: write(f)` ("w" or "wb" modes). The
// temporary file is created with open(..., "x...") so it gets the permissions a
// plain open(path, "w") would give (0666 less the umask). `os` and `open` are
// the module's globals.
template <class Write>
void write_atomically(PyObject* module, PyObject* path, const char* mode, Write&& write) {
    using pyglue::id;
    using pyglue::Ref;
    static std::atomic<unsigned long> counter{0};

    Ref os = pyglue::global(module, id<"os">());
    Ref os_path = pyglue::getattr(os.get(), id<"path">());
    Ref directory = pyglue::call_method(os_path.get(), id<"dirname">(), path);
    Ref base = pyglue::call_method(os_path.get(), id<"basename">(), path);
    Ref pid = pyglue::call_method(os.get(), id<"getpid">());
    Ref temp_name = pyglue::check(PyUnicode_FromFormat(".%U.%S.%lu.tmp", base.get(), pid.get(), ++counter));
    Ref temp_path = pyglue::call_method(os_path.get(), id<"join">(), directory.get(), temp_name.get());

    std::string exclusive_mode = mode;
    exclusive_mode[0] = 'x';
    Ref open = pyglue::global(module, id<"open">());
    Ref mode_text = pyglue::text(exclusive_mode.c_str());
    Ref file = pyglue::call(open.get(), temp_path.get(), mode_text.get());

    auto discard_temp = [&](pyglue::Ref error) {
        // Best effort, like a `finally` that must not mask the original error.
        if (PyObject* r = PyObject_CallMethodNoArgs(file.get(), id<"close">())) Py_DECREF(r);
        else PyErr_Clear();
        if (PyObject* r = PyObject_CallMethodOneArg(os.get(), id<"unlink">(), temp_path.get())) Py_DECREF(r);
        else PyErr_Clear();
        pyglue::reraise(std::move(error));
    };

    Ref failure = pyglue::attempt(PyExc_BaseException, [&] {
        write(file.get());
        pyglue::call_method(file.get(), id<"close">());
    });
    if (failure) discard_temp(std::move(failure));

    failure = pyglue::attempt(PyExc_BaseException, [&] {
        pyglue::call_method(os.get(), id<"replace">(), temp_path.get(), path);
    });
    if (failure) discard_temp(std::move(failure));
}

// Where a file of the run goes: `location` or else runtime.directory, joined
// with `name` or else `default_name` (os.path.join through the module's os).
struct RunFile {
    pyglue::Ref location;
    pyglue::Ref name;
    pyglue::Ref path;
};

inline RunFile run_file(PyObject* module, PyObject* location_arg, PyObject* name_arg, const char* default_name) {
    using pyglue::id;
    using pyglue::Ref;
    Ref location = Ref::borrow(location_arg);
    if (!pyglue::truth(location.get())) {
        Ref runtime = pyglue::global(module, id<"runtime">());
        location = pyglue::getattr(runtime.get(), id<"directory">());
    }
    Ref name = Ref::borrow(name_arg);
    if (!pyglue::truth(name.get())) name = pyglue::text(default_name);
    Ref os = pyglue::global(module, id<"os">());
    Ref os_path = pyglue::getattr(os.get(), id<"path">());
    Ref path = pyglue::call_method(os_path.get(), id<"join">(), location.get(), name.get());
    return {std::move(location), std::move(name), std::move(path)};
}

}  // namespace korrin
