// Placeholder until the module is implemented.
#include "pyglue/pyglue.hpp"

static PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "korrin.utils.config", nullptr, -1, nullptr};

PyMODINIT_FUNC PyInit_config() {
    return pyglue::init_module(&module_def, [](pyglue::ModuleBuilder&) {});
}
