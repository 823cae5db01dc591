// Files of the run directory. Those written by korrin.utils.profile land whole
// or not at all: the content goes to a temporary file beside the target, which
// os.replace then moves into place. A failed or interrupted write leaves an
// earlier file of that name as it was and no temporary file behind.
#pragma once

#include "pyglue/pyglue.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <string>

namespace korrin {

// Names tried before the last FileExistsError is given up on.
inline constexpr int kTemporaryNameAttempts = 100;

// ".<8 characters>.tmp", the characters ones no other process can predict, so
// a leftover of a killed run (even one that had our pid) never blocks a write.
inline std::string temporary_suffix() {
    static constexpr char alphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789_";
    std::random_device source;
    std::string suffix = ".________.tmp";
    for (std::size_t i = 1; i <= 8; ++i) suffix[i] = alphabet[source() % (sizeof alphabet - 1)];
    return suffix;
}

// prefix + base + suffix in the type of `base`: a bytes path keeps bytes parts.
inline pyglue::Ref affix(PyObject* base, const std::string& prefix, const std::string& suffix) {
    bool bytes = PyBytes_Check(base);
    auto make = [&](const std::string& s) {
        return pyglue::check(bytes ? PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()))
                                   : PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
    };
    pyglue::Ref head = pyglue::check(PySequence_Concat(make(prefix).get(), base));
    return pyglue::check(PySequence_Concat(head.get(), make(suffix).get()));
}

// Like `with open(path, mode) as f: write(f)` ("w" or "wb" modes), through the
// module's `open` and `os`. The file a symlink points to is the one replaced,
// so the link stays a link; an existing file keeps its permission bits, a new
// one gets open's (0666 less the umask). Where a replace cannot behave as
// open would (not a plain file, not writable, no temporary file possible in
// that directory), the plain `with open(...)` does the work and raises its own
// errors.
template <class Write>
void write_atomically(pyglue::ModuleState& m, PyObject* path, const char* mode, Write&& write) {
    using pyglue::id;
    using pyglue::Ref;

    Ref open = pyglue::global<"open">(m);
    auto plain_open = [&] {
        Ref text_mode = pyglue::text(mode);
        Ref manager = pyglue::call(open.get(), path, text_mode.get());
        pyglue::with_block(m, manager.get(), [&](PyObject* file) { write(file); });
    };

    Ref fspath = Ref::steal(PyOS_FSPath(path));
    if (!fspath) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) pyglue::fail();
        PyErr_Clear();
        return plain_open();
    }
    Ref os = pyglue::global<"os">(m);
    Ref os_path = pyglue::getattr(os.get(), id<"path">(m));
    Ref base = pyglue::call_method(os_path.get(), id<"basename">(m), fspath.get());
    if (!pyglue::truth(base.get())) return plain_open();  // "dir/": open's own error

    Ref target = pyglue::call_method(os_path.get(), id<"realpath">(m), fspath.get());
    Ref kept_mode;
    Ref stat;
    Ref missing = pyglue::attempt(PyExc_OSError, [&] { stat = pyglue::call_method(os.get(), id<"stat">(m), target.get()); });
    if (missing) {
        if (!pyglue::is_instance_of(missing.get(), PyExc_FileNotFoundError)) return plain_open();
    } else {
        long st_mode = PyLong_AsLong(pyglue::getattr(stat.get(), id<"st_mode">(m)).get());
        if (st_mode == -1 && PyErr_Occurred()) pyglue::fail();
        Ref writable_flag = pyglue::check(PyLong_FromLong(W_OK));
        if (!S_ISREG(st_mode) ||
            !pyglue::truth(pyglue::call_method(os.get(), id<"access">(m), target.get(), writable_flag.get()).get()))
            return plain_open();
        kept_mode = pyglue::check(PyLong_FromLong(st_mode & 07777));
    }

    Ref directory = pyglue::call_method(os_path.get(), id<"dirname">(m), target.get());
    Ref target_base = pyglue::call_method(os_path.get(), id<"basename">(m), target.get());
    std::string exclusive_mode = mode;
    exclusive_mode[0] = 'x';
    Ref exclusive = pyglue::text(exclusive_mode.c_str());
    Ref temp_path, file;
    for (int attempt = 1;; ++attempt) {
        Ref name = affix(target_base.get(), ".", temporary_suffix());
        temp_path = pyglue::call_method(os_path.get(), id<"join">(m), directory.get(), name.get());
        Ref error = pyglue::attempt(PyExc_OSError, [&] { file = pyglue::call(open.get(), temp_path.get(), exclusive.get()); });
        if (!error) break;
        if (!pyglue::is_instance_of(error.get(), PyExc_FileExistsError)) return plain_open();
        if (attempt == kTemporaryNameAttempts) pyglue::reraise(std::move(error));
    }

    // From here on the temporary file is ours, and only it is removed on failure.
    Ref failure = pyglue::attempt(PyExc_BaseException, [&] {
        pyglue::with_block(m, file.get(), [&](PyObject* handle) { write(handle); });
        if (kept_mode) pyglue::call_method(os.get(), id<"chmod">(m), temp_path.get(), kept_mode.get());
        pyglue::call_method(os.get(), id<"replace">(m), temp_path.get(), target.get());
    });
    if (!failure) return;
    pyglue::while_handling(failure.get(), [&] {
        // Best effort, like a `finally` that must not mask the original error.
        if (PyObject* r = PyObject_CallMethodNoArgs(file.get(), id<"close">(m))) Py_DECREF(r);
        else PyErr_Clear();
        if (PyObject* r = PyObject_CallMethodOneArg(os.get(), id<"unlink">(m), temp_path.get())) Py_DECREF(r);
        else PyErr_Clear();
    });
    pyglue::reraise(std::move(failure));
}

// Where a file of the run goes: `location` or else runtime.directory, joined
// with `name` or else `default_name` (os.path.join through the module's os).
struct RunFile {
    pyglue::Ref location;
    pyglue::Ref name;
    pyglue::Ref path;
};

inline RunFile run_file(pyglue::ModuleState& m, PyObject* location_arg, PyObject* name_arg, const char* default_name) {
    using pyglue::id;
    using pyglue::Ref;
    Ref location = Ref::borrow(location_arg);
    if (!pyglue::truth(location.get())) {
        Ref runtime = pyglue::global<"runtime">(m);
        location = pyglue::getattr(runtime.get(), id<"directory">(m));
    }
    Ref name = Ref::borrow(name_arg);
    if (!pyglue::truth(name.get())) name = pyglue::text(default_name);
    Ref os = pyglue::global<"os">(m);
    Ref os_path = pyglue::getattr(os.get(), id<"path">(m));
    Ref path = pyglue::call_method(os_path.get(), id<"join">(m), location.get(), name.get());
    return {std::move(location), std::move(name), std::move(path)};
}

}  // namespace korrin
