// The interpreter's exit as our references see it: a flag that an exit
// callback sets, read by release_reference (ref.hpp) before it gives a
// reference up and by while_handling (errors.hpp) before it restores the
// thread's handled exception.
#pragma once

#include "pyglue/ref.hpp"

#include <atomic>

namespace pyglue {

// Set when an interpreter runs its exit callbacks, which it does before it
// ends the daemon threads still running (see note_interpreter_exit).
//
// One flag for the process, set by whichever interpreter exits first: a
// subinterpreter's exit sets it for the main interpreter too. That only costs
// the others a look at the thread on each release, and that look is true
// for every thread that is running our code in a live interpreter; a flag
// per interpreter would need the interpreter found on every release.
inline std::atomic<bool> interpreter_exiting{false};

namespace detail {

inline PyObject* note_exit(PyObject*, PyObject*) {
    interpreter_exiting.store(true, std::memory_order_relaxed);
    Py_RETURN_NONE;
}

inline PyMethodDef note_exit_def = {"korrin_utils_exiting", note_exit, METH_NOARGS, nullptr};

// Exit callbacks run before the interpreter ends its daemon threads, so one
// of ours tells release_reference when to look at the thread first. One per
// interpreter: an equal callback registered before is dropped first.
inline void note_interpreter_exit() {
    Ref atexit = check(PyImport_ImportModule("atexit"));
    Ref callback = check(PyCFunction_New(&note_exit_def, nullptr));
    check(PyObject_CallMethod(atexit.get(), "unregister", "O", callback.get()));
    check(PyObject_CallMethod(atexit.get(), "register", "O", callback.get()));
}

}  // namespace detail

}  // namespace pyglue
