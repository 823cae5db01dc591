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
        "bgp": ["R3", "helper", "uut"], "interface": ["R3", "helper", "uut"],
        "show version": ["uut"], "show interface Ethernet1/1": ["helper", "uut"]}
    assert learnt["bgp"]["uut"].info == testbed.devices["R1"].state["bgp"]
    assert learnt["show version"]["uut"] == testbed.devices["R1"].parse("show version")
    assert profile.unpickle(str(tmp_path / "pts")) == learnt
    names = set(os.listdir(tmp_path))
    assert len(names) == 1 + 3 + 3 + 1 + 2 and "pts_helper_show interface Ethernet1_1_pts.json" in names


@pytest.mark.parametrize("feature, pts, error, text", [
    ("bgp", {"bgp": {"class": "korrin.sim.features.Nothing", "devices": ["R1", "R2"]}}, Exception,
     "Failed in learning 'bgp' feature\n"),
    ("show interface Ethernet9/9", {"show interface Ethernet9/9": {}}, Exception,
     "Issue with 'show interface Ethernet9/9'"),
    ("bgp", "unreadable", DatafileError, "Failed to load the datafile"),
])
def test_failures_reach_the_caller(feature, pts, error, text, tmp_path):
    if pts == "unreadable":
        pts = tmp_path / "pts.yaml"
        pts.write_text("bgp: [unclosed")
        pts = str(pts)
    with pytest.raises(error) as info:
        profile.Profile.learn_features([feature], example_testbed(), pts_data=pts, location=str(tmp_path))
    assert text in str(info.value)
    assert set(os.listdir(tmp_path)) <= {"pts.yaml"}


def test_default_pts_file_is_used_without_pts_data():
    learnt = profile.Profile.learn_features(["show version"], example_testbed(), file=True)
    assert list(learnt["show version"]) == ["uut"]
