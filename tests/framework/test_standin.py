"""Behaviour of the stand-in framework that korrin.utils relies on."""

import json
import os
import pickle
import time

import dill
import jsonpickle
import pytest

from brennic import results
from brennic.async_ import PcallError, pcall
from brennic.dorvex import Runtime
from brennic.strivel.exceptions import DatafileError
from korrin.abstract import Lookup
from korrin.harness.datafile.loader import PtsdatafileLoader
from korrin.harness.utils import load_class, recursive_trim
from korrin.libs.parser.utils import get_parser_exclude
from korrin.libs.sdk import korrin_yamls
from korrin.ops.utils import get_ops_exclude
from korrin.sim import Device, EmptyParserOutputError, UnsupportedCommandError, example_testbed
from korrin.sim import health
from korrin.sim.features import Bgp
from korrin.utils.config import Config
from korrin.utils.diff import Diff

FIXED_EXCLUDE = ["device", "maker", "diff_ignore", "callables", "(Current configuration.*)"]


# Module-level so that they pickle by reference in the workers' results.
def _sleep_and_tag(item, delay):
    time.sleep(delay)
    return (item, os.getpid())


def _mutate(shared, item):
    shared["seen"].append(item)
    return list(shared["seen"])


def _fail_on_three(item):
    if item == 3:
        raise ValueError(f"boom {item}")
    return item


def _learn(device):
    feature = Bgp(device)
    feature.learn()
    return feature


def _open_fds():
    return len(os.listdir("/proc/self/fd"))


def _children():
    """Pids of this process's children, zombies included."""
    found = set()
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as stat:
                    fields = stat.read().rpartition(")")[2].split()
            except OSError:
                continue
            if int(fields[1]) == os.getpid():
                found.add(int(entry))
    return found


# pcall ---------------------------------------------------------------------


def test_pcall_runs_in_parallel_and_keeps_order():
    fds, children = _open_fds(), _children()
    start = time.monotonic()
    out = pcall(_sleep_and_tag, ckwargs={"delay": 0.3}, item=tuple(range(8)))
    elapsed = time.monotonic() - start
    assert elapsed < 1.5
    assert isinstance(out, tuple)
    assert [item for item, _ in out] == list(range(8))
    pids = {pid for _, pid in out}
    assert len(pids) == 8 and os.getpid() not in pids
    assert _children() == children
    assert _open_fds() == fds


def test_pcall_gives_each_worker_its_own_copy():
    shared = {"seen": []}
    out = pcall(_mutate, ckwargs={"shared": shared}, item=("a", "b", "c"))
    assert out == (["a"], ["b"], ["c"])
    assert shared == {"seen": []}


def test_pcall_reports_worker_exception():
    fds, children = _open_fds(), _children()
    with pytest.raises(PcallError) as info:
        pcall(_fail_on_three, item=(1, 2, 3, 4))
    text = str(info.value)
    assert "ValueError: boom 3" in text
    assert "Traceback (most recent call last)" in text
    assert [(f.index, f.type, f.text) for f in info.value.failures] == [(2, "ValueError", "boom 3")]
    assert _children() == children
    assert _open_fds() == fds


def test_pcall_returns_feature_objects_learnt_in_workers():
    testbed = example_testbed()
    devices = tuple(testbed.devices.values())
    learnt = pcall(_learn, device=devices)
    assert [f.device.name for f in learnt] == ["R1", "R2", "R3"]
    assert learnt[0].info == testbed.devices["R1"].state["bgp"]


# Diff ----------------------------------------------------------------------

GOLDEN = {"neighbor 10.0.0.2": {"state": "up", "up_time": "1d"}, "uptime": "3 days"}


@pytest.mark.parametrize(
    "changed, exclude, differs",
    [
        ({}, None, False),
        ({"neighbor 10.0.0.2": {"state": "down", "up_time": "1d"}}, None, True),
        ({"neighbor 10.0.0.2": {"state": "up", "up_time": "2d"}}, ["up_time"], False),
        ({"neighbor 10.0.0.2": {"state": "up", "up_time": "2d"}}, ["up_.*"], False),
        ({"neighbor 10.0.0.2": {"state": "up", "up_time": "2d"}}, ["up_"], True),  # patterns match whole keys
        ({"uptime": "4 days"}, ["(up"], True),  # not a valid pattern: a plain key only
        ({"(up": 1}, ["(up"], False),
        ({"extra": [1, {"x": 2}]}, None, True),
    ],
)
def test_diff_decides_equality_after_exclusion(changed, exclude, differs):
    diff = Diff(GOLDEN, {**GOLDEN, **changed}, exclude=exclude)
    diff.findDiff()
    assert bool(diff.diffs) is differs


def test_diff_text_of_learnt_features():
    testbed = example_testbed()
    r1 = testbed.devices["uut"]
    before = _learn(r1)
    r1.set_bgp_neighbor_state("10.0.0.2", "idle")
    r1.set_mtu("Ethernet1/1", 9000)  # outside the bgp section: not in the diff
    after = _learn(r1)
    diff = Diff(before, after, exclude=FIXED_EXCLUDE + get_ops_exclude("bgp", r1))
    diff.findDiff()
    assert str(diff) == "\n".join([
        "-info:",
        "- neighbors:",
        "-  10.0.0.2:",
        "-   state: established",
        "+info:",
        "+ neighbors:",
        "+  10.0.0.2:",
        "+   state: idle",
    ])


@pytest.mark.parametrize(
    "a, b, lines",
    [
        ({"k": {1, 2}}, {"k": {2, 3}}, ["-k: {1}", "+k: {3}"]),
        ({"k": [1, 2]}, {"k": [1]}, ["-k:", "- [1]: 2"]),
        ({"a": {"x": 1}}, {}, ["-a:", "- x: 1"]),
        ({"s": ""}, {"s": "x"}, ["-s: ''", "+s: x"]),
    ],
)
def test_diff_text_shapes(a, b, lines):
    diff = Diff(a, b)
    diff.findDiff()
    assert str(diff).splitlines() == lines


def test_diff_survives_reference_cycles():
    class Node:
        pass

    a, b = Node(), Node()
    a.me, b.me, a.v, b.v = a, b, 1, 2
    diff = Diff(a, b)
    diff.findDiff()
    assert str(diff) == "-v: 1\n+v: 2"


# Harness helpers -------------------------------------------------------------


@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # encoder called with its defaults, as the profiler does
def test_recursive_trim_collapses_encoded_objects():
    feature = _learn(example_testbed().devices["R2"])
    decoded = json.loads(jsonpickle.dumps({"bgp": {"helper": feature}}))
    trimmed = recursive_trim(decoded, keys=["py/object", "__dict__"])
    text = json.dumps(trimmed)
    assert "py/object" not in text
    assert trimmed["bgp"]["helper"]["info"] == feature.info
    assert trimmed["bgp"]["helper"]["device"]["name"] == "R2"
    # Nested __dict__ members are merged into their parent.
    assert recursive_trim({"a": {"__dict__": {"x": 1}, "y": [{"py/object": "C"}]}}, ["py/object", "__dict__"]) == {
        "a": {"x": 1, "y": [{}]}
    }


def test_default_pts_file_resolves_to_feature_classes():
    pts = PtsdatafileLoader().load(korrin_yamls.pts_datafile)
    device = example_testbed().devices["R1"]
    for feature in ("bgp", "interface"):
        cls = load_class(pts[feature], device)
        assert get_ops_exclude(feature, device) == cls.exclude
    assert isinstance(pts["exclude"], list)
    with pytest.raises(LookupError):
        get_ops_exclude("show version", device)
    assert get_parser_exclude("show version", device) == ["uptime"]
    with pytest.raises(LookupError):
        get_parser_exclude("show nothing", device)


@pytest.mark.parametrize(
    "content, message",
    [
        (None, "Cannot read"),
        ("bgp: [unclosed", "not valid YAML"),
        ("- bgp\n- interface\n", "mapping"),
        ("", "mapping"),
    ],
)
def test_loader_rejects_bad_files(tmp_path, content, message):
    path = tmp_path / "pts.yaml"
    if content is not None:
        path.write_text(content)
    with pytest.raises(DatafileError, match=message):
        PtsdatafileLoader().load(str(path))


# Abstraction lookup ----------------------------------------------------------


def test_lookup_walks_into_device_implementation():
    r1 = example_testbed().devices["R1"]
    lookup = Lookup.from_device(r1, packages={"health": health})
    assert lookup.health.bgp.established_neighbors(r1) == ["10.0.0.2", "10.0.0.6"]
    with pytest.raises(AttributeError):
        lookup.health.bgp.missing


@pytest.mark.parametrize("os_name", ["nxos", None])
def test_lookup_without_implementation(os_name):
    device = Device("R9", os=os_name)
    with pytest.raises(LookupError, match="abstraction package"):
        Lookup.from_device(device, packages={"health": health}).health


# Simulated testbed -----------------------------------------------------------


def test_testbed_lookups():
    testbed = example_testbed()
    assert testbed.devices["uut"] is testbed.devices["R1"]
    assert testbed.devices["helper"].name == "R2"
    assert testbed.devices["R3"].alias is None
    for missing in ("R4", None):
        with pytest.raises(KeyError):
            testbed.devices[missing]
    assert testbed.find_devices(aliases=["uut"]) == [testbed.devices["R1"]]
    assert testbed.find_devices(aliases=["nobody"]) == []


@pytest.mark.parametrize(
    "command, key",
    [("show version", "uptime"), ("show  bgp summary", "neighbors"), ("show interface Ethernet1/1", "Ethernet1/1")],
)
def test_device_parse_returns_fresh_output(command, key):
    device = example_testbed().devices["R1"]
    first = device.parse(command)
    assert key in first
    first.clear()
    assert key in device.parse(command)


@pytest.mark.parametrize(
    "command, error",
    [("show nothing", UnsupportedCommandError), ("show interface Ethernet9/9", EmptyParserOutputError)],
)
def test_device_parse_rejects_unknown(command, error):
    with pytest.raises(error, match="R1"):
        example_testbed().devices["R1"].parse(command)


def _config(device):
    cfg = Config(device.execute("show running-config"))
    cfg.tree()
    return cfg.config


@pytest.mark.parametrize(
    "change, parent, line",
    [
        (None, None, "hostname R1"),
        (None, "vrf definition Mgmt-intf", "rd 65001:999"),
        (None, "interface GigabitEthernet0", "vrf forwarding Mgmt-intf"),
        (None, "interface Ethernet1/1", "ip address 10.0.0.1 255.255.255.252"),
        (None, "router bgp 65001", "neighbor 10.0.0.6 remote-as 65003"),
        (lambda d: d.set_mtu("Ethernet1/1", 9000), "interface Ethernet1/1", "mtu 9000"),
        (lambda d: d.shutdown_bgp_neighbor("10.0.0.2"), "router bgp 65001", "neighbor 10.0.0.2 shutdown"),
        (lambda d: d.state["interfaces"]["Loopback0"].update(enabled=False), "interface Loopback0", "shutdown"),
    ],
)
def test_running_config_follows_state(change, parent, line):
    device = example_testbed().devices["R1"]
    before = _config(device)
    if change:
        change(device)
    after = _config(device)
    assert line in (after[parent] if parent else after)
    assert (line in (before[parent] if parent else before)) is (change is None)
    with pytest.raises(UnsupportedCommandError, match="R1"):
        device.execute("show bgp summary")


def _show(device):
    return device.parse("show bgp summary")["neighbors"]


def _feature(device):
    return _learn(device).info["neighbors"]


@pytest.mark.parametrize("reads", [[_show] * 4, [_feature] * 4, [_feature, _show, _feature, _show]])
def test_shut_neighbor_goes_idle_on_third_read(reads):
    device = example_testbed().devices["R1"]
    device.shutdown_bgp_neighbor("10.0.0.2")
    device.parse("show interface Ethernet1/1")  # other sections do not move BGP on
    device.execute("show running-config")
    seen = [read(device) for read in reads]
    assert [n["10.0.0.2"]["state"] for n in seen] == ["established", "established", "idle", "idle"]
    assert {n["10.0.0.6"]["state"] for n in seen} == {"established"}


def test_feature_round_trips():
    feature = _learn(example_testbed().devices["R1"])
    assert feature.unpickle(feature.pickle(feature)) == feature
    assert dill.loads(dill.dumps(feature)) == feature


# Small services --------------------------------------------------------------


def test_result_objects_distinct_and_stable():
    objects = [getattr(results, name) for name in results.__all__]
    assert len({id(o) for o in objects}) == 7
    assert all(not (a == b) for i, a in enumerate(objects) for b in objects[i + 1:])
    assert all(pickle.loads(pickle.dumps(o)) is o for o in objects)


def test_runtime_directory_is_lazy_and_overridable(tmp_path):
    runtime = Runtime()
    created = runtime.directory
    try:
        assert os.path.isdir(created) and runtime.directory == created
        runtime.directory = tmp_path
        assert runtime.directory == str(tmp_path)
    finally:
        os.rmdir(created)
