"""Learning on the simulated testbed with the real parallel pcall: workers in
their own processes, results serialised back, the golden profile stored and
loaded again."""
import os

import pytest

import korrin.utils.profile as profile
from brennic.strivel.exceptions import DatafileError
from korrin.sim import example_testbed

pytestmark = pytest.mark.filterwarnings("ignore:keys will default:DeprecationWarning")

PTS = {
    "bgp": {"class": "korrin.sim.features.Bgp", "devices": ["R1", "R2", "R3"]},
    "interface": {"class": "korrin.sim.features.Interface", "devices": ["uut", "helper", "R3"]},
    "show version": {},
    "show interface Ethernet1/1": {"devices": ["R1", "R2"]},
}


def test_learn_store_and_reload(tmp_path):
    testbed = example_testbed()
    learnt = profile.Profile.learn_features(list(PTS), testbed, pts_data=PTS, location=str(tmp_path))

    assert {f: sorted(devices) for f, devices in learnt.items()} == {
        "bgp": ["R3", "helper", "uut"],
        "interface": ["R3", "helper", "uut"],
        "show version": ["uut"],
        "show interface Ethernet1/1": ["helper", "uut"],
    }
    bgp = learnt["bgp"]["uut"]
    assert type(bgp).__name__ == "Bgp" and bgp.info == testbed.devices["R1"].state["bgp"]
    assert learnt["show version"]["uut"] == testbed.devices["R1"].parse("show version")

    assert profile.unpickle(str(tmp_path / "pts")) == learnt
    names = set(os.listdir(tmp_path))
    assert {"pts", "pts_R3_bgp_pts.json", "pts_uut_show version_pts.json",
            "pts_helper_show interface Ethernet1_1_pts.json"} <= names
    assert len(names) == 1 + 3 + 3 + 1 + 2


def test_worker_failure_reaches_the_caller(tmp_path):
    pts = {"bgp": {"class": "korrin.sim.features.NoSuchFeature", "devices": ["R1", "R2"]}}
    with pytest.raises(Exception) as info:
        profile.Profile.learn_features(["bgp"], example_testbed(), pts_data=pts, location=str(tmp_path))
    text = str(info.value)
    assert text.startswith("Failed in learning 'bgp' feature\n")
    assert "Issue with loading a pts class or when learning the 'bgp' feature on device 'R2'" in text
    assert os.listdir(tmp_path) == []


def test_show_command_failure_names_the_command():
    with pytest.raises(Exception, match="Issue with 'show interface Ethernet9/9'"):
        profile.Profile.learn_features(["show interface Ethernet9/9"], example_testbed(),
                                       pts_data={"show interface Ethernet9/9": {}}, file=True)


def test_default_pts_file_is_used_without_pts_data():
    learnt = profile.Profile.learn_features(["show version"], example_testbed(), file=True)
    assert list(learnt["show version"]) == ["uut"]


def test_unreadable_pts_file(tmp_path):
    path = tmp_path / "pts.yaml"
    path.write_text("bgp: [unclosed")
    with pytest.raises(DatafileError) as info:
        profile.Profile.learn_features(["bgp"], example_testbed(), pts_data=str(path))
    assert str(info.value) == f"Failed to load the datafile '{path}'"
    assert isinstance(info.value.__cause__, DatafileError)
