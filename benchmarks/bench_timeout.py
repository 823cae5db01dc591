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


# The same class in plain Python, for the overhead comparison.
class PlainTimeout:
    def __init__(self, max_time, interval):
        self.max_time = max_time
        self.interval = interval
        self.snapshot_time = clock.time()
        self.one_more_time = False
        self.count = 1
        log.info("Starting a timeout with maximum time of {mt} seconds with interval of {i} seconds, "
                 "Test case will fail after the maximum time set".format(mt=self.max_time, i=self.interval))

    @property
    def timeout(self):
        return self.snapshot_time + self.max_time

    def iterate(self):
        if self.one_more_time:
            log.info("Performing the last attempt")
            self.one_more_time = False
            return True
        keep_going = clock.time() < self.timeout
        if not keep_going:
            log.info("Ran out of time for this timeout")
        return keep_going

    def sleep(self):
        remaining_time = self.timeout - clock.time()
        if remaining_time < 0:
            log.info("0 second remaining; Will not sleep")
            return
        sleep_time = self.interval
        if remaining_time < self.interval:
            sleep_time = remaining_time
            self.one_more_time = True
        log.info("{0:.2f} seconds remaining; Sleeping for {1:.2f} seconds. '{v}' attempt(s) have been performed"
                 .format(remaining_time, sleep_time, v=self.count))
        self.count += 1
        clock.sleep(sleep_time)


def stepping_clock():
    """A clock of C callables, like the real one: each reading is 0.25 s later,
    sleeping does nothing."""
    return SimpleNamespace(time=functools.partial(next, itertools.count(0.0, 0.25)), sleep=abs)


clock = stepping_clock()
log = logging.getLogger("korrin.utils.timeout")   # below its level: records are dropped


def polling_steps(cls, loops=2000):
    def run():
        global clock
        real = timeout.time
        for _ in range(loops):
            clock = timeout.time = stepping_clock()
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
                     baseline=polling_steps(PlainTimeout)),
    ]


if __name__ == "__main__":
    status = harness.main(cases())
    print("last attempt after the deadline: " + ", ".join(f"{s * 1e3:.2f} ms" for s in lateness))
    sys.exit(status)
