// Owning references and the bridge between Python errors and C++ exceptions.
#pragma once

#include "pyglue/compat.hpp"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <new>
#include <utility>

namespace pyglue {

// Defined, with the exit callback that sets it, in lifecycle.hpp (included
// at the end of this header, which it needs in turn).
extern std::atomic<bool> interpreter_exiting;

namespace detail {
// Frees an object whose last reference goes. Mostly that happens while an
// error is set: a C++ unwind after a failed call, or the moments between a
// failure and its throw. A deallocator may clear or replace that error (a
// deque's allocates a block and clears what that raised), where in Python a
// traceback would have kept the object alive until the error was stored. So
// the error is put aside meanwhile, and whatever the deallocator raised is
// reported as the interpreter reports it for deallocators.
[[gnu::noinline]] inline void release_last(PyObject* p) noexcept {
    if (!PyErr_Occurred()) {
        Py_DECREF(p);
        return;
    }
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* pending = PyErr_GetRaisedException();
    Py_DECREF(p);
    if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
    PyErr_SetRaisedException(pending);
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    Py_DECREF(p);
    if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
    PyErr_Restore(type, value, traceback);
#endif
}
}  // namespace detail

// Gives up a reference. Once an interpreter is exiting, a thread that may not
// touch objects is a daemon thread that the interpreter is ending, unwinding
// through our frames: the reference is left to the exiting process. Only a
// release that frees the object leaves the inline path.
[[gnu::always_inline]] inline void release_reference(PyObject* p) noexcept {
    if (interpreter_exiting.load(std::memory_order_relaxed) && !compat::thread_may_touch_objects()) [[unlikely]]
        return;
    if (Py_REFCNT(p) == 1) detail::release_last(p);
    else Py_DECREF(p);
}

// An owning handle for a PyObject*. The only owner of a reference in C++ code.
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* p) noexcept { Ref r; r.p_ = p; return r; }
    static Ref borrow(PyObject* p) noexcept { Py_XINCREF(p); return steal(p); }

    Ref(const Ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref other) noexcept { std::swap(p_, other.p_); return *this; }
    [[gnu::always_inline]] ~Ref() {
        if (p_) release_reference(p_);
    }

    PyObject* get() const noexcept { return p_; }
    // Hands the reference over to the caller (e.g. as a return value to the interpreter).
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    // A new strong reference for APIs that steal one, keeping ours.
    PyObject* new_ref() const noexcept { Py_XINCREF(p_); return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// Thrown when a Python exception is set; every entry point turns it into NULL / -1.
struct Error {};

[[noreturn]] inline void fail() { throw Error{}; }

// Takes a new reference from a C API call, throwing when it signalled an error.
inline Ref check(PyObject* p) {
    if (!p) fail();
    return Ref::steal(p);
}

inline int check_status(int status) {
    if (status < 0) fail();
    return status;
}

inline bool truth(PyObject* o) { return check_status(PyObject_IsTrue(o)) != 0; }

[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    fail();
}

namespace detail {
// The unwind that pthread_exit starts is no C++ exception: the runtime
// offers no exception_ptr for it (nor for any foreign exception, which is
// not ours to stop either).
inline bool forced_unwind() noexcept { return !std::current_exception(); }

inline void translate_current_exception() noexcept {
    try {
        throw;
    } catch (const Error&) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "error signalled without an exception set");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}
}  // namespace detail

// Runs the body of a Python-callable entry point: the body returns a Ref, the
// interpreter gets a new reference or NULL with the error set. The forced
// unwind that ends a thread (pthread_exit) passes through untouched.
template <class Body>
PyObject* entry(Body&& body) {
    try {
        return body().release();
    } catch (...) {
        if (detail::forced_unwind()) throw;
        detail::translate_current_exception();
        return nullptr;
    }
}

// Same for slots returning an int status (module exec and friends).
template <class Body>
int entry_status(Body&& body) {
    try {
        body();
        return 0;
    } catch (...) {
        if (detail::forced_unwind()) throw;
        detail::translate_current_exception();
        return -1;
    }
}

// Strings are always in their canonical form from 3.12 on; before that a
// legacy string may still need converting before its buffer is read.
inline void ready(PyObject* text) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(text) < 0) fail();
#else
    (void)text;
#endif
}

inline Ref none() { return Ref::borrow(Py_None); }
inline Ref boolean(bool value) { return Ref::borrow(value ? Py_True : Py_False); }

// Compile-time text usable as a template argument: `id<"logger">()`.
template <std::size_t N>
struct Literal {
    char text[N];
    constexpr Literal(const char (&s)[N]) { std::copy_n(s, N, text); }
};

}  // namespace pyglue

#include "pyglue/lifecycle.hpp"
