// The shared layer of the extension modules: owning references, the error
// bridge, the argument binder, calls into Python, plain classes and modules.
#pragma once

#include "pyglue/ref.hpp"
#include "pyglue/state.hpp"
#include "pyglue/errors.hpp"
#include "pyglue/call.hpp"
#include "pyglue/args.hpp"
#include "pyglue/function.hpp"
#include "pyglue/lifecycle.hpp"
#include "pyglue/module.hpp"
#include "pyglue/idioms.hpp"
