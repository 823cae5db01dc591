"""Helpers shared by the test modules."""
import inspect
import textwrap

import pytest


def plain_function(qualname, params):
    """A plain-Python function with the given signature text and qualified name.

    `params` reads like a def line's parameter list, e.g. "self, msg, indent=False".
    """
    namespace = {}
    exec(f"def f({params}):\n    return None", namespace)
    function = namespace["f"]
    function.__qualname__ = qualname
    function.__name__ = qualname.rpartition(".")[2]
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


def signature_text(callable_):
    return str(inspect.signature(callable_))


class FakeTestbed:
    """A testbed whose devices are found by name or (true) alias."""

    def __init__(self, *devices):
        self.all = devices
        self.devices = {k: d for d in devices for k in (d.name, d.alias) if k}

    def find_devices(self, aliases):
        return [d for d in self.all if d.alias in aliases]


# Pieces of text that reach every rule of the standard wrapper: hyphens inside
# words, at their edges and in runs; digits and other word characters (a
# letter there is \w but not a decimal digit, so "_" and "²" are letters); the
# punctuation allowed before an em-dash; Unicode letters, digits and blanks
# that str.strip removes but the splitter keeps; the six characters it splits
# on; astral characters and lone surrogates.
WRAP_FRAGMENTS = (
    list("abcxyzXZ019_-.,!?'\"&;:()/=@#*+") +
    ["-", "-", "--", "---", " -", "- ", " - ", "a-", "-a", "ab-", "-ab", "ab-cd", "a-b-c", "a-b", "ab--cd",
     "x.--y", "1-2", "a1-b", "ab-1", "Port-channel10", "address-family", "next-hop", "re-learnt", "10.0.0.1",
     "fe80::1", "key=value", "Zürich-naïve", "ü", "é", "ß", "İ", "²", "½", "Ⅻ", "٣", "中文", "ǅ", "Ω-Ω",
     " ", " ", "  ", "    ", "\t", "\n", "\r", "\x0b", "\x0c", "\r\n", "\xa0", "\u2003", "\u3000", "\x1c", "\x85",
     "\x00", "\U0001f600", "\U0001d400", "\ud800", "\udfff", "word", "words ", "interface"])


def wrap_rows(texts, wrap_width):
    """The rows add_message queues for `texts`, computed with the standard wrapper."""
    width = wrap_width + 4
    return ["| {msg} {l:>{width}}".format(msg=line, l="|", width=width - len(line) - 3)
            for text in texts for line in textwrap.wrap(text, wrap_width)]
