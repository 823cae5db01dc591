"""Summary boxes: building rows (wrapping included) and printing them."""
import logging
import pathlib
import random
import sys

import harness
from korrin.utils import summary
from korrin.utils.summary import Summary

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))
from oracles.summary_model import Summary as PlainSummary  # noqa: E402


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


def build(cls):
    box = cls("Benchmark box", 150)
    for msg, level in zip(MESSAGES, LEVELS):
        box.add_message(msg, level=level)
    return box


PRINTED = build(Summary)
PRINTED.summary_msgs[5000:] = []
PLAIN_PRINTED = [m.msg for m in PRINTED.summary_msgs]


def print_native():
    saved = summary.logger
    summary.logger = logger
    try:
        PRINTED.print()
    finally:
        summary.logger = saved


def bare_logger_calls():
    for text in PLAIN_PRINTED:
        logger.info(text)


def cases():
    return [
        harness.Case("summary: width-150 box, 20,000 messages", lambda: build(Summary),
                     baseline=lambda: build(PlainSummary), min_speedup=10, repeats=5),
        harness.Case("summary: print 5,000 rows (NullHandler)", print_native, floor=bare_logger_calls,
                     max_floor_ratio=1.3, repeats=9),
    ]


if __name__ == "__main__":
    sys.exit(harness.main(cases()))
