import itertools
import re
import sys
import textwrap
from collections import deque
from types import SimpleNamespace

import pytest
from hypothesis import given, settings

import korrin.abstract
from differential import assembled_paths, raw_paths, typed
from korrin.utils import symfind
from oracles.symfind_model import str_to_list as model


# ---------------------------------------------------------------- module


def test_module_globals_in_order():
    names = [n for n in vars(symfind) if not n.startswith("__")]
    assert names == ["re", "importlib", "deque", "Lookup", "load_attribute", "str_to_list", "structure_verifier"]
    assert symfind.deque is deque and symfind.Lookup is korrin.abstract.Lookup


# ------------------------------------------------------------ str_to_list

WORKED = [
    ("[info][(.*)][counters]", ["info", "(.*)", "counters"]),
    ("[vrf][default][address_family][ipv4 unicast]", ["vrf", "default", "address_family", "ipv4 unicast"]),
    ("[interfaces][1][mtu]", ["interfaces", 1, "mtu"]),
    ("[1 2 3]", ["1 2 3"]),
    ("[1 2][3]", ["1 2", 3]),
    ("a b 7", ["a", "b", 7]),
    ("x [y z]", ["x", "y z"]),
    ("[[a b] c]", ["a b", "c"]),
    ("[peer (.*) state]", ["peer (.*) state"]),
    ("[(a[0]) b]", ["(a[0])", "b"]),
    ("[(1,2) (3,4)]", ["(1,2)", "(3,4)"]),
    ("[Ethernet1/1 x][mtu]", ["Ethernet1/1 x", "mtu"]),
    ("[-5][+3][007][1.5]", [-5, 3, 7, "1.5"]),
    ("", []),
    (" [ ]\t[]\n", []),
    ("[ a ]", ["a"]),
    ("[ip  a]", ["ip  a"]),
    ("[1, 2, 3]", ["1,", "2,", 3]),
    ("[a\tb]", ["a", "b"]),
    ("[a~ b]", ["a ", "b"]),
    ("[(a b) c]", ["(a", "b)", "c"]),
    ("[a b [c d]]", ["a b ", "c d"]),
    ("[a b] a b", ["a b", "a b"]),
    # the interpreter's int(): underscores, other scripts' digits, surrounding blanks
    ("[1_000][\u0661\u0662][~5][5~][1__0][\u00b2][-~5]", [1000, 12, 5, 5, "1__0", "\u00b2", "- 5"]),
    ("[" + "9" * 5000 + "]", ["9" * 5000]),  # over the digit limit: stays text
    # parenthesised text ends at the first ")" and never crosses a line
    ("[(a (b) c)]", ["(a", "(b)", "c)"]),
    ("[(a\nb) c d]", ["(a", "b) c d"]),
    # a repeated group joins what its first replacement skipped as overlapping ...
    ("a ba ba ba\n[a ba]", ["a ba", "ba ba", "a ba"]),
    ("a ba ba ba\n[a ba][a ba]", ["a ba ba ba", "a ba", "a ba"]),
    # ... and what another group's replacement has made match since
    ("a b  c\n[a b~~][b  c]", ["a", "b  c", "a b  ", "b  c"]),
    ("a b  c\n[a b~~][b  c][a b~~]", ["a b  c", "a b  ", "b  c", "a b  "]),
    # lone surrogates and NUL are ordinary characters
    ("[\ud800 \x00][\x00a b]", ["\ud800", "\x00", "\x00a b"]),
    # `\w` and `\s` are the interpreter's: other scripts' letters, other spaces
    ("[\u00e9t\u00e9 \u0436][x\u3000y][x\x85y z]", ["\u00e9t\u00e9 \u0436", "x", "y", "x", "y z"]),
]


@pytest.mark.parametrize("path, keys", WORKED)
def test_worked_examples(path, keys):
    result = symfind.str_to_list(path)
    assert type(result) is deque
    assert typed(result) == typed(keys)
    assert typed(model(path)) == typed(keys)


@settings(max_examples=3500, deadline=None)
@given(assembled_paths)
def test_agrees_with_the_model_on_assembled_paths(path):
    assert typed(symfind.str_to_list(path)) == typed(model(path))


@settings(max_examples=2500, deadline=None)
@given(raw_paths)
def test_agrees_with_the_model_on_raw_text(path):
    assert typed(symfind.str_to_list(path)) == typed(model(path))


MB = 1 << 20
REALISTIC = "[vrf][default][address_family][ipv4 unicast][neighbors][(.*)][state]"


@pytest.mark.parametrize("path, expected", [
    ("(" * MB, ["(" * MB]),
    ("(a " * (MB // 6) + ")" * (MB // 2), ["(a"] * (MB // 6) + [")" * (MB // 2)]),
    ("[" * (MB // 2) + "]" * (MB // 2), []),
    ("[a " * (MB // 3), ["a"] * (MB // 3)),
    ("[" + "a " * (MB // 2) + "]", ["a " * (MB // 2)]),
    (REALISTIC * (MB // len(REALISTIC)), list(model(REALISTIC)) * (MB // len(REALISTIC))),
    ("".join(f"[interface Ethernet1/{i}][mtu]" for i in range(MB // 32)),
     [k for i in range(MB // 32) for k in (f"interface Ethernet1/{i}", "mtu")]),
    # spaces blocked by "~" groups that never become joinable
    ("a b  " * (MB // 20) + "\n" + "[a b ~][c d ~]" * (MB // 28),
     ["a", "b"] * (MB // 20) + ["a b  ", "c d  "] * (MB // 28)),
    # a long group given twice: its second pass meets every overlapping
    # occurrence the first one left in the run
    (("[" + "a " * 4095 + "a]") * 2 + "a " * (MB // 2), [" ".join(["a"] * 4096)] * (2 + MB // 2 // 4096)),
])
@pytest.mark.slow
def test_megabyte_paths(path, expected):
    assert list(symfind.str_to_list(path)) == expected


def test_medium_generated_paths_agree_with_the_model():
    words = ["vrf", "a b", "ipv4 unicast", "(.*)", "1", "x y z", "b", "a~", "Eth1/1 x"]
    for seed, sep in itertools.product(range(3), ["", " ", "\n"]):
        path = sep.join(f"[{words[(i * 7 + seed) % len(words)]}]" for i in range(2000))
        path += " a b ba " * 200
        assert typed(symfind.str_to_list(path)) == typed(model(path))


@pytest.mark.parametrize("value", [5, None, b"[a b]", bytearray(b"x"), memoryview(b"ab")[::2], ["[a]"]])
def test_non_text_fails_like_the_regex_search(value):
    with pytest.raises(TypeError) as expected:
        model(value)
    with pytest.raises(TypeError, match=f"^{re.escape(str(expected.value))}$"):
        symfind.str_to_list(value)


def test_result_is_built_through_the_module_deque(monkeypatch):
    made = []

    class Recorder(list):
        def __init__(self, *args):
            made.append(args)

    monkeypatch.setattr(symfind, "deque", Recorder)
    result = symfind.str_to_list("[a b][7]")
    assert type(result) is Recorder and made == [()] and result == ["a b", 7]


# ----------------------------------------------------- structure_verifier


@pytest.mark.parametrize("path, compiled, error", [
    ("[info][(.*)][counters]", ["(.*)"], None),
    ("[info][(a|b)][(x]", ["(a|b)"], None),
    ("[a][(.*)][(x]", ["(.*)", "(x"], ValueError("'(x' is not a valid regex expression")),
    ("[(abc][x]", ["(abc"], ValueError("'(abc' is not a valid regex expression")),
    ("[1][(x]", [], AttributeError("'int' object has no attribute 'startswith'")),
    ("[a(b]\n[(.*)]", ["(.*)"], None),
])
@pytest.mark.parametrize("data", [None, {"x": 1}])
def test_structure_verifier(monkeypatch, path, compiled, error, data):
    seen = []
    monkeypatch.setattr(symfind, "re", SimpleNamespace(compile=lambda key: (seen.append(key), re.compile(key))[1]))
    if error is None:
        assert symfind.structure_verifier(path, data) is None
    else:
        with pytest.raises(type(error)) as info:
            symfind.structure_verifier(path, data=data)
        assert str(info.value) == str(error)
        if isinstance(error, ValueError):
            assert isinstance(info.value.__cause__, re.error) and info.value.__suppress_context__
    assert seen == compiled


def test_structure_verifier_reads_keys_through_the_module(monkeypatch):
    monkeypatch.setattr(symfind, "str_to_list", lambda string: ["(.*)", "([)"])
    with pytest.raises(ValueError, match=r"^'\(\[\)' is not a valid regex expression$"):
        symfind.structure_verifier("ignored", None)


# --------------------------------------------------------- load_attribute


@pytest.fixture
def packages(tmp_path, monkeypatch, request):
    """Writes throw-away packages (name -> {relative file: source}) under tmp_path."""
    created = []

    def write(name, files):
        for relative, source in files.items():
            path = tmp_path / name / relative
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(textwrap.dedent(source))
        created.append(name)
        return name

    monkeypatch.syspath_prepend(str(tmp_path))
    yield write
    for name in list(sys.modules):
        if name.split(".")[0] in created:
            del sys.modules[name]


PLAIN = {"__init__.py": "from . import m\nItem = 'top'\n", "m.py": "Item = 'inner'\n"}
ABSTRACT = {"__init__.py": "__abstract_pkg = True\n", "iosxe/__init__.py": "", "iosxe/m.py": "Item = 'xe'\n"}


@pytest.mark.parametrize("pkg, attr_name, expected", [
    (None, "symfind_plain.m.Item", "inner"),
    ("", "symfind_plain.Item", "top"),
    ("symfind_plain", "m.Item", "inner"),
    ("symfind_plain", "missing.Item", "top"),
    ("symfind_plain", "m.missing.Item", "inner"),
    ("symfind_plain", "missing.gone", "<module>"),
    ("symfind_plain", "", "<module>"),
])
def test_plain_modules(packages, pkg, attr_name, expected):
    packages("symfind_plain", PLAIN)
    found = symfind.load_attribute(pkg, attr_name)
    assert found is sys.modules["symfind_plain"] if expected == "<module>" else found == expected


def test_module_mode_failures(packages):
    packages("symfind_plain", PLAIN)
    with pytest.raises(AttributeError) as info:
        symfind.load_attribute(None, "symfind_plain.m.Nope")
    module = sys.modules["symfind_plain.m"]
    assert str(info.value) == f"Couldn't find 'Nope' in '{module}'"
    assert isinstance(info.value.__cause__, AttributeError) and info.value.__context__ is info.value.__cause__
    with pytest.raises(ValueError, match=r"^not enough values to unpack \(expected 2, got 1\)$"):
        symfind.load_attribute("", "symfind_plain")
    for pkg, attr_name in [(None, "symfind_nowhere.Item"), ("symfind_nowhere", "Item")]:
        with pytest.raises(ModuleNotFoundError, match="symfind_nowhere"):
            symfind.load_attribute(pkg, attr_name)


def test_imports_through_the_module_importlib(monkeypatch):
    calls = []
    fake = SimpleNamespace(import_module=lambda *a, **k: (calls.append((a, k)), SimpleNamespace(x="X"))[1])
    monkeypatch.setattr(symfind, "importlib", fake)
    assert symfind.load_attribute("a.b", "x") == "X"
    assert symfind.load_attribute(None, "a.b.x") == "X"
    assert calls == [((), {"name": "a.b"}), (("a.b",), {})]


class Reader:
    """A lookup object: each attribute read is recorded and answered from `answers`."""

    def __init__(self, answers, reads):
        self._answers, self._reads = answers, reads

    def __getattr__(self, name):
        self._reads.append(name)
        answer = self._answers[name]
        if isinstance(answer, BaseException):
            raise answer
        return Reader(answer, self._reads) if isinstance(answer, dict) else answer


@pytest.fixture
def fake_lookup(monkeypatch, packages):
    packages("symfind_abs", ABSTRACT)
    state = SimpleNamespace(calls=[], reads=[], answers={})

    class FakeLookup:
        @classmethod
        def from_device(cls, *args, **kwargs):
            state.calls.append((args, kwargs))
            return Reader(state.answers, state.reads)

    monkeypatch.setattr(symfind, "Lookup", FakeLookup)
    return state


def test_abstraction_walk(fake_lookup):
    device = SimpleNamespace(name="R1")
    fake_lookup.answers = {"symfind_abs": {"m": {"Item": "found"}}}
    assert symfind.load_attribute("symfind_abs", "m.Item", device) == "found"
    assert fake_lookup.calls == [((device,), {"packages": {"symfind_abs": sys.modules["symfind_abs"]}})]
    assert fake_lookup.reads == ["symfind_abs", "m", "Item"]


@pytest.mark.parametrize("failure, reported", [
    (LookupError("No implementation of abstraction package 'x'"), True),
    (KeyError("abstraction package"), True),
    (LookupError("something else"), False),
    (AttributeError("no such name"), False),
    (ValueError("abstraction package"), False),
])
def test_abstraction_walk_failures(fake_lookup, failure, reported):
    fake_lookup.answers = {"symfind_abs": {"m": failure, "Item": "item of the lookup"}}
    device = SimpleNamespace(name="R1")
    if not reported:  # skipped: the walk goes on from where it was
        assert symfind.load_attribute("symfind_abs", "m.Item", device) == "item of the lookup"
        return
    with pytest.raises(LookupError) as info:
        symfind.load_attribute(pkg="symfind_abs", attr_name="m.Item", device=device)
    assert type(info.value) is LookupError
    assert str(info.value) == "Could not find symfind_abs.m.Item for device R1"
    assert info.value.__context__ is failure and info.value.__cause__ is None
    assert not info.value.__suppress_context__


def test_abstraction_failure_without_device_and_interrupts(fake_lookup):
    failure = LookupError("abstraction package missing")
    fake_lookup.answers = {"symfind_abs": {"m": failure}}
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'name'") as info:
        symfind.load_attribute("symfind_abs", "m.Item")
    assert info.value.__context__ is failure
    fake_lookup.answers = {"symfind_abs": {"m": KeyboardInterrupt()}}
    with pytest.raises(KeyboardInterrupt):
        symfind.load_attribute("symfind_abs", "m.Item")


def test_marker_read_errors_other_than_attribute_error_propagate(packages):
    packages("symfind_odd", {"__init__.py": """
        def __getattr__(name):
            raise RuntimeError(name)
        """})
    with pytest.raises(RuntimeError, match="__abstract_pkg"):
        symfind.load_attribute("symfind_odd", "x")


def test_with_the_framework_lookup(packages):
    packages("symfind_abs", ABSTRACT)
    xe = SimpleNamespace(name="R1", os="iosxe")
    assert symfind.load_attribute("symfind_abs", "m.Item", xe) == "xe"
    nx = SimpleNamespace(name="R2", os="nxos")
    with pytest.raises(LookupError, match="^Could not find symfind_abs.m.Item for device R2$"):
        symfind.load_attribute("symfind_abs", "m.Item", nx)


def keys_then_fail(*keys):
    yield from keys
    raise RuntimeError("iteration failed")


@pytest.mark.parametrize("keys, outcome", [
    (("(.*)", "a", "(x+)"), None),     # stops at the first other regex key, never iterating further
    (("(.*)", "a"), RuntimeError),     # an iteration error reaches the caller
])
def test_structure_verifier_iterates_as_a_for_loop(monkeypatch, keys, outcome):
    monkeypatch.setattr(symfind, "str_to_list", lambda string: keys_then_fail(*keys))
    if outcome is None:
        assert symfind.structure_verifier("ignored", None) is None
    else:
        with pytest.raises(outcome, match="iteration failed"):
            symfind.structure_verifier("ignored", None)
