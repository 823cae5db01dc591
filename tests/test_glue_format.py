"""format_named, the shared layer's `templ.format(name=value, ...)`, works
plain substitutions out itself: whatever the template and values, it must
give what str.format gives, the same text or the same error."""
import pytest
from hypothesis import given, settings, strategies as st

from support import COMPILER, build_probe, outcome

PROBE = """
#include "pyglue/pyglue.hpp"
namespace {
pyglue::Ref fill(pyglue::ModuleState& m, const pyglue::Args<4>& a) {
    auto [templ, f, d, msg] = a;
    return pyglue::format_named<"f", "d", "msg">(m, templ, {f, d, msg});
}
const auto fill_def = pyglue::def("fill", {"templ", "f", "d", "msg"}, nullptr, fill);
void exec_module(pyglue::ModuleBuilder& b) { b.add_function(fill_def); }
}  // namespace
PyMODINIT_FUNC PyInit_format_probe() { return pyglue::define_module<exec_module>("format_probe"); }
"""

pytestmark = pytest.mark.skipif(COMPILER is None, reason="no C++ compiler")


@pytest.fixture(scope="module")
def fill(tmp_path_factory):
    return build_probe(tmp_path_factory.mktemp("probe"), "format_probe", PROBE).fill


class Shouting(str):
    def __format__(self, spec):
        return self.upper()


class Template(str):
    def format(self, *args, **kwargs):
        return "overridden"


FIELDS = ["{f}", "{d}", "{msg}", "{x}", "{}", "{0}", "{f!r}", "{d:>6}", "{f.upper}", "{d[0]}", "{ f}",
          "{msg:{f}}", "{", "}", "{{", "}}", "{{f}}"]
TEXT = st.text(st.sampled_from("ab '\n-é中🙂"), max_size=6)
templates = st.lists(st.one_of(TEXT, st.sampled_from(FIELDS)), max_size=12).map("".join)
values = st.one_of(st.text(max_size=5), st.text(st.sampled_from("é中🙂x"), max_size=3),
                   st.builds(Shouting, st.text("ab", max_size=3)), st.integers(-5, 5), st.none())


@settings(max_examples=600, deadline=None)
@given(templ=templates, f=values, d=values, msg=values)
def test_same_as_str_format(fill, templ, f, d, msg):
    expected = outcome(lambda: templ.format(f=f, d=d, msg=msg))
    got = outcome(lambda: fill(templ, f, d, msg))
    assert got == expected
    if expected[0] == "returned":
        assert type(got[1]) is str


@pytest.mark.parametrize("templ, values, expected", [
    ("Verify '{f}' snapshot for device '{d}'\n    Failed", ("bgp", "R1", ""),
     "Verify 'bgp' snapshot for device 'R1'\n    Failed"),
    ("{f}{d}{msg}", ("é", "中", "🙂"), "é中🙂"),  # each width of character
    ("{{{f}}}", ("x", "", ""), "{x}"),
    ("{f}" * 20, ("ab", "", ""), "ab" * 20),  # more fields than are worked out here
    ("{f}", (Shouting("up"), "", ""), "UP"),  # a value's own __format__
    (Template("{f}"), ("a", "", ""), "overridden"),  # a template's own format method
])
def test_known_cases(fill, templ, values, expected):
    assert fill(templ, *values) == expected
