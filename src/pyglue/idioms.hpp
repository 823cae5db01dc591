// Python statements that the modules spell out in C++, each in one place so
// they cannot drift apart: `for`, `a, b = x`, `raise T(message)`, `with` and
// the module logger's `log.info(...)`.
#pragma once

#include "pyglue/call.hpp"
#include "pyglue/errors.hpp"

#include <type_traits>
#include <utility>

namespace pyglue {

// A function of plain Python source, compiled once per module on first use:
// where the interpreter's own statement decides the outcome (its error
// wording, which changes between versions), the statement itself runs.
inline Ref interpreter_twin(ModuleState& m, PyObject* name) {
    static constexpr const char* source =
        "def unpack_two(value):\n"
        "    first, second = value\n"
        "    return first, second\n"
        "def with_statement(manager):\n"
        "    with manager:\n"
        "        pass\n"
        "def plain():\n"
        "    pass\n";
    if (!m.twins) {
        if (!m.builtins) detail::state_cleared();
        Ref code = check(Py_CompileString(source, "<korrin.utils>", Py_file_input));
        Ref globals = check(PyDict_New());
        check_status(PyDict_SetItemString(globals.get(), "__builtins__", m.builtins.get()));
        check(PyEval_EvalCode(code.get(), globals.get(), globals.get()));
        m.twins = globals;
    }
    PyObject* twin = PyDict_GetItemWithError(m.twins.get(), name);
    if (!twin && !PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, name);
    if (!twin) fail();
    return Ref::borrow(twin);
}

// twin(*args) for the interpreter_twin `name`, its own frame left out of the
// traceback of what it raises, as the statement would not have one.
template <class... Args>
Ref call_twin(ModuleState& m, PyObject* name, Args... args) {
    Ref twin = interpreter_twin(m, name);
    std::array<PyObject*, sizeof...(Args) + 1> argv{nullptr, args...};
    PyObject* result = PyObject_Vectorcall(twin.get(), argv.data() + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                           nullptr);
    if (result) return Ref::steal(result);
    Ref exception = fetch();
    if (exception) check_status(PyException_SetTraceback(exception.get(), Py_None));
    reraise(std::move(exception));
}

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

// `first, second = value`: an exact pair directly, anything else through
// the statement itself (its errors word the count as the running version does).
inline std::pair<Ref, Ref> unpack_two(ModuleState& m, PyObject* value) {
    if (PyTuple_CheckExact(value) && PyTuple_GET_SIZE(value) == 2)
        return {Ref::borrow(PyTuple_GET_ITEM(value, 0)), Ref::borrow(PyTuple_GET_ITEM(value, 1))};
    Ref pair = call_twin(m, id<"unpack_two">(m), value);
    return {Ref::borrow(PyTuple_GET_ITEM(pair.get(), 0)), Ref::borrow(PyTuple_GET_ITEM(pair.get(), 1))};
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

// log.info(message), `log` being the module's global.
inline void log_info(const ModuleState& m, PyObject* message) {
    Ref log = global<"log">(m);
    call_method(log.get(), id<"info">(m), message);
}

// `name` in the dicts of `type`'s MRO, as attribute lookup on the type
// finds it (and not on its metaclass); empty when no class has it.
inline Ref type_lookup(PyTypeObject* type, PyObject* name) {
    // Held: a key's __eq__ run by a lookup may assign __bases__, which
    // replaces the MRO being walked.
    Ref mro = Ref::borrow(type->tp_mro);
    for (Py_ssize_t i = 0; mro && i < PyTuple_GET_SIZE(mro.get()); ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.get(), i));
        Ref dict = Ref::steal(compat::type_dict(base));
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
// a true result swallows the exception, as the statement does. A manager
// without the protocol goes to the statement itself, for its own error.
template <class Body>
void with_block(ModuleState& m, PyObject* manager, Body&& body) {
    Ref enter = special_method(manager, id<"__enter__">(m));
    Ref exit = enter ? special_method(manager, id<"__exit__">(m)) : Ref();
    if (!exit) {
        call_twin(m, id<"with_statement">(m), manager);
        raise(PyExc_SystemError, "the with statement accepted a manager without __enter__ or __exit__");
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

// Reads `value`, the local `name` that a `with` block should have bound. A
// manager whose __exit__ swallowed the block's error leaves it unbound, and
// in a def reading it raises UnboundLocalError.
inline Ref bound_after_with(Ref value, const char* name) {
    if (!value) {
        PyErr_Format(PyExc_UnboundLocalError,
                     "cannot access local variable '%s' where it is not associated with a value", name);
        fail();
    }
    return value;
}

}  // namespace pyglue
