"""Polling with a time limit: ``Timeout`` keeps the clock, ``TempResult`` the outcome.

Example, polling a device every 10 s for at most 30 s and reporting the last
outcome to the test section::

    from korrin.utils.timeout import Timeout, TempResult

    result = TempResult(container=section)
    timeout = Timeout(max_time=30, interval=10)
    while timeout.iterate():
        if neighbors_up(device):
            result.passed("all neighbors up")
            break
        result.failed("neighbors still down")
        timeout.sleep()
    result.result()

Everything is logged at INFO through the logger "korrin.utils.timeout"
(the module global ``log``). Nothing runs by itself: the caller drives every
step in its own thread.

``ResultContainer`` exists only for type checkers: import it under
``if TYPE_CHECKING:``.
"""

import logging as logging
import time as time
from typing import Any, Protocol, type_check_only

# Result objects of the test infrastructure; not described here.
Passed: Any
Failed: Any
Aborted: Any
Errored: Any
Skipped: Any
Blocked: Any
Passx: Any

log: logging.Logger

@type_check_only
class ResultContainer(Protocol):
    """What ``TempResult.result()`` reports to: normally the running test section.

    ``result()`` calls the method named after the recorded outcome, by
    keyword: ``reason`` and ``from_exception`` always, ``goto`` only when
    the recorded one is true; the return value is ignored.
    """

    def passed(self, *, reason: Any, from_exception: Any, goto: Any = ...) -> object: ...
    def failed(self, *, reason: Any, from_exception: Any, goto: Any = ...) -> object: ...
    def aborted(self, *, reason: Any, from_exception: Any, goto: Any = ...) -> object: ...
    def errored(self, *, reason: Any, from_exception: Any, goto: Any = ...) -> object: ...
    def skipped(self, *, reason: Any, from_exception: Any, goto: Any = ...) -> object: ...
    def blocked(self, *, reason: Any, from_exception: Any, goto: Any = ...) -> object: ...
    def passx(self, *, reason: Any, from_exception: Any, goto: Any = ...) -> object: ...

class Timeout:
    """The clock of one polling loop: a maximum time and an interval, in seconds.

    The clock starts when the object is made (``snapshot_time``, from
    ``time.time``) and cannot be restarted: make a new ``Timeout`` for each
    loop. Running out of time is not an error: ``iterate()`` returns False
    and the caller decides what that means.

    The last attempt: when fewer than ``interval`` seconds remain,
    ``sleep()`` waits only until the deadline and the next ``iterate()``
    grants one more attempt there, whatever the clock says. So
    ``Timeout(30, 10)`` with one-second attempts tries at 0, 11, 22 and 30 s.

    ``Timeout(0, 1)`` makes no attempt at all: the first ``iterate()``
    already returns False.

    Attributes (plain, read afresh by every method, so changing one changes
    the behaviour from then on): ``max_time``, ``interval``,
    ``snapshot_time``, ``one_more_time`` (the last attempt is owed),
    ``count`` (the current attempt's number, 1 at the start).
    """

    max_time: float
    interval: float
    snapshot_time: float
    one_more_time: bool
    count: int
    def __init__(self, max_time: float, interval: float) -> None:
        """Start the clock and log "Starting a timeout with maximum time of ... seconds".

        Args:
            max_time: the longest the polling may take, in seconds, counted
                from now.
            interval: seconds to wait between two attempts.

        Nothing is validated: a value that is no number fails later, in
        ``iterate`` or ``sleep``, with the interpreter's ``TypeError``.
        """

    @property
    def timeout(self) -> float:
        """The deadline: ``snapshot_time + max_time``, an absolute time in seconds
        since the epoch (as ``time.time()`` gives it), not a duration.

        Computed at every read. Remaining time: ``timeout - time.time()``.
        """

    def iterate(self) -> bool:
        """Whether to make an attempt now.

        Returns:
            True while the deadline has not been reached, and once more
            after a ``sleep`` that ended at the deadline (logged as
            "Performing the last attempt"); False once the time is up
            (logged as "Ran out of time for this timeout"), every time it
            is called from then on.
        """

    def sleep(self) -> None:
        """Wait before the next attempt, logging the remaining time and the attempts made.

        Waits ``interval`` seconds, or only the remaining time when that is
        shorter (and then owes the last attempt to ``iterate``). Adds 1 to
        ``count``. After the deadline it logs "0 second remaining; Will not
        sleep" and returns at once.

        Raises:
            ValueError: a negative ``interval`` (from ``time.sleep``).
        """

class TempResult:
    """The outcome of the latest attempt of a polling loop, reported once at the end.

    It starts as ``Passed`` (with no reason): ``result()`` without any
    recording reports a pass. Each recording (``passed``, ``failed``,
    ``aborted``, ``errored``, ``skipped``, ``blocked``, ``passx``) logs its
    reason at INFO (the text None when there is none) and replaces the
    previous outcome entirely, reason, exception and ``goto`` included.

    Example::

        result = TempResult(container=section)
        result.failed("still down", goto=["cleanup"])
        result.passed("up")          # the failure and its goto are forgotten
        result.result()              # section.passed(reason="up", from_exception=None)

    Attributes: ``container``, ``temp_result`` (the recorded result
    object), ``reason``, ``from_exception``, ``goto``; the last three are
    handed to the container untouched.
    """

    container: ResultContainer | None
    goto: Any
    temp_result: Any
    reason: Any
    from_exception: Any
    def __init__(self, container: ResultContainer | None = None) -> None:
        """Args:
        container: what ``result()`` reports to, normally the test section
            (see ``ResultContainer``). It may be left out while recording;
            ``result()`` then fails.
        """

    def passed(self, reason: Any = None, from_exception: Any = None, goto: Any = None) -> None:
        """Record ``Passed`` as the outcome, replacing the previous one.

        Args:
            reason: why; logged now and handed to the container later.
            from_exception: an exception to report with the outcome.
            goto: where the test goes next, handed on only when true.
        """

    def failed(self, reason: Any = None, from_exception: Any = None, goto: Any = None) -> None:
        """Record ``Failed`` as the outcome; arguments as for ``passed``."""

    def aborted(self, reason: Any = None, from_exception: Any = None, goto: Any = None) -> None:
        """Record ``Aborted`` as the outcome; arguments as for ``passed``."""

    def errored(self, reason: Any = None, from_exception: Any = None, goto: Any = None) -> None:
        """Record ``Errored`` as the outcome; arguments as for ``passed``."""

    def skipped(self, reason: Any = None, from_exception: Any = None, goto: Any = None) -> None:
        """Record ``Skipped`` as the outcome; arguments as for ``passed``."""

    def blocked(self, reason: Any = None, from_exception: Any = None, goto: Any = None) -> None:
        """Record ``Blocked`` as the outcome; arguments as for ``passed``."""

    def passx(self, reason: Any = None, from_exception: Any = None, goto: Any = None) -> None:
        """Record ``Passx`` as the outcome; arguments as for ``passed``."""

    def _update_result(self, temp_result: Any, reason: Any, from_exception: Any, goto: Any) -> None:
        """Log ``reason`` at INFO, then store the four values (what every recording calls)."""

    def result(self) -> None:
        """Report the recorded outcome to the container.

        Calls the container's method named after the outcome (``passed``,
        ``failed``, ``aborted``, ``errored``, ``skipped``, ``blocked`` or
        ``passx``) with the keywords ``reason`` and ``from_exception``, plus
        ``goto`` when it is true. The record stays: a second call reports
        the same again.

        Raises:
            AttributeError: no container (``None``) or one without that
                method.
        """
