// Files of the run directory. Those written by korrin.utils.profile land whole
// or not at all: the content goes to a temporary file beside the target, which
// os.replace then moves into place. A failed or interrupted write leaves an
// earlier file of that name as it was and none of its temporary files behind.
// Temporary files of other writers (even killed ones) are never touched: their
// names are random, and a taken name is simply skipped.
#pragma once

#include "pyglue/pyglue.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <string>

namespace korrin {

// Names tried before the last FileExistsError is given up on.
inline constexpr int kTemporaryNameAttempts = 100;

// Bytes that ".{name}.{random}.tmp" adds to the name.
inline constexpr Py_ssize_t kTemporaryAffixBytes = 14;

// ".{8 characters}.tmp", the characters ones no other process can predict, so
// a leftover of a killed run (even one that had our pid) never blocks a write.
inline std::string temporary_suffix() {
    static constexpr char alphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789_";
    std::random_device source;
    std::string suffix = ".________.tmp";
    for (std::size_t i = 1; i <= 8; ++i) suffix[i] = alphabet[source() % (sizeof alphabet - 1)];
    return suffix;
}

// The longest file name `directory` takes, in bytes; -1 for no limit. Should
// the question itself fail, the usual 255 (the create then says what is wrong).
inline long name_limit(pyglue::ModuleState& m, PyObject* os, PyObject* directory) {
    using pyglue::id;
    pyglue::Ref limit;
    pyglue::Ref what = pyglue::text("PC_NAME_MAX");
    pyglue::Ref error = pyglue::attempt(PyExc_OSError, [&] {
        pyglue::Outcome asked = pyglue::try_call_method(os, id<"pathconf">(m), directory, what.get());
        limit = asked.take();
        return asked;
    });
    if (error) return 255;
    long value = PyLong_AsLong(limit.get());
    if (value == -1 && PyErr_Occurred()) pyglue::fail();
    return value;
}

// ".{base}.{random}.tmp" in the type of `base` (a bytes name keeps bytes).
// Where that exceeds `limit` bytes of the encoded name, the longest prefix of
// `base` that fits, cut between characters, stands for it; with no room for
// any, ".{random}.tmp".
inline pyglue::Ref temporary_name(PyObject* base, long limit) {
    using pyglue::Ref;
    bool bytes = PyBytes_Check(base);
    Ref name = bytes ? pyglue::check(PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(base), PyBytes_GET_SIZE(base)))
                     : Ref::borrow(base);
    auto encoded_size = [&](Py_ssize_t characters) {
        Ref head = pyglue::check(PyUnicode_Substring(name.get(), 0, characters));
        return PyBytes_GET_SIZE(pyglue::check(PyUnicode_EncodeFSDefault(head.get())).get());
    };
    Py_ssize_t kept = PyUnicode_GET_LENGTH(name.get());
    if (limit >= 0 && encoded_size(kept) + kTemporaryAffixBytes > limit) {
        // Encoded sizes grow with the prefix: the longest one that fits.
        Py_ssize_t budget = limit - kTemporaryAffixBytes, fits = 0, over = kept;
        while (over - fits > 1) {
            Py_ssize_t middle = fits + (over - fits) / 2;
            (encoded_size(middle) <= budget ? fits : over) = middle;
        }
        kept = fits;
    }
    std::string tail = temporary_suffix();
    Ref head = pyglue::check(PyUnicode_Substring(name.get(), 0, kept));
    Ref text = pyglue::check(kept ? PyUnicode_FromFormat(".%U%s", head.get(), tail.c_str())
                                  : PyUnicode_FromString(tail.c_str()));
    return bytes ? pyglue::check(PyUnicode_EncodeFSDefault(text.get())) : text;
}

// Sets the OSError for errno about `filename`, as the os functions raise it.
[[noreturn]] inline void raise_errno(int error, PyObject* filename) {
    errno = error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
    pyglue::fail();
}

// Raises what open(path, "w") would raise for an existing file that cannot be
// written (EACCES, EROFS, ETXTBSY, ...), touching nothing: the kernel's own
// answer, whatever decides it (ids, ACLs, mounts).
inline void require_writable(PyObject* fspath) {
    pyglue::Ref encoded;
    {
        PyObject* raw = nullptr;
        if (!PyUnicode_FSConverter(fspath, &raw)) pyglue::fail();
        encoded = pyglue::Ref::steal(raw);
    }
    int fd, error = 0;
    Py_BEGIN_ALLOW_THREADS
    // No O_TRUNC: the file keeps its content; O_NONBLOCK: a FIFO swapped in meanwhile cannot hang us.
    fd = ::open(PyBytes_AS_STRING(encoded.get()), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) error = errno;
    else ::close(fd);
    Py_END_ALLOW_THREADS
    if (error) raise_errno(error, fspath);
}

// Puts `data` (bytes) into the existing file `fspath` without replacing it, for
// directories where no temporary file can be made. The old content stays until
// room for the new one is reserved (a size limit or a full disk fails first);
// from the first write on, a crash leaves a mixed file.
inline void write_in_place(PyObject* fspath, PyObject* data) {
    pyglue::Ref encoded;
    {
        PyObject* raw = nullptr;
        if (!PyUnicode_FSConverter(fspath, &raw)) pyglue::fail();
        encoded = pyglue::Ref::steal(raw);
    }
    const char* bytes = PyBytes_AS_STRING(data);
    const off_t size = PyBytes_GET_SIZE(data);
    int error = 0;
    Py_BEGIN_ALLOW_THREADS
    int fd = ::open(PyBytes_AS_STRING(encoded.get()), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) error = errno;
    struct rlimit file_size;
    if (!error && ::getrlimit(RLIMIT_FSIZE, &file_size) == 0 && file_size.rlim_cur != RLIM_INFINITY &&
        static_cast<rlim_t>(size) > file_size.rlim_cur)
        error = EFBIG;
#ifdef FALLOC_FL_KEEP_SIZE
    // Blocks reserved, the size left alone: should the writes fail after all,
    // the file reads as before, without padding.
    if (!error && size > 0 && ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, size) != 0 && errno != EOPNOTSUPP &&
        errno != ENOSYS && errno != EINVAL)
        error = errno;
#endif
    for (off_t done = 0; !error && done < size;) {
        ssize_t n = ::pwrite(fd, bytes + done, static_cast<size_t>(size - done), done);
        if (n > 0) done += n;
        else if (n == 0) error = EIO;
        else if (errno != EINTR) error = errno;
    }
    if (!error && ::ftruncate(fd, size) != 0) error = errno;
    if (fd >= 0 && ::close(fd) != 0 && !error && errno != EINTR) error = errno;
    Py_END_ALLOW_THREADS
    if (error) raise_errno(error, fspath);
}

// What `with open(path, mode) as f: write(f)` would put into the file, as
// bytes, made in memory: text goes through the TextIOWrapper that open would
// make (the same default encoding and newline handling).
template <class Write>
pyglue::Ref render(pyglue::ModuleState& m, const char* mode, Write&& write) {
    using pyglue::id;
    using pyglue::Ref;
    Ref io = pyglue::import_module(m, "io");
    Ref buffer = pyglue::call_method(io.get(), id<"BytesIO">(m));
    Ref wrapper;  // closes the buffer when dropped: kept until the value is taken
    if (std::string(mode).find('b') != std::string::npos) {
        write(buffer.get());
    } else {
        wrapper = pyglue::call_method(io.get(), id<"TextIOWrapper">(m), buffer.get());
        write(wrapper.get());
        pyglue::call_method(wrapper.get(), id<"flush">(m));
    }
    return pyglue::call_method(buffer.get(), id<"getvalue">(m));
}

inline bool has_errno(const pyglue::ModuleState& m, PyObject* exception, std::initializer_list<int> errnos) {
    pyglue::Ref value = pyglue::getattr(exception, pyglue::id<"errno">(m));
    long number = PyLong_Check(value.get()) ? PyLong_AsLong(value.get()) : -1;
    if (number == -1 && PyErr_Occurred()) pyglue::fail();
    for (int e : errnos)
        if (number == e) return true;
    return false;
}

// Raises, for the error that making the temporary file beside `fspath` gave,
// the one open(fspath) gives for the same cause: the same type, errno and
// text, naming the file being written. The temporary file's error stays
// reachable as the context, not shown. Anything else is raised unchanged.
[[noreturn]] inline void raise_for_target(pyglue::ModuleState& m, pyglue::Ref error, PyObject* temp_path,
                                          PyObject* fspath) {
    using pyglue::id;
    using pyglue::Ref;
    if (!pyglue::is_instance_of(error.get(), PyExc_OSError)) pyglue::reraise(std::move(error));
    Ref filename = pyglue::getattr(error.get(), id<"filename">(m));
    Ref number = pyglue::getattr(error.get(), id<"errno">(m));
    if (!PyLong_Check(number.get()) ||
        !pyglue::check_status(PyObject_RichCompareBool(filename.get(), temp_path, Py_EQ)))
        pyglue::reraise(std::move(error));
    Ref text = pyglue::getattr(error.get(), id<"strerror">(m));
    Ref renamed = pyglue::call(PyExc_OSError, number.get(), text.get(), fspath);
    pyglue::raise_in_handler(std::move(renamed), error.get(), pyglue::Chain::NoCause);
}

// Like `with open(path, mode) as f: write(f)` ("w" or "wb" modes), through the
// module's `open` and `os`, except that the file is replaced whole. The file a
// symlink points to is the one replaced, so the link stays a link (a hard link
// is broken: the name gets a new file); an existing file keeps its permission
// bits, a new one gets open's (0666 less the umask).
//
// Where a replace cannot stand for open (no path, a FIFO or device, a
// directory), the plain `with open(...)` does the work and raises its own
// errors. A regular file that open could not write raises open's error. Where
// the directory takes no new file (permissions, a read-only mount), or the
// name cannot be replaced, but the file itself is writable, the whole content
// is made first and then written over the file. Any other failure raises, the
// target untouched.
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

    // Whatever stops the stat (a loop, a name too long, a search permission)
    // stops open too, with the same error.
    Ref stat;
    // A new file (nothing to stat) is the ordinary case: no throw.
    Ref missing = pyglue::attempt(PyExc_OSError, [&] {
        pyglue::Outcome found = pyglue::try_call_method(os.get(), id<"stat">(m), fspath.get());
        stat = found.take();
        return found;
    });
    if (missing && !pyglue::is_instance_of(missing.get(), PyExc_FileNotFoundError)) pyglue::reraise(std::move(missing));
    Ref kept_mode;
    if (!missing) {
        long st_mode = PyLong_AsLong(pyglue::getattr(stat.get(), id<"st_mode">(m)).get());
        if (st_mode == -1 && PyErr_Occurred()) pyglue::fail();
        if (!S_ISREG(st_mode)) return plain_open();
        require_writable(fspath.get());
        kept_mode = pyglue::check(PyLong_FromLong(st_mode & 07777));
    }

    Ref target = pyglue::call_method(os_path.get(), id<"realpath">(m), fspath.get());
    Ref directory = pyglue::call_method(os_path.get(), id<"dirname">(m), target.get());
    Ref target_base = pyglue::call_method(os_path.get(), id<"basename">(m), target.get());
    long limit = name_limit(m, os.get(), directory.get());
    std::string exclusive_mode = mode;
    exclusive_mode[0] = 'x';
    Ref exclusive = pyglue::text(exclusive_mode.c_str());
    Ref temp_path, file;
    for (int attempt = 1;; ++attempt) {
        Ref name = temporary_name(target_base.get(), limit);
        temp_path = pyglue::call_method(os_path.get(), id<"join">(m), directory.get(), name.get());
        Ref error = pyglue::attempt(PyExc_BaseException, [&] {
            pyglue::Outcome opened = pyglue::try_call(open.get(), temp_path.get(), exclusive.get());
            file = opened.take();
            return opened;
        });
        if (!error) break;
        if (pyglue::is_instance_of(error.get(), PyExc_FileExistsError)) {
            if (attempt == kTemporaryNameAttempts) pyglue::reraise(std::move(error));
            continue;  // another writer's name, left alone
        }
        pyglue::while_handling(error.get(), [&] {
            // open may fail after making the file (the wrapper around it); the random name is ours.
            if (!Ref::steal(PyObject_CallMethodOneArg(os.get(), id<"unlink">(m), temp_path.get()))) PyErr_Clear();
        });
        bool no_new_file_here = pyglue::is_instance_of(error.get(), PyExc_PermissionError) ||
                                (pyglue::is_instance_of(error.get(), PyExc_OSError) && has_errno(m, error.get(), {EROFS}));
        if (!kept_mode || !no_new_file_here) raise_for_target(m, std::move(error), temp_path.get(), fspath.get());
        Ref data = render(m, mode, write);
        return write_in_place(fspath.get(), data.get());
    }

    // From here on the temporary file is ours, and only it is removed on failure.
    Ref failure = pyglue::attempt(PyExc_BaseException, [&] {
        pyglue::with_block(m, file.get(), [&](PyObject* handle) { write(handle); });
        if (kept_mode) pyglue::call_method(os.get(), id<"chmod">(m), temp_path.get(), kept_mode.get());
        Ref refused = pyglue::attempt(PyExc_OSError, [&] {
            return pyglue::try_call_method(os.get(), id<"replace">(m), temp_path.get(), target.get());
        });
        if (!refused) return;
        // A name that only open can reuse: another user's file in a sticky
        // directory, a file mounted over. Its new content, complete, goes over it.
        if (!kept_mode || !has_errno(m, refused.get(), {EPERM, EACCES, EBUSY, EXDEV})) pyglue::reraise(std::move(refused));
        Ref io = pyglue::import_module(m, "io");
        Ref rb = pyglue::text("rb");
        Ref reader = pyglue::call_method(io.get(), id<"open">(m), temp_path.get(), rb.get());
        Ref data;
        pyglue::with_block(m, reader.get(), [&](PyObject* h) { data = pyglue::call_method(h, id<"read">(m)); });
        write_in_place(fspath.get(), data.get());
        pyglue::call_method(os.get(), id<"unlink">(m), temp_path.get());
    });
    if (!failure) return;
    pyglue::while_handling(failure.get(), [&] {
        // Best effort, like a `finally` that must not mask the original error.
        if (!Ref::steal(PyObject_CallMethodNoArgs(file.get(), id<"close">(m)))) PyErr_Clear();
        if (!Ref::steal(PyObject_CallMethodOneArg(os.get(), id<"unlink">(m), temp_path.get()))) PyErr_Clear();
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
