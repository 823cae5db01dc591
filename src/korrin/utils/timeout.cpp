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

namespace {

using pyglue::global;

Ref now(pyglue::ModuleState& m) {
    Ref time = global<"time">(m);
    return pyglue::call_method(time.get(), id<"time">(m));
}

// A message built the way str.format builds it: each replacement field is
// format(value, spec), the text between fields is kept; no template parsing
// on every polling step.
struct Field {
    PyObject* value;
    PyObject* spec;
};

Ref message(pyglue::ModuleState& m, std::initializer_list<std::variant<PyObject*, Field>> parts) {
    Ref pieces = pyglue::check(PyTuple_New(static_cast<Py_ssize_t>(parts.size())));
    Py_ssize_t n = 0;
    for (const auto& part : parts) {
        Ref piece = std::holds_alternative<Field>(part)
            ? pyglue::check(PyObject_Format(std::get<Field>(part).value, std::get<Field>(part).spec))
            : Ref::borrow(std::get<PyObject*>(part));
        PyTuple_SET_ITEM(pieces.get(), n++, piece.release());
    }
    return pyglue::check(PyUnicode_Join(id<"">(m), pieces.get()));
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

Ref timeout_init(pyglue::ModuleState& m, const pyglue::Args<3>& a) {
    auto [self, max_time, interval] = a;
    pyglue::setattr(self, id<"max_time">(m), max_time);
    pyglue::setattr(self, id<"interval">(m), interval);
    Ref started = now(m);
    pyglue::setattr(self, id<"snapshot_time">(m), started.get());
    pyglue::setattr(self, id<"one_more_time">(m), Py_False);
    Ref one = pyglue::check(PyLong_FromLong(1));
    pyglue::setattr(self, id<"count">(m), one.get());
    Ref mt = pyglue::getattr(self, id<"max_time">(m));
    Ref i = pyglue::getattr(self, id<"interval">(m));
    Ref text = message(m, {id<"Starting a timeout with maximum time of ">(m), Field{mt.get(), id<"">(m)},
                        id<" seconds with interval of ">(m), Field{i.get(), id<"">(m)},
                        id<" seconds, Test case will fail after the maximum time set">(m)});
    pyglue::log_info(m, text.get());
    return pyglue::none();
}

const auto timeout_init_def = pyglue::def("__init__", {"self", "max_time", "interval"}, timeout_init_doc, timeout_init);

// The deadline, computed at every read so a changed max_time moves it at once.
Ref timeout_timeout(pyglue::ModuleState& m, const pyglue::Args<1>& a) {
    auto [self] = a;
    Ref start = pyglue::getattr(self, id<"snapshot_time">(m));
    Ref max_time = pyglue::getattr(self, id<"max_time">(m));
    return pyglue::check(PyNumber_Add(start.get(), max_time.get()));
}

const auto timeout_timeout_def = pyglue::def("timeout", {"self"}, nullptr, timeout_timeout);

Ref timeout_iterate(pyglue::ModuleState& m, const pyglue::Args<1>& a) {
    auto [self] = a;
    Ref owed = pyglue::getattr(self, id<"one_more_time">(m));
    if (pyglue::truth(owed.get())) {
        // The last attempt is granted at the deadline whatever the clock says.
        pyglue::log_info(m, id<"Performing the last attempt">(m));
        pyglue::setattr(self, id<"one_more_time">(m), Py_False);
        return pyglue::boolean(true);
    }
    Ref current = now(m);
    Ref deadline = pyglue::getattr(self, id<"timeout">(m));
    Ref keep_going = pyglue::check(PyObject_RichCompare(current.get(), deadline.get(), Py_LT));
    if (!pyglue::truth(keep_going.get())) {
        pyglue::log_info(m, id<"Ran out of time for this timeout">(m));
    }
    return keep_going;
}

const auto timeout_iterate_def = pyglue::def("iterate", {"self"}, nullptr, timeout_iterate);

Ref timeout_sleep(pyglue::ModuleState& m, const pyglue::Args<1>& a) {
    auto [self] = a;
    Ref deadline = pyglue::getattr(self, id<"timeout">(m));
    Ref current = now(m);
    Ref remaining = pyglue::check(PyNumber_Subtract(deadline.get(), current.get()));
    Ref zero = pyglue::check(PyLong_FromLong(0));
    if (pyglue::truth(pyglue::check(PyObject_RichCompare(remaining.get(), zero.get(), Py_LT)).get())) {
        pyglue::log_info(m, id<"0 second remaining; Will not sleep">(m));
        return pyglue::none();
    }
    Ref sleep_time = pyglue::getattr(self, id<"interval">(m));
    if (pyglue::truth(pyglue::check(PyObject_RichCompare(remaining.get(), sleep_time.get(), Py_LT)).get())) {
        // The deadline falls inside this wait: stop there and owe one last attempt.
        sleep_time = remaining;
        pyglue::setattr(self, id<"one_more_time">(m), Py_True);
    }
    Ref count = pyglue::getattr(self, id<"count">(m));
    Ref text = message(m, {Field{remaining.get(), id<".2f">(m)}, id<" seconds remaining; Sleeping for ">(m),
                        Field{sleep_time.get(), id<".2f">(m)}, id<" seconds. '">(m), Field{count.get(), id<"">(m)},
                        id<"' attempt(s) have been performed">(m)});
    pyglue::log_info(m, text.get());
    count = pyglue::getattr(self, id<"count">(m));
    Ref one = pyglue::check(PyLong_FromLong(1));
    Ref next = pyglue::check(PyNumber_InPlaceAdd(count.get(), one.get()));
    pyglue::setattr(self, id<"count">(m), next.get());
    Ref time = global<"time">(m);
    pyglue::call_method(time.get(), id<"sleep">(m), sleep_time.get());
    return pyglue::none();
}

const auto timeout_sleep_def = pyglue::def("sleep", {"self"}, nullptr, timeout_sleep);

// ---------------------------------------------------------------- TempResult

Ref temp_init(pyglue::ModuleState& m, const pyglue::Args<2>& a) {
    auto [self, container] = a;
    pyglue::setattr(self, id<"container">(m), container);
    pyglue::setattr(self, id<"goto">(m), Py_None);
    Ref passed = global<"Passed">(m);
    pyglue::setattr(self, id<"temp_result">(m), passed.get());
    pyglue::setattr(self, id<"reason">(m), Py_None);
    pyglue::setattr(self, id<"from_exception">(m), Py_None);
    return pyglue::none();
}

const auto temp_init_def = pyglue::def("__init__", {"self", "container=None"}, nullptr, temp_init);

// The seven recording methods differ only in their name and the result
// object they record (a module global of the same capitalised name).
template <pyglue::Literal Method, pyglue::Literal Result>
struct Recorder {
    static Ref call(pyglue::ModuleState& m, const pyglue::Args<4>& a) {
        auto [self, reason, from_exception, goto_] = a;
        Ref result = global<Result>(m);
        Ref update = pyglue::getattr(self, id<"_update_result">(m));
        return pyglue::call_named<"temp_result", "reason", "from_exception", "goto">(m, 
            update.get(), {}, {result.get(), reason, from_exception, goto_});
    }

    static const auto& def() {
        static const auto d = pyglue::def(
            Method.text, {"self", "reason=None", "from_exception=None", "goto=None"}, nullptr, call);
        return d;
    }
};

Ref temp_update(pyglue::ModuleState& m, const pyglue::Args<5>& a) {
    auto [self, temp_result, reason, from_exception, goto_] = a;
    // Logged before anything is stored: a failing logger records nothing.
    pyglue::log_info(m, reason);
    pyglue::setattr(self, id<"temp_result">(m), temp_result);
    pyglue::setattr(self, id<"reason">(m), reason);
    pyglue::setattr(self, id<"goto">(m), goto_);
    pyglue::setattr(self, id<"from_exception">(m), from_exception);
    return pyglue::none();
}

const auto temp_update_def = pyglue::def("_update_result", {"self", "temp_result", "reason", "from_exception", "goto"}, nullptr, temp_update);

// Outcome name -> the container's method reporting it, in comparison order.
// Blocked and Passx are reported too: leaving them out would make a loop whose
// last attempt was blocked look passed.
struct Report {
    PyObject* (*outcome)(const pyglue::ModuleState&);
    PyObject* (*method)(const pyglue::ModuleState&);
};

const Report reports[] = {
    {id<"Passed">, id<"passed">},   {id<"Failed">, id<"failed">},   {id<"Aborted">, id<"aborted">},
    {id<"Errored">, id<"errored">}, {id<"Skipped">, id<"skipped">}, {id<"Blocked">, id<"blocked">},
    {id<"Passx">, id<"passx">},
};

Ref temp_result(pyglue::ModuleState& m, const pyglue::Args<1>& a) {
    auto [self] = a;
    Ref reason = pyglue::getattr(self, id<"reason">(m));
    Ref from_exception = pyglue::getattr(self, id<"from_exception">(m));
    Ref goto_ = pyglue::getattr(self, id<"goto">(m));
    bool with_goto = pyglue::truth(goto_.get());
    Ref recorded = pyglue::getattr(self, id<"temp_result">(m));
    for (const Report& report : reports) {
        Ref outcome = global(m, report.outcome(m));
        Ref equal = pyglue::check(PyObject_RichCompare(recorded.get(), outcome.get(), Py_EQ));
        if (!pyglue::truth(equal.get())) continue;
        Ref container = pyglue::getattr(self, id<"container">(m));
        Ref method = pyglue::getattr(container.get(), report.method(m));
        if (with_goto)
            pyglue::call_named<"reason", "from_exception", "goto">(m, method.get(), {}, {reason.get(), from_exception.get(), goto_.get()});
        else
            pyglue::call_named<"reason", "from_exception">(m, method.get(), {}, {reason.get(), from_exception.get()});
        break;
    }
    return pyglue::none();
}

const auto temp_result_def = pyglue::def("result", {"self"}, nullptr, temp_result);

void exec_module(pyglue::ModuleBuilder& b) {
    using pyglue::method;
    b.import("time");
    Ref logging = b.import("logging");
    for (const char* name : {"Passed", "Failed", "Aborted", "Errored", "Skipped", "Blocked", "Passx"})
        b.import_from("brennic.results", name);
    b.bind_module_logger("log", logging.get());

    b.add_class("Timeout", timeout_doc,
                {method(timeout_init_def), pyglue::property(timeout_timeout_def), method(timeout_iterate_def),
                 method(timeout_sleep_def)});
    b.add_class("TempResult", nullptr,
                {method(temp_init_def), method(Recorder<"passed", "Passed">::def()),
                 method(Recorder<"failed", "Failed">::def()),
                 method(Recorder<"aborted", "Aborted">::def()),
                 method(Recorder<"errored", "Errored">::def()),
                 method(Recorder<"skipped", "Skipped">::def()),
                 method(Recorder<"blocked", "Blocked">::def()),
                 method(Recorder<"passx", "Passx">::def()), method(temp_update_def),
                 method(temp_result_def)});
}

}  // namespace

PyMODINIT_FUNC PyInit_timeout() { return pyglue::define_module<exec_module>("korrin.utils.timeout"); }
