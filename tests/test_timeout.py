import time as real_time

import pytest

import brennic.results as results
from korrin.utils import timeout
from support import assert_same_binding_errors, plain_function, signature_text, type_error_text

OUTCOMES = ["Passed", "Failed", "Aborted", "Errored", "Skipped", "Blocked", "Passx"]


class Clock:
    def __init__(self):
        self.now, self.sleeps = 1000.0, []

    def time(self):
        return self.now

    def sleep(self, seconds):
        self.sleeps.append(seconds)
        self.now += seconds


class Log:
    """Only `info` exists: any other level would fail loudly."""

    def __init__(self):
        self.messages = []

    def info(self, message):
        self.messages.append(message)


@pytest.fixture
def clock(monkeypatch):
    clock = Clock()
    monkeypatch.setattr(timeout, "time", clock)
    return clock


@pytest.fixture
def log(monkeypatch):
    log = Log()
    monkeypatch.setattr(timeout, "log", log)
    return log


def sleep_text(remaining, waited, attempt):
    return (f"{remaining:.2f} seconds remaining; Sleeping for {waited:.2f} seconds. "
            f"'{attempt}' attempt(s) have been performed")


def test_worked_example(clock, log):
    t = timeout.Timeout(30, 10)
    assert log.messages == ["Starting a timeout with maximum time of 30 seconds with interval of 10 seconds, "
                            "Test case will fail after the maximum time set"]
    # (clock advance, call, returned, message, count after, one_more_time after)
    steps = [(0, "iterate", True, None, 1, False),
             (1, "sleep", None, sleep_text(29, 10, 1), 2, False),
             (0, "iterate", True, None, 2, False),
             (1, "sleep", None, sleep_text(18, 10, 2), 3, False),
             (0, "iterate", True, None, 3, False),
             (1, "sleep", None, sleep_text(7, 7, 3), 4, True),
             (0, "iterate", True, "Performing the last attempt", 4, False),
             (1, "sleep", None, "0 second remaining; Will not sleep", 4, False),
             (0, "iterate", False, "Ran out of time for this timeout", 4, False)]
    for advance, call, returned, message, count, owed in steps:
        clock.now += advance
        del log.messages[:]
        assert getattr(t, call)() is returned
        assert log.messages == ([message] if message else [])
        assert (t.count, t.one_more_time) == (count, owed)
    assert clock.sleeps == [10, 10, 7.0]


@pytest.mark.parametrize("max_time, interval, attempt_seconds, attempts_at, sleeps", [
    (0, 5, 1, [], []),                                  # no time at all
    (5, 10, 1, [0, 5], [4]),                            # interval beyond max_time: start and deadline
    (20, 10, 0, [0, 10], [10, 10]),                     # remaining == interval: no owed attempt
    (3, 0, 1, [0, 1, 2], [0, 0, 0]),                    # interval 0 never sets the flag
    (2.5, 1, 0.5, [0, 1.5, 2.5], [1, 0.5]),             # float times
])
def test_polling_loop(clock, log, max_time, interval, attempt_seconds, attempts_at, sleeps):
    start = clock.now
    t = timeout.Timeout(max_time, interval)
    attempts = []
    while t.iterate():
        attempts.append(clock.now - start)
        clock.now += attempt_seconds
        t.sleep()
    assert attempts == pytest.approx(attempts_at)
    assert clock.sleeps == pytest.approx(sleeps)
    assert log.messages[-1] == "Ran out of time for this timeout"


def test_sleep_at_exact_deadline_owes_one_attempt(clock, log):
    t = timeout.Timeout(10, 3)
    clock.now += 10
    t.sleep()
    assert log.messages[-1] == sleep_text(0, 0, 1)
    assert (clock.sleeps, t.count, t.one_more_time) == ([0.0], 2, True)
    assert [t.iterate(), t.iterate()] == [True, False]


def test_attributes_are_read_afresh(clock, log):
    t = timeout.Timeout(10, 4)
    assert t.timeout == t.timeout == clock.now + 10
    with pytest.raises(AttributeError):
        t.timeout = 0
    t.max_time, t.interval = 100, 7
    assert t.timeout == clock.now + 100
    t.sleep()
    assert clock.sleeps == [7]
    t.snapshot_time -= 1000
    assert t.iterate() is False


def test_bad_values_fail_where_python_would(monkeypatch, clock, log):
    t = timeout.Timeout("soon", 1)
    assert "maximum time of soon seconds" in log.messages[0]
    with pytest.raises(TypeError):
        t.iterate()
    # A negative interval reaches the real sleep after the message and the count.
    monkeypatch.setattr(clock, "sleep", real_time.sleep)
    t = timeout.Timeout(10, -1)
    with pytest.raises(ValueError):
        t.sleep()
    assert (t.count, log.messages[-1]) == (2, sleep_text(10, -1, 1))


class Container:
    def __init__(self, fail=False):
        self.calls, self.fail = [], fail

    def __getattr__(self, name):
        def report(*args, **kwargs):
            self.calls.append((name, args, kwargs))
            if self.fail:
                raise RuntimeError(name)
            return "ignored"
        return report


@pytest.mark.parametrize("outcome", OUTCOMES)
@pytest.mark.parametrize("goto, reported", [(["cleanup"], {"goto": ["cleanup"]}), ([], {}), (None, {})])
def test_every_outcome_reaches_the_container(log, outcome, goto, reported):
    container, error = Container(), ValueError("x")
    r = timeout.TempResult(container)
    r.failed("earlier", error, ["elsewhere"])
    assert getattr(r, outcome.lower())(reason="why", from_exception=error, goto=goto) is None
    assert r.temp_result is getattr(results, outcome)
    assert r.result() is None and r.result() is None
    call = (outcome.lower(), (), {"reason": "why", "from_exception": error, **reported})
    assert container.calls == [call, call]
    assert log.messages == ["earlier", "why"]


def test_defaults_and_last_recording_wins(log):
    container = Container()
    r = timeout.TempResult(container=container)
    r.result()
    r.failed("bad", goto=["x"])
    r.passed()
    r.result()
    expected = ("passed", (), {"reason": None, "from_exception": None})
    assert container.calls == [expected, expected]
    assert log.messages == ["bad", None]
    assert (r.goto, r.reason, r.from_exception) == (None, None, None)


def test_failures_pass_through_and_keep_state(monkeypatch, log):
    with pytest.raises(AttributeError):
        timeout.TempResult().result()
    r = timeout.TempResult(Container(fail=True))
    r.skipped("s")
    with pytest.raises(RuntimeError, match="skipped"):
        r.result()
    monkeypatch.setattr(log, "info", lambda message: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        r.errored("lost")
    assert (r.temp_result, r.reason) == (results.Skipped, "s")


def test_module_surface():
    names = [n for n in vars(timeout) if not n.startswith("__")]
    assert names == ["time", "logging", *OUTCOMES, "log", "Timeout", "TempResult"]
    assert all(getattr(timeout, n) is getattr(results, n) for n in OUTCOMES)
    assert timeout.log.name == "korrin.utils.timeout"
    assert timeout.Timeout.__doc__ == (
        "In any kind of automation, there is a need of polling. Try to do a\n"
        "       check/action, verify if expected result is there, if not, sleep for some time\n"
        "       and repeat up to a maximum time.")
    assert timeout.Timeout.__init__.__doc__ == (
        "max_time is in seconds\ninterval is in second\n\n"
        "Try up to max_time seconds, and between interval wait interval\nseconds")
    assert timeout.TempResult.__doc__ is None
    assert signature_text(timeout.Timeout) == "(max_time, interval)"
    assert signature_text(timeout.TempResult) == "(container=None)"


@pytest.mark.parametrize("make, method, params", [
    (lambda: timeout.Timeout, None, "self, max_time, interval"),
    (lambda: timeout.Timeout(1, 1), "iterate", "self"),
    (lambda: timeout.Timeout(1, 1), "sleep", "self"),
    (lambda: timeout.TempResult, None, "self, container=None"),
    *[(lambda: timeout.TempResult(), m, "self, reason=None, from_exception=None, goto=None")
      for m in map(str.lower, OUTCOMES)],
    (lambda: timeout.TempResult(), "_update_result", "self, temp_result, reason, from_exception, goto"),
    (lambda: timeout.TempResult(), "result", "self"),
])
def test_signatures_and_binding_errors(clock, log, make, method, params):
    target = make()
    native = getattr(target, method) if method else target
    owner = type(target).__name__ if method else target.__name__
    qualname = f"{owner}.{method or '__init__'}"
    if "=" in params or params == "self":
        # Nothing required: only surplus and unknown arguments are errors.
        twin = plain_function(qualname, params)
        calls = [((1, 2, 3, 4, 5), {}), ((), {"no_such_argument": 1})]
        if "=" in params:
            calls.append(((1,), {params.split(", ")[1].split("=")[0]: 1}))
        for args, kwargs in calls:
            assert type_error_text(native, *args, **kwargs) == type_error_text(twin, None, *args, **kwargs)
    else:
        assert_same_binding_errors(native, qualname, params, is_method=True)
    unbound = getattr(type(target), method) if method else target.__init__
    assert signature_text(unbound) == f"({params})"
