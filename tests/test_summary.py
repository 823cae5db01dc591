import copy
import gc
import pickle
import sys
import textwrap
import types
import weakref

import pytest

from korrin.utils import summary
from korrin.utils.summary import Msg, Summary, TriggerSummary
from oracles import summary_model as model
from support import RecordingLogger


@pytest.fixture
def logger(monkeypatch):
    recorder = RecordingLogger()
    for module in (summary, model):
        monkeypatch.setattr(module, "logger", recorder)
    return recorder


# The native module and its model, which the fuzz driver trusts as an oracle.
both = pytest.mark.parametrize("impl", [summary, model], ids=["native", "model"])


def rows(box):
    return [(m.msg, m.level) for m in box.summary_msgs]


def reference_rows(msg, width):
    """What add_message queues, by the model."""
    box = model.Summary("t", width)
    box.add_message(msg)
    return [m.msg for m in box.summary_msgs[3:]]


@both
def test_module_globals_in_order(impl):
    names = [n for n in vars(impl) if not n.startswith("__")]
    assert names == ["yaml", "logging", "textwrap", "logger", "Summary", "TriggerSummary", "Msg"]
    assert impl.logger is impl.logging.getLogger()
    assert issubclass(impl.TriggerSummary, impl.Summary)


@both
def test_box_worked_example(impl, logger):
    box = impl.Summary("Profile summary", 40)
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


@both
def test_profile_sections_worked_example(impl):
    class Diff:
        def __str__(self):
            return "-info:\n- neighbor 10.0.0.2:\n-  state: up\n+info:\n+ neighbor 10.0.0.2:\n+  state: down"

    box = impl.Summary("Profile comparison", 90)
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


@both
def test_trigger_worked_example(impl):
    box = impl.TriggerSummary("Trigger summary", 60)
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
@both
def test_too_narrow_box_fails_with_the_wrappers_error(impl, width):
    with pytest.raises(ValueError, match="invalid width"):
        impl.Summary("title", width)


@pytest.mark.parametrize("msg", ["", "   \t \n", []])
def test_empty_messages_queue_nothing_but_raise_lenght(msg):
    box = Summary("t", 30)
    before = len(box.summary_msgs)
    box.add_message(msg, level="warning")
    assert len(box.summary_msgs) == before and box.lenght == 7


@both
def test_lenght_indents_shorter_levels_at_print(impl, logger):
    box = impl.Summary("t", 20)
    box.lenght = 7
    box.add_message("e", level="error")
    box.print()
    assert [len(text) - 20 for _, text in logger.calls] == [3, 3, 3, 2]


@both
def test_unknown_level_fails_at_print_after_earlier_lines(impl, logger):
    box = impl.Summary("t", 20)
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


def shifting_box(impl):
    """A box whose width changes on every read, and every read wraps another
    tabbed message: rows take the width read for them, and the lines of a
    message survive other wrapping done before their rows are built."""
    class Shifting(impl.Summary):
        @property
        def width(self):
            self.reads += 1
            impl.Summary("other", 13).add_message("q\tr s\tt " * 4)
            return 20 + self.reads % 3

        @width.setter
        def width(self, value):
            self.reads = 0

    return Shifting("t", 20)


@pytest.mark.parametrize("msg", ["a\tb c\td " * 6, "plain words here " * 3,
                                 ["x\ty " * 5, "plain words here " * 3, "z\u0100\tw " * 7]])
def test_width_read_per_row_and_wrapping_reentered(msg):
    native, plain = shifting_box(summary), shifting_box(model)
    native.add_message(msg)
    plain.add_message(msg)
    assert rows(native) == rows(plain) and native.reads == plain.reads


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


# Line wrapping against textwrap.wrap and the model, for generated texts: test_wrap.py.
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


# Signatures, docstrings and binding errors of every method: test_pythonic.py.
def test_class_interface():
    assert Summary.__doc__ is None and Msg.__doc__ is None
    box = Summary("t", 30)
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


def textwrap_frames(action):
    """Names of the textwrap functions entered while `action` runs."""
    entered = []

    def profiler(frame, event, arg):
        if event == "call" and frame.f_code.co_filename == textwrap.__file__:
            entered.append(frame.f_code.co_name)

    sys.setprofile(profiler)
    try:
        action()
    finally:
        sys.setprofile(None)
    return entered


def test_patched_wrapper_attribute_is_honoured_until_undone(monkeypatch):
    box = Summary("t", 40)
    assert textwrap_frames(lambda: box.add_message("plain words to wrap")) == []
    original = textwrap.TextWrapper._wrap_chunks
    monkeypatch.setattr(textwrap.TextWrapper, "_wrap_chunks", lambda self, chunks: ["patched"])
    box.add_message("plain words to wrap")
    assert box.summary_msgs[-1].msg.startswith("| patched ")
    monkeypatch.setattr(textwrap.TextWrapper, "_wrap_chunks", original)
    assert textwrap_frames(lambda: box.add_message("plain words to wrap")) == []
    assert box.summary_msgs[-1].msg == reference_rows("plain words to wrap", 40)[0]


class QuietMsg(Msg):
    def __init__(self, msg, level="debug"):
        super().__init__(msg, level)


def test_frame_lines_and_rows_pass_their_level(monkeypatch):
    monkeypatch.setattr(summary, "Msg", QuietMsg)
    box = Summary("title", 20)
    box.add_sep_line()
    box.add_message("row")
    assert {m.level for m in box.summary_msgs} == {"info"}


def test_msg_assignments_go_through_class_setattr(monkeypatch):
    seen = []

    def recording_setattr(self, name, value):
        seen.append((name, value))
        object.__setattr__(self, name, value)

    monkeypatch.setattr(Msg, "__setattr__", recording_setattr, raising=False)
    box = Summary("t", 20)
    box.add_message("x", level="error")
    sep = box.sep_line
    assert seen == [("msg", box.title_line), ("level", "info"), ("msg", "| t                |"), ("level", "info"),
                    ("msg", box.title_line), ("level", "info"), ("msg", "| x                |"), ("level", "error")]
    monkeypatch.undo()
    seen.clear()
    box.add_sep_line()
    assert seen == [] and box.summary_msgs[-1].msg == sep


def test_line_longer_than_the_box_fails_like_the_format(monkeypatch):
    fake = types.SimpleNamespace(wrap=lambda text, width: ["x" * 30])
    monkeypatch.setattr(summary, "textwrap", fake)
    box = Summary.__new__(Summary)
    box.__dict__.update(width=20, lenght=4, summary_msgs=[])
    with pytest.raises(ValueError, match="^Sign not allowed in string format specifier$"):
        box.add_message("anything")
