// Traffic profile tables and traffic stream data files of korrin.utils.profile.
// Included once, by profile.cpp. The functions are module-level: the module
// state their function object hands them supplies the globals (os,
// prettytable, yaml, runtime, banner, log, KorrinTgnError, open), read at
// call time.
#pragma once

#include "pyglue/pyglue.hpp"
#include "korrin/utils/atomic_file.hpp"

namespace korrin::traffic {

using pyglue::global;
using pyglue::id;
using pyglue::Ref;
using pyglue::with_block;

// `raise <global name>(message)`
[[noreturn]] inline void raise_global(pyglue::ModuleState& m, PyObject* name, const char* message) {
    Ref type = global(m, name);
    pyglue::raise_new(type.get(), pyglue::text(message).get());
}

// `log.info(banner(title))`
inline void log_banner(pyglue::ModuleState& m, const char* title) {
    Ref banner = global<"banner">(m);
    Ref text = pyglue::text(title);
    Ref framed = pyglue::call(banner.get(), text.get());
    pyglue::log_info(m, framed.get());
}

// os.path.<predicate>(path), by truth
inline bool path_test(PyObject* os_path, PyObject* predicate, PyObject* path) {
    return pyglue::truth(pyglue::call_method(os_path, predicate, path).get());
}

Ref pickle_traffic(pyglue::ModuleState& m, const pyglue::Args<3>& a) {
    auto [tgn_profile, location_arg, name_arg] = a;
    if (!pyglue::truth(tgn_profile)) return pyglue::none();
    Ref prettytable = global<"prettytable">(m);
    Ref table_class = pyglue::getattr(prettytable.get(), id<"PrettyTable">(m));
    if (!pyglue::check_status(PyObject_IsInstance(tgn_profile, table_class.get()))) return pyglue::none();

    log_banner(m, "Save traffic profile to Korrin Logs");

    Ref tgn_file = run_file(m, location_arg, name_arg, "traffic_profile").path;

    write_atomically(m, tgn_file.get(), "w", [&](PyObject* file) {
        Ref content = pyglue::call_method(tgn_profile, id<"get_string">(m));
        pyglue::call_method(file, id<"write">(m), content.get());
    });
    return tgn_file;
}

inline constexpr const char* kTrafficFields[] = {
    "Source/Dest Port Pair", "Traffic Item",  "Tx Frames", "Rx Frames",        "Frames Delta",
    "Tx Frame Rate",         "Rx Frame Rate", "Loss %",    "Outage (seconds)",
};

// A fresh list of the nine column names.
inline Ref traffic_fields() {
    constexpr Py_ssize_t count = sizeof kTrafficFields / sizeof kTrafficFields[0];
    Ref fields = pyglue::check(PyList_New(count));
    for (Py_ssize_t i = 0; i < count; ++i) PyList_SET_ITEM(fields.get(), i, pyglue::text(kTrafficFields[i]).release());
    return fields;
}

inline bool contains(PyObject* line, PyObject* part) {
    return pyglue::check_status(PySequence_Contains(line, part)) != 0;
}

// One data line: stripped, split at "|", empty pieces (outside the outer
// bars) dropped, every other piece stripped, blank cells kept as "".
inline Ref row_values(pyglue::ModuleState& m, PyObject* line) {
    Ref stripped = pyglue::call_method(line, id<"strip">(m));
    Ref bar = pyglue::text("|");
    Ref pieces = pyglue::call_method(stripped.get(), id<"split">(m), bar.get());
    Ref row = pyglue::check(PyList_New(0));
    pyglue::for_each(pieces.get(), [&](PyObject* piece) {
        if (pyglue::check_status(PyObject_Length(piece)) < 1) return;
        Ref value = pyglue::call_method(piece, id<"strip">(m));
        pyglue::check_status(PyList_Append(row.get(), value.get()));
    });
    return row;
}

Ref unpickle_traffic(pyglue::ModuleState& m, const pyglue::Args<1>& a) {
    auto [file_arg] = a;
    Ref file = Ref::borrow(file_arg);
    Ref os = global<"os">(m);
    Ref os_path = pyglue::getattr(os.get(), id<"path">(m));

    if (!path_test(os_path.get(), id<"isfile">(m), file.get())) {
        Ref environ = pyglue::getattr(os.get(), id<"environ">(m));
        Ref branch_key = pyglue::text("BRANCH");
        if (!contains(environ.get(), branch_key.get()))
            raise_global(m, id<"KorrinTgnError">(m),
                         "Golden traffic profile is a directory, branch information not provided");
        Ref branch = pyglue::check(PyObject_GetItem(environ.get(), branch_key.get()));
        Ref relative = pyglue::format_named<"br">(m, id<"{br}/golden_traffic_profile">(m), {branch.get()});
        file = pyglue::call_method(os_path.get(), id<"join">(m), file.get(), relative.get());
    }
    if (!path_test(os_path.get(), id<"exists">(m), file.get()) ||
        !path_test(os_path.get(), id<"isfile">(m), file.get()))
        raise_global(m, id<"KorrinTgnError">(m), "Golden traffic profile file not found");

    Ref prettytable = global<"prettytable">(m);
    Ref table_class = pyglue::getattr(prettytable.get(), id<"PrettyTable">(m));
    Ref golden_profile = pyglue::call(table_class.get());
    Ref fields = traffic_fields();
    pyglue::setattr(golden_profile.get(), id<"field_names">(m), fields.get());

    Ref open = global<"open">(m);
    Ref read_mode = pyglue::text("r");
    Ref manager = pyglue::call(open.get(), file.get(), read_mode.get());
    with_block(m, manager.get(), [&](PyObject* handle) {
        Ref content = pyglue::call_method(handle, id<"read">(m));
        Ref lines = pyglue::call_method(content.get(), id<"splitlines">(m));
        Ref border = pyglue::text("--------");
        Ref header = pyglue::text("Outage (seconds)");
        pyglue::for_each(lines.get(), [&](PyObject* line) {
            if (contains(line, border.get()) || contains(line, header.get())) return;
            Ref row = row_values(m, line);
            pyglue::call_method(golden_profile.get(), id<"add_row">(m), row.get());
        });
    });

    Ref left = pyglue::text("l");
    pyglue::setattr(golden_profile.get(), id<"align">(m), left.get());
    return golden_profile;
}

Ref unpickle_stream_data(pyglue::ModuleState& m, const pyglue::Args<3>& a) {
    auto [file, copy, copy_file] = a;
    Ref os = global<"os">(m);
    Ref os_path = pyglue::getattr(os.get(), id<"path">(m));
    if (!path_test(os_path.get(), id<"exists">(m), file) || !path_test(os_path.get(), id<"isfile">(m), file))
        raise_global(m, id<"KorrinTgnError">(m), "Traffic stream data file not found");

    log_banner(m, "Reading traffic streams data file");

    Ref streams_dict;
    Ref open = global<"open">(m);
    Ref manager = pyglue::call(open.get(), file);
    with_block(m, manager.get(), [&](PyObject* handle) {
        Ref yaml = global<"yaml">(m);
        streams_dict = pyglue::call_method(yaml.get(), id<"safe_load">(m), handle);
    });
    streams_dict = pyglue::bound_after_with(std::move(streams_dict), "streams_dict");

    if (pyglue::truth(copy) && pyglue::truth(copy_file)) {
        Ref runtime = global<"runtime">(m);
        Ref directory = pyglue::getattr(runtime.get(), id<"directory">(m));
        Ref streams_file = pyglue::call_method(os_path.get(), id<"join">(m), directory.get(), copy_file);
        Ref copy_path = pyglue::format(m, id<"{}.yaml">(m), {streams_file.get()});
        write_atomically(m, copy_path.get(), "w", [&](PyObject* handle) {
            Ref yaml = global<"yaml">(m);
            Ref dump = pyglue::getattr(yaml.get(), id<"dump">(m));
            pyglue::call_named<"default_flow_style">(m, dump.get(), {streams_dict.get(), handle}, {Py_False});
        });
    }
    return streams_dict;
}

}  // namespace korrin::traffic

// Registered by the module, last, in this order.
inline const auto pickle_traffic_def = pyglue::def("pickle_traffic", {"tgn_profile", "location=None", "tgn_profile_name=None"}, "Dump traffic profile to runtime directory", korrin::traffic::pickle_traffic);
inline const auto unpickle_traffic_def = pyglue::def("unpickle_traffic", {"file"}, "Unpacks traffic profile and returns a prettytable object", korrin::traffic::unpickle_traffic);
inline const auto unpickle_stream_data_def = pyglue::def("unpickle_stream_data", {"file", "copy=False", "copy_file=None"}, "Unpacks file containing traffic stream data values\n"
    "    Returns a python dictionary containing the data\n"
    "    Copies user provided file to runtime logs if requested", korrin::traffic::unpickle_stream_data);
