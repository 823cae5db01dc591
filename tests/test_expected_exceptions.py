"""Exceptions the modules expect and handle (a missing ops class, a missing
key, a text that is no JSON, a file not there yet) leave exactly what the
same try/except in Python leaves: the result, the log records, the handled
exception seen inside and after the handler, and the chain of anything that
propagates, on the exception path and the normal one."""
import sys
import types

import pytest

import korrin.utils.profile as profile
import korrin.utils.symfind as symfind
from korrin.utils.config import Config
from oracles.config_model import ModelConfig
from support import plain_compare

profile_plain = plain_compare()


class Halt(BaseException):
    """Passes every `except Exception`."""


def chain(error):
    links = []
    while error is not None and len(links) < 4:
        links.append((type(error).__name__, str(error), error.__suppress_context__, type(error.__cause__).__name__))
        error = error.__context__
    return links


def observe(run, outer):
    """run()'s value or error chain, and sys.exception() once it is over,
    called inside a handler of an outer exception or outside any."""
    def body():
        try:
            value, error = run(), None
        except BaseException as e:
            value, error = None, chain(e)
        return value, error, repr(sys.exception())
    if not outer:
        return body()
    try:
        raise OSError("outer")
    except OSError:
        return body()


class Lookup(dict):
    """A PTS mapping that is no exact dict: items through its __getitem__."""

    def __init__(self, data, fault=None):
        super().__init__(data)
        self.fault = fault

    def __getitem__(self, key):
        if self.fault and key == "exclude":
            raise self.fault
        return super().__getitem__(key)


def raising(outcome, seen, name):
    def helper(feature, device):
        seen.append((name, repr(sys.exception())))
        if isinstance(outcome, BaseException):
            raise outcome
        return outcome
    return helper


@pytest.mark.parametrize("ops, parser", [
    (["o"], ["p"]), (LookupError("no ops"), ["p"]), (LookupError("no ops"), ValueError("no parser")),
    (LookupError("no ops"), Halt("stop")), (Halt("stop"), ["p"]),
])
@pytest.mark.parametrize("pts", [
    lambda: {"bgp": {"exclude": ["f"]}, "exclude": ["g"]},
    lambda: Lookup({"bgp": Lookup({"exclude": ["f"]})}),
    lambda: Lookup({"bgp": Lookup({})}, fault=RuntimeError("broken")),
])
@pytest.mark.parametrize("outer", [False, True])
def test_compare_exclusions_as_in_python(ops, parser, pts, outer):
    def run(compare, target):
        seen, logged = [], []

        class Diff:
            def __init__(self, a, b, exclude):
                seen.append(("diff", list(exclude), repr(sys.exception())))
                self.diffs = [] if a == b else ["changed"]

            def findDiff(self):
                pass

        target.Diff, target.log = Diff, types.SimpleNamespace(info=logged.append)
        target.get_ops_exclude = raising(ops, seen, "ops")
        target.get_parser_exclude = raising(parser, seen, "parser")
        testbed = types.SimpleNamespace(devices={"r1": object(), "r2": object()})
        result = observe(lambda: compare(None, {"bgp": {"r1": 1, "r2": 1}}, {"bgp": {"r1": 1, "r2": 2}},
                                         pts_data=pts(), testbed=testbed), outer)
        return result[0] and {k: sorted(v) for k, v in result[0]["bgp"].items()}, result[1:], seen, logged

    saved = {name: getattr(profile, name) for name in ("Diff", "log", "get_ops_exclude", "get_parser_exclude")}
    try:
        native = run(lambda cls, *args, **kwargs: profile.Profile.compare(*args, **kwargs), profile)
    finally:
        for name, value in saved.items():
            setattr(profile, name, value)
    assert native == run(profile_plain.compare, profile_plain)


def python_learn_devices(testbed, pts_data, feature):
    """The start of learn_features in Python, up to the device list."""
    try:
        entry = pts_data[feature]
    except KeyError:
        raise KeyError("'{f}' does not exists in pts_data file".format(f=feature))
    try:
        return [testbed.devices[name] for name in entry["devices"]]
    except KeyError:
        devices = testbed.find_devices(aliases=["uut"])
        if len(devices) < 1:
            raise Exception("No 'uut' device was found")
        if len(devices) > 1:
            raise Exception("More than one device were found with alias 'uut'; {d}".format(d=devices))
        return devices


@pytest.mark.parametrize("pts_data", [{}, {"f": {}}, {"f": {"devices": ["R1", "nope"]}}, {"f": Lookup({})}])
@pytest.mark.parametrize("uut_count", [0, 2])
@pytest.mark.parametrize("outer", [False, True])
def test_learn_device_fallback_as_in_python(pts_data, uut_count, outer):
    def run(learn):
        seen = []

        def find_devices(aliases):
            seen.append(repr(sys.exception()))
            return ["uut"] * uut_count
        testbed = types.SimpleNamespace(devices={"R1": "R1"}, find_devices=find_devices)
        return observe(lambda: learn(testbed), outer), seen

    native = run(lambda testbed: profile.Profile.learn_features(["f"], testbed, pts_data=pts_data, file=True))
    assert native == run(lambda testbed: python_learn_devices(testbed, pts_data, "f"))


def python_config_tree(output):
    config = ModelConfig(output)
    config.tree()
    return config.config


@pytest.mark.parametrize("output", ['{"a": 1}', "interface Gi0/1\n ip address\n", b"not text"])
@pytest.mark.parametrize("outer", [False, True])
def test_config_json_attempt_as_in_python(output, outer):
    def native():
        config = Config(output)
        config.tree()
        return config.config
    assert observe(native, outer) == observe(lambda: python_config_tree(output), outer)


@pytest.fixture
def package(monkeypatch):
    """A package whose device lookup names a missing abstraction package."""
    class Unimplemented:
        def __getattr__(self, name):
            raise LookupError("no abstraction package for R1")
    lookup = types.SimpleNamespace(from_device=lambda device, packages: Unimplemented())
    plain = types.ModuleType("korrin_plain_pkg")
    plain.inner = types.SimpleNamespace(value=42)
    marked = types.ModuleType("korrin_marked_pkg")
    marked.__abstract_pkg = True
    for module in (plain, marked):
        monkeypatch.setitem(sys.modules, module.__name__, module)
    monkeypatch.setattr(symfind, "Lookup", lookup)
    return types.SimpleNamespace(name="R1")


@pytest.mark.parametrize("pkg, attr, expected", [
    ("korrin_plain_pkg", "inner.value", (42, None)),
    ("korrin_plain_pkg", "inner.missing.absent", "skipped"),
    ("korrin_marked_pkg", "x", [("LookupError", "Could not find korrin_marked_pkg.x for device R1", False, "NoneType"),
                                ("LookupError", "no abstraction package for R1", False, "NoneType")]),
])
@pytest.mark.parametrize("outer", [False, True])
def test_load_attribute_misses_as_in_python(pkg, attr, expected, outer, package):
    value, error, after = observe(lambda: symfind.load_attribute(pkg, attr, package), outer)
    assert after == (repr(OSError("outer")) if outer else "None")
    if expected == "skipped":  # a missing step is passed over: the last found object
        assert value is sys.modules[pkg].inner and error is None
    elif isinstance(expected, tuple):
        assert (value, error) == expected
    else:
        assert value is None and error == expected + ([("OSError", "outer", False, "NoneType")] if outer else [])


@pytest.mark.parametrize("exists", [False, True])
@pytest.mark.parametrize("outer", [False, True])
def test_atomic_write_stat_leaves_no_handled_exception(exists, outer, tmp_path, monkeypatch):
    seen = []
    dumped = types.SimpleNamespace(dump=lambda obj, handle: seen.append(repr(sys.exception())))
    monkeypatch.setattr(profile, "dill", dumped)
    monkeypatch.setattr(profile, "jsonpickle", types.SimpleNamespace(dumps=lambda data: "{}"))
    store = lambda: profile.pickle({"f": {}}, location=str(tmp_path), pts_name="golden")  # noqa: E731
    if exists:
        store()
        seen.clear()
    value, error, after = observe(store, outer)
    handled = repr(OSError("outer")) if outer else "None"
    assert error is None and after == handled and seen == [handled]
