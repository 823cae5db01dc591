"""korrin.utils.profile: parallel learning wall time, and the overhead of
Profile.compare over the bare Diff calls it makes."""
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import harness  # noqa: E402

import korrin.utils.profile as profile  # noqa: E402
from korrin.sim import Device, Testbed  # noqa: E402

LEARN_DEVICES = 32
LEARN_DELAY = 0.2  # seconds each device takes to answer


def learning_case():
    devices = [Device(f"R{i}", alias="uut" if i == 0 else None, learn_delay=LEARN_DELAY) for i in range(LEARN_DEVICES)]
    testbed = Testbed("bench", devices)
    pts = {"bgp": {"class": "korrin.sim.features.Bgp", "devices": [d.name for d in devices]}}

    def learn():
        learnt = profile.Profile.learn_features(["bgp"], testbed, pts_data=pts, file=True)
        assert len(learnt["bgp"]) == LEARN_DEVICES

    return harness.Case(f"learn 1 feature on {LEARN_DEVICES} devices ({LEARN_DELAY} s each)", learn,
                        max_seconds=0.6, repeats=3)


def cases():
    return [learning_case()]


if __name__ == "__main__":
    sys.exit(harness.main(cases()))
