"""Differential fuzzing: the native modules against their plain-Python models
on generated inputs, each target for its share of a time budget.

    python tools/fuzz.py --seconds 600 [summary] [config] [symfind]

Prints one line per target, "<target>: <cases> cases, <divergences> divergences",
and the first case of the first few kinds of divergence; exits 1 on any divergence.
"""
import argparse
import pathlib
import sys
import time

from hypothesis import HealthCheck, Phase, Verbosity, given, settings
from hypothesis import strategies as st

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))
import differential as d  # noqa: E402
from korrin.utils import summary, symfind  # noqa: E402
from korrin.utils.config import Config  # noqa: E402
from oracles import summary_model  # noqa: E402
from oracles.config_model import ModelConfig  # noqa: E402
from oracles.symfind_model import str_to_list as model_str_to_list  # noqa: E402

SHOWN = 5
SHOWN_CHARS = 600


class TimeUp(BaseException):
    """Ends a generation batch; not an Exception, so hypothesis lets it through."""


def kind(item):
    """A short name for what an outcome item is, to tell divergences apart."""
    if isinstance(item, tuple) and item and isinstance(item[0], str):
        return f"{item[0]} {item[1].__name__}" if item[0] == "raised" else item[0]
    return type(item).__name__


def first_difference(native, model):
    """Where two outcomes first differ: (kind of divergence, description)."""
    if isinstance(native, dict):
        key = next(key for key in native if native[key] != model[key])
        label, text = first_difference(native[key], model[key])
        return f"{key}: {label}", text
    if isinstance(native, list) and isinstance(model, list):
        for i, (a, b) in enumerate(zip(native, model)):
            if a != b:
                return f"native {kind(a)}, model {kind(b)}", f"[{i}] native {a!r}\n      model  {b!r}"
        return "length", f"native has {len(native)} items, model {len(model)}"
    return "value", f"native {native!r}\n      model  {model!r}"


TARGETS = {
    "summary": (d.summary_scenarios(),
                lambda case: (d.summary_outcome(summary, case), d.summary_outcome(summary_model, case))),
    "config": (st.one_of(st.tuples(d.config_texts, d.config_excludes, st.none()),
                         st.tuples(d.config_texts, st.none(), d.exclude_attributes),
                         st.tuples(d.json_documents(), st.none(), st.none())),
               lambda case: (d.config_outcome(Config, *case), d.config_outcome(ModelConfig, *case))),
    "symfind": (d.assembled_paths | d.raw_paths,
                lambda path: (d.symfind_outcome(symfind.str_to_list, path),
                              d.symfind_outcome(model_str_to_list, path))),
}


def fuzz(strategy, compare, seconds):
    """Runs generated cases until `seconds` have passed; returns the count and the divergences."""
    cases, divergences = 0, []
    deadline = time.monotonic() + seconds

    # Generation only (a divergence is recorded, not raised, so nothing
    # shrinks), in batches so that hypothesis's record of tried inputs stays small.
    @settings(max_examples=2000, database=None, deadline=None, phases=[Phase.generate],
              verbosity=Verbosity.quiet, suppress_health_check=list(HealthCheck))
    @given(strategy)
    def one(case):
        nonlocal cases
        if time.monotonic() > deadline:
            raise TimeUp
        cases += 1
        native, model = compare(case)
        if native != model:
            divergences.append((case, first_difference(native, model)))

    try:
        while True:
            one()
    except TimeUp:
        pass
    return cases, divergences


def shorten(text):
    return text if len(text) <= SHOWN_CHARS else text[:SHOWN_CHARS] + " ..."


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=600, help="total budget, split evenly across the targets")
    parser.add_argument("targets", nargs="*", help=f"any of {', '.join(TARGETS)} (default: all)")
    args = parser.parse_args(argv)
    targets = args.targets or list(TARGETS)
    if unknown := set(targets) - set(TARGETS):
        parser.error(f"unknown targets: {', '.join(sorted(unknown))}")
    failed = False
    for name in targets:
        strategy, compare = TARGETS[name]
        cases, divergences = fuzz(strategy, compare, args.seconds / len(targets))
        print(f"{name}: {cases} cases, {len(divergences)} divergences", flush=True)
        kinds = {}
        for case, (label, difference) in divergences:
            kinds.setdefault(label, []).append((case, difference))
        for label, found in list(kinds.items())[:SHOWN]:
            case, difference = found[0]
            print(f"  {len(found)} x {label}\n    case: {shorten(repr(case))}\n    {shorten(difference)}")
        if len(kinds) > SHOWN:
            print(f"  ... and {len(kinds) - SHOWN} more kinds")
        failed |= bool(divergences)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
