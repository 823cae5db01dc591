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
FAILING_EVERY = 10  # one device in ten differs


class TrivialDiff:
    """Costs as little as a difference class can: the module's overhead shows."""

    def __init__(self, a, b, exclude=None):
        self.a, self.b, self.exclude = a, b, exclude
        self.diffs = []

    def findDiff(self):
        if self.a != self.b:
            self.diffs = ["changed"]
        return self.diffs


# The same algorithm as Profile.compare, written as module code would be:
# every collaborator is a global read where the algorithm reads it.
PLAIN_PYTHON_COMPARE = """
def compare(cls, compare1, compare2, pts_data=None, testbed=None, verf_data=None):
    if not isinstance(compare1, dict):
        compare1 = unpickle(compare1)
    if not isinstance(compare2, dict):
        compare2 = unpickle(compare2)
    features = set(compare1.keys()) & set(compare2.keys())
    summarized_dict = {}
    summarized_dict["not_compared"] = set(compare1.keys()) ^ set(compare2.keys())
    for feature in features:
        failed, passed = [], []
        for key in sorted(compare2[feature]):
            exclude = ["device", "maker", "diff_ignore", "callables", "(Current configuration.*)"]
            device = testbed.devices[key]
            try:
                exclude.extend(get_ops_exclude(feature, device))
            except Exception:
                try:
                    exclude.extend(get_parser_exclude(feature, device))
                except Exception:
                    pass
            try:
                exclude.extend(pts_data[feature]["exclude"])
            except KeyError:
                pass
            try:
                exclude.extend(pts_data["exclude"])
            except KeyError:
                pass
            diff = Diff(compare1[feature][key], compare2[feature][key], exclude=exclude)
            diff.findDiff()
            if len(diff.diffs):
                failed.append((key, diff))
                log.info("Verify '{f}' snapshot with initial snapshot for device '{d}'\\n    Failed".format(f=feature, d=key))
            else:
                passed.append(key)
        if feature not in summarized_dict:
            summarized_dict[feature] = {"failed": {}, "passed": {}}
        for key, diff in failed:
            summarized_dict[feature]["failed"][key] = diff
        for key in passed:
            summarized_dict[feature]["passed"][key] = {}
        log.info("\\n")
    return summarized_dict
"""


def compare_case():
    features = [f"feature{i}" for i in range(FEATURES)]
    keys = [f"R{i}" for i in range(DEVICES)]
    snapshots = {f: {k: {"state": "up"} for k in keys} for f in features}
    golden = {f: {k: ({"state": "down"} if i % FAILING_EVERY == 0 else v) for i, (k, v) in enumerate(devices.items())}
              for f, devices in snapshots.items()}
    pts = {f: {"exclude": ["counters"]} for f in features}
    pts["exclude"] = ["uptime"]
    # Collaborators as cheap as they come, so that what is measured is the
    # module's own work around the Diff calls.
    testbed = types.SimpleNamespace(devices={k: Device(k) for k in keys})
    ops_exclude = ("maker",)

    def get_ops_exclude(feature, device):
        return ops_exclude

    namespace = {"Diff": TrivialDiff, "get_ops_exclude": get_ops_exclude, "get_parser_exclude": None,
                 "log": profile.log, "unpickle": None}
    exec(PLAIN_PYTHON_COMPARE, namespace)
    plain_compare = namespace["compare"]

    def native():
        saved = profile.Diff, profile.get_ops_exclude
        profile.Diff, profile.get_ops_exclude = TrivialDiff, get_ops_exclude
        try:
            return profile.Profile.compare(golden, snapshots, pts_data=pts, testbed=testbed)
        finally:
            profile.Diff, profile.get_ops_exclude = saved

    def plain_python():
        return plain_compare(None, golden, snapshots, pts_data=pts, testbed=testbed)

    def verdict(result):
        return {f: {k: sorted(v) for k, v in r.items()} if f != "not_compared" else r for f, r in result.items()}

    assert verdict(native()) == verdict(plain_python())
    assert len(native()["feature0"]["failed"]) == DEVICES // FAILING_EVERY

    return harness.Case(f"Profile.compare, {FEATURES} features x {DEVICES} devices, 10% failing, trivial Diff",
                        native, baseline=plain_python, min_speedup=0.9)


def cases():
    return [learning_case(), compare_case()]


if __name__ == "__main__":
    sys.exit(harness.main(cases()))
