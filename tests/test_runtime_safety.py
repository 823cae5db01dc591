"""What real harnesses do around the native calls: daemon threads still inside
a call when the program exits, greenlets switching inside calls, runaway
recursion, foreign builtins, function attributes set as on a def, textwrap
changed in place. Whatever may crash runs in a child interpreter."""
import builtins
import inspect
import os
import re
import sys
import textwrap
import types

import prettytable
import pytest

import korrin.utils.config as config
import korrin.utils.profile as profile
import korrin.utils.summary as summary
import korrin.utils.symfind as symfind
import korrin.utils.timeout as timeout
from oracles import summary_model
from support import TEXTWRAP_STAND_INS, FakeDiff, outcome, run_python, wrap_rows

pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")  # jsonpickle warns on encode


def assert_clean(proc, stdout=None):
    assert (proc.returncode, proc.stderr[-3000:]) == (0, ""), proc.stdout[-2000:]
    if stdout is not None:
        assert proc.stdout == stdout


# ------------------------------------------------ daemon threads at exit

DAEMON = """
import logging, os, tempfile, threading, time, types
import prettytable
import korrin.utils.config as config
import korrin.utils.profile as profile
from korrin.utils.summary import Summary
from korrin.utils.timeout import Timeout, TempResult

logging.basicConfig(level=logging.INFO, filename=os.devnull)
folder = tempfile.mkdtemp()


class Section:
    def __getattr__(self, name):
        return lambda **kw: None


{fake_diff}

profile.Diff = FakeDiff
table = prettytable.PrettyTable(["a", "b"])
table.add_row([1, 2])
testbed = types.SimpleNamespace(devices={{"uut": object(), "r2": object()}})
running = "interface Ethernet1\\n mtu 9216\\n" * 200
started = threading.Event()


def work():
    while True:
        {call}
        started.set()


threading.Thread(target=work, daemon=True).start()
assert started.wait(30)
time.sleep(0.05)
"""

DAEMON_CALLS = {
    "summary print": "Summary('s', 60).print()",
    "timeout": "Timeout(0, 0).iterate()",
    "temp result": "r = TempResult(Section()); r.passed('x'); r.failed('y'); r.result()",
    "config tree": "config.Config(running).tree()",
    "compare": "profile.Profile.compare({'bgp': {'uut': 1, 'r2': 1}}, {'bgp': {'uut': 2, 'r2': 1}}, "
               "pts_data={'bgp': {}}, testbed=testbed)",
    "golden profile": "profile.pickle({'bgp': {'uut': {'x': 1}}}, location=folder)",
    "traffic profile": "profile.pickle_traffic(table, location=folder)",
}


SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


# A daemon thread's frames are never freed, so leak reports there say nothing.
def child_env():
    env = dict(os.environ)
    if SANITIZED:
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
    return env


# The unwind that ends such a thread is not one AddressSanitizer unpoisons the
# stack for, so the thread's exit trips it on the frames it already left.
@pytest.mark.skipif(SANITIZED, reason="pthread_exit's unwind is opaque to AddressSanitizer")
@pytest.mark.parametrize("runs", [3, pytest.param(20, marks=pytest.mark.repeated)])
@pytest.mark.parametrize("call", DAEMON_CALLS)
def test_exit_with_a_daemon_thread_inside_a_call(call, runs):
    code = DAEMON.format(call=DAEMON_CALLS[call], fake_diff=inspect.getsource(FakeDiff))
    for _ in range(runs):
        assert_clean(run_python(code, options=("-W", "ignore"), timeout=60, env=child_env()))


# ------------------------------------------------------------ greenlets

GREENLETS = """
import gc, importlib, sys, weakref
import greenlet
from support import wrap_rows

NAME = "korrin.utils.summary"
main = greenlet.getcurrent()
TEXTS = ["one row", "first row  second row", "first row  second row  third row"]


class SwitchingList(list):
    # Every row queued hands control back to the main greenlet first.
    def append(self, item):
        main.switch()
        super().append(item)


def forget():
    sys.modules.pop(NAME, None)
    package, _, name = NAME.rpartition(".")
    vars(sys.modules.get(package, sys)).pop(name, None)


def fresh_import():
    forget()
    return importlib.import_module(NAME)


def suspended(module, rows):
    box = module.Summary("box", 20)
    box.summary_msgs, box.text = SwitchingList(), TEXTS[rows - 1]
    call = greenlet.greenlet(lambda: box.add_message(box.text))
    call.switch()
    return box, call


def finish(*calls):
    while any(not c.dead for c in calls):
        for c in calls:
            if not c.dead:
                c.switch()


problems = []


def check(module, box):
    # Noted, not raised: what follows the check may still crash.
    rows = [(m.msg, type(m) is module.Msg) for m in box.summary_msgs]
    if rows != [(r, True) for r in wrap_rows([box.text], 16)]:
        problems.append(rows)
    del box.summary_msgs[:]  # rows of another import would keep it alive


{scenario}
assert not problems, problems
print("ok")
"""

GREENLET_SCENARIOS = {
    "one module": """
first = fresh_import()
(a, ga), (b, gb) = suspended(first, 1), suspended(first, 3)
finish(ga, gb)
check(first, a); check(first, b)
""",
    "two imports, one freed": """
first = fresh_import()
a, ga = suspended(first, 3)
second = fresh_import()
b, gb = suspended(second, 2)
c, gc_ = suspended(first, 2)
finish(gb)
finish(gc_)
check(second, b); check(first, c)
gone = weakref.ref(second)
del second, b, gb
forget()
gc.collect()
if gone() is not None:
    problems.append("the second import is not freed")
finish(ga)
check(first, a)
""",
    "dropped while suspended": """
first = fresh_import()
a, ga = suspended(first, 2)
b, gb = suspended(first, 3)
del ga  # GreenletExit raised inside the call
gc.collect()
finish(gb)
check(first, b)
assert [m.msg for m in a.summary_msgs] == [], a.summary_msgs
""",
}


# greenlet copies stacks in and out behind AddressSanitizer's back, which then
# reports the native frames on a restored stack.
@pytest.mark.skipif(SANITIZED, reason="greenlet's stack switching is opaque to AddressSanitizer")
@pytest.mark.parametrize("scenario", GREENLET_SCENARIOS)
def test_greenlets_suspended_inside_calls(scenario):
    pytest.importorskip("greenlet")
    assert_clean(run_python(GREENLETS.format(scenario=GREENLET_SCENARIOS[scenario]), timeout=120), "ok\n")


# ------------------------------------------------------------ recursion

RECURSION = """
import sys
from korrin.utils.summary import Summary
if {limit}:
    sys.setrecursionlimit({limit})
{loop}
for _ in range(2):
    try:
        run()
    except RecursionError:
        pass
    else:
        raise AssertionError("no RecursionError")


def down(n):
    return down(n - 1) if n else 0


down(min(sys.getrecursionlimit(), 20000) - 50)  # the depth is given back
box = Summary("after", 30)
box.add_message("still works")
assert len(box.summary_msgs) == 4
print("ok")
"""

LOOPS = {
    "native": "class Loop(Summary):\n    add_indent = Summary.summarize_section\n"
              "run = lambda: Loop('t', 40).summarize_section('m')",
    "python override": "class Loop(Summary):\n    def add_indent(self, msg, end=True):\n"
                       "        return self.summarize_section(msg)\n"
                       "run = lambda: Loop('t', 40).summarize_section('m')",
    "through __init__": "class Loop(Summary):\n    add_message = Summary.summarize_section\n"
                        "run = lambda: Loop('t', 40)",
    # a plain class made by the native code, whose __init__ calls back in
    "class made natively": "import types, korrin.utils.profile as profile\n"
                           "class Loop:\n    def __init__(self, a, b, exclude):\n        run()\n"
                           "profile.Diff, profile.get_ops_exclude = Loop, lambda feature, device: ()\n"
                           "testbed = types.SimpleNamespace(devices={'r': None})\n"
                           "run = lambda: profile.Profile.compare({'f': {'r': 1}}, {'f': {'r': 1}}, pts_data={'x': {}}, testbed=testbed)",
}

# Through any C function 3.11 overflows the C stack under a raised limit.
HIGH_LIMIT = pytest.mark.skipif(sys.version_info < (3, 12), reason="3.11 crashes there in CPython itself")


@pytest.mark.parametrize("loop, limit", [(loop, 0) for loop in LOOPS] + [
    pytest.param(loop, 100_000, marks=HIGH_LIMIT) for loop in ("native", "python override", "class made natively")])
def test_runaway_recursion_raises(loop, limit):
    assert_clean(run_python(RECURSION.format(loop=LOOPS[loop], limit=limit), timeout=300), "ok\n")


# ------------------------------------------------------------- builtins

def plain_unpickle():
    """profile.unpickle as a def in a module of its own."""
    module = types.ModuleType("plain_profile")
    exec("import dill\ndef unpickle(file):\n    with open(file, 'rb') as f:\n        return dill.load(f)",
         vars(module))
    return module


@pytest.fixture
def files(tmp_path):
    profile.pickle({"bgp": {"uut": {"x": 1}}}, location=str(tmp_path), pts_name="golden")
    table = prettytable.PrettyTable(["Source/Dest Port Pair", "Traffic Item", "Tx Frames", "Rx Frames",
                                     "Frames Delta", "Tx Frame Rate", "Rx Frame Rate", "Loss %",
                                     "Outage (seconds)"])
    table.add_row(["1-2", "t", "10", "10", "0", "1", "1", "0", "0"])
    (tmp_path / "streams.yaml").write_text("stream: {rate: 10}\n")
    return {"P": profile, "plain": plain_unpickle(), "table": table, "folder": str(tmp_path),
            "golden": str(tmp_path / "golden"), "streams": str(tmp_path / "streams.yaml"),
            "traffic": profile.pickle_traffic(table, location=str(tmp_path), tgn_profile_name="traffic")}


BUILTIN_CALLS = {
    "P.unpickle(golden)": lambda value: value == {"bgp": {"uut": {"x": 1}}},
    "plain.unpickle(golden)": lambda value: value == {"bgp": {"uut": {"x": 1}}},
    "P.pickle({'f': {'d': 1}}, folder, 'again')": lambda value: value.endswith("again_d_f_pts.json"),
    "P.pickle_traffic(table, folder, 'copy')": lambda value: value.endswith("copy"),
    "P.unpickle_traffic(traffic).rows": lambda value: value == [["1-2", "t", "10", "10", "0", "1", "1", "0", "0"]],
    "P.unpickle_stream_data(streams)": lambda value: value == {"stream": {"rate": 10}},
}


@pytest.mark.parametrize("planted", [False, True], ids=["no builtins", "caller's open"])
@pytest.mark.parametrize("expression", BUILTIN_CALLS)
def test_builtins_are_the_modules_not_the_callers(files, expression, planted):
    opened = []
    caller_builtins = {"open": lambda *a, **k: opened.append(a) or open(*a, **k)} if planted else {}
    value = eval(expression, {**files, "__builtins__": caller_builtins})
    assert BUILTIN_CALLS[expression](value) and opened == []


@pytest.mark.parametrize("expression", BUILTIN_CALLS)
def test_open_patched_in_builtins_is_used(files, expression, monkeypatch):
    opened = []
    real_open = open
    monkeypatch.setattr(builtins, "open", lambda *a, **k: opened.append(a) or real_open(*a, **k))
    assert BUILTIN_CALLS[expression](eval(expression, files)) and opened


# ------------------------------------------------- function attributes

class Text(str):
    pass


class Mapping(dict):
    pass


NATIVE_FUNCTIONS = [summary.Summary.add_message, timeout.TempResult.passed, symfind.str_to_list,
                    config.Config.tree, profile.Profile.compare.__func__]
CHANGES = [(attr, value) for attr in ("__name__", "__qualname__") for value in (1, None, b"x", Text("x"), "x")]
CHANGES += [("__dict__", value) for value in (1, [], None, Mapping(k=1), {"k": 1})]
CHANGES += [(attr, "delete") for attr in ("__name__", "__qualname__", "__dict__")]


def change(function, attr, value):
    if value == "delete":
        delattr(function, attr)
    else:
        setattr(function, attr, value)
    return getattr(function, attr, "missing")


@pytest.mark.parametrize("native", NATIVE_FUNCTIONS, ids=lambda f: f.__qualname__)
@pytest.mark.parametrize("attr, value", CHANGES, ids=[f"{a}={v!r}:{type(v).__name__}" for a, v in CHANGES])
def test_function_attributes_accept_what_a_def_accepts(native, attr, value):
    def plain():
        pass

    kept = {a: getattr(native, a) for a in ("__name__", "__qualname__", "__dict__") if hasattr(native, a)}
    try:
        assert outcome(lambda: change(native, attr, value)) == outcome(lambda: change(plain, attr, value))
    finally:
        for a, v in kept.items():
            setattr(native, a, v)


# ------------------------------------------- textwrap changed in place

TEXTS = ["first row  second row", "Port-channel10 is up; next-hop 10.0.0.1 re-learnt.  Done",
         "tab\tand\nlines and\xa0blanks", "a" * 45 + " tail"]


def rows(module):
    def build():
        box = module.Summary("a title", 24)
        box.add_message(TEXTS, level="error")
        return [(m.msg, m.level) for m in box.summary_msgs]
    return outcome(build)


def path_of(name):
    owner, _, attr = ("textwrap." + name).rpartition(".")
    return eval(owner, {"textwrap": textwrap}), attr


TRANS = textwrap.TextWrapper.unicode_whitespace_trans
CHANGES_IN_PLACE = [(name, "__code__") for name in TEXTWRAP_STAND_INS] + [
    ("TextWrapper.__init__", "__defaults__"), ("TextWrapper.__init__", "__kwdefaults__"),
    ("TextWrapper.__init__", "__kwdefaults__ item"), ("TextWrapper.unicode_whitespace_trans", "item"),
    ("TextWrapper.unicode_whitespace_trans", "removed item"), ("TextWrapper.unicode_whitespace_trans", "replaced"),
    ("TextWrapper.wordsep_re", "replaced")]


def change_in_place(monkeypatch, name, what):
    owner, attr = path_of(name)
    target = getattr(owner, attr)
    if what == "__code__":
        monkeypatch.setattr(target, "__code__", TEXTWRAP_STAND_INS[name].__code__)
    elif what == "__defaults__":  # no break on hyphens, tabs of 4
        monkeypatch.setattr(target, "__defaults__", target.__defaults__[:8] + (False, 4))
    elif what == "__kwdefaults__":
        monkeypatch.setattr(target, "__kwdefaults__", {**target.__kwdefaults__, "max_lines": 3})
    elif what == "__kwdefaults__ item":
        monkeypatch.setitem(target.__kwdefaults__, "max_lines", 2)
    elif what == "item":
        monkeypatch.setitem(target, ord("o"), ord("0"))
    elif what == "removed item":
        monkeypatch.delitem(target, ord("\n"))
    elif name.endswith("unicode_whitespace_trans"):
        monkeypatch.setattr(owner, attr, {ord("\t"): ord("_"), ord("\n"): ord("/")})
    else:
        monkeypatch.setattr(owner, attr, re.compile(r"(\s+|\S{1,3})"))  # words cut in threes


@pytest.mark.parametrize("name, what", CHANGES_IN_PLACE)
def test_rows_follow_textwrap_changed_in_place(monkeypatch, name, what):
    before = rows(summary)
    assert before == rows(summary_model)
    change_in_place(monkeypatch, name, what)
    changed = rows(summary_model)
    assert changed != before  # the change shows in what textwrap gives
    assert rows(summary) == changed
    monkeypatch.undo()
    assert rows(summary) == before



# A key whose equality calls back in, in a watched dict

WATCHED_KEY = r"""
import logging, sys, textwrap, threading, time

where, mode = sys.argv[1:]
target, key = ((textwrap.TextWrapper.unicode_whitespace_trans, ord("\n")) if where == "whitespace table"
               else (textwrap.TextWrapper.__init__.__kwdefaults__, "max_lines"))
# Entries for characters the texts do not have: a large snapshot, whose
# memory goes back to the system at once when freed.
for i in range(10_000):
    target[0x20000 + i if where == "whitespace table" else f"unused{i}"] = 0x20000 + i

from korrin.utils.summary import Summary

logging.basicConfig(level=logging.INFO, filename="/dev/null")
expected = None


def box():
    b = Summary("title", 40)
    b.add_message(["first row second row third row\nnext", "x" * 50])
    return [m.msg for m in b.summary_msgs]


class Hostile:
    # In the key's place until compared with it: then it puts the key back
    # and, while still inside the comparison, a box is made here or elsewhere.
    def __init__(self, value):
        # Taken by the first comparison only: two threads may compare at once.
        self.value, self.first = value, threading.Lock()

    def __hash__(self):
        return hash(key)

    def __eq__(self, other):
        if type(other) is type(key) and other == key and self.first.acquire(blocking=False):
            del target[self]
            target[key] = self.value
            if mode == "nested":
                assert box() == expected
            else:
                time.sleep(0.002)
        return False


def plant():
    value = target.pop(key)
    target[Hostile(value)] = value


expected = box()
stop = False


def box_or_miss():
    # With two threads, the dict misses the key for a moment while one of
    # them is inside the comparison, as it would for Python code: a box made
    # then may differ, or fail for textwrap's missing keyword default. Such
    # boxes are only checked to be made or to fail so; exactly once one
    # thread is left.
    try:
        rows = box()
    except TypeError:
        if not worker:
            raise
        return
    assert worker or rows == expected
    assert all(isinstance(row, str) for row in rows)


def other_thread():
    while not stop:
        box_or_miss()


def restored():
    # Back once the comparison that took the key has put it back: with two
    # threads, maybe the other thread's, which may still be inside it.
    deadline = time.monotonic() + 60
    while key not in target:
        assert time.monotonic() < deadline, "the key was not put back"
        time.sleep(0.001)


worker = threading.Thread(target=other_thread) if mode == "threads" else None
if worker:
    worker.start()
try:
    for _ in range(200):
        plant()
        box_or_miss()
        restored()
        assert target[key] is not None or where == "keyword defaults"
finally:
    stop = True
    if worker:
        worker.join()
assert box() == expected
print("ok")
"""


@pytest.mark.parametrize("mode", ["nested", "threads"])
@pytest.mark.parametrize("where", ["whitespace table", "keyword defaults"])
def test_a_watched_key_calling_back_in(where, mode):
    proc = run_python(WATCHED_KEY, where, mode, options=("-X", "dev"))
    assert_clean(proc, "ok\n")
