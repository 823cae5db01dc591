"""Profile.compare and summarize_comparison, with Diff, the exclusion helpers
and Summary injected through the module's globals; the framed verdict through
a recording logger."""
import abc
import functools
import types

import pytest

import korrin.utils.profile as profile
import korrin.utils.summary as summary_module
from brennic.strivel.exceptions import DatafileError
from support import CollidingKey, FakeDiff, outcome, plain_compare, row

FIXED = ["device", "maker", "diff_ignore", "callables", "(Current configuration.*)"]
NOT_LEARNT = "No comparison performed, it wasn't learnt at this section"


@pytest.fixture
def env(monkeypatch):
    e = types.SimpleNamespace(diffs=[], logged=[], ops=["ops"], parser=["parser"])
    monkeypatch.setattr(profile, "Diff", type("D", (FakeDiff,), {"made": e.diffs}))
    monkeypatch.setattr(profile, "log", types.SimpleNamespace(info=e.logged.append))
    for kind in ("ops", "parser"):
        def get(feature, device, kind=kind):
            value = getattr(e, kind)
            if isinstance(value, Exception):
                raise value
            return iter(value)
        monkeypatch.setattr(profile, f"get_{kind}_exclude", get)
    e.testbed = types.SimpleNamespace(devices={k: object() for k in ("uut", "r2", "r3", "R9")})
    e.compare = lambda c1, c2, pts=None: profile.Profile.compare(c1, c2, pts_data=pts or {"x": {}}, testbed=e.testbed)
    return e


def test_devices_in_sorted_order(env):
    before = {"bgp": {"r3": 1, "uut": 1, "R9": 1, "r2": 1}, "ospf": {}, "only1": {}}
    after = {"bgp": {"uut": 2, "r2": 1, "r3": 3, "R9": 1}, "ospf": {}, "only2": {}}
    result = env.compare(before, after)
    assert list(result)[0] == "not_compared" and result["not_compared"] == {"only1", "only2"}
    assert result["ospf"] == {"failed": {}, "passed": {}} and "only1" not in result
    bgp = result["bgp"]
    assert [(d.a, d.b) for d in env.diffs] == [(1, 1), (1, 1), (1, 3), (1, 2)]
    assert list(bgp["failed"]) == ["r3", "uut"] and bgp["failed"]["uut"] is env.diffs[3]
    assert bgp["passed"] == {"R9": {}, "r2": {}} and list(bgp["passed"]) == ["R9", "r2"]
    verify = "Verify 'bgp' snapshot with initial snapshot for device '{}'\n    Failed"
    assert [m for m in env.logged if m != "\n"] == [verify.format("r3"), verify.format("uut")]
    assert env.logged.count("\n") == 2


@pytest.mark.parametrize("ops, parser, middle", [
    (["o1", "o2"], ["p"], ["o1", "o2"]),
    (LookupError("no ops"), ["p"], ["p"]),
    (LookupError("no ops"), ValueError("no parser"), []),
])
@pytest.mark.parametrize("pts, tail", [
    ({"bgp": {"exclude": ["f1", "f2"]}, "exclude": ["g"]}, ["f1", "f2", "g"]),
    ({"bgp": {"devices": []}, "exclude": ["g"]}, ["g"]),
    ({"ospf": {"exclude": ["f"]}}, []),
])
def test_exclusion_list_rebuilt_per_device(ops, parser, middle, pts, tail, env):
    env.ops, env.parser = ops, parser
    env.compare({"bgp": {"uut": 1, "r2": 1}}, {"bgp": {"uut": 1, "r2": 1}}, pts)
    assert [d.exclude for d in env.diffs] == [FIXED + middle + tail] * 2
    assert env.diffs[0].exclude is not env.diffs[1].exclude and env.logged == ["\n"]


@pytest.mark.parametrize("change, seen", [
    ("rebind Diff", lambda e: type(e.diffs[-1]).__name__ == "Rebound"),
    ("rebind get_ops_exclude", lambda e: e.diffs[-1].exclude == FIXED + ["new ops"] + ["f", "g"]),
    ("replace top-level exclude", lambda e: e.diffs[-1].exclude == FIXED + ["ops", "f", "G"]),
    ("replace feature exclude", lambda e: e.diffs[-1].exclude == FIXED + ["ops", "F", "g"]),
    ("drop feature entry", lambda e: e.diffs[-1].exclude == FIXED + ["ops", "g"]),
    ("replace first snapshot", lambda e: e.diffs[-1].a == 7),
    # a compare inside a collaborator, over the same dicts, ends first: its
    # end must not stop the outer one from seeing later changes
    ("nested compare, rebind Diff", lambda e: type(e.diffs[-1]).__name__ == "Rebound"),
    ("nested compare, replace first snapshot", lambda e: e.diffs[-1].a == 7),
])
def test_changes_between_devices_are_seen(change, seen, env, monkeypatch):
    # Everything the loop reads is read afresh for each device, so a change
    # made by a collaborator applies from the next device on.
    pts = {"bgp": {"exclude": ["f"]}, "exclude": ["g"]}
    c1 = {"bgp": {"r2": 1, "r3": 1, "uut": 1}}
    c2 = {"bgp": {"r2": 1, "r3": 1, "uut": 1}}
    ops = profile.get_ops_exclude
    nested = []

    def changing(feature, device):
        if device is env.testbed.devices["r3"] and not nested:
            if change.startswith("nested compare"):
                nested.append(env.compare(c1, c2, pts))
            if change.endswith("rebind Diff"):
                monkeypatch.setattr(profile, "Diff", type("Rebound", (profile.Diff,), {}))
            elif change == "rebind get_ops_exclude":
                monkeypatch.setattr(profile, "get_ops_exclude", lambda f, d: ["new ops"])
            elif change == "replace top-level exclude":
                pts["exclude"] = ["G"]
            elif change == "replace feature exclude":
                pts["bgp"]["exclude"] = ["F"]
            elif change == "drop feature entry":
                del pts["bgp"]
            else:
                c1["bgp"] = {"r3": 7, "uut": 7}
        return ops(feature, device)

    monkeypatch.setattr(profile, "get_ops_exclude", changing)
    env.compare(c1, c2, pts)
    assert env.diffs[0].exclude == FIXED + ["ops", "f", "g"] and seen(env)


def test_pts_lookups_compare_keys_each_time(env):
    # A key that collides with "exclude" is compared on every lookup, as it
    # would be for the same lookups written in Python.
    calls = []

    pts = {CollidingKey("exclude", calls): None, "exclude": ["g"], "bgp": {}}
    calls.clear()
    pts["exclude"]  # how many comparisons one lookup costs depends on the hash seed
    per_lookup = len(calls)
    calls.clear()
    snapshots = {"bgp": {"uut": 1, "r2": 1, "r3": 1}}
    env.compare(snapshots, snapshots, pts)
    # Other keys may probe the collider's slot too, depending on the hash seed.
    assert calls.count("exclude") == 3 * per_lookup and env.diffs[0].exclude == FIXED + ["ops", "g"]


@pytest.mark.parametrize("case, error", [
    ("testbed missing", AttributeError), ("unknown device key", KeyError), ("device only in second set", KeyError),
    ("pts entry not a mapping", TypeError), ("pts path missing", TypeError), ("diff fails", ZeroDivisionError),
    ("corrupt golden file", Exception), ("missing golden file", FileNotFoundError), ("bad pts file", DatafileError),
])
def test_failures_pass_through(case, error, env, tmp_path, monkeypatch):
    c1, c2, pts = {"bgp": {"uut": 1}}, {"bgp": {"uut": 1}}, {"bgp": {}}
    (tmp_path / "corrupt").write_bytes(b"garbage")
    (tmp_path / "pts.yaml").write_text("- a list")
    if case == "testbed missing":
        env.testbed = None
    elif case == "unknown device key":
        env.testbed.devices = {}
    elif case == "device only in second set":
        c2 = {"bgp": {"uut": 1, "r2": 1}}
    elif case == "pts entry not a mapping":
        pts = {"bgp": ["x"]}
    elif case == "pts path missing":
        pts = "/no/such/pts.yaml"
    elif case == "diff fails":
        monkeypatch.setattr(FakeDiff, "findDiff", lambda self: 1 / 0)
    elif case == "bad pts file":
        pts = str(tmp_path / "pts.yaml")
    else:
        c1 = str(tmp_path / case.split()[0])
    with pytest.raises(error):
        env.compare(c1, c2, pts)
    assert env.logged == []


def test_a_path_side_is_loaded_through_unpickle(env, monkeypatch):
    loaded = []
    monkeypatch.setattr(profile, "unpickle", lambda file: loaded.append(file) or {"bgp": {"uut": 1}})
    result = env.compare("golden.pts", {"bgp": {"uut": 2}})
    assert loaded == ["golden.pts"] and list(result["bgp"]["failed"]) == ["uut"]


# summarize_comparison --------------------------------------------------------------


@pytest.fixture
def boxes(monkeypatch):
    events = []

    class Recording:
        def __init__(self, title, width):
            events.append(("Summary", title, width))

        def summarize_profile(self, device, diff=None):
            events.append(("profile", device, diff))

        def summarize_section(self, message):
            events.append(("section", message))

        def print(self):
            events.append(("print",))

    monkeypatch.setattr(profile, "Summary", Recording)
    return events


RESULT = {"not_compared": {"ospf"}, "bgp": {"failed": {"uut": "D1", "r2": "D2"}, "passed": {"R9": {}}},
          "ip_route": {"failed": {}, "passed": {}}}


def test_boxes_failed_then_passed_then_not_compared(boxes):
    assert profile.summarize_comparison(RESULT) is None
    assert boxes == [
        ("Summary", "Bgp PTS Summary", 150), ("profile", "uut", "D1"), ("profile", "r2", "D2"),
        ("profile", "R9", None), ("print",),
        ("Summary", "Ip_Route PTS Summary", 150), ("print",),
        ("Summary", "Ospf PTS Summary", 150), ("section", NOT_LEARNT), ("print",),
    ]


@pytest.mark.parametrize("passed_feature, print_not_compared, not_compared, titles", [
    ("bgp", True, {"ospf"}, ["Bgp", "Ospf"]),
    ("BGP", True, set(), []),
    (None, False, {"ospf"}, ["Bgp", "Ip_Route"]),
])
def test_box_selection(passed_feature, print_not_compared, not_compared, titles, boxes):
    profile.summarize_comparison({**RESULT, "not_compared": not_compared}, passed_feature, print_not_compared)
    assert [e[1] for e in boxes if e[0] == "Summary"] == [t + " PTS Summary" for t in titles]


@pytest.mark.parametrize("missing, printed", [("failed", 1), ("passed", 1), ("not_compared", 2)])
@pytest.mark.parametrize("print_not_compared", [True, False])
def test_malformed_results_raise_after_earlier_boxes(missing, printed, print_not_compared, boxes):
    result = {"bgp": {"failed": {}, "passed": {"uut": {}}}, "ospf": {"failed": {"r2": "D"}, "passed": {}},
              "not_compared": set()}
    del (result if missing == "not_compared" else result["ospf"])[missing]
    with pytest.raises(KeyError) as info:
        profile.summarize_comparison(result, print_not_compared=print_not_compared)
    assert info.value.args == (missing,) and boxes.count(("print",)) == printed


class TextDiff:
    def __str__(self):
        return "-info:\n- state: up\n+info:\n+ state: down"


def frame(fill, edge="|"):
    return edge + fill * 148 + edge


def test_verdict_boxes_line_by_line(monkeypatch):
    records = []
    monkeypatch.setattr(summary_module, "logger", types.SimpleNamespace(
        info=lambda msg: records.append(("info", msg)), error=lambda msg: records.append(("error", msg))))
    profile.summarize_comparison({
        "not_compared": {"ospf"},
        "bgp": {"failed": {"R1": TextDiff()}, "passed": {"R2": {}, "R3": {}}},
        "interface": {"failed": {}, "passed": {"R1": {}, "R2": {}, "R3": {}}},
    })

    def title(name, pad):  # pad: info lines of a box with errors line up with "ERROR"
        return [("info", pad + frame("=", "+")), ("info", pad + row(name)), ("info", pad + frame("=", "+"))]

    def equal(device, pad):
        return [("info", pad + row(f"* Summary for device: {device}")),
                ("info", pad + row("    - Comparison between Common Setup snapshot and OPS object snapshots are equal")),
                ("info", pad + frame("*"))]

    differs = ("    - Comparison between Common Setup snapshot and OPS object snapspshot is different as per the "
               "following diffs:")
    assert records == (
        title("Bgp PTS Summary", " ") + [("info", " " + row("* Summary for device: R1")), ("error", row(differs))]
        + [("error", row(line)) for line in str(TextDiff()).splitlines()] + [("info", " " + frame("*"))]
        + equal("R2", " ") + equal("R3", " ")
        + title("Interface PTS Summary", "") + equal("R1", "") + equal("R2", "") + equal("R3", "")
        + title("Ospf PTS Summary", "") + [("info", row("    - " + NOT_LEARNT)), ("info", frame("="))])


@pytest.mark.parametrize("c1, c2", [
    ({"not_compared": {}, "bgp": {"uut": 1}}, {"not_compared": {}, "bgp": {"uut": 1}, "ospf": {}}),
    ({"not_compared": {"uut": 1}}, {"not_compared": {"uut": 1}}),
    ({"not_compared": {"uut": 1}}, {"not_compared": {"uut": 2}}),
    ({"not_compared": {"r2": 1, "uut": 2}}, {"not_compared": {"r2": 1, "uut": 1}}),
])
def test_a_feature_named_not_compared_as_in_python(c1, c2, env, monkeypatch):
    profile_model = plain_compare()
    for name in ("Diff", "get_ops_exclude", "get_parser_exclude", "log"):
        monkeypatch.setattr(profile_model, name, getattr(profile, name))

    def run(compare):
        env.diffs.clear(), env.logged.clear()
        result = outcome(lambda: compare(None, c1, c2, pts_data={"x": {}}, testbed=env.testbed))
        if result[0] == "returned":
            result = ("returned", {f: v if f == "not_compared" else {k: sorted(d) for k, d in v.items()}
                                   for f, v in result[1].items()})
        return result, [(d.a, d.b) for d in env.diffs], list(env.logged)

    assert run(profile.Profile.compare.__func__) == run(profile_model.compare)


@pytest.fixture
def globals_order():
    # Deleting and re-adding a global moves it to the end of the module's
    # namespace; put the namespace back as it was, in its order, once the
    # monkeypatches are undone (this fixture is set up first, so ends last).
    saved = dict(vars(profile))
    yield
    namespace = vars(profile)
    namespace.clear()
    namespace.update(saved)


@pytest.mark.parametrize("change, expected", [
    # the global removed: the builtin of that name from then on, else NameError
    ("to builtins", ["D", "Builtin", "Builtin"]),
    ("removed", ["D", NameError]),
    # rebound and bound back: each device sees the binding of its moment
    ("rebound and back", ["D", "Other", "D"]),
])
def test_collaborator_bindings_followed_per_device(globals_order, change, expected, env, monkeypatch):
    import builtins
    original, seen = profile.Diff, []
    other = type("Other", (original,), {})

    def ops(feature, device):
        if device is env.testbed.devices["r3"]:
            if change == "to builtins":
                monkeypatch.setattr(builtins, "Diff", type("Builtin", (original,), {}), raising=False)
                monkeypatch.delattr(profile, "Diff")
            elif change == "removed":
                monkeypatch.delattr(profile, "Diff")
            else:
                profile.Diff = other
        elif device is env.testbed.devices["uut"] and change == "rebound and back":
            profile.Diff = original
        return []

    monkeypatch.setattr(profile, "get_ops_exclude", ops)
    snapshots = {"bgp": {"r2": 1, "r3": 1, "uut": 1}}
    try:
        env.compare(snapshots, snapshots)
    except NameError as e:
        assert str(e) == "name 'Diff' is not defined"
        seen.append(NameError)
    assert [type(d).__name__ for d in env.diffs] + seen == expected


def test_global_reads_compare_colliding_keys_each_time(globals_order, env, monkeypatch):
    # A non-str key in the module's globals that collides with "Diff" is
    # compared on every read of Diff, as it would be in Python.
    calls = []

    # Diff re-added after the collider, so that a lookup of "Diff" meets it first.
    diff = profile.Diff
    monkeypatch.delattr(profile, "Diff")
    monkeypatch.setitem(profile.__dict__, CollidingKey("Diff", calls), None)
    monkeypatch.setattr(profile, "Diff", diff, raising=False)
    calls.clear()
    profile.__dict__["Diff"]
    per_lookup = len(calls)
    assert per_lookup
    calls.clear()
    snapshots = {"bgp": {"uut": 1, "r2": 1, "r3": 1}}
    env.compare(snapshots, snapshots)
    assert calls.count("Diff") == 3 * per_lookup and len(env.diffs) == 3


@pytest.mark.parametrize("kind", ["dict subclass", "colliding key"])
def test_snapshot_reads_run_user_code_each_time(kind, env, monkeypatch):
    # Each device reads compare1[feature] again; where that read runs user
    # code (an overridden __getitem__, a colliding key's __eq__), it runs per device.
    calls, counting = [], []

    class Counting(dict):
        def __getitem__(self, key):
            if counting:
                calls.append(key)
            return dict.__getitem__(self, key)

    devices = {"uut": 1, "r2": 1, "r3": 1}
    before = Counting(bgp=devices) if kind == "dict subclass" else {CollidingKey("bgp", calls, lambda: counting): {}, "bgp": devices}
    ops = profile.get_ops_exclude
    monkeypatch.setattr(profile, "get_ops_exclude", lambda f, d: counting.append(1) or ops(f, d))
    env.compare(before, {"bgp": dict(devices)})
    reads = calls.count("bgp")
    per_read = 1
    if kind == "colliding key":
        calls.clear()
        before["bgp"]
        per_read = len(calls)
    assert per_read and reads == 3 * per_read and len(env.diffs) == 3


class _Made(FakeDiff):
    def findDiff(self):
        self.diffs = [] if self.a == self.b else ["changed"]


class _Meta(type):
    def __call__(cls, *args, **kwargs):
        return _Made(*args, **kwargs)


class _Abstract(_Made, abc.ABC):
    @abc.abstractmethod
    def describe(self):
        """Left abstract: the class cannot be made."""


def _diff_class(kind, calls):
    """A difference class of each way a class call can go in Python."""
    def init(self, a, b, exclude):
        calls.append((type(self).__name__, a, b))
        self.a, self.b, self.exclude, self.diffs = a, b, exclude, []

    body = {"findDiff": _Made.findDiff}
    if kind == "plain":
        return type("D", (), dict(body, __init__=init))
    if kind == "__init__ returns a value":
        return type("D", (), dict(body, __init__=lambda self, a, b, exclude: init(self, a, b, exclude) or 5))
    if kind == "__init__ raises":
        return type("D", (), dict(body, __init__=lambda self, a, b, exclude: 1 / 0))
    if kind == "__init__ takes no exclude":
        return type("D", (), dict(body, __init__=lambda self, a, b: None))
    if kind == "__init__ a callable object":
        return type("D", (), dict(body, __init__=functools.partialmethod(init)))
    if kind == "__init__ rebinds itself":
        def rebinding(self, a, b, exclude):
            type(self).__init__ = lambda self, a, b, exclude: init(self, "rebound", b, exclude)
            init(self, a, b, exclude)
        return type("D", (), dict(body, __init__=rebinding))
    if kind == "abstract":
        return _Abstract
    if kind == "metaclass __call__":
        return _Meta("D", (), {})
    if kind == "__new__ gives another object":
        return type("D", (), dict(body, __new__=lambda cls, *a, **k: _Made(*a, **k), __init__=init))
    if kind == "dict subclass":
        return type("D", (dict,), dict(body, __init__=init))
    assert kind == "slots"
    return type("D", (), dict(body, __init__=init, __slots__=("a", "b", "exclude", "diffs")))


@pytest.mark.parametrize("kind", [
    "plain", "__init__ returns a value", "__init__ raises", "__init__ takes no exclude", "__init__ a callable object",
    "__init__ rebinds itself", "abstract", "metaclass __call__", "__new__ gives another object", "dict subclass", "slots",
])
def test_diff_made_as_a_class_call_makes_it(kind, env, monkeypatch):
    # Every way of making the difference object gives what `Diff(...)` gives
    # in Python: the same objects, __init__ calls, errors and messages.
    profile_model = plain_compare()
    c1, c2 = {"bgp": {"r2": 1, "uut": 1}}, {"bgp": {"r2": 1, "uut": 2}}

    def run(module, compare):
        calls = []
        for name in ("get_ops_exclude", "get_parser_exclude", "log"):
            monkeypatch.setattr(module, name, getattr(profile, name))
        monkeypatch.setattr(module, "Diff", _diff_class(kind, calls))
        result = outcome(lambda: compare(None, c1, c2, pts_data={"x": {}}, testbed=env.testbed))
        if result[0] == "returned":
            result = ("returned", {f: v if f == "not_compared" else
                                   {k: {d: (type(o).__name__, getattr(o, "a", None), getattr(o, "diffs", None))
                                        for d, o in devices.items()} for k, devices in v.items()}
                                   for f, v in result[1].items()})
        return result, calls

    native = run(profile, profile.Profile.compare.__func__)
    assert native == run(profile_model, profile_model.compare)
    assert native[0][0] == "returned" or kind not in ("plain", "slots", "__init__ rebinds itself")
