"""Generated inputs and outcome comparisons shared by the property tests and
the fuzz driver (tools/fuzz.py): the native modules against their models."""
import json

from hypothesis import strategies as st

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
