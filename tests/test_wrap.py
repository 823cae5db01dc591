"""The native wrapper behind Summary.add_message against textwrap.wrap."""
import os
import random
import sys
import textwrap

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from differential import wrap_texts
from korrin.utils.summary import Summary
from oracles import summary_model as model
from support import WRAP_FRAGMENTS, fresh_summary, long_word_handler, run_python, wrap_rows


def native_rows(text, wrap_width, summary_class=Summary):
    box = summary_class("t", wrap_width + 4)
    del box.summary_msgs[:]
    box.add_message(text)
    return [m.msg for m in box.summary_msgs]


# Texts of the fragments that reach each rule of the wrapper, or of the
# fuzzer's alphabet; narrow widths often, any width up to 200 too.
texts = st.lists(st.sampled_from(WRAP_FRAGMENTS), max_size=40).map("".join) | wrap_texts
widths = st.one_of(st.integers(1, 12), st.integers(1, 200))


def model_rows(msg, wrap_width):
    box = model.Summary("t", wrap_width + 4)
    del box.summary_msgs[:]
    box.add_message(msg)
    return [m.msg for m in box.summary_msgs]


# One text, and a list of texts (each wrapped on its own), against
# textwrap.wrap and the model the fuzzer trusts.
@settings(max_examples=3000, deadline=None)
@given(texts, widths)
def test_equals_textwrap(text, width):
    assert native_rows(text, width) == wrap_rows([text], width) == model_rows(text, width)
    both = [text, text.upper()]
    assert native_rows(both, width) == wrap_rows(both, width) == model_rows(both, width)


@pytest.mark.parametrize("text, width, lines", [
    ("aaaa \xa0 bbbb", 5, ["aaaa", " bbbb"]),            # a blank non-breaking chunk starts the line
    ("goof-ball next-hop", 8, ["goof-", "ball", "next-hop"]),
    ("a_-b² x", 4, ["a_-", "b² x"]),                     # "_" and "²" are letters
    ("xx ab-1c", 6, ["xx", "ab-1c"]),                    # a digit after the hyphen: no break
    ("xx re-x", 6, ["xx", "re-x"]),                      # a lone letter after it: no break
    ("a-b-cd", 5, ["a-b-", "cd"]),                       # letter, hyphen, letter, hyphen
    ("x.--y &--z 1--", 3, ["x.", "--y", "&--", "z", "1--"]),  # em-dashes need a word after them
    ("---abcdef", 5, ["---ab", "cdef"]),                 # only hyphens before the last one: cut at the width
    ("ab-cd-efghij", 8, ["ab-cd-", "efghij"]),
    ("ab\n\tc ab\x0b\tc", 30, ["ab         c ab    c"]),  # tab stops restart after \n and \r only
    ("\xa0" * 6 + " z", 3, [" z"]),                     # blank cuts dropped, before the first line too
    ("lone \ud800-\udfff sur", 6, ["lone", "\ud800-\udfff", "sur"]),
    ("Zürich-naïve İstanbul-ǅx", 9, ["Zürich-", "naïve", "İstanbul-", "ǅx"]),
])
def test_tricky_texts(text, width, lines):
    assert textwrap.wrap(text, width) == lines  # the cases mean what they say
    assert native_rows(text, width) == wrap_rows([text], width)


@pytest.mark.parametrize("width", [4, 3, 0, -5])
def test_bad_widths_fail_as_textwrap_does(width):
    with pytest.raises(ValueError) as expected:
        textwrap.wrap("a b", width - 4)
    box = Summary("t", 20)
    box.width = width
    with pytest.raises(ValueError) as raised:
        box.add_message("a b")
    assert str(raised.value) == str(expected.value)


class Text(str):
    def expandtabs(self, tabsize=8):
        return "replaced text"


def textwrap_calls(action):
    """How often textwrap.wrap runs during action(), seen by a profile hook."""
    calls = []

    def profile(frame, event, arg):
        if event == "call" and frame.f_code is textwrap.wrap.__code__:
            calls.append(frame)

    sys.setprofile(profile)
    try:
        action()
    finally:
        sys.setprofile(None)
    return len(calls)


# Exact str never needs the standard wrapper; for subclasses it calls their methods.
@pytest.mark.parametrize("text, calls", [("Zürich-naïve a\tb-c \ud800 \U0001f600 " * 20, 0), (Text("a\tb"), 1)])
def test_which_texts_reach_textwrap(text, calls):
    rows = []
    assert textwrap_calls(lambda: rows.extend(native_rows(text, 20))) == calls
    assert rows == wrap_rows([text], 20)
    assert calls == 0 or rows == wrap_rows(["replaced text"], 20)


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="the sanitizer's allocator holds memory")
@pytest.mark.slow
def test_memory_is_given_back_after_a_huge_message():
    script = """if True:
        from korrin.utils.summary import Summary

        def rss():
            with open("/proc/self/status") as status:
                return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))

        Summary("warm up", 80).add_message("x\\ty " * 10)
        before = rss()
        box = Summary("t", 80)
        box.add_message("w\\U0001f600rd-word\\tand a\\nfew-more words " * 250_000)  # 33 MB
        del box
        print(rss() - before)
    """
    done = run_python(script)
    assert done.returncode == 0, done.stderr
    grown_kb = int(done.stdout)
    assert grown_kb < 32 * 1024, grown_kb


# Where textwrap's versions differ: a blank chunk fills the line just before a
# word too long for any line. Random texts add the rules around it.
LONG_WORD_CASES = [("abc  xxxxxxxxx", 5), ("     xxxxxxxxx", 5), ("ab \xa0\u3000xxxxxxxx yy", 5),
                   ("a  --------", 3), ("a b  Port-channel10", 4), ("ab\t" + "x" * 20, 8)]
rng = random.Random(19)
LONG_WORD_CASES += [("".join(rng.choices(WRAP_FRAGMENTS, k=rng.randint(1, 30))), rng.randint(1, 12))
                    for _ in range(1500)]


# The module follows the textwrap it finds at import, whichever way that
# treats long words; one that splits text in a way it does not know does all
# the wrapping itself.
@pytest.mark.parametrize("attributes, native", [
    ({}, True),
    ({"_handle_long_word": long_word_handler(empty_cut=True)}, True),
    ({"_handle_long_word": long_word_handler(empty_cut=False)}, True),
    ({"wordsep_re": textwrap.TextWrapper.wordsep_simple_re}, False),
], ids=["own", "empty cut", "no cut", "unknown splitting"])
def test_follows_the_textwrap_found_at_import(attributes, native):
    with fresh_summary(**attributes) as summary:
        rows = []
        calls = textwrap_calls(lambda: [rows.extend(native_rows(text, width, summary.Summary))
                                        for text, width in LONG_WORD_CASES])
        assert rows == [row for text, width in LONG_WORD_CASES for row in wrap_rows([text], width)]
        assert (calls == 0) == native
