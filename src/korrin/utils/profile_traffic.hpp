// Traffic profile tables and traffic stream data files of korrin.utils.profile.
// Included once, by profile.cpp, after "pyglue/pyglue.hpp".
#pragma once

#include "pyglue/pyglue.hpp"
#include "korrin/utils/atomic_file.hpp"

namespace korrin::traffic {

using pyglue::Ref;
using pyglue::Signature;

inline Signature pickle_traffic_sig("pickle_traffic", {"tgn_profile", "location=None", "tgn_profile_name=None"});
inline Signature unpickle_traffic_sig("unpickle_traffic", {"file"});
inline Signature unpickle_stream_data_sig("unpickle_stream_data", {"file", "copy=False", "copy_file=None"});

inline PyObject* pickle_traffic(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return pyglue::entry([&]() -> Ref {
        pickle_traffic_sig.bind(args, nargs, kwnames);
        pyglue::raise(PyExc_NotImplementedError, "pickle_traffic");
    });
}

inline PyObject* unpickle_traffic(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return pyglue::entry([&]() -> Ref {
        unpickle_traffic_sig.bind(args, nargs, kwnames);
        pyglue::raise(PyExc_NotImplementedError, "unpickle_traffic");
    });
}

inline PyObject* unpickle_stream_data(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return pyglue::entry([&]() -> Ref {
        unpickle_stream_data_sig.bind(args, nargs, kwnames);
        pyglue::raise(PyExc_NotImplementedError, "unpickle_stream_data");
    });
}

}  // namespace korrin::traffic

// Registered by the module, last, in this order.
inline PyMethodDef pickle_traffic_def = pyglue::function_def(
    "pickle_traffic", korrin::traffic::pickle_traffic, korrin::traffic::pickle_traffic_sig,
    "Dump traffic profile to runtime directory");
inline PyMethodDef unpickle_traffic_def = pyglue::function_def(
    "unpickle_traffic", korrin::traffic::unpickle_traffic, korrin::traffic::unpickle_traffic_sig,
    "Unpacks traffic profile and returns a prettytable object");
inline PyMethodDef unpickle_stream_data_def = pyglue::function_def(
    "unpickle_stream_data", korrin::traffic::unpickle_stream_data, korrin::traffic::unpickle_stream_data_sig,
    "Unpacks file containing traffic stream data values\n"
    "    Returns a python dictionary containing the data\n"
    "    Copies user provided file to runtime logs if requested");
