"""Sections of a test script: the objects its steps report their results to."""

import logging
from typing import Any

from brennic.results import Aborted, Blocked, Errored, Failed, Passed, Passx, Skipped, TestResult

__all__ = ["Section"]

log = logging.getLogger(__name__)


class Section:
    """One section of a test script; it keeps the last result reported to it.

    ``result`` stays None until a step reports one.
    """

    def __init__(self, name: str) -> None:
        self.name = name
        self.result: TestResult | None = None
        self.reason: Any = None
        self.from_exception: Any = None
        self.goto: Any = None

    def _report(self, result: TestResult, reason: Any, from_exception: Any, goto: Any) -> None:
        self.result, self.reason, self.from_exception, self.goto = result, reason, from_exception, goto
        log.info("Section '%s' %s: %s", self.name, result, reason)

    def passed(self, reason: Any = None, from_exception: Any = None, goto: Any = None) -> None:
        """End the section as Passed."""
        self._report(Passed, reason, from_exception, goto)

    def failed(self, reason: Any = None, from_exception: Any = None, goto: Any = None) -> None:
        """End the section as Failed."""
        self._report(Failed, reason, from_exception, goto)

    def aborted(self, reason: Any = None, from_exception: Any = None, goto: Any = None) -> None:
        """End the section as Aborted."""
        self._report(Aborted, reason, from_exception, goto)

    def errored(self, reason: Any = None, from_exception: Any = None, goto: Any = None) -> None:
        """End the section as Errored."""
        self._report(Errored, reason, from_exception, goto)

    def skipped(self, reason: Any = None, from_exception: Any = None, goto: Any = None) -> None:
        """End the section as Skipped."""
        self._report(Skipped, reason, from_exception, goto)

    def blocked(self, reason: Any = None, from_exception: Any = None, goto: Any = None) -> None:
        """End the section as Blocked."""
        self._report(Blocked, reason, from_exception, goto)

    def passx(self, reason: Any = None, from_exception: Any = None, goto: Any = None) -> None:
        """End the section as Passx."""
        self._report(Passx, reason, from_exception, goto)
