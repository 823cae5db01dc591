"""Helpers shared by the test modules."""
import inspect
import sys
import textwrap
import types

import pytest


def plain_function(qualname, params, body="return None", module=None, doc=None):
    """A plain-Python function with the given signature text and qualified name.

    `params` reads like a def line's parameter list, e.g. "self, msg, indent=False".
    """
    namespace = {"__name__": module}
    exec(f"def f({params}):\n    {body}", namespace)
    function = namespace["f"]
    function.__qualname__ = qualname
    function.__name__ = qualname.rpartition(".")[2]
    function.__doc__ = doc
    return function


def type_error_text(callable_, *args, **kwargs):
    with pytest.raises(TypeError) as info:
        callable_(*args, **kwargs)
    return str(info.value)


# Calls that exercise every binder message for a callable taking
# `required` required and `optional` optional parameters (self excluded).
def bad_calls(required, optional, names):
    total = required + optional
    calls = [(tuple(range(total + 1)), {}), (tuple(range(total + 3)), {}),
             (tuple(range(required)), {"no_such_argument": 1})]
    if required:
        calls.append(((), {}))
    if required:
        calls.append((tuple(range(required)), {names[0]: 1}))
    if required > 1:
        calls.append(((), {names[-1 if not optional else required - 1]: 1}))
    return calls


def assert_same_binding_errors(native, qualname, params, is_method=False):
    """Every bad call gives the same TypeError text as the plain-Python twin."""
    twin = plain_function(qualname, params)
    names = [p.split("=")[0].strip() for p in params.split(",") if p.strip()]
    if is_method:
        names = names[1:]
    required = sum(1 for p in params.split(",")[int(is_method):] if p.strip() and "=" not in p)
    optional = len(names) - required
    for args, kwargs in bad_calls(required, optional, names):
        twin_args = (object(),) + args if is_method else args
        expected = type_error_text(twin, *twin_args, **kwargs)
        assert type_error_text(native, *args, **kwargs) == expected


def row(text, width=150):
    """A message row of a summary box of that width."""
    return f"| {text} " + "|".rjust(width - len(text) - 3)


def signature_text(callable_):
    return str(inspect.signature(callable_))


class FakeTestbed:
    """A testbed whose devices are found by name or (true) alias."""

    def __init__(self, *devices):
        self.all = devices
        self.devices = {k: d for d in devices for k in (d.name, d.alias) if k}

    def find_devices(self, aliases):
        return [d for d in self.all if d.alias in aliases]


import sys
import textwrap
import types
