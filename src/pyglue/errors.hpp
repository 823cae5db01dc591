// Catching Python exceptions and raising new ones with the chaining that the
// equivalent `try/except/raise` statements would give.
#pragma once

#include "pyglue/state.hpp"

#include <type_traits>
#include <utility>

namespace pyglue {

// Takes the raised exception out of the error indicator, normalised and with
// its traceback attached (as an `except ... as e` clause would see it).
inline Ref fetch() {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type) return Ref();
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return Ref::steal(value);
#endif
}

// Puts a caught exception back as the raised one (a bare `raise`).
[[noreturn]] inline void reraise(Ref exception) {
    PyObject* exc = exception.release();
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc, PyException_GetTraceback(exc));
#endif
    fail();
}

inline bool is_instance_of(PyObject* exception, PyObject* type) {
    return PyErr_GivenExceptionMatches(exception, type) != 0;
}

// What a call into Python gave: its value, or the exception it raised. The
// exception is taken out of the error indicator at once, so an expected
// failure costs no C++ throw and leaves the indicator clear.
class Outcome {
public:
    Outcome() = default;  // succeeded, with no value (a statement)
    static Outcome value(Ref v) { Outcome o; o.value_ = std::move(v); return o; }
    // A new reference from the C API, or NULL with the error set.
    static Outcome of(PyObject* result) { return result ? value(Ref::steal(result)) : raised(); }
    // A status from the C API: negative with the error set.
    static Outcome of_status(int status) { return status < 0 ? raised() : Outcome(); }
    static Outcome raised() {
        Outcome o;
        o.exception_ = fetch();
        if (!o.exception_) {
            PyErr_SetString(PyExc_SystemError, "error signalled without an exception set");
            o.exception_ = fetch();
        }
        return o;
    }

    bool failed() const noexcept { return static_cast<bool>(exception_); }
    PyObject* get() const noexcept { return value_.get(); }
    Ref take() noexcept { return std::move(value_); }
    Ref take_exception() noexcept { return std::move(exception_); }

private:
    Ref value_;
    Ref exception_;
};

// `try: body() except type as e:` — returns the caught exception, or an
// empty Ref when the body succeeded; anything else propagates unchanged.
// A body that returns an Outcome hands its expected failure back without a
// C++ throw (the common case, e.g. a lookup that misses); errors raised by
// the body with a throw are caught as well, as the `try` statement catches
// everything in it.
template <class Body>
Ref attempt(PyObject* type, Body&& body) {
    Ref exception;
    try {
        if constexpr (std::is_same_v<std::invoke_result_t<Body&>, Outcome>) {
            Outcome outcome = body();
            if (!outcome.failed()) return Ref();
            exception = outcome.take_exception();
        } else {
            body();
            return Ref();
        }
    } catch (const Error&) {
        exception = fetch();
        if (!exception) throw;
    }
    if (!is_instance_of(exception.get(), type)) reraise(std::move(exception));
    return exception;
}

enum class Chain {
    Context,   // raise X            (inside the handler: context = caught)
    Cause,     // raise X from e     (cause = caught, context kept)
    NoCause,   // raise X from None  (context kept but suppressed)
};

// Runs `body` as the inside of `except ... as caught:` runs: whatever it
// raises gets `caught` as its context, as the interpreter chains it. The
// thread's handled-exception slot is put back exactly as it was afterwards.
template <class Body>
void while_handling(PyObject* caught, Body&& body) {
    struct Restore {
        PyObject** slot;
        PyObject* saved;
        ~Restore() {
            // A thread ended at exit: its state may be gone.
            if (interpreter_exiting.load(std::memory_order_relaxed) && !compat::thread_may_touch_objects()) return;
            PyObject* replaced = std::exchange(*slot, saved);
            if (replaced) release_reference(replaced);
        }
    } restore{compat::handled_exception_slot(), nullptr};
    restore.saved = *restore.slot;  // the reference moves into `restore`
    *restore.slot = Py_NewRef(caught);
    body();
}

// Raises the exception instance `exception` while `caught` is being handled.
[[noreturn]] inline void raise_in_handler(Ref exception, PyObject* caught, Chain chain) {
    if (chain == Chain::Cause) PyException_SetCause(exception.get(), Py_NewRef(caught));
    if (chain == Chain::NoCause) PyException_SetCause(exception.get(), nullptr);
    while_handling(caught, [&] {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
    });
    fail();
}

}  // namespace pyglue
