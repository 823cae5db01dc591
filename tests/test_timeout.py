import time as real_time
from types import SimpleNamespace
from unittest.mock import Mock, call

import pytest

import brennic.results as results
from korrin.utils import timeout

OUTCOMES = ["Passed", "Failed", "Aborted", "Errored", "Skipped", "Blocked", "Passx"]
START = "Starting a timeout with maximum time of {} seconds with interval of {} seconds, " \
        "Test case will fail after the maximum time set"
LAST, OUT, NO_SLEEP = "Performing the last attempt", "Ran out of time for this timeout", "0 second remaining; Will not sleep"


def slept(remaining, waited, attempt):
    return f"{remaining:.2f} seconds remaining; Sleeping for {waited:.2f} seconds. '{attempt}' attempt(s) have been performed"


@pytest.fixture
def clock(monkeypatch):
    clock = SimpleNamespace(now=1000.0, sleeps=[], messages=[])
    clock.time = lambda: clock.now
    clock.sleep = lambda s: (clock.sleeps.append(s), setattr(clock, "now", clock.now + s))
    monkeypatch.setattr(timeout, "time", clock)
    monkeypatch.setattr(timeout, "log", SimpleNamespace(info=clock.messages.append))  # info only
    return clock


# Steps: (seconds after construction, call, returned, message or None, count after, one_more_time after).
@pytest.mark.parametrize("max_time, interval, steps, sleeps", [
    (30, 10, [(0, "iterate", True, None, 1, False), (1, "sleep", None, slept(29, 10, 1), 2, False),
              (11, "iterate", True, None, 2, False), (12, "sleep", None, slept(18, 10, 2), 3, False),
              (22, "iterate", True, None, 3, False), (23, "sleep", None, slept(7, 7, 3), 4, True),
              (30, "iterate", True, LAST, 4, False), (31, "sleep", None, NO_SLEEP, 4, False),
              (31, "iterate", False, OUT, 4, False)], [10, 10, 7]),
    (10, 3, [(10, "sleep", None, slept(0, 0, 1), 2, True),          # exactly at the deadline
             (10, "iterate", True, LAST, 2, False), (10, "iterate", False, OUT, 2, False)], [0]),
    (0, 5, [(0, "iterate", False, OUT, 1, False)], []),
])
def test_steps(clock, max_time, interval, steps, sleeps):
    t = timeout.Timeout(max_time, interval)
    assert clock.messages.pop() == START.format(max_time, interval)
    for at, call, returned, message, count, owed in steps:
        clock.now = 1000 + at
        assert getattr(t, call)() is returned
        assert clock.messages == ([message] if message else [])
        assert (t.count, t.one_more_time) == (count, owed)
        clock.messages.clear()
    assert clock.sleeps == sleeps


@pytest.mark.parametrize("max_time, interval, attempt_seconds, attempts_at, sleeps", [
    (5, 10, 1, [0, 5], [4]),                  # interval beyond max_time: start and deadline
    (20, 10, 0, [0, 10], [10, 10]),           # remaining == interval: no owed attempt
    (3, 0, 1, [0, 1, 2], [0, 0, 0]),          # interval 0 never sets the flag
    (2.5, 1, 0.5, [0, 1.5, 2.5], [1, 0.5]),
])
def test_polling_loop(clock, max_time, interval, attempt_seconds, attempts_at, sleeps):
    t, attempts = timeout.Timeout(max_time, interval), []
    while t.iterate():
        attempts.append(clock.now - 1000)
        clock.now += attempt_seconds
        t.sleep()
    assert (attempts, clock.sleeps) == (pytest.approx(attempts_at), pytest.approx(sleeps))


def test_attributes_are_read_afresh(clock):
    t = timeout.Timeout(10, 4)
    assert t.timeout == t.timeout == 1010
    with pytest.raises(AttributeError):
        t.timeout = 0
    t.max_time, t.interval = 100, 7
    t.sleep()
    assert (t.timeout, clock.sleeps) == (1100, [7])
    t.snapshot_time -= 1000
    assert t.iterate() is False


def test_bad_values_fail_where_python_would(monkeypatch, clock):
    t = timeout.Timeout("soon", 1)
    with pytest.raises(TypeError):
        t.iterate()
    monkeypatch.setattr(clock, "sleep", real_time.sleep)   # rejects the negative wait
    t = timeout.Timeout(10, -1)
    with pytest.raises(ValueError):
        t.sleep()
    assert (t.count, clock.messages[-1]) == (2, slept(10, -1, 1))


@pytest.mark.parametrize("outcome", OUTCOMES)
@pytest.mark.parametrize("goto, extra", [(["cleanup"], {"goto": ["cleanup"]}), ([], {}), (None, {})])
def test_last_outcome_reaches_the_container(clock, outcome, goto, extra):
    container, error = Mock(), ValueError()
    r = timeout.TempResult(container)
    r.result()                                 # nothing recorded yet: passed
    r.failed("earlier", error, ["elsewhere"])
    assert getattr(r, outcome.lower())("why", from_exception=error, goto=goto) is None
    r.result(), r.result()
    report = getattr(call, outcome.lower())(reason="why", from_exception=error, **extra)
    assert container.method_calls == [call.passed(reason=None, from_exception=None), report, report]
    assert (r.temp_result, clock.messages) == (getattr(results, outcome), ["earlier", "why"])
    r.passed()
    assert (r.goto, r.reason, r.from_exception, clock.messages[-1]) == (None, None, None, None)


def test_failures_pass_through_and_keep_state(clock, monkeypatch):
    with pytest.raises(AttributeError):
        timeout.TempResult().result()
    r = timeout.TempResult(Mock(**{"skipped.side_effect": RuntimeError}))
    r.skipped("s")
    with pytest.raises(RuntimeError):
        r.result()
    monkeypatch.setattr(timeout.log, "info", lambda message: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        r.errored("lost")
    assert (r.temp_result, r.reason) == (results.Skipped, "s")


def test_module_surface():
    assert [n for n in vars(timeout) if not n.startswith("__")] == \
        ["time", "logging", *OUTCOMES, "log", "Timeout", "TempResult"]
    assert all(getattr(timeout, n) is getattr(results, n) for n in OUTCOMES)
    assert timeout.log.name == "korrin.utils.timeout"
    assert timeout.Timeout.__doc__ == (
        "In any kind of automation, there is a need of polling. Try to do a\n"
        "       check/action, verify if expected result is there, if not, sleep for some time\n"
        "       and repeat up to a maximum time.")
    assert timeout.TempResult.__doc__ is None
