"""Small-method calls: the per-call cost of a method that does almost nothing,
against the same class written in plain Python, whose calls the interpreter
specialises."""
import itertools
import logging
import sys
from types import SimpleNamespace

import harness
from baselines import timeout_plain
from bench_summary import PlainSummary, compiled_summary
from korrin.utils import timeout
from korrin.utils.summary import Summary

LOOPS = 20_000


def box_calls(cls):
    def run():
        box = cls("Benchmark box", 60)
        for _ in range(LOOPS):
            box.add_sep_line()
            box.add_indent("x")
            box.add_indent("y", end=False)
    return run


def temp_results(cls):
    def run():
        for _ in range(LOOPS):
            cls().passed("r")
    return run


def iterations(cls):
    """iterate() on a clock that stands still, so every call says "go on"."""
    def run():
        real = timeout.time
        sys.modules[cls.__module__].clock = timeout.time = SimpleNamespace(time=itertools.repeat(0.0).__next__, sleep=abs)
        try:
            polling = cls(30, 1)
            for _ in range(LOOPS):
                polling.iterate()
        finally:
            timeout.time = real
    return run


log = logging.getLogger("korrin.utils.timeout")   # below its level: records are dropped
compiled_timeout = harness.compiled(timeout_plain)
timeout_plain.Passed = timeout.Passed
if compiled_timeout:
    compiled_timeout.Passed = timeout.Passed


def cases():
    log.setLevel(logging.WARNING)
    return [
        harness.Case("calls: add_sep_line + 2 add_indent, x20,000", box_calls(Summary),
                     baseline=box_calls(PlainSummary), compiled=compiled_summary and box_calls(compiled_summary.Summary),
                     min_speedup=1.2, repeats=15),
        harness.Case("calls: TempResult().passed('r'), x20,000", temp_results(timeout.TempResult),
                     baseline=temp_results(timeout_plain.PlainTempResult),
                     compiled=compiled_timeout and temp_results(compiled_timeout.PlainTempResult),
                     min_speedup=1.3, repeats=15),
        harness.Case("calls: Timeout.iterate, still clock, x20,000", iterations(timeout.Timeout),
                     baseline=iterations(timeout_plain.PlainTimeout),
                     compiled=compiled_timeout and iterations(compiled_timeout.PlainTimeout),
                     min_speedup=1.3, repeats=15),
    ]


if __name__ == "__main__":
    sys.exit(harness.main(cases()))
