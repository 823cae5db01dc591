// Python statements that the modules spell out in C++, each in one place so
// they cannot drift apart: `for`, `a, b = x`, `raise T(message)`, `with` and
// the module logger's `log.info(...)`.
#pragma once

#include "pyglue/call.hpp"
#include "pyglue/errors.hpp"

#include <type_traits>
#include <utility>

namespace pyglue {

// for item in iterable: body(item). A body that returns bool ends the loop
// (`break`) by returning false.
template <class Body>
void for_each(PyObject* iterable, Body&& body) {
    Ref iterator = check(PyObject_GetIter(iterable));
    while (PyObject* raw = PyIter_Next(iterator.get())) {
        Ref item = Ref::steal(raw);
        if constexpr (std::is_same_v<decltype(body(item.get())), bool>) {
            if (!body(item.get())) return;
        } else {
            body(item.get());
        }
    }
    if (PyErr_Occurred()) fail();
}

// `first, second = value`, with the interpreter's unpacking errors.
inline std::pair<Ref, Ref> unpack_two(PyObject* value) {
    if (PyTuple_CheckExact(value) && PyTuple_GET_SIZE(value) == 2)
        return {Ref::borrow(PyTuple_GET_ITEM(value, 0)), Ref::borrow(PyTuple_GET_ITEM(value, 1))};
    PyObject* raw = PyObject_GetIter(value);
    if (!raw) {
        PyTypeObject* type = Py_TYPE(value);
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !type->tp_iter && !PySequence_Check(value)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", type->tp_name);
        }
        fail();
    }
    Ref iterator = Ref::steal(raw);
    Ref items[2];
    for (int i = 0; i < 2; ++i) {
        items[i] = Ref::steal(PyIter_Next(iterator.get()));
        if (items[i]) continue;
        if (PyErr_Occurred()) fail();
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
        fail();
    }
    Ref extra = Ref::steal(PyIter_Next(iterator.get()));
    if (extra) raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    if (PyErr_Occurred()) fail();
    return {std::move(items[0]), std::move(items[1])};
}

// `type(message)`, checked the way `raise` checks what it is given.
inline Ref new_exception(PyObject* type, PyObject* message) {
    Ref exception = call(type, message);
    if (!PyExceptionInstance_Check(exception.get())) raise(PyExc_TypeError, "exceptions must derive from BaseException");
    return exception;
}

// raise type(message)
[[noreturn]] inline void raise_new(PyObject* type, PyObject* message) {
    Ref exception = new_exception(type, message);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
    fail();
}

// `raise type(message)` inside the handler of `caught`, with the chaining
// asked for; building the exception is part of the handler too.
[[noreturn]] inline void raise_new_in_handler(PyObject* type, PyObject* message, PyObject* caught, Chain chain) {
    Ref exception;
    while_handling(caught, [&] { exception = new_exception(type, message); });
    raise_in_handler(std::move(exception), caught, chain);
}

// log.info(message), `log` being the running module's global.
inline void log_info(PyObject* message) {
    Ref log = global(this_module(), id<"log">());
    call_method(log.get(), id<"info">(), message);
}

// `name` in the dicts of `type`'s MRO, as attribute lookup on the type
// finds it (and not on its metaclass); empty when no class has it.
inline Ref type_lookup(PyTypeObject* type, PyObject* name) {
    PyObject* mro = type->tp_mro;
    for (Py_ssize_t i = 0; mro && i < PyTuple_GET_SIZE(mro); ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
#if PY_VERSION_HEX >= 0x030C0000
        Ref dict = Ref::steal(PyType_GetDict(base));  // builtin types keep theirs per interpreter
#else
        Ref dict = Ref::borrow(base->tp_dict);
#endif
        if (!dict) continue;
        if (PyObject* found = PyDict_GetItemWithError(dict.get(), name)) return Ref::borrow(found);
        if (PyErr_Occurred()) fail();
    }
    return Ref();
}

// A special method as the interpreter finds it: on the type, bound to the
// object; empty when the type has none.
inline Ref special_method(PyObject* o, PyObject* name) {
    PyTypeObject* type = Py_TYPE(o);
    Ref found = type_lookup(type, name);
    if (!found) return found;
    descrgetfunc get = Py_TYPE(found.get())->tp_descr_get;
    if (!get) return found;
    return check(get(found.get(), o, reinterpret_cast<PyObject*>(type)));
}

// `with manager as value: body(value)`. __exit__ runs inside the handler of
// the block's exception (so its own error gets that one as __context__), and
// a true result swallows the exception, as the statement does.
template <class Body>
void with_block(PyObject* manager, Body&& body) {
    Ref enter = special_method(manager, id<"__enter__">());
    if (!enter) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
                     Py_TYPE(manager)->tp_name);
        fail();
    }
    Ref exit = special_method(manager, id<"__exit__">());
    if (!exit) {
        PyErr_Format(PyExc_TypeError,
                     "'%.200s' object does not support the context manager protocol (missed __exit__ method)",
                     Py_TYPE(manager)->tp_name);
        fail();
    }
    Ref value = call(enter.get());
    Ref failure = attempt(PyExc_BaseException, [&] { body(value.get()); });
    if (!failure) {
        call(exit.get(), Py_None, Py_None, Py_None);
        return;
    }
    Ref traceback = Ref::steal(PyException_GetTraceback(failure.get()));
    bool swallowed = false;
    while_handling(failure.get(), [&] {
        Ref result = call(exit.get(), reinterpret_cast<PyObject*>(Py_TYPE(failure.get())), failure.get(),
                          traceback ? traceback.get() : Py_None);
        swallowed = truth(result.get());
    });
    if (!swallowed) reraise(std::move(failure));
}

}  // namespace pyglue
