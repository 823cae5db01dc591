"""Raising inside a handler leaves the interpreter's handled-exception state as
the same Python code would, also for generators resumed later."""
import sys

import pytest

from brennic.strivel.exceptions import DatafileError
from korrin.utils.profile import load_datafile


def python_load_datafile(datafile, cls):
    try:
        return cls().load(datafile)
    except Exception as e:
        raise DatafileError("Failed to load the datafile '%s'" % datafile) from e


def failing_loader():
    raise ZeroDivisionError("boom")


def trace(load):
    seen = []

    def steps():
        try:
            load("a.yaml", failing_loader)
        except DatafileError as e:
            seen.append((repr(e.__cause__), repr(e.__context__), e.__suppress_context__))
        seen.append(repr(sys.exc_info()[1]))
        yield
        seen.append(repr(sys.exc_info()[1]))

    try:
        raise KeyError("outer")
    except KeyError:
        generator = steps()
        next(generator)
        seen.append(repr(sys.exc_info()[1]))
    next(generator, None)
    seen.append(repr(sys.exc_info()[1]))
    return seen


def test_handled_exception_state_matches_python():
    assert trace(load_datafile) == trace(python_load_datafile)


@pytest.mark.parametrize("load", [load_datafile, python_load_datafile])
def test_nested_handler_context(load):
    try:
        try:
            raise KeyError("outer")
        except KeyError:
            load("a.yaml", failing_loader)
    except DatafileError as e:
        # The caught loader error is the context; its own context is the outer one.
        assert isinstance(e.__context__, ZeroDivisionError)
        assert isinstance(e.__context__.__context__, KeyError)
