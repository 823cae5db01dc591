"""Timeout and TempResult written in plain Python, for the overhead
comparison. `clock`, `log` and `Passed` are module globals the benchmark sets."""
import logging

clock = None
log = logging.getLogger("korrin.utils.timeout")   # below its level: records are dropped
Passed = None


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


class PlainTempResult:
    def __init__(self, container=None):
        self.container = container
        self.goto = None
        self.temp_result = Passed
        self.reason = None
        self.from_exception = None

    def passed(self, reason=None, from_exception=None, goto=None):
        return self._update_result(temp_result=Passed, reason=reason, from_exception=from_exception,
                                   goto=goto)

    def _update_result(self, temp_result, reason, from_exception, goto):
        log.info(reason)
        self.temp_result = temp_result
        self.reason = reason
        self.goto = goto
        self.from_exception = from_exception
