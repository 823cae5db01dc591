"""Sections of a test script: the objects its steps report their results to."""

import logging

from brennic.results import Aborted, Blocked, Errored, Failed, Passed, Passx, Skipped

__all__ = ["Section"]

log = logging.getLogger(__name__)


def _reporter(result):
    def report(self, reason=None, from_exception=None, goto=None):
        self.result, self.reason, self.from_exception, self.goto = result, reason, from_exception, goto
        log.info("Section '%s' %s: %s", self.name, result, reason)

    report.__name__ = report.__qualname__ = str(result).lower()
    report.__doc__ = f"End the section as {result}."
    return report


class Section:
    """One section of a test script; it keeps the last result reported to it.

    ``result`` stays None until a step reports one.
    """

    def __init__(self, name):
        self.name = name
        self.result = self.reason = self.from_exception = self.goto = None

    passed = _reporter(Passed)
    failed = _reporter(Failed)
    aborted = _reporter(Aborted)
    errored = _reporter(Errored)
    skipped = _reporter(Skipped)
    blocked = _reporter(Blocked)
    passx = _reporter(Passx)
