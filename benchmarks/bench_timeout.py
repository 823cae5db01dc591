"""Timeout: a real-clock polling loop (how late the last attempt comes after the
deadline), and the per-step overhead of iterate/sleep on a fake clock against
the same class written in plain Python."""
import functools
import itertools
import logging
import sys
import time
from types import SimpleNamespace

import harness
from baselines import timeout_plain
from korrin.utils import timeout

MAX_TIME, INTERVAL = 1, 0.3
lateness = []   # seconds from the deadline to the last attempt, one per real-clock run


def real_clock_loop():
    t = timeout.Timeout(MAX_TIME, INTERVAL)
    last = None
    while t.iterate():
        last = time.time()   # the attempt itself does nothing
        t.sleep()
    lateness.append(last - t.timeout)


def stepping_clock():
    """A clock of C callables, like the real one: each reading is 0.25 s later,
    sleeping does nothing."""
    return SimpleNamespace(time=functools.partial(next, itertools.count(0.0, 0.25)), sleep=abs)


log = logging.getLogger("korrin.utils.timeout")   # below its level: records are dropped
compiled_timeout = harness.compiled(timeout_plain)


def polling_steps(cls, loops=2000):
    def run():
        plain = sys.modules[cls.__module__]   # a baseline reads its module's clock
        real = timeout.time
        for _ in range(loops):
            plain.clock = timeout.time = stepping_clock()
            t = cls(30, 1)
            while t.iterate():
                t.sleep()
        timeout.time = real
    return run


def cases():
    log.setLevel(logging.WARNING)
    return [
        harness.Case("timeout: real-clock loop 1 s / 0.3 s, up to the last attempt", real_clock_loop,
                     max_seconds=MAX_TIME + 0.005, repeats=3),
        # Informational: the steps are mostly the interpreter's own formatting
        # and logger calls, so parity with plain Python is what to expect.
        harness.Case("timeout: iterate/sleep steps, stepping clock", polling_steps(timeout.Timeout),
                     baseline=polling_steps(timeout_plain.PlainTimeout),
                     compiled=compiled_timeout and polling_steps(compiled_timeout.PlainTimeout)),
    ]


if __name__ == "__main__":
    status = harness.main(cases())
    print("last attempt after the deadline: " + ", ".join(f"{s * 1e3:.2f} ms" for s in lateness))
    sys.exit(status)
