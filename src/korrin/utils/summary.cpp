// korrin.utils.summary: fixed-width framed text boxes written to the log one
// record per line.
#include "pyglue/pyglue.hpp"

using pyglue::Chain;
using pyglue::id;
using pyglue::Ref;
using pyglue::Signature;

namespace {

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "korrin.utils.summary", nullptr, -1, nullptr};

// ---------------------------------------------------------------- Msg

Signature msg_init_sig("Msg.__init__", {"self", "msg", "level='info'"});

PyObject* msg_init(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return pyglue::entry([&] {
        auto [self, msg, level] = msg_init_sig.bind(args, nargs, kwnames);
        pyglue::setattr(self, id<"msg">(), msg);
        pyglue::setattr(self, id<"level">(), level);
        return pyglue::none();
    });
}

PyMethodDef msg_init_def = pyglue::function_def("__init__", msg_init, msg_init_sig, nullptr);

}  // namespace

PyMODINIT_FUNC PyInit_summary() {
    return pyglue::init_module(&module_def, [](pyglue::ModuleBuilder& m) {
        m.import("yaml");
        m.import("logging");
        m.import("textwrap");
        Ref msg = m.add_class("korrin.utils.summary.Msg", "Msg(msg, level='info')\n--\n\n", nullptr);
        m.add_method(msg.get(), &msg_init_def);
    });
}
