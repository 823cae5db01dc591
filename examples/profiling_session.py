"""A profiling session on the simulated testbed.

Learns BGP, the interfaces and `show version` on three routers and stores them
as the golden profile. Then two things break in the network (a BGP session on
R1 goes down, an MTU changes on R2), the same features are learnt again, and
the new snapshots are compared with the golden profile file. The verdict is
logged as one framed box per feature.

    .venv/bin/python examples/profiling_session.py [RUN_DIRECTORY]

Files go to RUN_DIRECTORY (created if needed), else to a fresh temporary one.
"""
import logging
import os
import sys
import tempfile
import warnings

from brennic.dorvex import runtime
from korrin.sim import example_testbed
from korrin.utils.profile import Profile, summarize_comparison

HERE = os.path.dirname(os.path.abspath(__file__))
PTS_DATA = os.path.join(HERE, "pts_data.yaml")
FEATURES = ["bgp", "interface", "show version"]
GOLDEN_NAME = "golden_pts"

log = logging.getLogger("profiling_session")


def let_time_pass(testbed):
    """What a few hours do to a healthy network: counters and uptimes move.

    The PTS data excludes these keys, so they must not fail the comparison.
    """
    for device in testbed.devices.values():
        device.state["version"]["uptime"] += ", 3 hours"
        for neighbor in device.state["bgp"]["neighbors"].values():
            neighbor["msg_rcvd"] += 180
            neighbor["msg_sent"] += 181
        for interface in device.state["interfaces"].values():
            interface["counters"]["in_pkts"] += 5000
            interface["last_change"] = "1d05h"


def main(argv):
    # jsonpickle 4 announces a future default for every snapshot it writes; the
    # files are written with today's default, which is what we want.
    warnings.filterwarnings("ignore", message="keys will default", category=DeprecationWarning)
    # The level name in front of every record shows how the boxes line up.
    logging.basicConfig(level=logging.INFO, format="%(levelname)s %(message)s", stream=sys.stdout)

    if len(argv) > 1:
        os.makedirs(argv[1], exist_ok=True)
        runtime.directory = argv[1]
    else:
        runtime.directory = tempfile.mkdtemp(prefix="profiling-session-")
    testbed = example_testbed()

    log.info("Learning the golden profile into %s", runtime.directory)
    Profile.learn_features(FEATURES, testbed, pts_data=PTS_DATA, pts_name=GOLDEN_NAME)
    golden_file = os.path.join(runtime.directory, GOLDEN_NAME)

    let_time_pass(testbed)
    testbed.devices["R1"].set_bgp_neighbor_state("10.0.0.2", "idle")
    testbed.devices["R2"].set_mtu("Ethernet1/1", 9000)

    log.info("Learning the current state")
    current = Profile.learn_features(FEATURES, testbed, pts_data=PTS_DATA, file=True)

    result = Profile.compare(golden_file, current, pts_data=PTS_DATA, testbed=testbed)
    summarize_comparison(result)

    failed = sorted(f"{feature} on {device}" for feature, outcome in result.items() if feature != "not_compared"
                    for device in outcome["failed"])
    log.info("Devices differing from the golden profile: %s", ", ".join(failed) or "none")
    log.info("Files written to %s:", runtime.directory)
    for name in sorted(os.listdir(runtime.directory)):
        log.info("    %s", name)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
