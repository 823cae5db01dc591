// Catching Python exceptions and raising new ones with the chaining that the
// equivalent `try/except/raise` statements would give.
#pragma once

#include "pyglue/state.hpp"

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

// Runs `body`; returns the exception it raised when that exception is an
// instance of `type` (the `except type as e` clause), an empty Ref when it
// succeeded. Anything else propagates unchanged.
template <class Body>
Ref attempt(PyObject* type, Body&& body) {
    try {
        body();
        return Ref();
    } catch (const Error&) {
        Ref exception = fetch();
        if (!exception) throw;
        if (!is_instance_of(exception.get(), type)) reraise(std::move(exception));
        return exception;
    }
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
            if (!compat::thread_may_touch_objects()) return;  // a thread ended at exit: its state may be gone
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
