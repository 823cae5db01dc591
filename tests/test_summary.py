import copy
import gc
import inspect
import pickle
import textwrap
import types
import weakref

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from korrin.utils import summary
from korrin.utils.summary import Msg, Summary, TriggerSummary
from support import assert_same_binding_errors, wrap_rows


class RecordingLogger:
    def __init__(self):
        self.calls = []

    def info(self, msg):
        self.calls.append(("info", msg))

    def error(self, msg):
        self.calls.append(("error", msg))


@pytest.fixture
def logger(monkeypatch):
    recorder = RecordingLogger()
    monkeypatch.setattr(summary, "logger", recorder)
    return recorder


def rows(box):
    return [(m.msg, m.level) for m in box.summary_msgs]


def reference_rows(msg, width):
    """What add_message queues, computed with the standard wrapper."""
    return wrap_rows(msg if isinstance(msg, list) else [msg], width - 4)


def test_module_globals_in_order():
    names = [n for n in vars(summary) if not n.startswith("__")]
    assert names == ["yaml", "logging", "textwrap", "logger", "Summary", "TriggerSummary", "Msg"]
    assert summary.logger is summary.logging.getLogger()
    assert issubclass(TriggerSummary, Summary)


def test_box_worked_example(logger):
    box = Summary("Profile summary", 40)
    box.add_message("Feature bgp was learnt on 3 devices and every snapshot was stored")
    box.add_sep_line()
    box.add_message("Device R2 differs from the golden snapshot", level="error")
    box.add_message(["first item of a list", "    second item, indented"])
    box.add_star_line()
    box.add_subtitle_line()
    expected = [
        "+======================================+",
        "| Profile summary                      |",
        "+======================================+",
        "| Feature bgp was learnt on 3 devices  |",
        "| and every snapshot was stored        |",
        "|--------------------------------------|",
        "| Device R2 differs from the golden    |",
        "| snapshot                             |",
        "| first item of a list                 |",
        "|     second item, indented            |",
        "|**************************************|",
        "|======================================|",
    ]
    levels = ["info"] * 6 + ["error"] * 2 + ["info"] * 4
    assert rows(box) == list(zip(expected, levels))
    assert box.lenght == 5

    box.print()
    logged = [(level, (" " if level == "info" else "") + text) for text, level in zip(expected, levels)]
    assert logger.calls == logged
    # Printing again writes the same box and leaves the records alone.
    box.print()
    assert logger.calls == logged * 2
    assert rows(box) == list(zip(expected, levels))


def test_profile_sections_worked_example():
    class Diff:
        def __str__(self):
            return "-info:\n- neighbor 10.0.0.2:\n-  state: up\n+info:\n+ neighbor 10.0.0.2:\n+  state: down"

    box = Summary("Profile comparison", 90)
    box.summarize_section("Feature bgp was compared on every device", "R1")
    box.summarize_profile("R1", Diff())
    box.summarize_profile("R2", golden=True)
    box.summarize_profile("R3", PTS=False)
    texts = [
        "* Summary for device: R1", None,
        "    - Feature bgp was compared on every device", "=",
        "* Summary for device: R1",
        "    - Comparison between Common Setup snapshot and OPS object snapspshot is different",
        "as per the following diffs:",
        "-info:", "- neighbor 10.0.0.2:", "-  state: up", "+info:", "+ neighbor 10.0.0.2:", "+  state: down", "*",
        "* Summary for device: R2", "    - Comparison between pts_golden_config and OPS object snapshots are equal", "*",
        "* Summary for device: R3",
        "    - Comparison between original configuration taken at common setup and OPS object",
        "snapshots are equal", "*",
    ]
    fills = {None: "-", "=": "=", "*": "*"}
    expected = ["|" + fills[t] * 88 + "|" if t in fills else "| " + t.ljust(86) + " |" for t in texts]
    got = rows(box)[3:]
    assert [text for text, _ in got] == expected
    assert [i for i, (_, level) in enumerate(got, start=4) if level == "error"] == list(range(9, 17))


def test_trigger_worked_example():
    box = TriggerSummary("Trigger summary", 60)
    description = ("Shut and unshut the BGP neighbors of the uut.\n\n    Steps:\n"
                   "        1. shut every neighbor\n        2. unshut every neighbor")
    box.summarize_trigger(description, {"interval": 15, "max_time": 180})
    texts = ["=", "Trigger summary", "=", "Description", "-", "Shut and unshut the BGP neighbors of the uut.",
             "    Steps:", "        1. shut every neighbor", "        2. unshut every neighbor", "=",
             "Trigger datafile parameters:", "-", "interval: 15", "max_time: 180", "="]
    expected = []
    for i, t in enumerate(texts):
        if t in ("=", "-"):
            corner = "+" if i in (0, 2) else "|"
            expected.append(corner + t * 58 + corner)
        else:
            expected.append("| " + t.ljust(56) + " |")
    assert rows(box) == [(e, "info") for e in expected]


@pytest.mark.parametrize("width", [5, 6, 30, 150])
def test_rows_never_stick_out_of_the_frame(width):
    box = Summary("t", width)
    for length in range(1, width + 3):
        box.add_message("x" * length)
        box.add_message(" ".join(["y" * length] * 3))
    assert {len(text) for text, _ in rows(box)} == {width}


@pytest.mark.parametrize("width", [4, 3, 0, -10])
def test_too_narrow_box_fails_with_the_wrappers_error(width):
    with pytest.raises(ValueError, match="invalid width"):
        Summary("title", width)


@pytest.mark.parametrize("msg", ["", "   \t \n", []])
def test_empty_messages_queue_nothing_but_raise_lenght(msg):
    box = Summary("t", 30)
    before = len(box.summary_msgs)
    box.add_message(msg, level="warning")
    assert len(box.summary_msgs) == before and box.lenght == 7


def test_lenght_indents_shorter_levels_at_print(logger):
    box = Summary("t", 20)
    box.lenght = 7
    box.add_message("e", level="error")
    box.print()
    assert [len(text) - 20 for _, text in logger.calls] == [3, 3, 3, 2]


def test_unknown_level_fails_at_print_after_earlier_lines(logger):
    box = Summary("t", 20)
    box.add_message("bad", level="no_such_level")
    box.add_star_line()
    with pytest.raises(AttributeError):
        box.print()
    assert len(logger.calls) == 3


def test_width_change_affects_only_later_messages():
    box = Summary("t", 20)
    box.width = 30
    box.add_message("x")
    box.add_sep_line()
    assert len(rows(box)[-2][0]) == 30 and len(rows(box)[-1][0]) == 20


def test_title_as_list_and_empty_title():
    assert len(Summary(["a", "b"], 20).summary_msgs) == 4
    assert [text for text, _ in rows(Summary("", 20))] == ["+" + "=" * 18 + "+"] * 2


@pytest.mark.parametrize("end, prefix", [(True, "    - "), (False, "    "), (0, "    "), ("yes", "    - ")])
def test_add_indent(end, prefix):
    assert Summary("t", 20).add_indent("m", end) == prefix + "m"


@pytest.mark.parametrize("bad", [None, 3, ("a", "b")])
def test_non_text_messages_fail_like_the_wrapper(bad):
    with pytest.raises(Exception) as expected:
        textwrap.wrap(bad, 16)
    box = Summary("t", 20)
    with pytest.raises(type(expected.value), match=str(expected.value)):
        box.add_message(bad)
    assert len(box.summary_msgs) == 3


def test_section_device_header_and_failures():
    box = Summary("t", 40)
    box.summarize_section("m", device=None, end=False)
    assert [t for t, _ in rows(box)[3:]] == ["|     m" + " " * 32 + "|", "|" + "=" * 38 + "|"]
    with pytest.raises(TypeError):
        box.summarize_section(["not", "text"], device="R1")
    assert rows(box)[-1][0] == "|" + "-" * 38 + "|"  # header and separator already queued
    with pytest.raises(AttributeError):
        TriggerSummary("t", 40).summarize_trigger(None, {})


# Line wrapping: the native wrapper must equal textwrap.wrap for every text.
wrap_alphabet = st.sampled_from(list("abcXYZ019 .,;:!?'\"()[]{}~") + ["-", "--", "\t", "\n", "\r", "\x0b", "\x0c",
                                "\x00", "\xa0", "\u2003", "é", "€", "\U0001f600", "\ud800", "\x1c", "  ", "word "])
texts = st.lists(wrap_alphabet, max_size=60).map("".join)


@settings(max_examples=3000, deadline=None)
@given(texts, st.integers(min_value=5, max_value=40))
def test_wrapping_equals_textwrap(text, width):
    box = Summary("t", width)
    box.add_message(text)
    box.add_message([text, text.upper()])
    assert [t for t, _ in rows(box)[3:]] == reference_rows(text, width) + reference_rows([text, text.upper()], width)


@pytest.mark.parametrize("text", ["a" * 200, "abc xxxxxxxx", "   abc", "a\tb  c\r\nd", "x " * 100, "\t\tx"])
@pytest.mark.parametrize("width", [5, 8, 9, 11])
def test_wrapping_corner_cases(text, width):
    box = Summary("t", width)
    box.add_message(text)
    assert [t for t, _ in rows(box)[3:]] == reference_rows(text, width)


def test_rebinding_textwrap_redirects_wrapping(monkeypatch):
    calls = []
    fake = types.SimpleNamespace(wrap=lambda text, width: calls.append((text, width)) or ["W"])
    monkeypatch.setattr(summary, "textwrap", fake)
    box = Summary("title", 20)
    assert calls == [("title", 16)] and rows(box)[1][0] == "| W" + " " * 16 + "|"
    # Patching the standard module's own wrap is honoured too.
    monkeypatch.setattr(summary, "textwrap", textwrap)
    monkeypatch.setattr(textwrap, "wrap", lambda text, width: ["P"])
    box.add_message("plain ascii")
    assert rows(box)[-1][0].startswith("| P ")


@pytest.mark.parametrize("text", ["with\x00nul", "lone \ud800 surrogate", "über größe"])
def test_unusual_characters(text):
    box = Summary("t", 12)
    box.add_message(text)
    assert [t for t, _ in rows(box)[3:]] == reference_rows(text, 12)


def test_str_and_list_subclasses():
    class Text(str):
        pass

    class Items(list):
        pass

    box = Summary(Text("title"), 20)
    box.add_message(Items([Text("a b"), "c"]))
    assert [t for t, _ in rows(box)[3:]] == reference_rows(["a b", "c"], 20)


def test_rebinding_msg_is_honoured(monkeypatch):
    made = []

    class Recorded(Msg):
        def __init__(self, msg, level="info"):
            made.append(level)
            super().__init__(msg, level)

    monkeypatch.setattr(summary, "Msg", Recorded)
    box = Summary("t", 20)
    box.add_message("x", level="error")
    assert made == ["info", "info", "info", "error"]
    assert all(isinstance(m, Recorded) for m in box.summary_msgs)


def test_methods_go_through_self():
    class Counting(Summary):
        def add_message(self, msg, indent=False, level="info"):
            self.seen = getattr(self, "seen", []) + [msg]
            super().add_message(msg, indent, level)

    box = Counting("t", 30)
    box.summarize_section("hello")
    assert box.seen == ["t", "    - hello"]


# The interface: signatures, docstrings, TypeError wording.
METHODS = {
    "__init__": "self, title, width",
    "add_title_line": "self", "add_subtitle_line": "self", "add_sep_line": "self", "add_star_line": "self",
    "add_message": "self, msg, indent=False, level='info'",
    "add_indent": "self, msg, end=True",
    "print": "self",
    "summarize_section": "self, message, device=None, level='info', end=True",
    "summarize_profile": "self, device, diff=None, golden=False, PTS=True",
}
DOCS = {"summarize_section": "Build a summary section as per the provided info", "summarize_profile": "Summarize PTS",
        "summarize_trigger": "Build a summary table for the trigger",
        "summarize": "Build a summary table as per the provided info"}
TRIGGER_METHODS = {"summarize_trigger": "self, description, info", "summarize": "self, title, message, indent=False"}


@pytest.mark.parametrize("cls, name, params", [(Summary, n, p) for n, p in METHODS.items()]
                         + [(TriggerSummary, n, p) for n, p in TRIGGER_METHODS.items()]
                         + [(Msg, "__init__", "self, msg, level='info'")])
def test_method_interface(cls, name, params):
    method = getattr(cls, name)
    assert str(inspect.signature(method)) == f"({params})"
    assert method.__doc__ == DOCS.get(name)
    assert_same_binding_errors(method, f"{cls.__name__}.{name}", params)


def test_class_interface():
    assert str(inspect.signature(Summary)) == "(title, width)"
    assert str(inspect.signature(TriggerSummary)) == "(title, width)"
    assert str(inspect.signature(Msg)) == "(msg, level='info')"
    assert Summary.__doc__ is None and Msg.__doc__ is None
    box = Summary("t", 30)
    assert str(inspect.signature(box.add_message)) == "(msg, indent=False, level='info')"
    assert_same_binding_errors(box.add_message, "Summary.add_message", "self, msg, indent=False, level='info'",
                               is_method=True)
    with pytest.raises(TypeError, match=r"^Summary.__init__\(\) missing 1 required positional argument: 'width'$"):
        Summary("t")
    assert box.add_message(msg="m", level="error", indent=True) is None


def test_instances_are_plain_objects():
    box = TriggerSummary("t", 30)
    box.add_message("hello")
    for clone in (pickle.loads(pickle.dumps(box)), copy.deepcopy(box)):
        assert type(clone) is TriggerSummary and rows(clone) == rows(box) and clone.width == 30
    box.myself = box
    ref = weakref.ref(box)
    del box
    gc.collect()
    assert ref() is None


@pytest.mark.parametrize("width, error", [(100_000, None), (2.5, TypeError), ("40", TypeError), (None, TypeError)])
def test_unusual_widths(width, error):
    if error:
        with pytest.raises(error):
            Summary("t", width)
        return
    box = Summary("a title", width)
    box.add_message("x " * 60_000)
    assert {len(text) for text, _ in rows(box)} == {width}
