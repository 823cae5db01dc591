"""Summary boxes: building rows (wrapping included) and printing them."""
import logging
import random
import sys
import textwrap

import harness
from korrin.utils import summary
from korrin.utils.summary import Summary


class PlainMsg:
    def __init__(self, msg, level="info"):
        self.msg = msg
        self.level = level


class PlainSummary:
    """The same methods written in plain Python."""

    def __init__(self, title, width):
        self.lenght = 4
        self.title = title
        self.width = width
        self.summary_msgs = []
        self.title_line = "+{m}+".format(m="=" * (width - 2))
        self.sep_line = "{s}{m}{s}".format(s="|", m="-" * (width - 2))
        self.add_message(title)

    def add_sep_line(self):
        self.summary_msgs.append(PlainMsg(self.sep_line))

    def add_indent(self, msg, end=True):
        if end:
            return "    - " + msg
        return "    " + msg

    def add_message(self, msg, indent=False, level="info"):
        if len(level) > self.lenght:
            self.lenght = len(level)
        if isinstance(msg, list):
            lines = []
            for item in msg:
                lines.extend(textwrap.wrap(item, self.width - 4))
        else:
            lines = textwrap.wrap(msg, self.width - 4)
        for line in lines:
            self.summary_msgs.append(
                PlainMsg("| {msg} {l:>{width}}".format(msg=line, l="|", width=self.width - len(line) - 3), level))

    def print(self):
        for msg in self.summary_msgs:
            text = msg.msg
            if len(msg.level) < self.lenght:
                text = " " * (self.lenght - len(msg.level)) + text
            getattr(logger, msg.level)(text)


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
