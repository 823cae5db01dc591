// korrin.utils.timeout: the clock of a polling loop (Timeout) and the holder
// of the latest attempt's outcome (TempResult).
//
// The clock, the sleep and the logger are the module globals `time` and `log`,
// looked up at each call, so rebinding them (a fake clock in tests) takes
// effect at once.
#include "pyglue/pyglue.hpp"

#include <variant>

using pyglue::id;
using pyglue::Ref;
using pyglue::Signature;

namespace {

Ref global(PyObject* name) { return pyglue::global(pyglue::this_module(), name); }

Ref now() {
    Ref time = global(id<"time">());
    return pyglue::call_method(time.get(), id<"time">());
}

// A message built the way str.format builds it: each replacement field is
// format(value, spec), the text between fields is kept; no template parsing
// on every polling step.
struct Field {
    PyObject* value;
    PyObject* spec;
};

Ref message(std::initializer_list<std::variant<PyObject*, Field>> parts) {
    Ref pieces = pyglue::check(PyTuple_New(static_cast<Py_ssize_t>(parts.size())));
    Py_ssize_t n = 0;
    for (const auto& part : parts) {
        Ref piece = std::holds_alternative<Field>(part)
            ? pyglue::check(PyObject_Format(std::get<Field>(part).value, std::get<Field>(part).spec))
            : Ref::borrow(std::get<PyObject*>(part));
        PyTuple_SET_ITEM(pieces.get(), n++, piece.release());
    }
    return pyglue::check(PyUnicode_Join(id<"">(), pieces.get()));
}

// ---------------------------------------------------------------- Timeout

constexpr const char* timeout_doc =
    "In any kind of automation, there is a need of polling. Try to do a\n"
    "       check/action, verify if expected result is there, if not, sleep for some time\n"
    "       and repeat up to a maximum time.";

constexpr const char* timeout_init_doc =
    "max_time is in seconds\n"
    "interval is in second\n"
    "\n"
    "Try up to max_time seconds, and between interval wait interval\n"
    "seconds";

Signature timeout_init_sig("Timeout.__init__", {"self", "max_time", "interval"});

PyObject* timeout_init(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return pyglue::entry([&] {
        auto [self, max_time, interval] = timeout_init_sig.bind(args, nargs, kwnames);
        pyglue::setattr(self, id<"max_time">(), max_time);
        pyglue::setattr(self, id<"interval">(), interval);
        Ref started = now();
        pyglue::setattr(self, id<"snapshot_time">(), started.get());
        pyglue::setattr(self, id<"one_more_time">(), Py_False);
        Ref one = pyglue::check(PyLong_FromLong(1));
        pyglue::setattr(self, id<"count">(), one.get());
        Ref mt = pyglue::getattr(self, id<"max_time">());
        Ref i = pyglue::getattr(self, id<"interval">());
        Ref text = message({id<"Starting a timeout with maximum time of ">(), Field{mt.get(), id<"">()},
                            id<" seconds with interval of ">(), Field{i.get(), id<"">()},
                            id<" seconds, Test case will fail after the maximum time set">()});
        pyglue::log_info(text.get());
        return pyglue::none();
    });
}

const pyglue::FunctionDef timeout_init_def = pyglue::function_def("__init__", timeout_init, timeout_init_sig, timeout_init_doc);

// The deadline, computed at every read so a changed max_time moves it at once.
Signature timeout_timeout_sig("Timeout.timeout", {"self"});

PyObject* timeout_timeout(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return pyglue::entry([&] {
        auto [self] = timeout_timeout_sig.bind(args, nargs, kwnames);
        Ref start = pyglue::getattr(self, id<"snapshot_time">());
        Ref max_time = pyglue::getattr(self, id<"max_time">());
        return pyglue::check(PyNumber_Add(start.get(), max_time.get()));
    });
}

const pyglue::FunctionDef timeout_timeout_def = pyglue::function_def("timeout", timeout_timeout, timeout_timeout_sig, nullptr);

Signature timeout_iterate_sig("Timeout.iterate", {"self"});

PyObject* timeout_iterate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return pyglue::entry([&] {
        auto [self] = timeout_iterate_sig.bind(args, nargs, kwnames);
        Ref owed = pyglue::getattr(self, id<"one_more_time">());
        if (pyglue::truth(owed.get())) {
            // The last attempt is granted at the deadline whatever the clock says.
            pyglue::log_info(id<"Performing the last attempt">());
            pyglue::setattr(self, id<"one_more_time">(), Py_False);
            return pyglue::boolean(true);
        }
        Ref current = now();
        Ref deadline = pyglue::getattr(self, id<"timeout">());
        Ref keep_going = pyglue::check(PyObject_RichCompare(current.get(), deadline.get(), Py_LT));
        if (!pyglue::truth(keep_going.get())) {
            pyglue::log_info(id<"Ran out of time for this timeout">());
        }
        return keep_going;
    });
}

const pyglue::FunctionDef timeout_iterate_def = pyglue::function_def("iterate", timeout_iterate, timeout_iterate_sig, nullptr);

Signature timeout_sleep_sig("Timeout.sleep", {"self"});

PyObject* timeout_sleep(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return pyglue::entry([&] {
        auto [self] = timeout_sleep_sig.bind(args, nargs, kwnames);
        Ref deadline = pyglue::getattr(self, id<"timeout">());
        Ref current = now();
        Ref remaining = pyglue::check(PyNumber_Subtract(deadline.get(), current.get()));
        Ref zero = pyglue::check(PyLong_FromLong(0));
        if (pyglue::truth(pyglue::check(PyObject_RichCompare(remaining.get(), zero.get(), Py_LT)).get())) {
            pyglue::log_info(id<"0 second remaining; Will not sleep">());
            return pyglue::none();
        }
        Ref sleep_time = pyglue::getattr(self, id<"interval">());
        if (pyglue::truth(pyglue::check(PyObject_RichCompare(remaining.get(), sleep_time.get(), Py_LT)).get())) {
            // The deadline falls inside this wait: stop there and owe one last attempt.
            sleep_time = remaining;
            pyglue::setattr(self, id<"one_more_time">(), Py_True);
        }
        Ref count = pyglue::getattr(self, id<"count">());
        Ref text = message({Field{remaining.get(), id<".2f">()}, id<" seconds remaining; Sleeping for ">(),
                            Field{sleep_time.get(), id<".2f">()}, id<" seconds. '">(), Field{count.get(), id<"">()},
                            id<"' attempt(s) have been performed">()});
        pyglue::log_info(text.get());
        count = pyglue::getattr(self, id<"count">());
        Ref one = pyglue::check(PyLong_FromLong(1));
        Ref next = pyglue::check(PyNumber_InPlaceAdd(count.get(), one.get()));
        pyglue::setattr(self, id<"count">(), next.get());
        Ref time = global(id<"time">());
        pyglue::call_method(time.get(), id<"sleep">(), sleep_time.get());
        return pyglue::none();
    });
}

const pyglue::FunctionDef timeout_sleep_def = pyglue::function_def("sleep", timeout_sleep, timeout_sleep_sig, nullptr);

// ---------------------------------------------------------------- TempResult

Signature temp_init_sig("TempResult.__init__", {"self", "container=None"});

PyObject* temp_init(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return pyglue::entry([&] {
        auto [self, container] = temp_init_sig.bind(args, nargs, kwnames);
        pyglue::setattr(self, id<"container">(), container);
        pyglue::setattr(self, id<"goto">(), Py_None);
        Ref passed = global(id<"Passed">());
        pyglue::setattr(self, id<"temp_result">(), passed.get());
        pyglue::setattr(self, id<"reason">(), Py_None);
        pyglue::setattr(self, id<"from_exception">(), Py_None);
        return pyglue::none();
    });
}

const pyglue::FunctionDef temp_init_def = pyglue::function_def("__init__", temp_init, temp_init_sig, nullptr);

// The seven recording methods differ only in their name and the result
// object they record (a module global of the same capitalised name).
template <pyglue::Literal Method, pyglue::Literal Qualname, pyglue::Literal Result>
struct Recorder {
    // Function-local statics: made in order on first use (module init).
    static Signature<4>& sig() {
        static Signature<4> s(Qualname.text, {"self", "reason=None", "from_exception=None", "goto=None"});
        return s;
    }

    static PyObject* call(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return pyglue::entry([&] {
            auto [self, reason, from_exception, goto_] = sig().bind(args, nargs, kwnames);
            Ref result = global(id<Result>());
            Ref update = pyglue::getattr(self, id<"_update_result">());
            return pyglue::call_named<"temp_result", "reason", "from_exception", "goto">(
                update.get(), {}, {result.get(), reason, from_exception, goto_});
        });
    }

    static const pyglue::FunctionDef& def() {
        static const pyglue::FunctionDef d = pyglue::function_def(Method.text, call, sig(), nullptr);
        return d;
    }
};

Signature temp_update_sig("TempResult._update_result", {"self", "temp_result", "reason", "from_exception", "goto"});

PyObject* temp_update(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return pyglue::entry([&] {
        auto [self, temp_result, reason, from_exception, goto_] = temp_update_sig.bind(args, nargs, kwnames);
        // Logged before anything is stored: a failing logger records nothing.
        pyglue::log_info(reason);
        pyglue::setattr(self, id<"temp_result">(), temp_result);
        pyglue::setattr(self, id<"reason">(), reason);
        pyglue::setattr(self, id<"goto">(), goto_);
        pyglue::setattr(self, id<"from_exception">(), from_exception);
        return pyglue::none();
    });
}

const pyglue::FunctionDef temp_update_def = pyglue::function_def("_update_result", temp_update, temp_update_sig, nullptr);

// Outcome name -> the container's method reporting it, in comparison order.
// Blocked and Passx are reported too: leaving them out would make a loop whose
// last attempt was blocked look passed.
struct Report {
    PyObject* (*outcome)();
    PyObject* (*method)();
};

const Report reports[] = {
    {id<"Passed">, id<"passed">},   {id<"Failed">, id<"failed">},   {id<"Aborted">, id<"aborted">},
    {id<"Errored">, id<"errored">}, {id<"Skipped">, id<"skipped">}, {id<"Blocked">, id<"blocked">},
    {id<"Passx">, id<"passx">},
};

Signature temp_result_sig("TempResult.result", {"self"});

PyObject* temp_result(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return pyglue::entry([&] {
        auto [self] = temp_result_sig.bind(args, nargs, kwnames);
        Ref reason = pyglue::getattr(self, id<"reason">());
        Ref from_exception = pyglue::getattr(self, id<"from_exception">());
        Ref goto_ = pyglue::getattr(self, id<"goto">());
        bool with_goto = pyglue::truth(goto_.get());
        Ref recorded = pyglue::getattr(self, id<"temp_result">());
        for (const Report& report : reports) {
            Ref outcome = global(report.outcome());
            Ref equal = pyglue::check(PyObject_RichCompare(recorded.get(), outcome.get(), Py_EQ));
            if (!pyglue::truth(equal.get())) continue;
            Ref container = pyglue::getattr(self, id<"container">());
            Ref method = pyglue::getattr(container.get(), report.method());
            if (with_goto)
                pyglue::call_named<"reason", "from_exception", "goto">(method.get(), {}, {reason.get(), from_exception.get(), goto_.get()});
            else
                pyglue::call_named<"reason", "from_exception">(method.get(), {}, {reason.get(), from_exception.get()});
            break;
        }
        return pyglue::none();
    });
}

const pyglue::FunctionDef temp_result_def = pyglue::function_def("result", temp_result, temp_result_sig, nullptr);

void exec_module(pyglue::ModuleBuilder& m) {
    using pyglue::method;
    m.import("time");
    Ref logging = m.import("logging");
    for (const char* name : {"Passed", "Failed", "Aborted", "Errored", "Skipped", "Blocked", "Passx"})
        m.import_from("brennic.results", name);
    m.bind_module_logger("log", logging.get());

    m.add_class("Timeout", timeout_doc,
                {method(timeout_init_def), pyglue::property(timeout_timeout_def), method(timeout_iterate_def),
                 method(timeout_sleep_def)});
    m.add_class("TempResult", nullptr,
                {method(temp_init_def), method(Recorder<"passed", "TempResult.passed", "Passed">::def()),
                 method(Recorder<"failed", "TempResult.failed", "Failed">::def()),
                 method(Recorder<"aborted", "TempResult.aborted", "Aborted">::def()),
                 method(Recorder<"errored", "TempResult.errored", "Errored">::def()),
                 method(Recorder<"skipped", "TempResult.skipped", "Skipped">::def()),
                 method(Recorder<"blocked", "TempResult.blocked", "Blocked">::def()),
                 method(Recorder<"passx", "TempResult.passx", "Passx">::def()), method(temp_update_def),
                 method(temp_result_def)});
}

}  // namespace

PyMODINIT_FUNC PyInit_timeout() { return pyglue::define_module<exec_module>("korrin.utils.timeout"); }
