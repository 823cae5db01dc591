"""Summary boxes: building rows (wrapping included) and printing them."""
import logging
import pathlib
import random
import sys

import harness
from korrin.utils import summary
from korrin.utils.summary import Summary

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))
from oracles import summary_model  # noqa: E402
from oracles.summary_model import Summary as PlainSummary  # noqa: E402

compiled_summary = harness.compiled(summary_model)


rng = random.Random(7)
WORDS = ("neighbor 10.0.0.2 state established down idle interface Ethernet1/1 mtu 1500 9216 vrf default "
         "address_family ipv4 unicast Comparison between Common Setup snapshot and OPS object snapshots are "
         "equal different as per the following diffs: * Summary for device: R1 R2 uut").split()
MESSAGES = [("    - " if i % 3 == 0 else "") + " ".join(rng.choice(WORDS) for _ in range(rng.randint(4, 40)))
            for i in range(20_000)]
LEVELS = ["error" if i % 7 == 0 else "info" for i in range(20_000)]

logger = logging.getLogger("korrin.bench.summary")
logger.addHandler(logging.NullHandler())
logger.setLevel(logging.DEBUG)
logger.propagate = False


def build(cls, messages=MESSAGES):
    box = cls("Benchmark box", 150)
    for msg, level in zip(messages, LEVELS):
        box.add_message(msg, level=level)
    return box


PRINTED = build(Summary)
PRINTED.summary_msgs[5000:] = []
PLAIN_PRINTED = [m.msg for m in PRINTED.summary_msgs]


def bare_logger_calls():
    for text in PLAIN_PRINTED:
        logger.info(text)


# Network log text as test boxes hold it: in-word hyphens, addresses,
# key=value pairs and about 2 % of words with non-ASCII letters.
LOG_WORDS = ("Port-channel10 Port-channel12 Ethernet1/1 Ethernet1/49 Vlan100 Loopback0 address-family next-hop "
             "admin-status oper-status re-learnt route-map prefix-list dist-07 core-01 leaf-12 bgp ospf neighbor "
             "session state established idle down up vrf default ipv4 ipv6 unicast changed to on from peer was "
             "after hold timer expired interface route learnt via").split()
LOG_KEYS = "mtu state vrf asn hold-time peer-group remote-as".split()
NON_ASCII = "Zürich-naïve São-Paulo München Göteborg-edge Kraków Þórshöfn".split()


def log_word(rng):
    kind = rng.random()
    if kind < 0.02:
        return rng.choice(NON_ASCII)
    if kind < 0.10:
        return "10.{}.{}.{}".format(rng.randrange(256), rng.randrange(256), rng.randrange(256))
    if kind < 0.15:
        return "2001:db8:{:x}::{:x}".format(rng.randrange(65536), rng.randrange(65536))
    if kind < 0.22:
        return "{}={}".format(rng.choice(LOG_KEYS), rng.choice(("9216", "idle", "default", "65001", "180")))
    return rng.choice(LOG_WORDS)


LOG_MESSAGES = [("    - " if i % 3 == 0 else "") + " ".join(log_word(rng) for _ in range(rng.randint(4, 40)))
                for i in range(20_000)]
DIFF_LINES = ["-info:", "+info:", "-     session_state: established", "+     session_state: idle",
              "+     description: uplink to dist-07 port Port-channel12", "-  neighbor 10.0.0.2:",
              "+  neighbor 2001:db8::2:", "-     admin-status: up", "+     next-hop: 10.1.1.1",
              "-     address-family: ipv4 unicast", "+     mtu: 9216"]
VERDICT = [("feature{}".format(f), ["R{}".format(d) for d in range(150)],
            ["\n".join(rng.choices(DIFF_LINES, k=rng.randint(8, 30))) if rng.random() < 0.2 else None
             for _ in range(150)]) for f in range(8)]


class RecordingLogger:
    def __init__(self):
        self.calls = []

    def info(self, msg):
        self.calls.append(msg)

    def error(self, msg):
        self.calls.append(msg)


def verdict_boxes(cls):
    """One box per feature, one comparison per device."""
    boxes = []
    for feature, devices, diffs in VERDICT:
        box = cls("Comparison of {}".format(feature), 150)
        for device, diff in zip(devices, diffs):
            box.summarize_profile(device, diff=diff)
        boxes.append(box)
    return boxes


def printed(boxes, target):
    """Prints the boxes to `target`, through the logger global each class reads."""
    models = [summary_model] + ([compiled_summary] if compiled_summary else [])
    saved = summary.logger, [model.logger for model in models]
    summary.logger = target
    for model in models:
        model.logger = target
    try:
        for box in boxes:
            box.print()
    finally:
        summary.logger = saved[0]
        for model, previous in zip(models, saved[1]):
            model.logger = previous


def verdict_floor_calls():
    """The verdict's rows as bare calls of the NullHandler logger's methods."""
    recorder, bare = RecordingLogger(), logger
    recorder.error = lambda msg: recorder.calls.append((bare.error, msg))
    recorder.info = lambda msg: recorder.calls.append((bare.info, msg))
    printed(VERDICT_BOXES, recorder)
    return recorder.calls


VERDICT_BOXES = verdict_boxes(Summary)
VERDICT_CALLS = verdict_floor_calls()


def verdict_bare_logger_calls():
    for call, text in VERDICT_CALLS:
        call(text)


def cases():
    return [
        harness.Case("summary: width-150 box, 20,000 messages", lambda: build(Summary),
                     baseline=lambda: build(PlainSummary),
                     compiled=compiled_summary and (lambda: build(compiled_summary.Summary)), min_speedup=10, repeats=5),
        harness.Case("summary: print 5,000 rows (NullHandler)", lambda: printed([PRINTED], logger),
                     floor=bare_logger_calls, max_floor_ratio=1.3, repeats=9),
        harness.Case("summary: width-150 box, 20,000 log messages", lambda: build(Summary, LOG_MESSAGES),
                     baseline=lambda: build(PlainSummary, LOG_MESSAGES),
                     compiled=compiled_summary and (lambda: build(compiled_summary.Summary, LOG_MESSAGES)),
                     min_speedup=10, repeats=5),
        harness.Case("summary: verdict 8 x 150 devices, built, recorded",
                     lambda: printed(verdict_boxes(Summary), RecordingLogger()),
                     baseline=lambda: printed(verdict_boxes(PlainSummary), RecordingLogger()),
                     compiled=compiled_summary and (lambda: printed(verdict_boxes(compiled_summary.Summary), RecordingLogger())),
                     min_speedup=6, repeats=5),
        harness.Case("summary: verdict 8 x 150 devices, printed (NullHandler)",
                     lambda: printed(VERDICT_BOXES, logger), floor=verdict_bare_logger_calls, max_floor_ratio=1.3, repeats=9),
    ]


if __name__ == "__main__":
    sys.exit(harness.main(cases()))
