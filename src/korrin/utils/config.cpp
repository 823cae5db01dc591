// korrin.utils.config: a device's running configuration as nested dicts,
// one level per indentation step.
#include "korrin/utils/config_scan.hpp"

using pyglue::id;
using pyglue::Ref;

namespace {

const char* const config_doc =
    "Class to store show-running output\n"
    "\n"
    "Allows to visualize it like a dictionary\n"
    "\n"
    "Usage:\n"
    "    output = device.execute('show running-config')\n"
    "    config = Config(output)\n"
    "    config.tree()\n"
    "    config.config    # the nested dictionary\n";

// ---------------------------------------------------------------- __init__

Ref config_init(pyglue::ModuleState& m, const pyglue::Args<3>& a) {
    auto [self, output, exclude] = a;
    pyglue::setattr(self, id<"output">(m), output);
    Ref defaults = pyglue::check(Py_BuildValue("[sOss]", "!", Py_None, "\r", ""));
    pyglue::setattr(self, id<"exclude">(m), defaults.get());
    if (pyglue::truth(exclude)) {
        Ref current = pyglue::getattr(self, id<"exclude">(m));
        pyglue::call_method(current.get(), id<"extend">(m), exclude);
    }
    return pyglue::none();
}

const auto init_def = pyglue::def("__init__", {"self", "output", "exclude=None"}, nullptr, config_init);

// ---------------------------------------------------------------- tree

Ref config_tree(pyglue::ModuleState& m, const pyglue::Args<1>& a) {
    auto [self] = a;

    // A JSON document is taken as it decodes; any failure means text.
    // Text (no JSON) is the ordinary case: its decode error costs no throw.
    Ref failure = pyglue::attempt(PyExc_Exception, [&] {
        Ref json = pyglue::global<"json">(m);
        Ref loads = pyglue::getattr(json.get(), id<"loads">(m));
        Ref output = pyglue::getattr(self, id<"output">(m));
        pyglue::Outcome decoded = pyglue::try_call(loads.get(), output.get());
        if (decoded.failed()) return decoded;
        return pyglue::Outcome::of_status(PyObject_SetAttr(self, id<"config">(m), decoded.get()));
    });
    if (!failure) return pyglue::none();
    failure = Ref();

    // The tree is built in place, so an error leaves the partial tree.
    Ref config = pyglue::check(PyDict_New());
    pyglue::setattr(self, id<"config">(m), config.get());
    Ref output = pyglue::getattr(self, id<"output">(m));
    bool plain = PyUnicode_CheckExact(output.get());
    config_scan::TreeBuilder builder(m, self, config.get(), plain ? PyUnicode_GET_LENGTH(output.get()) : PY_SSIZE_T_MAX);
    if (plain) {
        builder.scan_text(output.get());
    } else {
        // Anything else splits (or fails to) the way it does in Python.
        Ref pieces = pyglue::call_method(output.get(), id<"split">(m), id<"\n">(m));
        builder.scan_pieces(pieces.get());
    }
    return pyglue::none();
}

const auto tree_def = pyglue::def("tree", {"self"}, nullptr, config_tree);

void exec_module(pyglue::ModuleBuilder& b) {
    b.import("json");
    // namedtuple and deque are unused (the level stack is native); imported
    // only so the module's globals are those callers expect.
    b.import_from("collections", "namedtuple");
    b.import_from("collections", "deque");
    b.add_class("Config", config_doc, {pyglue::method(init_def), pyglue::method(tree_def)});
}

}  // namespace

PyMODINIT_FUNC PyInit_config() { return pyglue::define_module<exec_module>("korrin.utils.config"); }
