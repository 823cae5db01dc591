"""Profiling core of korrin.utils.profile: module load, PTS data, learning one
feature on one device, snapshot files and Profile.learn_features, with the
collaborators injected through the module's globals."""
import copy
import json
import logging
import os
import sys
import types
import warnings

import dill
import pytest

import korrin.utils.profile as profile
from brennic.async_ import pcall as real_pcall
from brennic.strivel.exceptions import DatafileError
from support import FakeTestbed, run_python, run_script

pytestmark = pytest.mark.filterwarnings("ignore:keys will default:DeprecationWarning")


class Device:
    def __init__(self, name, alias=None, parsed=None):
        self.name, self.alias, self.parsed, self.parsed_commands = name, alias, parsed, []

    def parse(self, command):
        self.parsed_commands.append(command)
        if isinstance(self.parsed, Exception):
            raise self.parsed
        return self.parsed

    def __repr__(self):
        return f"Device({self.name})"


class Feature:
    """A feature class as load_class returns it; records what happens to it."""

    fail_on = None

    def __init__(self, device):
        self.events = [("init", device)]
        if self.fail_on == "init":
            raise ValueError("cannot build")
        self.info = None

    def learn(self):
        self.events.append(("learn",))
        if self.fail_on == "learn":
            raise RuntimeError("device went away")
        self.info = "learnt"

    def pickle(self, obj):
        self.events.append(("pickle", obj))
        if self.fail_on == "pickle":
            raise TypeError("not serialisable")
        return ("snapshot", obj.info)

    def unpickle(self, value):
        return {"restored": value}

    def __repr__(self):
        return "<Feature>"


@pytest.fixture
def env(monkeypatch):
    """Recording load_class, log, pcall (in-process, fresh argument copies) and pickle."""
    e = types.SimpleNamespace(loads=[], logged=[], pcalls=[], pickles=[], cls=type("F", (Feature,), {}))

    def load_class(entry, device):
        e.loads.append((entry, device))
        return e.cls

    def pcall(func, ckwargs, device):
        e.pcalls.append((func, ckwargs, device))
        return tuple(func(device=d, **copy.deepcopy(ckwargs)) for d in device)

    monkeypatch.setattr(profile, "load_class", load_class)
    monkeypatch.setattr(profile, "log", types.SimpleNamespace(info=e.logged.append))
    monkeypatch.setattr(profile, "banner", lambda text: f"[{text}]")
    monkeypatch.setattr(profile, "pcall", pcall)
    monkeypatch.setattr(profile, "pickle", lambda pts, location=None, pts_name=None:
                        e.pickles.append((copy.copy(pts), location, pts_name)))
    e.r1, e.r2, e.r3 = Device("R1", "uut"), Device("R2", "helper"), Device("R3")
    e.testbed = FakeTestbed(e.r1, e.r2, e.r3)
    e.learn = lambda features, pts, **kw: profile.Profile.learn_features(features, e.testbed, pts_data=pts, **kw)
    return e


# Module load -----------------------------------------------------------------


def test_globals_bound_in_order():
    assert [n for n in vars(profile) if not n.startswith("__")] == [
        "os", "sys", "dill", "json", "logging", "jsonpickle", "prettytable", "yaml", "importlib", "pcall",
        "runtime", "banner", "AttrDict", "DatafileError", "Lookup", "Diff", "korrin_yamls", "get_ops_exclude",
        "Summary", "load_class", "get_parser_exclude", "recursive_trim", "PtsdatafileLoader", "KorrinTgnError",
        "log", "Profile", "load_datafile", "asynchronous_profile", "unpickle", "pickle", "summarize_comparison",
        "pickle_traffic", "unpickle_traffic", "unpickle_stream_data"]
    assert profile.log is logging.getLogger("korrin.utils.profile") and profile.pcall is real_pcall
    assert [n for n in vars(profile.Profile) if not n.startswith("__")] == ["compare", "learn_features"]


FALLBACK = """
import importlib.abc, sys, types
case = {case!r}
if case in ("async", "async without pcall"):
    sys.modules["brennic.async"] = types.ModuleType("brennic.async")
    if case == "async":
        sys.modules["brennic.async"].pcall = "first"
elif case == "neither":
    sys.modules["brennic.async_"] = None
elif case == "finder fails":
    class Broken(importlib.abc.MetaPathFinder):
        def find_spec(self, name, path, target=None):
            if name == "brennic.async":
                raise RuntimeError("finder broke")
    sys.meta_path.insert(0, Broken())
try:
    import korrin.utils.profile as profile
except BaseException as e:
    print(type(e).__name__, "|", type(e.__context__).__name__)
else:
    print("loaded", getattr(profile.pcall, "__module__", profile.pcall))
"""


@pytest.mark.parametrize("case, expected", [
    ("fallback", "loaded brennic.async_"),
    ("async", "loaded first"),
    ("async without pcall", "AttributeError | NoneType"),
    ("neither", "ModuleNotFoundError | ModuleNotFoundError"),
    ("finder fails", "RuntimeError | NoneType"),
])
def test_pcall_falls_back_only_on_import_error(case, expected):
    # A fresh interpreter each: an extension module initialises once per process.
    out = run_python(FALLBACK.format(case=case))
    assert out.stdout.strip() == expected, out.stderr


# load_datafile and PTS data resolution ---------------------------------------------


@pytest.mark.parametrize("fail", ["init", "load", None])
def test_load_datafile(fail):
    class Loader:
        def __init__(self):
            if fail == "init":
                raise ValueError("bad loader")

        def load(self, path):
            if fail == "load":
                raise OSError(path)

    if fail is None:
        assert profile.load_datafile("a.yaml", Loader) is None
        return
    with pytest.raises(DatafileError) as info:
        profile.load_datafile("a.yaml", Loader)
    assert str(info.value) == "Failed to load the datafile 'a.yaml'"
    assert type(info.value.__cause__) is {"init": ValueError, "load": OSError}[fail]


@pytest.mark.parametrize("given, loaded", [(None, "default"), ({}, "default"), ("file", "file"), ({"bgp": {}}, None)])
def test_pts_data_resolution(given, loaded, env, tmp_path, monkeypatch):
    (tmp_path / "pts.yaml").write_text("{}")
    given = str(tmp_path / "pts.yaml") if given == "file" else given
    calls = []
    monkeypatch.setattr(profile, "load_datafile", lambda *args: calls.append(args) or {"bgp": {}})
    env.learn(["bgp"], given, file=True)
    assert calls == {"default": [(profile.korrin_yamls.pts_datafile, profile.PtsdatafileLoader)],
                     "file": [(given, profile.PtsdatafileLoader)], None: []}[loaded]
    with pytest.raises(TypeError):  # a path to nothing stays a string
        env.learn(["bgp"], str(tmp_path / "missing.yaml"))


# asynchronous_profile --------------------------------------------------------------


def test_feature_class_is_built_learnt_and_serialised(env):
    inner = {"R9": b"earlier"}
    result = profile.asynchronous_profile(env.r1, "bgp", {"class": "x"}, {"bgp": inner})
    obj = result["obj"]
    assert result is inner and result == {"R9": b"earlier", "uut": ("snapshot", "learnt"), "obj": obj}
    assert env.loads == [({"class": "x"}, env.r1)]
    assert obj.events == [("init", env.r1), ("learn",), ("pickle", obj)]
    assert env.logged == ["[Profile 'bgp' on 'uut']"]


@pytest.mark.parametrize("feature", ["show version", "show", "showbgp", "bgp summary", ""])
@pytest.mark.parametrize("alias, key", [("core", "core"), (None, "R1"), ("", "R1")])
def test_show_commands_are_parsed(feature, alias, key, env):
    device = Device("R1", alias, parsed={"version": "1.0"})
    result = profile.asynchronous_profile(device, feature, {}, {feature: {}})
    assert device.parsed_commands == [feature] and env.loads == []
    assert result.keys() == {key, "obj"} and result["obj"] == feature
    assert dill.loads(result[key]) == {"version": "1.0"}
    assert env.logged == [f"[Profile '{feature}' on '{alias}']"]


LOADING = "Issue with loading a pts class or when learning the 'bgp' feature on device 'R1'\n"


@pytest.mark.parametrize("fail_on, feature, error, message", [
    ("init", "bgp", Exception, LOADING + "cannot build"),
    ("learn", "bgp", Exception, LOADING + "device went away"),
    ("pickle", "bgp", Exception, "Issue while pickling the object '<Feature>'"),
    ("parse", "show version", Exception, "Issue with 'show version'\nno parser"),
    ("no alias attribute", "bgp", AttributeError, None),
    ("no feature key", "bgp", KeyError, None),
])
def test_learning_failures(fail_on, feature, error, message, env):
    env.cls.fail_on = fail_on
    device = Device("R1", "uut", parsed=LookupError("no parser"))
    learnt = {} if fail_on == "no feature key" else {feature: {}}
    if fail_on == "no alias attribute":
        del device.alias
    with pytest.raises(error) as info:
        profile.asynchronous_profile(device, feature, {}, learnt)
    assert type(info.value) is error and learnt in ({}, {feature: {}})
    if message:
        assert str(info.value) == message and info.value.__cause__ is None
        # Only the serialiser's failure keeps its context visible.
        assert info.value.__suppress_context__ is (fail_on != "pickle") and info.value.__context__


# pickle / unpickle -----------------------------------------------------------------


@pytest.mark.parametrize("location, name", [(None, None), ("", ""), ("given", "golden")])
def test_pickle_writes_golden_file_then_json_per_device(location, name, tmp_path, monkeypatch):
    monkeypatch.setattr(profile, "runtime", types.SimpleNamespace(directory=str(tmp_path)))
    assert profile.pickle({}, location=str(tmp_path / "missing")) is None
    directory = tmp_path / "given" if location else tmp_path
    directory.mkdir(exist_ok=True)
    base, pts = name or "pts", {"bgp": {"uut": {"as": 1}, "r2": {"as": 2}}, "ospf": {}}
    path = profile.pickle(pts, location=str(directory) if location else location, pts_name=name)
    assert path == os.path.join(str(directory), f"{base}_r2_bgp_pts.json")
    assert sorted(os.listdir(directory)) == sorted([base, f"{base}_uut_bgp_pts.json", f"{base}_r2_bgp_pts.json"])
    assert profile.unpickle(os.path.join(str(directory), base)) == pts
    assert (directory / f"{base}_uut_bgp_pts.json").read_text() == json.dumps({"bgp": {"uut": {"as": 1}}}, indent=4)
    assert profile.pickle({"bgp": {}}, location=str(directory)) == os.path.join(str(directory), "pts")


@pytest.mark.parametrize("feature, device, name", [
    ("show interface Ethernet1/1", "uut", "pts_uut_show interface Ethernet1_1_pts.json"),
    ("show x/../../elsewhere", "uut", "pts_uut_show x_.._.._elsewhere_pts.json"),
    ("bgp", "a/b\0c", "pts_a_b_c_bgp_pts.json"),
])
def test_snapshot_file_names_stay_in_the_directory(feature, device, name, tmp_path):
    old = os.umask(0o027)
    try:
        assert profile.pickle({feature: {device: 1}}, location=str(tmp_path)) == str(tmp_path / name)
    finally:
        os.umask(old)
    assert sorted(os.listdir(tmp_path)) == sorted(["pts", name])
    assert json.loads((tmp_path / name).read_text()) == {feature: {device: 1}}
    # Permissions as a plain open() gives them, not a temporary file's.
    assert {p.stat().st_mode & 0o777 for p in tmp_path.iterdir()} == {0o640}


class Unpicklable:
    def __reduce__(self):
        raise TypeError("cannot pickle this")


@pytest.mark.parametrize("broken", ["golden", "json", "unpicklable", "no items", "no directory"])
def test_failed_writes_leave_earlier_files_intact(broken, tmp_path, monkeypatch):
    profile.pickle({"bgp": {"uut": 1}}, location=str(tmp_path))
    before = {p.name: p.read_bytes() for p in tmp_path.iterdir()}

    def half_then_fail(data, file, **kwargs):
        file.write(b"partial" if broken == "golden" else "{partial")
        raise OSError("disk full")

    pts, location, error = {"bgp": {"uut": 2}}, str(tmp_path), OSError
    if broken == "golden":
        monkeypatch.setattr(profile, "dill", types.SimpleNamespace(dump=half_then_fail))
    elif broken == "json":
        monkeypatch.setattr(profile, "json", types.SimpleNamespace(loads=json.loads, dump=half_then_fail))
    elif broken == "unpicklable":
        pts, error = {"bgp": {"uut": Unpicklable()}}, TypeError
    elif broken == "no items":
        pts, error = {"bgp": None}, AttributeError
    else:
        location, error = str(tmp_path / "missing"), FileNotFoundError
    with pytest.raises(error):
        profile.pickle(pts, location=location)
    after = {p.name: p.read_bytes() for p in tmp_path.iterdir()}
    assert after.keys() == before.keys()  # no temporary file left behind
    assert after["pts_uut_bgp_pts.json"] == before["pts_uut_bgp_pts.json"]
    assert (after["pts"] == before["pts"]) is (broken not in ("json", "no items"))


@pytest.mark.parametrize("file, error", [(None, Exception), ("", Exception), ("missing", FileNotFoundError),
                                         ("corrupt", Exception)])
def test_unpickle_failures(file, error, tmp_path):
    (tmp_path / "corrupt").write_bytes(b"not a pickle")
    with pytest.raises(error) as info:
        profile.unpickle(str(tmp_path / file) if file else file)
    if not file:
        assert type(info.value) is Exception and str(info.value) == "No Golden PTS profile file provided"


# dill stores what a script defines in __main__ by value, code objects
# included; 0.4.1 reads their co_lnotab, which CPython 3.15 no longer has.
MAIN_CLASS = """
import json, os, sys
from korrin.utils import profile

class Snapshot:
    def __init__(self, state):
        self.state = state

profile.pickle({"bgp": {"uut": Snapshot("up")}}, location=sys.argv[1], pts_name="golden")
restored = profile.unpickle(os.path.join(sys.argv[1], "golden"))["bgp"]["uut"]
print(json.dumps([type(restored).__name__, restored.state]))
"""


@pytest.mark.xfail(sys.version_info >= (3, 15), raises=AssertionError, strict=False,
                   reason="dill 0.4.1 cannot store code objects on 3.15 ('code' object has no attribute 'co_lnotab')")
def test_snapshot_of_a_class_defined_in_the_script(tmp_path):
    assert run_script(MAIN_CLASS, tmp_path) == ["Snapshot", "up"]


# No warning the caller did not cause ------------------------------------------------


def test_file_functions_warn_about_nothing(tmp_path, monkeypatch):
    """Under an "error" filter every file function runs, and the JSON files are
    byte for byte what a plain jsonpickle.dumps gives (keys left at False)."""
    import jsonpickle
    import prettytable
    from korrin.harness.utils import recursive_trim
    from korrin.sim import example_testbed
    from korrin.sim.features import Bgp

    monkeypatch.setattr(profile, "runtime", types.SimpleNamespace(directory=str(tmp_path)))
    bgp = Bgp(example_testbed().devices["R1"])
    bgp.learn()
    pts = {"bgp": {"uut": bgp, 7: {1: "int key", (2, 3): "tuple key"}}}
    table = prettytable.PrettyTable([f"c{i}" for i in range(8)] + ["Outage (seconds)"])
    table.add_row(list("abcdefghi"))
    (tmp_path / "streams.yaml").write_text("a: 1\n")
    filters = list(warnings.filters)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        profile.pickle(pts, location=str(tmp_path), pts_name="g")
        assert profile.unpickle(str(tmp_path / "g")).keys() == pts.keys()
        profile.unpickle_traffic(profile.pickle_traffic(table))
        assert profile.unpickle_stream_data(str(tmp_path / "streams.yaml"), copy=True, copy_file="c") == {"a": 1}
        # The silencing is undone after each call.
        assert warnings.filters[0][0] == "error"
    assert warnings.filters == filters
    for device, obj in pts["bgp"].items():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            encoded = jsonpickle.dumps({"bgp": {device: obj}})
        expected = json.dumps(recursive_trim(json.loads(encoded), keys=["py/object", "__dict__"]), indent=4)
        assert (tmp_path / f"g_{device}_bgp_pts.json").read_text() == expected


@pytest.mark.parametrize("message, category, silenced", [
    ("keys will default to True in jsonpickle 5.0.0", DeprecationWarning, True),
    ("keys will default to True in jsonpickle 5.0.0", FutureWarning, False),
    ("max_iter is deprecated and will be removed in jsonpickle 5.0.0", DeprecationWarning, False),
    ("a warning of the object's own", UserWarning, False),
])
def test_only_the_keys_default_warning_is_silenced(message, category, silenced, tmp_path, monkeypatch):
    calls = []

    def dumps(*args, **kwargs):
        calls.append((args, kwargs))
        warnings.warn(message, category)
        return json.dumps(args[0])

    monkeypatch.setattr(profile, "jsonpickle", types.SimpleNamespace(dumps=dumps))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        if silenced:
            profile.pickle({"bgp": {"uut": 1}}, location=str(tmp_path))
        else:
            with pytest.raises(category, match=message):
                profile.pickle({"bgp": {"uut": 1}}, location=str(tmp_path))
    # The call itself is as it always was: the data alone, through the global.
    assert calls == [(({"bgp": {"uut": 1}},), {})]


# Profile.learn_features ------------------------------------------------------------


@pytest.mark.parametrize("features, pts, message", [
    ([], None, "No features were passed to be learnt"),
    (None, None, "No features were passed to be learnt"),
    (["bgp"], {"ospf": {}}, "'bgp' does not exists in pts_data file"),
])
def test_nothing_to_learn(features, pts, message, env, monkeypatch):
    monkeypatch.setattr(profile, "load_datafile", lambda *a: pytest.fail("loaded"))
    with pytest.raises(KeyError) as info:
        env.learn(features, pts)
    assert info.value.args == (message,) and env.pcalls == []


@pytest.mark.parametrize("entry, expected", [
    ({"devices": ["R2", "R3"]}, ["R2", "R3"]),
    ({}, ["R1"]),
    ({"devices": ["R2", "nosuch"]}, ["R1"]),
    ({"devices": ["R1", "uut", "R2", "R1"]}, ["R1", "R2"]),
])
def test_device_selection(entry, expected, env):
    learnt = env.learn(["bgp"], {"bgp": entry}, file=True)
    (func, ckwargs, devices), = env.pcalls
    assert func is profile.asynchronous_profile and type(devices) is tuple
    assert [d.name for d in devices] == expected
    assert list(ckwargs) == ["feature", "pts_data", "learnt_dict"] and ckwargs["pts_data"] is entry
    # Filed under the alias when true, else the name; logged by alias where present.
    assert sorted(learnt["bgp"]) == sorted({"R1": "uut", "R2": "helper", "R3": "R3"}[n] for n in expected)
    shown = [{"R1": "uut", "R2": "helper", "R3": None}[n] for n in expected]
    assert env.logged[0] == f"Profile 'bgp' on '{shown}'"


@pytest.mark.parametrize("uuts, message", [
    (0, "No 'uut' device was found"),
    (2, "More than one device were found with alias 'uut'; [Device(A), Device(B)]"),
])
def test_uut_fallback_needs_exactly_one(uuts, message, env):
    env.testbed = FakeTestbed(*[Device(n, "uut") for n in "AB"[:uuts]], Device("C"))
    with pytest.raises(Exception) as info:
        env.learn(["bgp"], {"bgp": {}})
    assert type(info.value) is Exception and str(info.value) == message and env.pcalls == []


@pytest.mark.parametrize("results, error, message", [
    (RuntimeError("2 of 3 calls failed\ndetails"), Exception, "Failed in learning 'bgp' feature\n2 of 3 calls failed\ndetails"),
    (({"uut": b""},), KeyError, "'obj'"),
])
def test_parallel_failures(results, error, message, env, monkeypatch):
    def pcall(func, ckwargs, device):
        if isinstance(results, Exception):
            raise results
        return results

    monkeypatch.setattr(profile, "pcall", pcall)
    with pytest.raises(error) as info:
        env.learn(["bgp"], {"bgp": {}})
    assert str(info.value) == message and env.pickles == []
    assert error is KeyError or info.value.__suppress_context__


def test_results_are_restored_and_filed(env, monkeypatch):
    # Two alias-less devices keep their own entries; objects without an
    # unpickle method restore through dill.
    env.testbed = FakeTestbed(env.r1, Device("S1"), Device("S2", ""))
    monkeypatch.setattr(profile, "pcall", lambda func, ckwargs, device: (
        {"S2": dill.dumps("two"), "obj": "show x", "S1": dill.dumps("one")}, {"obj": env.cls(env.r1), "uut": "raw"}))
    learnt = env.learn(["bgp"], {"bgp": {}}, file=True)
    assert learnt == {"bgp": {"S1": "one", "S2": "two", "uut": {"restored": "raw"}}}
    assert list(learnt["bgp"]) == ["S1", "S2", "uut"]


def test_storing(env):
    learnt = env.learn(["bgp", "show version"], {"bgp": {}, "show version": {}}, location="/logs", pts_name="g")
    assert env.pickles == [(learnt, "/logs", "g")] and list(learnt) == ["bgp", "show version"]
    env.learn(["bgp"], {"bgp": {}}, file=True, testscript=object())
    assert len(env.pickles) == 1


def test_test_script_stores_once_all_its_features_are_learnt(env):
    script = types.SimpleNamespace(parameters={"learnt_dict": {}}, pts_features=["bgp", "show version"])
    pts = {"bgp": {}, "show version": {}}
    first = env.learn(["bgp"], pts, testscript=script)
    assert env.pickles == [] and list(script.parameters["learnt_dict"]) == ["bgp"]
    second = env.learn(["show version"], pts, testscript=script, location="/l", pts_name="n")
    assert list(first) == ["bgp"] and list(second) == ["show version"]
    assert env.pickles == [({**first, **second}, "/l", "n")]
    with pytest.raises(AttributeError):
        env.learn(["bgp"], pts, testscript=types.SimpleNamespace(parameters={"learnt_dict": {}}))
    assert len(env.pcalls) == 3 and len(env.pickles) == 1


class OddItems:
    def __init__(self, pairs):
        self.pairs = pairs

    def items(self):
        return self.pairs


@pytest.mark.parametrize("pair", [1, (), ("uut",), ("uut", 1, 2), ["uut"], "abc", None])
def test_device_pairs_unpack_as_python_does(pair, tmp_path):
    def python():
        for device, obj in [pair]:
            pass

    with pytest.raises((TypeError, ValueError)) as expected:
        python()
    with pytest.raises(type(expected.value)) as info:
        profile.pickle({"bgp": OddItems([pair])}, location=str(tmp_path))
    assert str(info.value) == str(expected.value)
