"""Profiling core of korrin.utils.profile: module load, PTS data, learning one
feature on one device, snapshot files and Profile.learn_features, with the
collaborators injected through the module's globals."""
import copy
import inspect
import json
import logging
import os
import subprocess
import sys
import textwrap
import types

import dill
import pytest

import korrin.utils.profile as profile
from brennic.async_ import pcall as real_pcall
from brennic.strivel.exceptions import DatafileError
from support import assert_same_binding_errors, signature_text

pytestmark = pytest.mark.filterwarnings("ignore:keys will default:DeprecationWarning")


# Fakes ------------------------------------------------------------------------


class Device:
    def __init__(self, name, alias=None, parsed=None):
        self.name, self.alias = name, alias
        self.parsed = parsed if parsed is not None else {"name": name}
        self.parse_calls = []

    def parse(self, command):
        self.parse_calls.append(command)
        if isinstance(self.parsed, Exception):
            raise self.parsed
        return self.parsed

    def __repr__(self):
        return f"Device({self.name})"


class FakeTestbed:
    def __init__(self, *devices):
        self.devices = {d.name: d for d in devices}
        self.devices.update({d.alias: d for d in devices if getattr(d, "alias", None)})
        self.all = list(devices)

    def find_devices(self, aliases):
        return [d for d in self.all if getattr(d, "alias", None) in aliases]


class Feature:
    """A feature class as load_class would return it; records what happens."""

    events = []
    fail_on = None  # "init", "learn" or "pickle"

    def __init__(self, device):
        self.events.append(("init", device))
        if self.fail_on == "init":
            raise ValueError("cannot build")
        self.device_name = device.name
        self.info = None

    def learn(self):
        self.events.append(("learn",))
        if self.fail_on == "learn":
            raise RuntimeError("device went away")
        self.info = {"learnt": self.device_name}

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
def feature_class(monkeypatch):
    cls = type("Learnt", (Feature,), {"events": []})
    calls = []

    def load_class(entry, device):
        calls.append((entry, device))
        return cls

    monkeypatch.setattr(profile, "load_class", load_class)
    cls.load_calls = calls
    return cls


@pytest.fixture
def logged(monkeypatch):
    lines = []
    monkeypatch.setattr(profile, "log", types.SimpleNamespace(info=lines.append))
    monkeypatch.setattr(profile, "banner", lambda text: f"[{text}]")
    return lines


def sequential_pcall(calls):
    """pcall's contract, run in this process: fresh argument copies per call."""

    def fake(func, ckwargs, device):
        calls.append((func, ckwargs, device))
        return tuple(func(device=d, **copy.deepcopy(ckwargs)) for d in device)

    return fake


# Module load --------------------------------------------------------------------

GLOBALS = ["os", "sys", "dill", "json", "logging", "jsonpickle", "prettytable", "yaml", "importlib", "pcall",
           "runtime", "banner", "AttrDict", "DatafileError", "Lookup", "Diff", "korrin_yamls", "get_ops_exclude",
           "Summary", "load_class", "get_parser_exclude", "recursive_trim", "PtsdatafileLoader", "KorrinTgnError",
           "log", "Profile", "load_datafile", "asynchronous_profile", "unpickle", "pickle", "summarize_comparison",
           "pickle_traffic", "unpickle_traffic", "unpickle_stream_data"]


def test_globals_are_bound_in_order():
    assert [n for n in vars(profile) if not n.startswith("__")] == GLOBALS
    assert profile.log is logging.getLogger("korrin.utils.profile")
    assert profile.pcall is real_pcall
    assert [n for n in vars(profile.Profile) if not n.startswith("__")] == ["compare", "learn_features"]
    assert profile.Profile.__doc__ is None


CALLABLES = [
    ("Profile.compare", "cls, compare1, compare2, pts_data=None, testbed=None, verf_data=None", None),
    ("Profile.learn_features", "cls, features, testbed, pts_data=None, current_instance=None, testscript=None, "
     "file=None, location=None, pts_name=None", None),
    ("load_datafile", "datafile, cls", None),
    ("asynchronous_profile", "device, feature, pts_data, learnt_dict",
     "Use asynchronous execution when profiling features on devices"),
    ("unpickle", "file", "Unpickle file; Used for Golden profile"),
    ("pickle", "pts, location=None, pts_name=None", "Pickle file; Used for Golden profile"),
    ("summarize_comparison", "summarized_dict, passed_feature=None, print_not_compared=True",
     "Summarize the features comparison"),
]


@pytest.mark.parametrize("qualname, params, doc", CALLABLES)
def test_signatures_docstrings_and_binding_errors(qualname, params, doc):
    target = profile
    for part in qualname.split("."):
        target = getattr(target, part)
    is_method = qualname.startswith("Profile.")
    shown = params.split(", ", 1)[1] if is_method else params
    assert signature_text(target) == f"({shown})"
    assert target.__doc__ == doc
    assert_same_binding_errors(target, qualname, params, is_method=is_method)


FALLBACK_SCRIPT = """
import importlib.abc, sys, types
case = {case!r}
if case == "async":
    module = types.ModuleType("brennic.async")
    module.pcall = "first"
    sys.modules["brennic.async"] = module
elif case == "async without pcall":
    sys.modules["brennic.async"] = types.ModuleType("brennic.async")
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
    print(type(e).__name__, "|", e, "|", type(e.__context__).__name__)
else:
    print("loaded", getattr(profile.pcall, "__module__", profile.pcall))
"""


@pytest.mark.parametrize("case, expected", [
    ("fallback", "loaded brennic.async_"),
    ("async", "loaded first"),
    ("async without pcall", "AttributeError | module 'brennic.async' has no attribute 'pcall' | NoneType"),
    ("neither", "ModuleNotFoundError | import of brennic.async_ halted; None in sys.modules | ModuleNotFoundError"),
    ("finder fails", "RuntimeError | finder broke | NoneType"),
])
def test_pcall_binding_falls_back_only_on_import_error(case, expected):
    # A fresh interpreter: an extension module initialises once per process.
    out = subprocess.run([sys.executable, "-c", FALLBACK_SCRIPT.format(case=case)], capture_output=True,
                         text=True, check=True, env=os.environ)
    assert out.stdout.strip() == expected


# load_datafile and PTS data resolution --------------------------------------------


class Loader:
    fail = None
    result = {"bgp": {}}

    def __init__(self):
        if self.fail == "init":
            raise ValueError("bad loader")

    def load(self, path):
        if self.fail == "load":
            raise OSError(f"cannot read {path}")
        return self.result


@pytest.mark.parametrize("fail", ["init", "load"])
def test_load_datafile_wraps_failures_with_cause(fail):
    loader = type("L", (Loader,), {"fail": fail})
    with pytest.raises(DatafileError) as info:
        profile.load_datafile("a.yaml", loader)
    assert str(info.value) == "Failed to load the datafile 'a.yaml'"
    assert type(info.value.__cause__) is (ValueError if fail == "init" else OSError)


@pytest.mark.parametrize("result", [None, {"bgp": {"devices": ["R1"]}}])
def test_load_datafile_returns_what_load_returns(result):
    assert profile.load_datafile("a.yaml", type("L", (Loader,), {"result": result})) is result


def test_load_datafile_lets_non_exceptions_through():
    class Interrupted(Loader):
        def load(self, path):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        profile.load_datafile("a.yaml", Interrupted)


@pytest.mark.parametrize("given, loads", [(None, "default"), ({}, "default"), ("file", "file"),
                                          ({"bgp": {}}, None), ("/no/such/file", None)])
def test_pts_data_resolution(given, loads, tmp_path, monkeypatch, feature_class, logged):
    path = tmp_path / "pts.yaml"
    path.write_text("{}")
    if given == "file":
        given = str(path)
    loaded = []

    def load_datafile(datafile, cls):
        loaded.append((datafile, cls))
        return {"bgp": {}}

    monkeypatch.setattr(profile, "load_datafile", load_datafile)
    monkeypatch.setattr(profile, "pcall", sequential_pcall([]))
    uut = Device("R1", "uut")
    if given == "/no/such/file":
        # Left as a string: the lookup by feature name fails on it.
        with pytest.raises(TypeError):
            profile.Profile.learn_features(["bgp"], FakeTestbed(uut), pts_data=given, file=True)
    else:
        profile.Profile.learn_features(["bgp"], FakeTestbed(uut), pts_data=given, file=True)
    expected = {"default": [(profile.korrin_yamls.pts_datafile, profile.PtsdatafileLoader)],
                "file": [(str(path), profile.PtsdatafileLoader)], None: []}[loads]
    assert loaded == expected


# asynchronous_profile -------------------------------------------------------------


def test_feature_class_is_built_learnt_and_serialised(feature_class, logged):
    device = Device("R1", "uut")
    inner = {"R9": b"earlier"}
    learnt = {"bgp": inner}
    result = profile.asynchronous_profile(device, "bgp", {"class": "x"}, learnt)
    assert result is inner
    obj = result["obj"]
    assert isinstance(obj, feature_class)
    assert result == {"R9": b"earlier", "uut": ("snapshot", {"learnt": "R1"}), "obj": obj}
    assert feature_class.load_calls == [({"class": "x"}, device)]
    assert feature_class.events == [("init", device), ("learn",), ("pickle", obj)]
    assert logged == ["[Profile 'bgp' on 'uut']"]


@pytest.mark.parametrize("feature", ["show version", "show", "showbgp", "bgp summary", "", "  "])
def test_show_commands_are_parsed(feature, feature_class, logged):
    device = Device("R1", "uut", parsed={"version": "1.0"})
    result = profile.asynchronous_profile(device, feature, {}, {feature: {}})
    assert device.parse_calls == [feature]
    assert dill.loads(result["uut"]) == {"version": "1.0"}
    assert result["obj"] == feature
    assert feature_class.load_calls == []


@pytest.mark.parametrize("alias, key, shown", [(None, "R1", "None"), ("", "R1", ""), ("core", "core", "core")])
def test_device_key_is_alias_when_true(alias, key, shown, feature_class, logged):
    result = profile.asynchronous_profile(Device("R1", alias), "bgp", {}, {"bgp": {}})
    assert set(result) == {key, "obj"}
    assert logged == [f"[Profile 'bgp' on '{shown}']"]


LOAD_MESSAGE = "Issue with loading a pts class or when learning the 'bgp' feature on device 'R1'\n"


@pytest.mark.parametrize("fail_on, feature, message, suppressed", [
    ("init", "bgp", LOAD_MESSAGE + "cannot build", True),
    ("learn", "bgp", LOAD_MESSAGE + "device went away", True),
    ("pickle", "bgp", "Issue while pickling the object '<Feature>'", False),
    ("parse", "show version", "Issue with 'show version'\nno parser", True),
])
def test_learning_failures_are_wrapped(fail_on, feature, message, suppressed, feature_class, logged):
    feature_class.fail_on = fail_on
    device = Device("R1", "uut", parsed=LookupError("no parser") if fail_on == "parse" else None)
    learnt = {feature: {}}
    with pytest.raises(Exception) as info:
        profile.asynchronous_profile(device, feature, {}, learnt)
    assert type(info.value) is Exception and str(info.value) == message
    assert info.value.__cause__ is None
    assert info.value.__suppress_context__ is suppressed
    assert info.value.__context__ is not None
    assert learnt == {feature: {}}


def test_load_class_failure_is_wrapped(monkeypatch, logged):
    def load_class(entry, device):
        raise ImportError("no module named feats")

    monkeypatch.setattr(profile, "load_class", load_class)
    with pytest.raises(Exception, match="on device 'R1'\nno module named feats$"):
        profile.asynchronous_profile(Device("R1", "uut"), "bgp", {}, {"bgp": {}})


@pytest.mark.parametrize("case", ["no alias attribute", "no feature key", "interrupt"])
def test_other_failures_pass_through(case, feature_class, logged):
    device = Device("R1", "uut")
    learnt = {"bgp": {}}
    expected = KeyError
    if case == "no alias attribute":
        del device.alias
        expected = AttributeError
    elif case == "no feature key":
        learnt = {}
    else:
        feature_class.learn = lambda self: (_ for _ in ()).throw(KeyboardInterrupt())
        expected = KeyboardInterrupt
    with pytest.raises(expected):
        profile.asynchronous_profile(device, "bgp", {}, learnt)
    assert bool(feature_class.load_calls) is (case != "no alias attribute")


# pickle / unpickle ----------------------------------------------------------------


@pytest.fixture
def run_dir(tmp_path, monkeypatch):
    directory = tmp_path / "run"
    directory.mkdir()
    monkeypatch.setattr(profile, "runtime", types.SimpleNamespace(directory=str(directory)))
    return directory


@pytest.mark.parametrize("pts", [{}, None])
def test_pickle_of_nothing_writes_nothing(pts, tmp_path):
    assert profile.pickle(pts, location=str(tmp_path / "missing")) is None
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("location, name", [(None, None), ("", ""), ("given", "golden")])
def test_pickle_writes_golden_file_then_one_json_per_device(location, name, run_dir, tmp_path):
    directory = run_dir if location != "given" else tmp_path / "given"
    directory.mkdir(exist_ok=True)
    base = name or "pts"
    pts = {"bgp": {"uut": {"as": 1}, "r2": {"as": 2}}}
    path = profile.pickle(pts, location=str(directory) if location == "given" else location, pts_name=name)
    assert path == os.path.join(str(directory), f"{base}_r2_bgp_pts.json")
    assert sorted(os.listdir(directory)) == sorted([base, f"{base}_uut_bgp_pts.json", f"{base}_r2_bgp_pts.json"])
    assert profile.unpickle(os.path.join(str(directory), base)) == pts
    text = (directory / f"{base}_uut_bgp_pts.json").read_text()
    assert text == json.dumps({"bgp": {"uut": {"as": 1}}}, indent=4)


def test_pickle_trims_encoded_objects_and_returns_golden_path_without_devices(tmp_path, monkeypatch):
    trims = []

    def recursive_trim(data, keys):
        trims.append(keys)
        return data

    monkeypatch.setattr(profile, "recursive_trim", recursive_trim)
    assert profile.pickle({"bgp": {}}, location=str(tmp_path)) == str(tmp_path / "pts")
    profile.pickle({"bgp": {"uut": 1}}, location=str(tmp_path))
    assert trims == [["py/object", "__dict__"]]


@pytest.mark.parametrize("feature, device, name", [
    ("show interface Ethernet1/1", "uut", "pts_uut_show interface Ethernet1_1_pts.json"),
    ("show x/../../elsewhere", "uut", "pts_uut_show x_.._.._elsewhere_pts.json"),
    ("bgp", "a/b\0c", "pts_a_b_c_bgp_pts.json"),
    ("show  ip route", None, "pts_None_show  ip route_pts.json"),
])
def test_snapshot_file_names_stay_in_the_run_directory(feature, device, name, tmp_path):
    path = profile.pickle({feature: {device: {"x": 1}}}, location=str(tmp_path))
    assert path == str(tmp_path / name)
    assert sorted(os.listdir(tmp_path)) == sorted(["pts", name])
    assert json.loads((tmp_path / name).read_text()) == {feature: {str(device) if device else "null": {"x": 1}}}


def test_files_get_plain_open_permissions(tmp_path):
    old = os.umask(0o027)
    try:
        profile.pickle({"bgp": {"uut": 1}}, location=str(tmp_path))
    finally:
        os.umask(old)
    assert {oct(p.stat().st_mode & 0o777) for p in tmp_path.iterdir()} == {oct(0o640)}


class Unpicklable:
    def __reduce__(self):
        raise TypeError("cannot pickle this")


@pytest.mark.parametrize("broken", ["golden", "json"])
def test_a_failed_write_leaves_the_earlier_file_intact(broken, tmp_path, monkeypatch):
    profile.pickle({"bgp": {"uut": {"as": 1}}}, location=str(tmp_path))
    before = {p.name: p.read_bytes() for p in tmp_path.iterdir()}

    def half_then_fail(*args, **kwargs):
        args[-1].write(b"partial" if broken == "golden" else "{partial")
        raise OSError("disk full")

    if broken == "golden":
        monkeypatch.setattr(profile, "dill", types.SimpleNamespace(dump=half_then_fail))
    else:
        monkeypatch.setattr(profile, "json", types.SimpleNamespace(loads=json.loads, dump=half_then_fail))
    with pytest.raises(OSError, match="disk full"):
        profile.pickle({"bgp": {"uut": {"as": 2}}}, location=str(tmp_path))
    after = {p.name: p.read_bytes() for p in tmp_path.iterdir()}
    assert after.keys() == before.keys()  # no temporary file left
    kept = "pts" if broken == "golden" else "pts_uut_bgp_pts.json"
    assert after[kept] == before[kept]


@pytest.mark.parametrize("pts, error", [({"bgp": {"uut": Unpicklable()}}, TypeError), ({"bgp": None}, AttributeError)])
def test_pickle_failures_pass_through(pts, error, tmp_path):
    with pytest.raises(error):
        profile.pickle(pts, location=str(tmp_path))
    assert all(not p.name.startswith(".") for p in tmp_path.iterdir())


def test_pickle_into_missing_directory_fails(tmp_path):
    with pytest.raises(FileNotFoundError):
        profile.pickle({"bgp": {"uut": 1}}, location=str(tmp_path / "missing"))


@pytest.mark.parametrize("file, error, message", [
    (None, Exception, "No Golden PTS profile file provided"),
    ("", Exception, "No Golden PTS profile file provided"),
    ("missing", FileNotFoundError, None),
    ("corrupt", Exception, None),
])
def test_unpickle_failures(file, error, message, tmp_path):
    if file:
        file = str(tmp_path / file)
        if file.endswith("corrupt"):
            (tmp_path / "corrupt").write_bytes(b"not a pickle")
    with pytest.raises(error) as info:
        profile.unpickle(file)
    if message:
        assert type(info.value) is Exception and str(info.value) == message


# Profile.learn_features -----------------------------------------------------------


@pytest.fixture
def learning(monkeypatch, feature_class, logged):
    """A fake pcall (recording), a pickle that records, and a testbed."""
    env = types.SimpleNamespace(pcalls=[], pickles=[], logged=logged, feature_class=feature_class)
    monkeypatch.setattr(profile, "pcall", sequential_pcall(env.pcalls))
    monkeypatch.setattr(profile, "pickle", lambda pts, location=None, pts_name=None:
                        env.pickles.append((copy.copy(pts), location, pts_name)))
    env.r1, env.r2, env.r3 = Device("R1", "uut"), Device("R2", "helper"), Device("R3", None)
    env.testbed = FakeTestbed(env.r1, env.r2, env.r3)
    return env


def learn(env, features, pts_data, **kwargs):
    return profile.Profile.learn_features(features, env.testbed, pts_data=pts_data, **kwargs)


@pytest.mark.parametrize("features", [[], None, ""])
def test_no_features(features, learning, monkeypatch):
    monkeypatch.setattr(profile, "load_datafile", lambda *a: pytest.fail("loaded"))
    with pytest.raises(KeyError) as info:
        learn(learning, features, None)
    assert info.value.args == ("No features were passed to be learnt",)


def test_feature_missing_from_pts_data(learning):
    with pytest.raises(KeyError) as info:
        learn(learning, ["bgp"], {"ospf": {}})
    assert info.value.args == ("'bgp' does not exists in pts_data file",)
    assert isinstance(info.value.__context__, KeyError)


@pytest.mark.parametrize("entry, expected", [
    ({"devices": ["R2", "R3"]}, ["R2", "R3"]),
    ({}, ["R1"]),
    ({"devices": ["R2", "nosuch"]}, ["R1"]),
    ({"devices": ["R1", "uut", "R2", "R1"]}, ["R1", "R2"]),
])
def test_device_selection(entry, expected, learning):
    out = learn(learning, ["bgp"], {"bgp": entry}, file=True)
    (func, ckwargs, devices), = learning.pcalls
    assert func is profile.asynchronous_profile
    assert type(devices) is tuple and [d.name for d in devices] == expected
    assert list(ckwargs) == ["feature", "pts_data", "learnt_dict"]
    assert ckwargs["feature"] == "bgp" and ckwargs["pts_data"] is entry
    keys = {"R1": "uut", "R2": "helper", "R3": "R3"}
    assert sorted(out["bgp"]) == sorted(keys[n] for n in expected)
    shown = [{"R1": "uut", "R2": "helper", "R3": None}[n] for n in expected]
    assert learning.logged[0] == f"Profile 'bgp' on '{shown}'"


@pytest.mark.parametrize("uuts, message", [
    (0, "No 'uut' device was found"),
    (2, "More than one device were found with alias 'uut'; [Device(A), Device(B)]"),
])
def test_uut_fallback_needs_exactly_one(uuts, message, learning):
    learning.testbed = FakeTestbed(*[Device(n, "uut") for n in "AB"[:uuts]], Device("C"))
    with pytest.raises(Exception) as info:
        learn(learning, ["bgp"], {"bgp": {}})
    assert type(info.value) is Exception and str(info.value) == message
    assert learning.pcalls == []


def test_pcall_failure_is_wrapped_without_context(learning, monkeypatch):
    def failing(func, ckwargs, device):
        raise RuntimeError("1 of 1 calls failed\ndetails")

    monkeypatch.setattr(profile, "pcall", failing)
    with pytest.raises(Exception) as info:
        learn(learning, ["bgp"], {"bgp": {}})
    assert str(info.value) == "Failed in learning 'bgp' feature\n1 of 1 calls failed\ndetails"
    assert info.value.__suppress_context__ and info.value.__cause__ is None
    assert learning.pickles == []


def test_results_are_restored_and_filed_by_device_key(learning, monkeypatch):
    # Two devices without alias must not share a key; feature objects without
    # an unpickle method go through dill.
    nameless = [Device("S1"), Device("S2", "")]
    learning.testbed = FakeTestbed(learning.r1, *nameless)
    seen = []

    def pcall(func, ckwargs, device):
        results = ({"S2": dill.dumps("two"), "obj": "show x", "S1": dill.dumps("one")},
                   {"obj": Feature.__new__(Feature), "uut": "raw"})
        seen.extend(sorted(results[0]))
        return results

    monkeypatch.setattr(profile, "pcall", pcall)
    out = learn(learning, ["bgp"], {"bgp": {"devices": ["R1", "S1", "S2"]}}, file=True)
    assert out == {"bgp": {"S1": "one", "S2": "two", "uut": {"restored": "raw"}}}
    assert list(out["bgp"]) == ["S1", "S2", "uut"]


def test_result_without_obj_fails(learning, monkeypatch):
    monkeypatch.setattr(profile, "pcall", lambda func, ckwargs, device: ({"uut": b""},))
    with pytest.raises(KeyError, match="obj"):
        learn(learning, ["bgp"], {"bgp": {}})


def test_stores_once_after_learning_with_the_given_names(learning):
    out = learn(learning, ["bgp", "show version"], {"bgp": {"devices": ["R1", "R2"]}, "show version": {}},
                location="/logs", pts_name="golden")
    assert list(out) == ["bgp", "show version"]
    assert learning.pickles == [(out, "/logs", "golden")]
    assert [c[1]["feature"] for c in learning.pcalls] == ["bgp", "show version"]


def test_file_true_stores_nothing(learning):
    learn(learning, ["bgp"], {"bgp": {}}, file=True, testscript=object())
    assert learning.pickles == []


def test_test_script_accumulates_until_all_features_are_learnt(learning):
    script = types.SimpleNamespace(parameters={"learnt_dict": {}}, pts_features=["bgp", "show version"])
    pts = {"bgp": {}, "show version": {}}
    first = learn(learning, ["bgp"], pts, testscript=script)
    assert learning.pickles == [] and list(script.parameters["learnt_dict"]) == ["bgp"]
    second = learn(learning, ["show version"], pts, testscript=script, location="/l", pts_name="n")
    assert list(first) == ["bgp"] and list(second) == ["show version"]
    assert learning.pickles == [({"bgp": first["bgp"], "show version": second["show version"]}, "/l", "n")]


@pytest.mark.parametrize("script, error", [
    (types.SimpleNamespace(parameters={}, pts_features=[]), KeyError),
    (types.SimpleNamespace(parameters={"learnt_dict": {}}), AttributeError),
])
def test_broken_test_script_fails_after_learning(script, error, learning):
    with pytest.raises(error):
        learn(learning, ["bgp"], {"bgp": {}}, testscript=script)
    assert len(learning.pcalls) == 1 and learning.pickles == []


def test_rebinding_the_worker_redirects_pcall(learning, monkeypatch):
    def worker(device, feature, pts_data, learnt_dict):
        return {"obj": feature, device.name: dill.dumps(device.name)}

    monkeypatch.setattr(profile, "asynchronous_profile", worker)
    assert learn(learning, ["show clock"], {"show clock": {}}, file=True) == {"show clock": {"uut": "R1"}}
