"""korrin.utils.profile: parallel learning wall time, and the overhead of
Profile.compare over the bare Diff calls it makes."""
import pathlib
import sys
import types

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


FEATURES, DEVICES = 20, 200


class TrivialDiff:
    """Costs as little as a difference class can: the module's overhead shows."""

    def __init__(self, a, b, exclude=None):
        self.a, self.b, self.exclude = a, b, exclude
        self.diffs = []

    def findDiff(self):
        return self.diffs


def compare_case():
    features = [f"feature{i}" for i in range(FEATURES)]
    keys = [f"R{i}" for i in range(DEVICES)]
    snapshots = {f: {k: {"state": "up"} for k in keys} for f in features}
    golden = {f: dict(devices) for f, devices in snapshots.items()}
    pts = {f: {"exclude": ["counters"]} for f in features}
    pts["exclude"] = ["uptime"]
    # Collaborators as cheap as they come, so that what is measured is the
    # module's own work around the Diff calls.
    testbed = types.SimpleNamespace(devices={k: Device(k) for k in keys})
    ops_exclude = ("maker",)

    def with_trivial_collaborators(run):
        def wrapped():
            saved = profile.Diff, profile.get_ops_exclude
            profile.Diff, profile.get_ops_exclude = TrivialDiff, lambda feature, device: ops_exclude
            try:
                return run()
            finally:
                profile.Diff, profile.get_ops_exclude = saved
        return wrapped

    def native():
        result = profile.Profile.compare(golden, snapshots, pts_data=pts, testbed=testbed)
        assert len(result) == FEATURES + 1

    def plain_python_compare():
        # The same algorithm written in Python, with the same collaborators.
        Diff, get_ops_exclude = TrivialDiff, lambda feature, device: ops_exclude
        result = {}
        features1, features2 = set(golden.keys()), set(snapshots.keys())
        result["not_compared"] = features1 ^ features2
        for feature in features1 & features2:
            failed, passed = [], []
            for key in sorted(snapshots[feature]):
                exclude = ["device", "maker", "diff_ignore", "callables", "(Current configuration.*)"]
                device = testbed.devices[key]
                try:
                    exclude.extend(get_ops_exclude(feature, device))
                except Exception:
                    pass
                try:
                    exclude.extend(pts[feature]["exclude"])
                except KeyError:
                    pass
                try:
                    exclude.extend(pts["exclude"])
                except KeyError:
                    pass
                diff = Diff(golden[feature][key], snapshots[feature][key], exclude=exclude)
                diff.findDiff()
                if len(diff.diffs):
                    failed.append((key, diff))
                else:
                    passed.append(key)
            result[feature] = {"failed": dict(failed), "passed": {key: {} for key in passed}}
        return result

    def bare_diff_loop():
        Diff = TrivialDiff
        for feature in set(golden) & set(snapshots):
            for key in sorted(snapshots[feature]):
                diff = Diff(golden[feature][key], snapshots[feature][key], exclude=[])
                diff.findDiff()
                len(diff.diffs)

    return harness.Case(f"Profile.compare, {FEATURES} features x {DEVICES} devices, trivial Diff",
                        with_trivial_collaborators(native), baseline=plain_python_compare, floor=bare_diff_loop,
                        max_floor_ratio=1.5)


def cases():
    return [learning_case(), compare_case()]


if __name__ == "__main__":
    sys.exit(harness.main(cases()))
