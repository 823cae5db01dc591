"""korrin.utils.profile: parallel learning wall time, and the overhead of
Profile.compare over the bare Diff calls it makes."""
import pathlib
import sys
import types

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import harness  # noqa: E402
from baselines import profile_plain  # noqa: E402

import korrin.utils.profile as profile  # noqa: E402
from korrin.sim import Device, Testbed  # noqa: E402

compiled_profile = harness.compiled(profile_plain)

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


def compare_case(show_commands=0):
    """Profile.compare against the same algorithm in plain Python and compiled
    with Cython. The first `show_commands` features are show commands: they
    have no ops class, so get_ops_exclude raises LookupError for each of
    their devices and the parser's exclusions are used instead."""
    features = [f"show feature{i}" if i < show_commands else f"feature{i}" for i in range(FEATURES)]
    keys = [f"R{i}" for i in range(DEVICES)]
    snapshots = {f: {k: {"state": "up"} for k in keys} for f in features}
    golden = {f: {k: ({"state": "down"} if i % FAILING_EVERY == 0 else v) for i, (k, v) in enumerate(devices.items())}
              for f, devices in snapshots.items()}
    pts = {f: {"exclude": ["counters"]} for f in features}
    pts["exclude"] = ["uptime"]
    # Collaborators as cheap as they come, so that what is measured is the
    # module's own work around the Diff calls.
    testbed = types.SimpleNamespace(devices={k: Device(k) for k in keys})
    ops_classes = {f: ("maker",) for f in features if not f.startswith("show")}
    parser_exclude = ("timestamp",)

    def get_ops_exclude(feature, device):
        try:
            return ops_classes[feature]
        except KeyError:
            raise LookupError(f"No ops class for feature '{feature}' on device '{device.name}'") from None

    def get_parser_exclude(feature, device):
        return parser_exclude

    collaborators = {"Diff": TrivialDiff, "get_ops_exclude": get_ops_exclude,
                     "get_parser_exclude": get_parser_exclude, "log": profile.log, "unpickle": None}
    baselines = [profile_plain] + ([compiled_profile] if compiled_profile else [])

    def native():
        names = ("Diff", "get_ops_exclude", "get_parser_exclude")
        saved = [getattr(profile, name) for name in names]
        for name in names:
            setattr(profile, name, collaborators[name])
        try:
            return profile.Profile.compare(golden, snapshots, pts_data=pts, testbed=testbed)
        finally:
            for name, value in zip(names, saved):
                setattr(profile, name, value)

    def baseline(module):
        def run():
            # The baseline modules are shared by the cases: each run sets its own collaborators.
            for name, value in collaborators.items():
                setattr(module, name, value)
            return module.compare(None, golden, snapshots, pts_data=pts, testbed=testbed)
        return run

    def verdict(result):
        return {f: {k: sorted(v) for k, v in r.items()} if f != "not_compared" else r for f, r in result.items()}

    for module in baselines:
        assert verdict(native()) == verdict(baseline(module)())
    assert len(native()["feature19"]["failed"]) == DEVICES // FAILING_EVERY

    if show_commands:
        name = f"Profile.compare, {FEATURES} features ({show_commands} show commands) x {DEVICES} devices, trivial Diff"
        goal = 1.2
    else:
        name = f"Profile.compare, {FEATURES} features x {DEVICES} devices, 10% failing, trivial Diff"
        goal = 1.0
    # A run takes a few milliseconds: many rounds, so that the best of each
    # is one the machine left alone.
    return harness.Case(name, native, baseline=baseline(profile_plain),
                        compiled=compiled_profile and baseline(compiled_profile), min_speedup=goal, repeats=40)


def cases():
    return [learning_case(), compare_case(), compare_case(show_commands=8)]


if __name__ == "__main__":
    sys.exit(harness.main(cases()))
