"""A trigger test on the simulated testbed, as a test engineer would write it.

Learns BGP, the interfaces and `show version` on three routers as the golden
profile and reads each router's running configuration. Then the trigger: shut
a BGP neighbour on R1 and change an MTU on R2, poll until R1's session has gone
idle, read the neighbour states through bracketed paths, show what changed in
the configurations, learn again and compare with the golden profile.

    .venv/bin/python examples/trigger_session.py [RUN_DIRECTORY]

Files go to RUN_DIRECTORY (created if needed), else to a fresh temporary one.
The comparison is expected to fail on R1 (bgp) and R2 (interface): the recap
lists the failures and the run still exits 0. Exit status 2 means the run
directory cannot be used.
"""
import logging
import os
import re
import sys
import tempfile

from brennic.dorvex import runtime
from brennic.sections import Section
from korrin.sim import example_testbed
from korrin.utils.config import Config
from korrin.utils.profile import Profile, summarize_comparison
from korrin.utils.summary import Summary, TriggerSummary
from korrin.utils.symfind import load_attribute, str_to_list, structure_verifier
from korrin.utils.timeout import TempResult, Timeout

HERE = os.path.dirname(os.path.abspath(__file__))
PTS_DATA = os.path.join(HERE, "pts_data.yaml")
FEATURES = ["bgp", "interface", "show version"]
GOLDEN_NAME = "golden_pts"
WIDTH = 80

# What a trigger datafile would hold for this trigger.
TRIGGER = {
    "uut": {"device": "R1", "bgp_neighbor": "10.0.0.2"},
    "helper": {"device": "R2", "interface": "Ethernet1/1", "mtu": 9000},
    "timeout": {"max_time": 5, "interval": 0.2},
}
DESCRIPTION = """Shut a BGP neighbour of the uut and change an MTU on the helper.

    Steps:
        1. shut the neighbour in the uut's configuration
        2. set the MTU of one interface of the helper
        3. poll the uut until the neighbour's session is idle"""

# Values to read from every router's BGP snapshot. A key in parentheses is a
# regular expression matched against the keys at that level.
NEIGHBOR_PATHS = ["[info][neighbors][(.*)][state]", "[info][neighbors][(.*)][shutdown]"]

log = logging.getLogger("trigger_session")


def run_directory(argv):
    """The run directory from the command line, created if missing.

    Exits with status 2 when it cannot be written to.
    """
    if len(argv) < 2:
        return tempfile.mkdtemp(prefix="trigger-session-")
    path = argv[1]
    if os.path.exists(path) and not os.path.isdir(path):
        problem = "Not a directory"
    else:
        try:
            os.makedirs(path, exist_ok=True)
            with tempfile.NamedTemporaryFile(dir=path):  # the permission bits alone do not tell (root, ACLs)
                return path
        except OSError as error:
            problem = error.strerror
    print(f"trigger_session: cannot use run directory {path}: {problem}", file=sys.stderr)
    sys.exit(2)


def changed_lines(before, after, parent=None):
    """(sign, parent line, line) for each line found in only one of two config trees."""
    for line, children in before.items():
        if line not in after:
            yield "-", parent, line
        else:
            yield from changed_lines(children, after[line], line)
    for line in after:
        if line not in before:
            yield "+", parent, line


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
    runtime.directory = run_directory(argv)
    # The level name in front of every record shows how the boxes line up.
    logging.basicConfig(level=logging.INFO, format="%(levelname)s %(message)s", stream=sys.stdout)
    testbed = example_testbed()

    # 1. The golden profile: every feature learnt on every router, stored in
    #    the run directory.
    log.info("Learning the golden profile into %s", runtime.directory)
    Profile.learn_features(FEATURES, testbed, pts_data=PTS_DATA, pts_name=GOLDEN_NAME)
    golden_file = os.path.join(runtime.directory, GOLDEN_NAME)

    # 2. The running configurations as trees: every line a key, the lines
    #    indented under it the keys of its value.
    configs_before = {}
    for name, device in testbed.devices.items():
        cfg = Config(device.execute("show running-config"))
        cfg.tree()
        configs_before[name] = cfg.config
        interfaces = [line for line in cfg.config if line.startswith("interface ")]
        bgp = next(line for line in cfg.config if line.startswith("router bgp "))
        log.info("%s configuration: %s, interfaces: %d, BGP neighbours: %d", name, bgp, len(interfaces),
                 sum(line.endswith(" activate") for line in cfg.config[bgp]["address-family ipv4"]))

    # 3. The trigger. First say what it does and with which parameters.
    trigger = TriggerSummary("Trigger: BGP neighbour shut, MTU changed", WIDTH)
    trigger.summarize_trigger(DESCRIPTION, TRIGGER)
    trigger.print()

    let_time_pass(testbed)
    uut = testbed.devices[TRIGGER["uut"]["device"]]
    neighbor = TRIGGER["uut"]["bgp_neighbor"]
    uut.shutdown_bgp_neighbor(neighbor)
    helper = testbed.devices[TRIGGER["helper"]["device"]]
    helper.set_mtu(TRIGGER["helper"]["interface"], TRIGGER["helper"]["mtu"])

    # The network takes a while to converge: poll the neighbour's state. Each
    # attempt records its outcome; only the last one reaches the section.
    section = Section("verify the neighbour is idle")
    timeout = Timeout(max_time=TRIGGER["timeout"]["max_time"], interval=TRIGGER["timeout"]["interval"])
    outcome = TempResult(container=section)
    while timeout.iterate():
        state = uut.parse("show bgp summary")["neighbors"][neighbor]["state"]
        if state == "idle":
            outcome.passed(f"BGP neighbour {neighbor} on {uut.name} is idle")
            break
        outcome.failed(f"BGP neighbour {neighbor} on {uut.name} is still {state}")
        timeout.sleep()
    outcome.result()  # out of time: the last attempt's Failed

    # 4. Read the neighbour states of every router through bracketed paths.
    #    The feature class is loaded by its dotted name, as a datafile gives it.
    Bgp = load_attribute(None, "korrin.sim.features.Bgp")
    for path in NEIGHBOR_PATHS:
        structure_verifier(path, data=None)  # ValueError for a key that is not a valid regex
    for name, device in testbed.devices.items():
        bgp = Bgp(device)
        bgp.learn()
        for path in NEIGHBOR_PATHS:
            # Walk the snapshot key by key; a regex key fans out to every key
            # it matches, and the matched keys say where each value came from.
            keys = str_to_list(path)
            found = [((), vars(bgp))]
            for key in keys:
                if isinstance(key, str) and key.startswith("("):
                    regex = re.compile(key)
                    found = [(where + (k,), value[k]) for where, value in found for k in value
                             if regex.fullmatch(str(k))]
                else:
                    found = [(where, value[key]) for where, value in found if key in value]
            for where, value in found:
                log.info("%s neighbour %s %s: %s", name, " ".join(where), keys[-1], value)

    # 5. The configurations again, now that the network has converged: the
    #    lines found in only one of the two trees, under their parent line.
    changes = Summary("Configuration changes since the golden profile", WIDTH)
    for name, device in testbed.devices.items():
        cfg = Config(device.execute("show running-config"))
        cfg.tree()
        changes.add_message(f"* Device: {name}")
        lines = list(changed_lines(configs_before[name], cfg.config))
        if not lines:
            changes.add_message("    - unchanged")
        shown_parent = None
        for sign, parent, line in lines:
            if parent is not None and parent != shown_parent:
                changes.add_message(f"  {parent}")
            shown_parent = parent
            changes.add_message(f"{sign}     {line}" if parent else f"{sign} {line}")
        changes.add_star_line()
    changes.print()

    # 6. Learn again, without storing, and compare with the golden profile file.
    log.info("Learning the current state")
    current = Profile.learn_features(FEATURES, testbed, pts_data=PTS_DATA, file=True)
    result = Profile.compare(golden_file, current, pts_data=PTS_DATA, testbed=testbed)
    summarize_comparison(result)

    # 7. The recap. The differences are the trigger's expected effect, so they
    #    are reported, not turned into an exit status.
    failed = sorted(f"{feature} on {device}" for feature, verdict in result.items() if feature != "not_compared"
                    for device in verdict["failed"])
    log.info("Recap: section '%s' %s", section.name, section.result)
    log.info("Devices differing from the golden profile: %s", ", ".join(failed) or "none")
    log.info("Files written to %s:", runtime.directory)
    for name in sorted(os.listdir(runtime.directory)):
        log.info("    %s", name)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
