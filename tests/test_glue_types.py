"""The shared C++ layer refuses, when compiled, a body that takes another
module's state: such a body would be handed a state object of the wrong type."""
import pytest

from support import COMPILER, compile_glue

PRELUDE = """
#include "pyglue/pyglue.hpp"
struct A : pyglue::ModuleState {};
struct B : pyglue::ModuleState {};
pyglue::Ref fa(A&, const pyglue::Args<1>&) { return pyglue::none(); }
pyglue::Ref plain(pyglue::ModuleState&, const pyglue::Args<1>&) { return pyglue::none(); }
const auto a_def = pyglue::def("fa", {"self"}, nullptr, fa);
const auto plain_def = pyglue::def("plain", {"self"}, nullptr, plain);
"""


@pytest.mark.skipif(COMPILER is None, reason="no C++ compiler")
@pytest.mark.parametrize("body, compiles", [
    ("void exec(pyglue::Builder<A>& b) { b.add_function(a_def); b.add_function(plain_def);"
     " b.add_class(\"C\", nullptr, {pyglue::method(a_def), pyglue::classmethod(plain_def)}); }", True),
    ("void exec(pyglue::Builder<B>& b) { b.add_function(a_def); }", False),
    ("void exec(pyglue::Builder<B>& b) { b.add_class(\"C\", nullptr, {pyglue::method(a_def)}); }", False),
    ("void exec(pyglue::ModuleBuilder& b) { b.add_class(\"C\", nullptr, {pyglue::property(a_def)}); }", False),
])
def test_body_state_must_be_the_modules(tmp_path, body, compiles):
    source = tmp_path / "probe.cpp"
    source.write_text(PRELUDE + body + '\nPyObject* init() { return pyglue::define_module<exec>("probe"); }\n')
    result = compile_glue(source, "-fsyntax-only")
    assert (result.returncode == 0) == compiles, result.stderr[-2000:]
