"""Long runs of every public callable of the five extension modules, on good
input and on input that raises, with memory and object counts watched; cycles
through instances; concurrent use from several threads.

KORRIN_ENDURANCE_SCALE multiplies the iteration counts (e.g. 0.3 under the
sanitizers, 5 for a soak run)."""
import gc
import os
import sys
import threading
import tracemalloc
import types
import weakref

import dill
import prettytable
import pytest

import korrin.utils.config as config
import korrin.utils.profile as profile
import korrin.utils.summary as summary
import korrin.utils.symfind as symfind
import korrin.utils.timeout as timeout
from support import FakeDiff, FakeTestbed

# jsonpickle warns on every encode; recorded warnings would pile up in memory.
pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")

SCALE = float(os.environ.get("KORRIN_ENDURANCE_SCALE", "1"))
# Under ASan freed memory sits in quarantine, so RSS says nothing there; its
# leak report at exit and the object counts stand in for RSS and tracemalloc
# (which would double the run time there).
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
PAGE = os.sysconf("SC_PAGE_SIZE")

TRACED_SLACK = 24 * 1024      # bytes allowed to appear once in a window (caches, dict resizes)
RSS_SLACK = 8 * 1024 * 1024


class Sink:
    """Stands in for every logger; swallows records at any level."""

    def _drop(self, msg):
        pass

    info = error = warning = debug = critical = _drop


def fresh(exc):
    # Raising one instance again would chain its tracebacks without end.
    return type(exc)(*exc.args)


class Broken:
    """A collaborator that fails however it is used."""

    def __init__(self, exc=RuntimeError("collaborator failed")):
        self.exc = exc

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        return self

    def __call__(self, *args, **kwargs):
        raise fresh(self.exc)


class Unreadable:
    """An object whose every attribute read raises."""

    def __init__(self, exc):
        self.exc = exc

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        raise fresh(self.exc)

    def __call__(self, *args, **kwargs):
        return self


class Unequal:
    """A result object that cannot be compared."""

    def __eq__(self, other):
        raise ArithmeticError("no comparing")

    __hash__ = object.__hash__


class Clock:
    """time as timeout sees it: a step per reading, no real waiting."""

    def __init__(self, step=0.25):
        self.now, self.step = 0.0, step

    def time(self):
        self.now += self.step
        return self.now

    def sleep(self, seconds):
        if seconds < 0:
            raise ValueError("sleep length must be non-negative")


class Still(Clock):
    """A clock that never moves, so concurrent users all see the same time."""

    def time(self):
        return 100.0


class Recorder:
    """A result container (or anything else) that records every method call."""

    def __init__(self):
        self.calls = []

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        return lambda *args, **kwargs: self.calls.append((name, args, kwargs))


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def expect(exc_type, func, *args, **kwargs):
    try:
        func(*args, **kwargs)
    except exc_type:
        return
    raise AssertionError(f"{func!r}{args}{kwargs} did not raise {exc_type.__name__}")


def reading(watch):
    # The type attribute cache keeps the last name strings looked up, which
    # would pass for a slow leak.
    sys._clear_type_cache()
    gc.collect()
    traced = tracemalloc.get_traced_memory()[0] if tracemalloc.is_tracing() else 0
    return (traced, rss(), len(gc.get_objects()),
            [sys.getrefcount(o) for o in watch])


def assert_flat(step, n, watch=()):
    """Run `step` n times to warm up, then n and 2n more times; the 2n window
    must not grow: a per-call leak grows it twice as much as the n window."""
    n = max(20, int(n * SCALE))
    watch = (None, True, False, step) + tuple(watch)
    for _ in range(n):
        step()
    if not SANITIZED:
        tracemalloc.start()
    try:
        r0 = reading(watch)
        for _ in range(n):
            step()
        r1 = reading(watch)
        for _ in range(2 * n):
            step()
        r2 = reading(watch)
    finally:
        tracemalloc.stop()            # harmless when it never started
    grown = [(b - a, c - b) for a, b, c in zip(r0[:3], r1[:3], r2[:3])]
    refs = [(b - a, c - b) for a, b, c in zip(r0[3], r1[3], r2[3])]
    report = f"traced/rss/objects growth over n and 2n calls {grown}, watched refcounts {refs}"
    assert grown[0][1] <= TRACED_SLACK, report
    assert SANITIZED or grown[1][1] <= RSS_SLACK, report
    assert grown[2][1] <= 2 * n // 10 + 20, report
    assert all(later <= 2 * n // 10 + 5 for _, later in refs), report


@pytest.fixture
def env(monkeypatch, tmp_path):
    """Quiet loggers, a fake clock and a private run directory for all modules."""
    e = types.SimpleNamespace(sink=Sink(), clock=Clock(), dir=tmp_path, mp=monkeypatch)
    monkeypatch.setattr(summary, "logger", e.sink)
    monkeypatch.setattr(timeout, "log", e.sink)
    monkeypatch.setattr(timeout, "time", e.clock)
    monkeypatch.setattr(profile, "log", e.sink)
    monkeypatch.setattr(profile, "banner", str)
    monkeypatch.setattr(profile, "runtime", types.SimpleNamespace(directory=str(tmp_path)))
    monkeypatch.delenv("BRANCH", raising=False)
    return e


# Workloads --------------------------------------------------------------------

LONG = ("Feature bgp was learnt on 3 devices and every snapshot was stored, "
        "including a-hyphenated-word and\ttabs\nand newlines ")


def build_box(cls=summary.Summary, width=60):
    s = cls("Profile summary", width)
    s.add_message(LONG)
    s.add_message(Rows(ODD), level="error")
    s.add_sep_line()
    s.add_message(["first item", "    second item, indented", "x" * 90], True, "error")
    s.add_message("", level="warning")
    s.add_star_line()
    s.add_subtitle_line()
    s.summarize_section(s.add_indent("message of a section", end=False), device="R1", level="error")
    s.summarize_section(message="no device")
    s.summarize_profile("R1", diff="- a\n+ b", golden=True)
    s.summarize_profile(device="R2", PTS=False)
    s.summarize_profile("R3", diff="d", golden=False, PTS=True)
    return s


def trigger_box():
    t = summary.TriggerSummary("Trigger", 50)
    t.summarize_trigger("Shut and unshut\n  the interface\n\n", {"interface": {"name": "Ethernet1", "n": [1, 2]}})
    t.summarize(["a title"], "a message", indent=True)
    return t


RUNNING = """Building configuration...
!
hostname R1
interface Ethernet1
 description uplink\r
 shutdown
router bgp 100
 neighbor 10.0.0.2 remote-as 200
 address-family ipv4
  neighbor 10.0.0.2 activate
 exit-address-family
banner motd \x03hello\x03
\tend
 b
a
 x
"""
class Text(str):
    pass


class Rows(list):
    pass


ODD = ["\ud800 lone surrogate", "nul\x00 inside", Text("a str subclass"), "\U0001d518\U0001d52b " * 8, "\u2028x\x1cy"]
PATHS = ["[info][(.*)][counters]", "[vrf][default][address_family][ipv4 unicast]", "[interfaces][1][mtu]",
         "[(a[0]) b]", "[(1,2) (3,4)]", "[-5][+3][007][1.5]", "[a b [c d]]", "[a~ b] a b", "", "x [y z]",
         "[peer (.*) state]", "[ä ü][ß]"]


class Device:
    def __init__(self, name, alias=None, parsed=None):
        self.name, self.alias, self.parsed = name, alias, parsed

    def parse(self, command):
        if isinstance(self.parsed, Exception):
            raise fresh(self.parsed)
        return self.parsed


class Feature:
    fail = None

    def __init__(self, device):
        if self.fail == "init":
            raise ValueError("cannot build")
        self.device, self.info = device.name, None

    def learn(self):
        if self.fail == "learn":
            raise RuntimeError("device went away")
        self.info = {"neighbors": [self.device, 1]}

    def pickle(self, obj):
        if self.fail == "pickle":
            raise TypeError("not serialisable")
        return ("snapshot", obj.device, obj.info)

    def unpickle(self, value):
        return dict(zip(("kind", "device", "info"), value))


def sequential_pcall(func, ckwargs, device):
    """pcall without workers: one call per device, each on its own learnt_dict."""
    return tuple(func(device=d, **{**ckwargs, "learnt_dict": {ckwargs["feature"]: {}}}) for d in device)


def profiling_env(e):
    e.mp.setattr(profile, "pcall", sequential_pcall)
    e.mp.setattr(profile, "load_class", lambda entry, device: Feature)
    e.mp.setattr(profile, "Diff", FakeDiff)
    e.mp.setattr(profile, "get_ops_exclude", lambda f, d: ["ops"] if f == "bgp" else Broken()())
    e.mp.setattr(profile, "get_parser_exclude", lambda f, d: iter(["parser"]))
    e.r1, e.r2 = Device("R1", "uut", {"v": 1}), Device("R2", parsed={"v": 2})
    e.testbed = FakeTestbed(e.r1, e.r2, Device("R3", "helper"))
    e.pts = {"bgp": {"devices": ["R1", "R2", "uut"]}, "ospf": {}, "show version": {"devices": ["R2"]},
             "exclude": ["global"]}
    return e


def traffic_table(rows=3):
    t = prettytable.PrettyTable(["Source/Dest Port Pair", "Traffic Item", "Tx Frames", "Rx Frames", "Frames Delta",
                                 "Tx Frame Rate", "Rx Frame Rate", "Loss %", "Outage (seconds)"])
    for i in range(rows):
        t.add_row([f"1/{i}-1/{i + 1}", f"item {i}", 1000 + i, 998, 2, "10.5", "10.4", "0.2", ""])
    return t


# Each case: (env) -> (step, iterations, objects whose refcount must stay put).


def summary_good(e):
    msg = "x" * 10

    def step():
        build_box().print()
        build_box(summary.TriggerSummary, 5).print()
        trigger_box().print()
        m = summary.Msg(msg, level="error")
        assert m.msg is msg
    return step, 150, (msg, e.sink)


def summary_errors(e):
    bad_yaml = types.SimpleNamespace(dump=Broken(ValueError("cannot dump")))
    title = "a title"

    def step():
        s, t = build_box(), summary.TriggerSummary("t", 30)
        bad_level = build_box()
        bad_level.add_message("goes nowhere", level="no_such_level")
        expect(ValueError, summary.Summary, title, 3)
        expect(ValueError, summary.Summary, "", 2)
        expect(AttributeError, s.add_message, None)
        expect(AttributeError, s.add_message, ("a", "tuple"))
        expect(AttributeError, s.add_message, ["fine", 5])
        expect(TypeError, summary.Summary, title, "wide")
        expect(AttributeError, bad_level.print)
        with e.mp.context() as mp:
            mp.setattr(summary, "logger", Broken())
            expect(RuntimeError, s.print)
            mp.setattr(summary, "yaml", bad_yaml)
            expect(ValueError, t.summarize_trigger, "d", {})
            mp.setattr(summary, "textwrap", types.SimpleNamespace(wrap=Broken(KeyError("wrap"))))
            expect(KeyError, s.add_message, "delegated")
            mp.setattr(summary, "Msg", Broken())
            expect(RuntimeError, s.add_sep_line)
    return step, 200, (title, bad_yaml)


def summary_bad_calls(e):
    s, t = summary.Summary("t", 40), summary.TriggerSummary("t", 40)
    calls = [(summary.Summary, (), {}), (summary.Summary, ("t", 40, 1), {}), (summary.Summary, ("t",), {"title": 1}),
             (summary.Summary, ("t", 40), {"bogus": 1}), (s.add_message, (), {}),
             (s.add_message, ("a",), {"msg": "b"}), (s.add_indent, ("a", True, 1), {}), (s.print, (1,), {}),
             (s.add_title_line, (), {"x": 1}), (s.summarize_section, (), {}), (s.summarize_profile, (), {"diff": 1}),
             (t.summarize_trigger, ("d",), {}), (t.summarize, (), {"indent": 1}), (summary.Msg, (), {}),
             (summary.Msg, ("a", "info", 1), {}), (summary.Summary.add_message, (), {}),
             (summary.Msg.__init__, (), {})]
    return bad_call_step(calls), 1500, (s, t)


def bad_call_step(calls):
    def step():
        for func, args, kwargs in calls:
            expect(TypeError, func, *args, **kwargs)
    return step


def timeout_good(e):
    container = Recorder()
    reason = "reason text"

    def step():
        t = timeout.Timeout(max_time=3, interval=1.0)
        while t.iterate():
            t.sleep()
        t.sleep()
        assert t.timeout == t.snapshot_time + 3
        r = timeout.TempResult(container)
        for name in ("failed", "aborted", "errored", "skipped", "blocked", "passx", "passed"):
            getattr(r, name)(reason, from_exception=None, goto=["next"])
            r.result()
        r._update_result(timeout.Failed, reason, None, [])
        r.result()
        container.calls.clear()
    return step, 1500, (container, reason, e.clock)


def timeout_errors(e):
    container = Recorder()
    failing = types.SimpleNamespace(passed=Broken(), failed=Broken(KeyError("x")))

    def step():
        expect(TypeError, timeout.Timeout("never", 1).iterate)
        expect(TypeError, timeout.Timeout(5, "1").sleep)
        expect(TypeError, getattr, timeout.Timeout(None, 1), "timeout")
        expect(ValueError, timeout.Timeout(5, -1).sleep)
        expect(AttributeError, timeout.TempResult().result)
        expect(RuntimeError, timeout.TempResult(failing).result)
        r = timeout.TempResult(failing)
        r.failed("r", ValueError("e"), "goto")
        expect(KeyError, r.result)
        with e.mp.context() as mp:
            mp.setattr(timeout, "time", Broken())
            expect(RuntimeError, timeout.Timeout, 1, 1)
            mp.setattr(timeout, "log", Broken())
            expect(RuntimeError, timeout.TempResult(container).passed, "r")
            r = timeout.TempResult(container)
            r.temp_result = Unequal()
            expect(ArithmeticError, r.result)
    return step, 1500, (container, failing)


def timeout_bad_calls(e):
    t, r = timeout.Timeout(1, 1), timeout.TempResult()
    calls = [(timeout.Timeout, (1,), {}), (timeout.Timeout, (1, 2, 3), {}), (timeout.Timeout, (1,), {"max_time": 1}),
             (t.iterate, (1,), {}), (t.sleep, (), {"x": 1}), (timeout.TempResult, (1, 2), {}),
             (timeout.TempResult, (), {"box": 1}), (r.passed, (1, 2, 3, 4), {}), (r.passx, (), {"why": 1}),
             (r._update_result, (), {}), (r._update_result, (1, 2, 3), {"temp_result": 1}), (r.result, (1,), {}),
             (timeout.Timeout.iterate, (), {})]
    return bad_call_step(calls), 1500, (t, r)


def symfind_good(e):
    device = types.SimpleNamespace(name="R1", os="iosxe")

    def step():
        for path in PATHS + ODD:
            symfind.str_to_list(path)
            symfind.structure_verifier(path.replace("[1]", "[x]").replace("[-5][+3][007]", ""), None)
        assert symfind.load_attribute(None, "os.path.join") is os.path.join
        assert symfind.load_attribute("os", "path.join", device=device) is os.path.join
        assert symfind.load_attribute("os", "missing.path.nothing") is os.path
        assert symfind.load_attribute("korrin.sim.health", "bgp", device) is not None
    return step, 400, (device,)


def symfind_errors(e):
    device = types.SimpleNamespace(name="R1", os="no_such_os")
    lookup = types.SimpleNamespace(from_device=lambda device, packages: Unreadable(LookupError("abstraction package")))
    abstract = types.ModuleType("endurance_abstract")
    abstract.__abstract_pkg = True
    e.mp.setitem(sys.modules, "endurance_abstract", abstract)

    def step():
        expect(TypeError, symfind.str_to_list, b"[a]")
        expect(TypeError, symfind.str_to_list, None)
        expect(ValueError, symfind.structure_verifier, "[a][(.*)][(x]", None)
        expect(ValueError, symfind.structure_verifier, "[(abc][x]", {})
        expect(AttributeError, symfind.structure_verifier, "[1][(x]", None)
        expect(ValueError, symfind.load_attribute, "", "nodot")
        expect(AttributeError, symfind.load_attribute, None, "os.no_such_name")
        expect(ModuleNotFoundError, symfind.load_attribute, None, "no_such_module_here.x")
        expect(ModuleNotFoundError, symfind.load_attribute, "no_such_module_here", "x")
        expect(LookupError, symfind.load_attribute, "korrin.sim.health", "bgp", device)
        with e.mp.context() as mp:
            mp.setattr(symfind, "Lookup", lookup)
            expect(LookupError, symfind.load_attribute, "endurance_abstract", "path", device)
            expect(AttributeError, symfind.load_attribute, "endurance_abstract", "path", None)
            other = Unreadable(LookupError("other"))         # skipped like a missing name
            mp.setattr(symfind, "Lookup", types.SimpleNamespace(from_device=other))
            assert symfind.load_attribute("endurance_abstract", "a.b", device) is other
            mp.setattr(symfind, "importlib", Broken(ImportError("no imports today")))
            expect(ImportError, symfind.load_attribute, None, "os.path")
            mp.setattr(symfind, "re", Broken())
            expect(RuntimeError, symfind.str_to_list, b"[a]")
            expect(ValueError, symfind.structure_verifier, "[(a)]", None)
    return step, 300, (device, lookup)


def symfind_bad_calls(e):
    calls = [(symfind.load_attribute, (), {}), (symfind.load_attribute, (1, 2, 3, 4), {}),
             (symfind.load_attribute, ("a",), {"pkg": "b"}), (symfind.str_to_list, (), {}),
             (symfind.str_to_list, ("a",), {"string": "b"}), (symfind.str_to_list, (), {"text": "b"}),
             (symfind.structure_verifier, ("a",), {}), (symfind.structure_verifier, ("a", 1, 2), {})]
    return bad_call_step(calls), 2000, ()


def config_good(e):
    exclude = ["hostname R1"]

    def step():
        c = config.Config(RUNNING, exclude)
        c.tree()
        c.tree()                                # rebuilt from scratch each time
        assert "interface Ethernet1" in c.config
        config.Config('{"a": [1, 2, {"b": null}]}').tree()
        config.Config("", "!x").tree()
        config.Config(RUNNING.replace("\n", "\r\n") * 3, exclude=()).tree()
        config.Config(Text("\n ".join(ODD)), (line for line in ODD)).tree()
    return step, 1200, (exclude,)


def config_errors(e):
    def step():
        expect(TypeError, config.Config, "a\nb", 5)
        expect(TypeError, config.Config(b"a\n b").tree)
        expect((TypeError, AttributeError), config.Config(None).tree)
        c = config.Config("a\n b")
        c.exclude = None
        expect(TypeError, c.tree)
        with e.mp.context() as mp:
            mp.setattr(config, "json", Broken())           # an Exception from json only picks the text path
            config.Config("a\n b").tree()
            mp.setattr(config, "json", Broken(KeyboardInterrupt()))
            expect(KeyboardInterrupt, config.Config("a").tree)
            mp.setattr(config, "json", types.SimpleNamespace())   # no loads: an Exception too
            c = config.Config("a\n b")
            c.tree()
            assert c.config == {"a": {"b": {}}}
    return step, 2000, ()


def config_bad_calls(e):
    c = config.Config("a")
    calls = [(config.Config, (), {}), (config.Config, ("a", None, 1), {}), (config.Config, ("a",), {"output": "b"}),
             (config.Config, (), {"exclude": []}), (c.tree, (1,), {}), (c.tree, (), {"deep": True}),
             (config.Config.tree, (), {})]
    return bad_call_step(calls), 2000, (c,)


def profile_compare(e):
    profiling_env(e)
    before = {"bgp": {"uut": 1, "R2": 2}, "ospf": {"uut": 3}, "only1": {}}
    after = {"bgp": {"uut": 1, "R2": 5}, "ospf": {"uut": 3}, "only2": {"uut": 1}}
    golden = e.dir / "golden"
    golden.write_bytes(dill.dumps(before))
    path = str(golden)

    def step():
        result = profile.Profile.compare(before, after, e.pts, e.testbed)
        assert result["not_compared"] == {"only1", "only2"} and list(result["bgp"]["failed"]) == ["R2"]
        profile.Profile.compare(path, after, pts_data=e.pts, testbed=e.testbed, verf_data=1)
        profile.summarize_comparison(result)
        profile.summarize_comparison(result, passed_feature="bgp", print_not_compared=False)
    return step, 400, (before, after, path, e.pts, e.testbed)


def profile_learn(e):
    profiling_env(e)
    script = types.SimpleNamespace(parameters={"learnt_dict": {}}, pts_features=["bgp", "show version"])
    stored = []
    e.mp.setattr(profile, "pickle", lambda pts, location=None, pts_name=None: stored.append(len(pts)))
    features = ["bgp", "show version", "ospf"]

    def step():
        learnt = profile.Profile.learn_features(features, e.testbed, e.pts, file=True)
        assert learnt["bgp"]["uut"]["info"] == {"neighbors": ["R1", 1]} and learnt["show version"]["R2"] == {"v": 2}
        profile.Profile.learn_features(["bgp"], e.testbed, pts_data=e.pts, testscript=script)
        profile.Profile.learn_features(["show version"], e.testbed, pts_data=e.pts, testscript=script)
        profile.Profile.learn_features(features=["ospf"], testbed=e.testbed, pts_data=e.pts, location="x")
        for device in (e.r1, e.r2):
            profile.asynchronous_profile(device, "bgp", {}, {"bgp": {}})
            profile.asynchronous_profile(device=device, feature="show version", pts_data={}, learnt_dict={
                "show version": {}})
        stored.clear()
    return step, 300, (features, e.testbed, e.pts, script)


def profile_learn_errors(e):
    profiling_env(e)
    lonely = FakeTestbed(Device("R9"))
    crowded = FakeTestbed(Device("A", "uut"), Device("B", "uut"))
    classes = {fail: type("F", (Feature,), {"fail": fail}) for fail in ("init", "learn", "pickle")}
    broken_parse = Device("R4", "x", parsed=OSError("no parse"))

    def step():
        expect(KeyError, profile.Profile.learn_features, [], e.testbed, e.pts)
        expect(KeyError, profile.Profile.learn_features, ["isis"], e.testbed, e.pts)
        expect(Exception, profile.Profile.learn_features, ["ospf"], lonely, e.pts)
        expect(Exception, profile.Profile.learn_features, ["ospf"], crowded, e.pts)
        expect(TypeError, profile.Profile.learn_features, ["bgp"], e.testbed, {"bgp": 5})
        for cls in classes.values():
            with e.mp.context() as mp:
                mp.setattr(profile, "load_class", lambda entry, device, cls=cls: cls)
                expect(Exception, profile.asynchronous_profile, e.r1, "bgp", {}, {"bgp": {}})
                expect(Exception, profile.Profile.learn_features, ["bgp"], e.testbed, e.pts, file=True)
        expect(Exception, profile.asynchronous_profile, broken_parse, "show clock", {}, {"show clock": {}})
        expect(KeyError, profile.asynchronous_profile, e.r1, "show clock", {}, {})
        with e.mp.context() as mp:
            mp.setattr(profile, "pcall", Broken())
            expect(Exception, profile.Profile.learn_features, ["bgp"], e.testbed, e.pts)
            mp.setattr(profile, "pcall", lambda func, ckwargs, device: [{"uut": b"not a pickle"}])
            expect(KeyError, profile.Profile.learn_features, ["bgp"], e.testbed, e.pts)
            mp.setattr(profile, "pcall", lambda func, ckwargs, device: [{"obj": "x", "uut": b"not a pickle"}])
            expect(Exception, profile.Profile.learn_features, ["bgp"], e.testbed, e.pts)
            mp.setattr(profile, "load_class", Broken())
            mp.setattr(profile, "banner", Broken())
            expect(RuntimeError, profile.asynchronous_profile, e.r1, "bgp", {}, {"bgp": {}})
            mp.setattr(profile, "PtsdatafileLoader", Broken(OSError("unreadable")))
            mp.setattr(profile, "korrin_yamls", types.SimpleNamespace(pts_datafile="pts.yaml"))
            expect(profile.DatafileError, profile.Profile.learn_features, ["bgp"], e.testbed)
    return step, 150, (lonely, crowded, broken_parse, e.pts, e.testbed)


def profile_compare_errors(e):
    profiling_env(e)
    garbage = e.dir / "garbage"
    garbage.write_bytes(b"not a pickle at all")
    missing, garbage = str(e.dir / "missing"), str(garbage)
    before, after = {"bgp": {"uut": 1}}, {"bgp": {"uut": 1, "R2": 1}}

    def step():
        expect(KeyError, profile.Profile.compare, before, after, e.pts, e.testbed)
        expect(AttributeError, profile.Profile.compare, before, before, e.pts, None)
        expect(KeyError, profile.Profile.compare, after, after, e.pts, FakeTestbed())
        expect(FileNotFoundError, profile.Profile.compare, missing, after, e.pts, e.testbed)
        expect(Exception, profile.Profile.compare, garbage, after, e.pts, e.testbed)
        expect(TypeError, profile.Profile.compare, before, before, {"bgp": 5}, e.testbed)
        with e.mp.context() as mp:
            mp.setattr(profile, "Diff", Broken(ValueError("no diff")))
            expect(ValueError, profile.Profile.compare, before, before, e.pts, e.testbed)
            mp.setattr(profile, "Diff", lambda a, b, exclude: types.SimpleNamespace(findDiff=Broken()))
            expect(RuntimeError, profile.Profile.compare, before, before, e.pts, e.testbed)
            mp.setattr(profile, "get_parser_exclude", Broken())
            mp.setattr(profile, "Diff", FakeDiff)
            ospf = {"ospf": {"uut": 1}}
            assert profile.Profile.compare(ospf, ospf, {"ospf": {}}, e.testbed)["ospf"]["passed"] == {"uut": {}}
        expect(KeyError, profile.summarize_comparison, {"bgp": {"failed": {}}})
        expect(KeyError, profile.summarize_comparison, {"bgp": {"failed": {}, "passed": {}}}, None, False)
        expect(TypeError, profile.summarize_comparison, {"bgp": None, "not_compared": set()})
        with e.mp.context() as mp:
            mp.setattr(profile, "Summary", Broken())
            expect(RuntimeError, profile.summarize_comparison, {"not_compared": {"x"}})
            mp.setattr(profile, "PtsdatafileLoader", lambda: types.SimpleNamespace(load=Broken()))
            expect(profile.DatafileError, profile.load_datafile, "a.yaml", profile.PtsdatafileLoader)
            expect(profile.DatafileError, profile.Profile.compare, before, before, __file__, e.testbed)
    return step, 300, (before, after, missing, garbage, e.pts, e.testbed)


def profile_files(e):
    pts = {"bgp": {"uut": Feature(Device("R1")), "r2": {"a": [1, 2]}}, "show version": {}}
    table = traffic_table()
    streams = e.dir / "streams.yml"
    streams.write_text("streams:\n  s1: {rate: 10, frames: [1, 2]}\n")
    branch = e.dir / "golden" / "main"
    branch.mkdir(parents=True)
    (branch / "golden_traffic_profile").write_text(traffic_table(2).get_string())
    location, streams, golden = str(e.dir), str(streams), str(e.dir / "golden")

    class Loader:
        def load(self, path):
            return {"path": path}

    def step():
        assert profile.pickle(pts, location, "run").endswith("run_r2_bgp_pts.json")
        assert profile.unpickle(os.path.join(location, "run"))["bgp"]["r2"] == {"a": [1, 2]}
        profile.pickle(pts)
        assert profile.pickle({}) is None and profile.pickle(None, "nowhere") is None
        written = profile.pickle_traffic(table, location, tgn_profile_name="traffic")
        assert len(profile.unpickle_traffic(written).rows) == 3
        profile.pickle_traffic(table)
        assert profile.pickle_traffic({"not": "a table"}) is None
        with e.mp.context() as mp:
            mp.setenv("BRANCH", "main")
            assert len(profile.unpickle_traffic(golden).rows) == 2
        assert profile.unpickle_stream_data(streams)["streams"]["s1"]["rate"] == 10
        profile.unpickle_stream_data(streams, copy=True, copy_file="copy")
        assert profile.load_datafile(streams, Loader) == {"path": streams}
    return step, 40, (pts, table, location, streams, golden, Loader)


def profile_file_errors(e):
    bad_yaml = e.dir / "bad.yaml"
    bad_yaml.write_text("a: [1, 2\n")
    tag = e.dir / "tag.yaml"
    tag.write_text("!!python/object:os.stat_result {}\n")
    odd_rows = e.dir / "odd"
    good = e.dir / "good.yaml"
    good.write_text("a: 1\n")
    odd_rows.write_text(traffic_table(1).get_string() + "\n| only | three | cells |\n")
    paths = {k: str(v) for k, v in (("bad_yaml", bad_yaml), ("tag", tag), ("odd", odd_rows), ("dir", e.dir),
                                   ("missing", e.dir / "missing"), ("nodir", e.dir / "no" / "dir"), ("good", good))}
    pts = {"bgp": {"uut": {"a": 1}}}

    def step():
        expect(Exception, profile.unpickle, None)
        expect(Exception, profile.unpickle, "")
        expect(FileNotFoundError, profile.unpickle, paths["missing"])
        expect(IsADirectoryError, profile.unpickle, paths["dir"])
        expect(Exception, profile.unpickle, paths["bad_yaml"])
        expect(FileNotFoundError, profile.pickle, pts, paths["nodir"])
        expect(AttributeError, profile.pickle, {"bgp": None}, paths["dir"])
        expect(profile.KorrinTgnError, profile.unpickle_traffic, paths["dir"])
        expect(profile.KorrinTgnError, profile.unpickle_traffic, paths["missing"])
        expect(Exception, profile.unpickle_traffic, paths["odd"])
        expect(TypeError, profile.unpickle_traffic, None)
        expect(FileNotFoundError, profile.pickle_traffic, traffic_table(1), paths["nodir"])
        expect(profile.KorrinTgnError, profile.unpickle_stream_data, paths["dir"])
        expect(profile.KorrinTgnError, profile.unpickle_stream_data, paths["missing"], True, "c")
        expect(Exception, profile.unpickle_stream_data, paths["bad_yaml"], copy=True, copy_file="c")
        expect(Exception, profile.unpickle_stream_data, paths["tag"])
        with e.mp.context() as mp:
            mp.setenv("BRANCH", "no-such-branch")
            expect(profile.KorrinTgnError, profile.unpickle_traffic, paths["dir"])
            mp.setattr(profile, "runtime", types.SimpleNamespace(directory=paths["nodir"]))
            expect(FileNotFoundError, profile.unpickle_stream_data, paths["good"], True, "c")
            mp.setattr(profile, "recursive_trim", Broken())
            expect(RuntimeError, profile.pickle, pts, paths["dir"])
            mp.setattr(profile, "jsonpickle", Broken())
            expect(RuntimeError, profile.pickle, pts, paths["dir"])
            mp.setattr(profile, "dill", Broken())
            expect(RuntimeError, profile.pickle, pts, paths["dir"])
            expect(RuntimeError, profile.unpickle, __file__)
            mp.setattr(profile, "open", Broken(PermissionError("read-only")), raising=False)
            expect(PermissionError, profile.pickle_traffic, traffic_table(1), paths["dir"])
            mp.setattr(profile, "yaml", Broken())
            mp.setattr(profile, "prettytable", types.SimpleNamespace(PrettyTable=Broken()))
            expect(TypeError, profile.pickle_traffic, traffic_table(1))
    return step, 60, (pts,)


def profile_write_fallbacks(e):
    """Around the atomic replace: shortened temporary names, names too long, a
    directory that takes no new file, a name that cannot be replaced."""
    location, table, pts = str(e.dir), traffic_table(), {"bgp": {"uut": {"a": 1}}}
    profile.pickle_traffic(table, location, "kept")

    def no_new_file(file, mode="r", *args, **kwargs):
        if mode.startswith("x"):
            raise PermissionError(13, "Permission denied", file)
        return open(file, mode, *args, **kwargs)

    def step():
        expect(OSError, profile.pickle, pts, location, "g" * 243)  # the JSON file's name is too long
        expect(OSError, profile.pickle_traffic, table, location, "x" * 300)
        with e.mp.context() as mp:
            mp.setattr(profile, "open", no_new_file, raising=False)
            profile.pickle_traffic(table, location, "kept")
            expect(PermissionError, profile.pickle_traffic, table, location, "absent")
            mp.setattr(profile, "dill", Broken())
            expect(RuntimeError, profile.pickle, pts, location, "kept")
        with e.mp.context() as mp:
            mp.setattr(os, "replace", Broken(PermissionError(1, "Operation not permitted")))
            profile.pickle_traffic(table, location, "kept")
    return step, 60, (pts, table)


def profile_bad_calls(e):
    P = profile.Profile
    calls = [(P.compare, (), {}), (P.compare, (1, 2, 3, 4, 5, 6), {}), (P.compare, (1,), {"compare1": 1}),
             (P.learn_features, (1,), {}), (P.learn_features, (1, 2), {"file": 1, "bogus": 2}),
             (profile.load_datafile, ("a",), {}), (profile.asynchronous_profile, (), {}),
             (profile.unpickle, (), {}), (profile.unpickle, ("a", "b"), {}), (profile.pickle, (), {"location": 1}),
             (profile.summarize_comparison, (), {}), (profile.summarize_comparison, ({},), {"summarized_dict": {}}),
             (profile.pickle_traffic, (), {}), (profile.unpickle_traffic, (), {"x": 1}),
             (profile.unpickle_stream_data, (), {"copy": True}), (profile.unpickle_stream_data, (1, 2, 3, 4), {})]
    return bad_call_step(calls), 1500, ()


def cyclic_instances(e):
    def step():
        for obj in (summary.Summary("t", 20), summary.TriggerSummary("t", 20), summary.Msg("m"),
                    timeout.Timeout(1, 1), timeout.TempResult(), config.Config("a\n b")):
            obj.me = obj
            obj.bound = obj.__init__
            obj.nest = {"list": [obj]}
        r = timeout.TempResult()
        r.container = r
        c = config.Config("a\n b")
        c.tree()
        c.config["a"]["back"] = c
    return step, 1500, ()


CASES = [summary_good, summary_errors, summary_bad_calls, timeout_good, timeout_errors, timeout_bad_calls,
         symfind_good, symfind_errors, symfind_bad_calls, config_good, config_errors, config_bad_calls,
         profile_compare, profile_compare_errors, profile_learn, profile_learn_errors, profile_files,
         profile_file_errors, profile_write_fallbacks, profile_bad_calls, cyclic_instances]


@pytest.mark.slow
@pytest.mark.parametrize("case", CASES, ids=lambda c: c.__name__)
def test_memory_flat_over_many_calls(case, env):
    step, n, watch = case(env)
    assert_flat(step, n, watch)


# Cycles -----------------------------------------------------------------------

class SubConfig(config.Config):
    pass


INSTANCES = {
    "Summary": lambda: summary.Summary("t", 20),
    "TriggerSummary": lambda: summary.TriggerSummary(["t"], 20),
    "Msg": lambda: summary.Msg("m"),
    "Timeout": lambda: timeout.Timeout(1, 1),
    "TempResult": lambda: timeout.TempResult(),
    "Config": lambda: config.Config("a\n b"),
    "Config subclass": lambda: SubConfig("a\n b", ["x"]),
}


def through_tree(obj):
    if isinstance(obj, config.Config):
        obj.tree()
        obj.config["a"]["back"] = obj
    elif isinstance(obj, summary.Summary):
        obj.summary_msgs.append(summary.Msg(obj))
    elif isinstance(obj, timeout.TempResult):
        obj.container = obj
        obj.failed(reason=[obj], goto={"again": obj})
    else:
        obj.nested = {"list": [obj]}


CYCLES = {
    "attribute": lambda obj: setattr(obj, "me", obj),
    "bound method": lambda obj: setattr(obj, "again", obj.__init__),
    "own data": through_tree,
}


@pytest.mark.parametrize("cycle", CYCLES.values(), ids=CYCLES.keys())
@pytest.mark.parametrize("make", INSTANCES.values(), ids=INSTANCES.keys())
def test_instance_in_a_cycle_is_collected(make, cycle, env):
    obj = make()
    cycle(obj)
    alive = weakref.ref(obj)
    del obj
    gc.collect()
    assert alive() is None and not gc.garbage


# Threads ----------------------------------------------------------------------

THREADS = 8


class PerThreadLog:
    """A logger that keeps each thread's lines apart."""

    def __init__(self):
        self.local = threading.local()

    def take(self):
        lines, self.local.lines = getattr(self.local, "lines", []), []
        return lines

    def _keep(self, msg):
        self.local.__dict__.setdefault("lines", []).append(msg)

    info = error = warning = _keep


def run_threads(work, rounds):
    """THREADS threads released together, each calling work(i) `rounds` times."""
    barrier = threading.Barrier(THREADS)
    results, errors = [None] * THREADS, []

    def body(i):
        try:
            barrier.wait()
            results[i] = [work(i) for _ in range(rounds)]
        except BaseException as exc:        # noqa: B036 - reported below
            errors.append(exc)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(THREADS)]
    switch = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)              # hand the interpreter over as often as possible
    try:
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(switch)
    if errors:
        raise errors[0]
    return results


def summary_work(e, i):
    box = build_box(width=40 + i)
    box.summarize_section(f"thread {i}", device=i)
    box.print()
    trigger = trigger_box()
    trigger.print()
    return [(m.msg, m.level) for m in box.summary_msgs + trigger.summary_msgs], e.log.take()


def timeout_work(e, i):
    t = timeout.Timeout(max_time=i + 1, interval=0.75)
    steps = [(t.iterate(), t.sleep(), t.count, t.one_more_time, t.timeout) for _ in range(4)]
    container = Recorder()
    r = timeout.TempResult(container)
    for name in ("failed", "passx", "errored", "passed", "aborted"):
        getattr(r, name)(f"{name} {i}", goto=[i] if i % 2 else None)
        r.result()
    return steps, container.calls, e.log.take()


def symfind_work(e, i):
    keys = [list(symfind.str_to_list(path)) for path in PATHS]
    for path in PATHS:
        symfind.structure_verifier(path.replace("[1]", "[x]").replace("[-5][+3][007]", ""), i)
    try:
        symfind.structure_verifier(f"[(.*)][({i}]", None)
    except ValueError as exc:
        error = str(exc), type(exc.__cause__)
    return keys, error, symfind.load_attribute(None, "os.path.join"), symfind.load_attribute("os", "path.sep", i)


def config_work(e, i):
    shared = config.Config(RUNNING, ["hostname R1"])
    shared.tree()
    own = config.Config(RUNNING.replace("Ethernet1", f"Ethernet{i}") + " " * i + f"tail {i}\n")
    own.tree()
    return shared.config, own.config


def profile_work(e, i):
    before = {"bgp": {"uut": i, "R2": 2}, f"only{i}": {}}
    after = {"bgp": {"uut": 1, "R2": 2}, "ospf": {}}
    result = profile.Profile.compare(before, after, e.pts, e.testbed)
    profile.summarize_comparison(result)
    learnt = profile.Profile.learn_features(["bgp", "show version"], e.testbed, e.pts, file=True)
    shape = {k: sorted(v) if isinstance(v, dict) else v for k, v in result.items()}
    return shape, learnt, e.log.take()


@pytest.mark.parametrize("work", [summary_work, timeout_work, symfind_work, config_work, profile_work],
                         ids=lambda w: w.__name__)
def test_threads_agree_with_sequential_use(work, env):
    env.log = PerThreadLog()
    for module, name in ((summary, "logger"), (timeout, "log"), (profile, "log")):
        env.mp.setattr(module, name, env.log)
    env.mp.setattr(timeout, "time", Still())
    profiling_env(env)
    expected = [work(env, i) for i in range(THREADS)]
    results = run_threads(lambda i: work(env, i), max(2, int(12 * SCALE)))
    for i, runs in enumerate(results):
        assert all(run == expected[i] for run in runs), f"thread {i}"


SHARED = {
    "Summary": (lambda: build_box(width=30),
                lambda s: (s.add_message(LONG, level="error"), s.print(), s.summarize_profile("R1", "d"),
                           s.add_sep_line()),
                {"summary_msgs": lambda: [summary.Msg("x"), summary.Msg("y", "error")], "lenght": lambda: 9,
                 "width": lambda: 25, "title_line": lambda: "+==+", "sep_line": lambda: None}),
    "Config": (lambda: config.Config(RUNNING),
               lambda c: (c.tree(), c.config),
               {"output": lambda: RUNNING.replace("!", " x"), "exclude": lambda: ["end", None],
                "config": lambda: {"x": {}}}),
    "Timeout": (lambda: timeout.Timeout(5, 1),
                lambda t: (t.iterate(), t.sleep(), t.timeout),
                {"max_time": lambda: 3.5, "interval": lambda: 0.5, "count": lambda: 1,
                 "one_more_time": lambda: True, "snapshot_time": lambda: 99.0}),
    "TempResult": (lambda: timeout.TempResult(Recorder()),
                   lambda r: (r.failed("why", goto=["x"]), r.result(), r.passx(), r.result()),
                   {"container": Recorder, "temp_result": lambda: timeout.Aborted, "goto": lambda: ["g"],
                    "reason": lambda: "r"}),
}


@pytest.mark.parametrize("make, use, rebind", SHARED.values(), ids=SHARED.keys())
def test_shared_instance_survives_attributes_rebound_meanwhile(make, use, rebind, env):
    """Half the threads call methods while the other half rebind and delete the
    attributes those methods read: errors are fine, crashes and corruption not."""
    env.mp.setattr(timeout, "time", Still())
    obj = make()
    names = sorted(rebind)

    def work(i):
        if i % 2:
            for k, name in enumerate(names * 3):
                if (i + k) % 4 == 0:
                    try:
                        delattr(obj, name)
                    except AttributeError:
                        pass
                else:
                    setattr(obj, name, rebind[name]())
            return None
        try:
            return use(obj)
        except (AttributeError, TypeError, ValueError):
            return None

    run_threads(work, max(5, int(40 * SCALE)))
    for name in names:                      # whole again, the instance still works
        setattr(obj, name, rebind[name]())
    use(obj)
