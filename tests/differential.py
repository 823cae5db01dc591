"""Generated inputs and outcome comparisons shared by the property tests and
the fuzz driver (tools/fuzz.py): the native modules against their models."""
import contextlib
import json
import logging
import textwrap
import types

from hypothesis import strategies as st

from support import RecordingLogger

# ------------------------------------------------------------------ summary

# Texts for the wrapper: every kind of whitespace it treats specially,
# hyphens, non-ASCII, NUL and a lone surrogate.
wrap_alphabet = st.sampled_from(list("abcXYZ019 .,;:!?'\"()[]{}~") + ["-", "--", "\t", "\n", "\r", "\x0b", "\x0c",
                                "\x00", "\xa0", "\u2003", "é", "€", "\U0001f600", "\ud800", "\x1c", "  ", "word "])
wrap_texts = st.lists(wrap_alphabet, max_size=60).map("".join)

# ------------------------------------------------------------------- config


def ordered(value):
    """Dicts as lists of pairs, so that key order counts."""
    return [(k, ordered(v)) for k, v in value.items()] if isinstance(value, dict) else value


def config_outcome(cls, output, exclude=None, exclude_attr=None):
    """The tree (partial after an error) and the error of tree() on a new `cls`."""
    config, error = cls(output, exclude), None
    if exclude_attr is not None:
        config.exclude = exclude_attr
    try:
        config.tree()
    except Exception as e:
        error = (type(e), str(e))
    return ordered(config.config), error


class Loose:
    """Equal to any text with its prefix: equality that only Python can answer."""
    def __init__(self, prefix):
        self.prefix = prefix

    def __eq__(self, other):
        if other == "boom":
            raise ValueError("no comparing boom")
        return isinstance(other, str) and other.startswith(self.prefix)

    __hash__ = None

    def __repr__(self):
        return f"Loose({self.prefix!r})"


class Marked(str):
    pass


SPACES = [" ", "  ", "\t", "\u3000", "\xa0", "\x0b", "\x1c", "\r", "\x85"]
WORDS = ["interface Gi0/1", "description up link", "shutdown", "no shutdown", "exit", "a", "b", "café", "Ω mode",
         "\U0001d11e x", "end", "\x03", "x\ry", "a\x03b", "banner motd \x03 welcome \x03", "interface\r Gi0/2 \x03x"]
ENTRIES = ["", "!", "\r", "a", "exit", "end", "no shutdown", "Ω mode", None, "café"]
config_line = st.tuples(
    st.lists(st.sampled_from(SPACES), max_size=4).map("".join),
    st.sampled_from(WORDS) | st.text(alphabet="ab !\t\r\x03éΩ", max_size=6) | st.sampled_from(["!", "! note"]),
    st.sampled_from(["", " ", "\r", "\t\r"])).map("".join)
config_texts = st.lists(st.tuples(config_line, st.sampled_from(["\n", "\n", "\r\n"])).map("".join),
                        max_size=25).map("".join)
config_excludes = st.none() | st.lists(st.sampled_from(ENTRIES), max_size=4) | st.sampled_from(["ab", "!e"])
exclude_entries = st.lists(
    st.sampled_from(ENTRIES) | st.sampled_from(WORDS).map(Loose) | st.sampled_from(WORDS).map(Marked), max_size=4)
# What a caller may store in `exclude` after construction: any container.
exclude_attributes = exclude_entries.flatmap(lambda items: st.sampled_from([
    items, tuple(items), {e for e in items if type(e) is str}, "|".join(e for e in items if type(e) is str)]))

json_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.text(max_size=5),
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=4), inner, max_size=3), max_leaves=8)


@st.composite
def json_documents(draw):
    """A JSON document, padded, sometimes cut short or followed by a line."""
    padding, cut = draw(st.sampled_from(["", " ", "\n", "\r\n\t"])), draw(st.integers(0, 3))
    document = padding + json.dumps(draw(json_values), indent=cut or None) + padding
    return draw(st.sampled_from([document, document[:-cut] if cut else document + "\n x"]))


# ------------------------------------------------------------------ symfind


def typed(keys):
    return [(type(k), k) for k in keys]


PATH_PIECES = ["[", "]", "(", ")", " ", "  ", "\t", "\n", "~", "-", "+", "_", "0", "7", "42", "\u0663", "\u00b2",
               "a", "b", "ab", "x1", "\u00e9", "\u0436", "\u3000", "\x85", "\u2028", "\x00", "\ud800", ".", ",", "/",
               "a b", "[a b]", "(a b)", "(.*)", "a ba", "[a b ~]", "a b  ", "[1 2]", "[a ba]", "[a b~~]", "[b  c]"]
assembled_paths = st.lists(st.sampled_from(PATH_PIECES), max_size=24).map("".join)
raw_paths = st.text(alphabet=st.sampled_from("[]() \t\n\r\x0b~-+_0179\u0663ab\u00e9\x00\ud800.,"), max_size=40)


def symfind_outcome(str_to_list, path):
    try:
        return typed(str_to_list(path)), None
    except Exception as e:
        return None, (type(e), str(e))


# ------------------------------------------------- summary call sequences

LEVELS = ["info", "error", "warning", "debug", "critical", "exception", "no_such_level", "", None, 5]
summary_levels = st.sampled_from(LEVELS)
summary_messages = (wrap_texts | st.lists(wrap_texts, max_size=4)
                    | st.sampled_from([None, 5, ("a", "b"), ["ok", None], b"bytes"]))
summary_widths = st.integers(-1, 40) | st.sampled_from([2.5, "40", True, 120])
devices = st.none() | st.sampled_from(["R1", "", 0]) | wrap_texts
diffs = st.none() | wrap_texts | st.lists(wrap_texts, max_size=3) | st.dictionaries(wrap_texts, st.integers(), max_size=3)


def _call(name, *args):
    return st.tuples(st.just(name), *args)


box_calls = st.one_of(
    st.tuples(st.sampled_from(["add_title_line", "add_subtitle_line", "add_sep_line", "add_star_line", "print"])),
    _call("add_message", summary_messages, st.booleans(), summary_levels),
    _call("add_indent", summary_messages, st.booleans()),
    _call("summarize_section", summary_messages, devices, summary_levels, st.booleans()),
    _call("summarize_profile", devices, diffs, st.booleans(), st.booleans()),
    _call("set width", summary_widths),
)
trigger_calls = box_calls | st.one_of(
    _call("summarize", summary_messages, summary_messages, st.booleans()),
    _call("summarize_trigger", wrap_texts | st.none(), json_values))

# Collaborators rebound on the module for a whole run.
collaborators = st.one_of(
    st.just(("as imported",)),
    st.just(("logger",)),
    st.tuples(st.just("Msg"), st.sampled_from(["positional", "keyword-only"])),
    # A stand-in textwrap module: (break_long_words, drop_whitespace, expand_tabs, width added).
    st.tuples(st.just("textwrap"), st.booleans(), st.booleans(), st.booleans(), st.integers(-1, 2)),
    st.just(("textwrap.TextWrapper",)),
)


@st.composite
def summary_scenarios(draw):
    cls = draw(st.sampled_from(["Summary", "TriggerSummary"]))
    calls = draw(st.lists(trigger_calls if cls == "TriggerSummary" else box_calls, max_size=10))
    return cls, draw(summary_messages), draw(summary_widths), calls, draw(collaborators)


class RecordingHandler(logging.Handler):
    def __init__(self, records):
        super().__init__(logging.DEBUG)
        self.records = records

    def emit(self, record):
        self.records.append((record.levelname, record.getMessage()))


class NoHyphenBreaks(textwrap.TextWrapper):
    def __init__(self, *args, **kwargs):
        kwargs.setdefault("break_on_hyphens", False)
        super().__init__(*args, **kwargs)


def stand_in_textwrap(break_long_words, drop_whitespace, expand_tabs, widen):
    module = types.ModuleType("textwrap")

    def wrap(text, width=70):
        return module.TextWrapper(width=width + widen, break_long_words=break_long_words,
                                  drop_whitespace=drop_whitespace, expand_tabs=expand_tabs).wrap(text)

    module.wrap, module.TextWrapper = wrap, NoHyphenBreaks
    return module


def recording_msg(base, sets, keyword_only):
    """A subclass of `base` with another default level that records every attribute set."""
    class Msg(base):
        def __setattr__(self, name, value):
            sets.append((name, value))
            super().__setattr__(name, value)

    if keyword_only:
        def __init__(self, msg, *, level="debug"):
            base.__init__(self, msg, level)
    else:
        def __init__(self, msg, level="debug"):
            base.__init__(self, msg, level)
    Msg.__init__ = __init__
    return Msg


@contextlib.contextmanager
def rebound(obj, name, value):
    saved = getattr(obj, name)
    setattr(obj, name, value)
    try:
        yield
    finally:
        setattr(obj, name, saved)


def box_state(box):
    return [(name, [(type(m).__name__, list(vars(m).items())) for m in value] if name == "summary_msgs" else value)
            for name, value in vars(box).items()]


def summary_outcome(module, scenario):
    """Everything observable of one scenario run on `module` (the native module
    or the model): what each call returned or raised, the box's attributes
    after each call, the log records and the attribute sets of replaced Msgs."""
    cls, title, width, calls, collaborator = scenario
    records, sets, events = [], [], []
    with contextlib.ExitStack() as stack:
        kind = collaborator[0]
        if kind == "logger":
            stack.enter_context(rebound(module, "logger", RecordingLogger(records)))
        elif kind == "Msg":
            stack.enter_context(rebound(module, "Msg", recording_msg(module.Msg, sets, collaborator[1] != "positional")))
        elif kind == "textwrap":
            stack.enter_context(rebound(module, "textwrap", stand_in_textwrap(*collaborator[1:])))
        elif kind == "textwrap.TextWrapper":
            stack.enter_context(rebound(textwrap, "TextWrapper", NoHyphenBreaks))
        root = logging.getLogger()
        handler = RecordingHandler(records)
        root.addHandler(handler)
        stack.callback(root.removeHandler, handler)
        stack.callback(root.setLevel, root.level)
        root.setLevel(logging.DEBUG)

        def attempt(call, *args):
            try:
                events.append(("returned", call(*args)))
                return True
            except Exception as e:
                events.append(("raised", type(e), str(e)))
                return False

        box = None

        def construct():
            nonlocal box
            box = getattr(module, cls)(title, width)

        if attempt(construct):
            for name, *args in calls:
                if name == "set width":
                    box.width = args[0]
                else:
                    attempt(getattr(box, name), *args)
                events.append(("state", box_state(box)))
    return {"calls": events, "log records": records, "Msg attribute sets": sets}
