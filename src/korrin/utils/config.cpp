// korrin.utils.config: a device's running configuration as nested dicts,
// one level per indentation step.
#include "korrin/utils/config_scan.hpp"

using pyglue::id;
using pyglue::Ref;
using pyglue::Signature;

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

Signature init_sig("Config.__init__", {"self", "output", "exclude=None"});

PyObject* config_init(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return pyglue::entry([&] {
        auto [self, output, exclude] = init_sig.bind(args, nargs, kwnames);
        pyglue::setattr(self, id<"output">(), output);
        Ref defaults = pyglue::check(Py_BuildValue("[sOss]", "!", Py_None, "\r", ""));
        pyglue::setattr(self, id<"exclude">(), defaults.get());
        if (pyglue::truth(exclude)) {
            Ref current = pyglue::getattr(self, id<"exclude">());
            pyglue::call_method(current.get(), id<"extend">(), exclude);
        }
        return pyglue::none();
    });
}

const pyglue::FunctionDef init_def = pyglue::function_def("__init__", config_init, init_sig, nullptr);

// ---------------------------------------------------------------- tree

Signature tree_sig("Config.tree", {"self"});

PyObject* config_tree(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return pyglue::entry([&] {
        auto [self] = tree_sig.bind(args, nargs, kwnames);
        PyObject* module = pyglue::this_module();

        // A JSON document is taken as it decodes; any failure means text.
        Ref failure = pyglue::attempt(PyExc_Exception, [&] {
            Ref json = pyglue::global(module, id<"json">());
            Ref loads = pyglue::getattr(json.get(), id<"loads">());
            Ref output = pyglue::getattr(self, id<"output">());
            Ref decoded = pyglue::call(loads.get(), output.get());
            pyglue::setattr(self, id<"config">(), decoded.get());
        });
        if (!failure) return pyglue::none();
        failure = Ref();

        // The tree is built in place, so an error leaves the partial tree.
        Ref config = pyglue::check(PyDict_New());
        pyglue::setattr(self, id<"config">(), config.get());
        Ref output = pyglue::getattr(self, id<"output">());
        bool plain = PyUnicode_CheckExact(output.get());
        config_scan::TreeBuilder builder(self, config.get(), plain ? PyUnicode_GET_LENGTH(output.get()) : PY_SSIZE_T_MAX);
        if (plain) {
            builder.scan_text(output.get());
        } else {
            // Anything else splits (or fails to) the way it does in Python.
            Ref pieces = pyglue::call_method(output.get(), id<"split">(), id<"\n">());
            builder.scan_pieces(pieces.get());
        }
        return pyglue::none();
    });
}

const pyglue::FunctionDef tree_def = pyglue::function_def("tree", config_tree, tree_sig, nullptr);

void exec_module(pyglue::ModuleBuilder& m) {
    m.import("json");
    // namedtuple and deque are unused (the level stack is native); imported
    // only so the module's globals are those callers expect.
    m.import_from("collections", "namedtuple");
    m.import_from("collections", "deque");
    m.add_class("Config", config_doc, {pyglue::method(init_def), pyglue::method(tree_def)});
}

}  // namespace

PyMODINIT_FUNC PyInit_config() { return pyglue::define_module<exec_module>("korrin.utils.config"); }
