// The interpreter's private API, each use in this one header behind a version
// check, with what the public API lacks. Everything else uses public API only.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

// Each use below was checked for every version up to 3.15; a newer one must
// be checked again before it builds.
#if PY_VERSION_HEX >= 0x03100000
#error "korrin.utils: check src/pyglue/compat.hpp (handled-exception slot, thread-state access, type version tag, type attribute lookup, dict version tag, 3.11 type dict, list extend before 3.13) for this Python version, then raise the bound"
#endif

// Free-threading changes reference counting and type/dict access under us.
#ifdef Py_GIL_DISABLED
#error "korrin.utils: free-threaded CPython builds are not supported yet"
#endif

namespace pyglue::compat {

// The thread's own handled-exception slot (what `except ... as e` sets). The
// public Get/SetHandledException see the topmost handled exception across
// frames and would leave an outer handler's exception in a generator's slot
// when restoring.
inline PyObject** handled_exception_slot() { return &PyThreadState_Get()->exc_info->exc_value; }

// Whether the calling thread may touch objects: false for a daemon thread
// that the interpreter is ending at exit while it unwinds through our frames.
// From 3.12 on the current thread state is per thread and null then (public
// from 3.13 on); on 3.11 it is the GIL holder's, so the thread compares it
// with its own, and only while the runtime finalizes (subinterpreter threads
// have no GILState entry of their own).
inline bool thread_may_touch_objects() {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked() != nullptr;
#elif PY_VERSION_HEX >= 0x030C0000
    return _PyThreadState_UncheckedGet() != nullptr;
#else
    return !_Py_IsFinalizing() || _PyThreadState_UncheckedGet() == PyGILState_GetThisThreadState();
#endif
}

// A type's version tag: it changes with every assignment to the type or a
// base, so an unchanged non-zero tag means unchanged attributes. There is no
// public accessor.
inline std::uint32_t type_version(PyTypeObject* type) { return type->tp_version_tag; }

// Gives the type a version tag if it has none (0 when it cannot have one).
// Before 3.12 only an attribute lookup on the type assigns one.
inline std::uint32_t assign_type_version(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
    PyUnstable_Type_AssignVersionTag(type);
#else
    PyObject* probe = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__init__");
    if (probe) Py_DECREF(probe);
    else PyErr_Clear();
#endif
    return type->tp_version_tag;
}

// name looked up on the type and its bases as attribute lookup does, with the
// interpreter's method cache (borrowed; null and no error set when missing).
// The public way, an attribute read on the type, also runs its metaclass's
// descriptors.
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) { return _PyType_Lookup(type, name); }

// A dict's version: it changes with every change to the dict, so an
// unchanged one means unchanged items; 0 where the version has none (3.14
// removed it). The field is deprecated from 3.12 on, with no public stand-in
// short of dict watchers.
inline std::uint64_t dict_version(PyObject* dict) {
#if PY_VERSION_HEX < 0x030E0000
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#pragma GCC diagnostic pop
#else
    (void)dict;
    return 0;
#endif
}

// list.extend itself on a list (0, or -1 with an error set): public from
// 3.13 on, before only the private function that list.extend calls.
inline int list_extend(PyObject* list, PyObject* iterable) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyList_Extend(list, iterable);
#else
    PyObject* none = _PyList_Extend(reinterpret_cast<PyListObject*>(list), iterable);
    if (!none) return -1;
    Py_DECREF(none);
    return 0;
#endif
}

// The type's own attribute dict (new reference). 3.12 has the public
// PyType_GetDict (builtin types keep theirs per interpreter); 3.11 only the field.
inline PyObject* type_dict(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
    return PyType_GetDict(type);
#else
    return Py_XNewRef(type->tp_dict);
#endif
}

}  // namespace pyglue::compat
