"""A typical use of every public callable of korrin.utils, for the type checker.

Only type-checked (`mypy --strict`), never run: the testbed, devices and test
section are typed placeholders. `assert_type` pins what callers get back, and
each `type: ignore` marks a misuse the stubs must keep rejecting (strict mode
reports an ignore that is no longer needed).
"""

from collections import deque
from pathlib import Path
from types import SimpleNamespace
from typing import TYPE_CHECKING, Any, Protocol, assert_type

import prettytable
from brennic.sections import Section as FrameworkSection
from korrin.harness.datafile.loader import PtsdatafileLoader
from korrin.sim import Device as SimDevice, Testbed as SimTestbed, example_testbed
from korrin.utils import config, profile, summary, symfind, timeout

if TYPE_CHECKING:
    from korrin.utils.profile import PtsEntry
    from korrin.utils.timeout import ResultContainer


class Device(Protocol):
    name: str
    alias: str

    def parse(self, command: str) -> dict[str, Any]: ...


class Testbed(Protocol):
    devices: dict[str, Device]

    def find_devices(self, aliases: list[str]) -> list[Device]: ...


class Section(Protocol):
    """The test infrastructure's result taker."""

    def passed(self, reason: str | None = None, from_exception: BaseException | None = None,
               goto: list[str] | None = None) -> None: ...
    def failed(self, reason: str | None = None, from_exception: BaseException | None = None,
               goto: list[str] | None = None) -> None: ...
    def aborted(self, reason: str | None = None, from_exception: BaseException | None = None,
                goto: list[str] | None = None) -> None: ...
    def errored(self, reason: str | None = None, from_exception: BaseException | None = None,
                goto: list[str] | None = None) -> None: ...
    def skipped(self, reason: str | None = None, from_exception: BaseException | None = None,
                goto: list[str] | None = None) -> None: ...
    def blocked(self, reason: str | None = None, from_exception: BaseException | None = None,
                goto: list[str] | None = None) -> None: ...
    def passx(self, reason: str | None = None, from_exception: BaseException | None = None,
              goto: list[str] | None = None) -> None: ...


class TestScript:
    def __init__(self) -> None:
        self.parameters: dict[str, Any] = {"learnt_dict": {}}
        self.pts_features = ["bgp", "show version"]


class YamlLoader:
    def load(self, path: str) -> dict[str, Any]:
        return {"bgp": {"devices": ["R1"]}}


def boxes() -> None:
    box = summary.Summary("Profile summary", 40)
    box.add_message("Feature bgp was learnt on 3 devices")
    box.add_sep_line()
    box.add_message(["first item", box.add_indent("second item", end=False)], level="error")
    box.add_star_line()
    box.add_subtitle_line()
    box.add_title_line()
    box.summarize_section("Feature bgp was compared", device="R1")
    box.summarize_profile(device="R2", diff={"info": "changed"}, golden=True)
    box.summarize_profile("R3", PTS=False)
    box.print()
    assert_type(box.lenght, int)
    assert_type(box.summary_msgs, list[summary.Msg])
    last = box.summary_msgs[-1]
    assert_type(last.msg, str)
    box.summary_msgs.append(summary.Msg(box.star_line, level="error"))
    box.add_message(("a", "b"))  # type: ignore[arg-type]
    box.add_message("text", level=40)  # type: ignore[arg-type]

    trigger = summary.TriggerSummary(title=["Trigger summary"], width=60)
    trigger.summarize_trigger("Shut and unshut the neighbors", {"interval": 15, "max_time": 180})
    trigger.summarize("Steps", ["shut", "unshut"], indent=True)
    trigger.print()
    summary.logger.info("done")


def poll(section: Section, device: Device) -> None:
    result = timeout.TempResult(container=section)
    clock = timeout.Timeout(max_time=30, interval=2.5)
    while clock.iterate():
        assert_type(clock.timeout, float)
        parsed = device.parse("show bgp summary")
        if parsed:
            result.passed("neighbors are up")
            break
        result.failed("neighbors not up yet", goto=["cleanup"])
        clock.sleep()
    result.result()
    clock.timeout = 1.0  # type: ignore[misc]

    other = timeout.TempResult()
    other.aborted(reason="testbed lost")
    other.errored(from_exception=RuntimeError("boom"))
    other.skipped()
    other.blocked("waiting")
    other.passx("known issue")
    if other.temp_result == timeout.Passx:
        timeout.log.info("expected failure")


def paths(device: Device) -> None:
    keys = symfind.str_to_list("[info][(.*)][counters]")
    assert_type(keys, deque[str | int])
    symfind.structure_verifier("[info][(.*)][counters]", data={"info": {}})
    loader_cls = symfind.load_attribute(None, "korrin.harness.datafile.loader.PtsdatafileLoader")
    ops = symfind.load_attribute("korrin.sim.health", "bgp.Bgp", device=device)
    print(loader_cls, ops)
    symfind.str_to_list(b"[info]")  # type: ignore[arg-type]


def running_config(device: Device) -> dict[str, Any]:
    text = str(device.parse("show running-config"))
    cfg = config.Config(text, exclude=["end", "Building configuration..."])
    cfg.tree()
    tree: dict[str, Any] = cfg.config
    cfg.exclude.append(None)
    # Any collection of lines, or lines read once from a generator.
    config.Config(text, exclude=("end",))
    config.Config(text, exclude={"end"})
    config.Config(text, exclude={"end": "why"}.keys())
    config.Config(text, exclude=(line for line in text.splitlines() if line.startswith("Current")))
    config.Config(text, exclude=[])
    # The tree: every value a dict of the lines under it.
    family = cfg.config["router bgp 100"]["address-family ipv4"]
    activated = [line for line in family if line.endswith(" activate") and not family[line]]
    print(activated, "shutdown" in cfg.config["interface Ethernet1"])
    return tree


def profiling_session(testbed: Testbed, run_dir: Path, golden_dir: str) -> None:
    pts_data = profile.load_datafile("pts_data.yaml", YamlLoader)
    learnt = profile.Profile.learn_features(
        ["bgp", "show version"], testbed, pts_data=pts_data, file=True, location=str(run_dir)
    )
    assert_type(learnt, dict[str, dict[Any, Any]])
    golden_file = profile.pickle(learnt, location=run_dir, pts_name="golden")
    assert_type(golden_file, str | None)
    golden = profile.unpickle(run_dir / "golden")
    compared = profile.Profile.compare(golden, learnt, pts_data=pts_data, testbed=testbed)
    profile.summarize_comparison(compared, passed_feature="bgp", print_not_compared=False)
    profile.Profile.compare(run_dir / "golden", run_dir / "pts", testbed=testbed, verf_data=None)

    per_device: dict[str, dict[str, object]] = {"bgp": {}}
    filed = profile.asynchronous_profile(testbed.devices["R1"], "bgp", pts_data["bgp"], per_device)
    assert_type(filed, dict[str, object])

    table = prettytable.PrettyTable(["Traffic Item", "Loss %"])
    table.add_row(["item1", "0"])
    written = profile.pickle_traffic(table, location=run_dir, tgn_profile_name="traffic")
    read_back = profile.unpickle_traffic(written or golden_dir)
    assert_type(read_back, prettytable.PrettyTable)
    streams = profile.unpickle_stream_data(run_dir / "streams.yaml", copy=True, copy_file="streams")
    profile.log.info("%s %s", read_back.field_names, streams)

    # The feature names as any collection, or read once from a generator.
    profile.Profile.learn_features(("bgp",), testbed, file=True)
    profile.Profile.learn_features({"bgp"}, testbed, file=True)
    profile.Profile.learn_features((name for name in ["bgp"]), testbed, file=True)
    profile.Profile.learn_features(None, testbed)  # type: ignore[arg-type]
    profile.load_datafile("pts_data.yaml", dict)  # type: ignore[arg-type]


def with_the_framework(run_dir: Path) -> None:
    """The stand-in framework's own classes are what the stubs ask for."""
    testbed: SimTestbed = example_testbed()
    section = FrameworkSection("verify the neighbour is idle")
    result = timeout.TempResult(container=section)
    result.failed("still established", goto=["cleanup"])
    result.result()
    container: ResultContainer = section
    print(container)

    pts: dict[str, PtsEntry | list[str]] = {
        "bgp": {"class": "korrin.sim.features.Bgp", "devices": ["R1", "R2"], "exclude": ["up_time"]},
        "show version": {"devices": ["R3"]},
        "exclude": ["uptime"],
    }
    learnt = profile.Profile.learn_features(["bgp", "show version"], testbed, pts_data=pts, file=True)
    profile.Profile.learn_features(["bgp"], testbed, pts_data=str(run_dir / "pts.yaml"), testscript=TestScript())
    profile.Profile.learn_features(["bgp"], testbed, pts_data={"bgp": {"class": "korrin.sim.features.Bgp"}})
    profile.Profile.compare(learnt, learnt, pts_data=pts, testbed=testbed)
    loaded = profile.load_datafile(str(run_dir / "pts.yaml"), PtsdatafileLoader)
    device: SimDevice = testbed.devices["R1"]
    profile.asynchronous_profile(device, "bgp", {"class": "korrin.sim.features.Bgp"}, {"bgp": {}})
    symfind.load_attribute("korrin.sim.health", "bgp.established_neighbors", device=device)
    print(loaded)


class DevicesOnly:
    def __init__(self) -> None:
        self.devices: dict[str, SimDevice] = {}


def wrong_objects(testbed: SimTestbed, section: FrameworkSection) -> None:
    """What the stubs reject: objects that lack what the modules use."""
    # Only `devices`: no find_devices. (A SimpleNamespace answers every
    # attribute with Any, so no protocol can reject it.)
    profile.Profile.learn_features(["bgp"], DevicesOnly())  # type: ignore[arg-type]
    profile.Profile.learn_features(["bgp"], SimpleNamespace(devices={}))
    # The device mapping is not a testbed.
    profile.Profile.compare({}, {}, testbed=testbed.devices)  # type: ignore[arg-type]
    # A PTS entry whose "devices" is one text instead of a list of names.
    profile.Profile.learn_features(["bgp"], testbed, pts_data={"bgp": {"devices": "R1"}})  # type: ignore[dict-item]
    # A misspelt PTS entry key.
    profile.Profile.learn_features(["bgp"], testbed, pts_data={"bgp": {"device": ["R1"]}})  # type: ignore[dict-item]
    # The testbed given where the test script goes.
    profile.Profile.learn_features(["bgp"], testbed, testscript=testbed)  # type: ignore[arg-type]
    # A device name where the device object goes.
    profile.asynchronous_profile("R1", "bgp", {}, {"bgp": {}})  # type: ignore[arg-type]
    timeout.TempResult(container="section")  # type: ignore[arg-type]
    # The section's result method, not the section.
    timeout.TempResult(container=section.passed)  # type: ignore[arg-type]
